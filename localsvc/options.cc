#include "localsvc/options.h"

#include <charconv>
#include <cstring>

namespace nv_localsvc {

namespace {

bool parse_int(const std::string& text, int64_t lo, int64_t hi, int64_t* out) {
  int64_t v = 0;
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || p != text.data() + text.size() || v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool split_pair(const std::string& text, std::pair<std::string, std::string>* out) {
  size_t colon = text.find(':');
  if (colon == std::string::npos || colon == 0) return false;
  *out = {text.substr(0, colon), text.substr(colon + 1)};
  return true;
}

}  // namespace

const char* usage_text() {
  return "usage: norvale-localsvc [options]\n"
         "  --port N            control-plane port (0: any free port; nodes follow it)\n"
         "  --nodes N           number of compute nodes (default 1)\n"
         "  --node-port N       port of the next compute node (repeatable)\n"
         "  --host ADDR         listen address (default 127.0.0.1)\n"
         "  --db PATH           DuckDB database file (default: in memory)\n"
         "  --user NAME:PASS    accept a password login (repeatable)\n"
         "  --client ID:SECRET  accept a client-credentials login (repeatable)\n"
         "  --seed demo         load the demo dataset\n"
         "  --land-dir DIR      where mode land writes Parquet files (default: a temp dir)\n"
         "  --tls-cert PEM --tls-key PEM   serve https on every port\n"
         "  --tls-client-ca PEM demand client certificates signed by this CA\n"
         "  --admin-token TEXT  fixed admin token (default: random)\n"
         "  --token-ttl SECS    lifetime of issued session tokens (default 3600)\n"
         "  --threads N         idle worker threads kept per port (default 16)\n"
         "  --keep-alive SECS   close a client connection idle this long (default 60)\n"
         "  --log-requests      one line per request on standard error\n";
}

bool parse_options(int argc, char** argv, Options* out, std::string* err, bool* help) {
  *help = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      *help = true;
      return true;
    }
    if (arg == "--log-requests") {
      out->log_requests = true;
      continue;
    }
    if (i + 1 >= argc) {
      *err = "missing value for " + arg;
      return false;
    }
    std::string val = argv[++i];
    int64_t n = 0;
    if (arg == "--port" || arg == "--node-port") {
      if (!parse_int(val, 0, 65535, &n)) {
        *err = "bad port: " + val;
        return false;
      }
      if (arg == "--port") out->port = static_cast<int>(n);
      else out->node_ports.push_back(static_cast<int>(n));
    } else if (arg == "--nodes") {
      if (!parse_int(val, 1, 64, &n)) {
        *err = "--nodes must be 1 to 64";
        return false;
      }
      out->nodes = static_cast<int>(n);
    } else if (arg == "--threads") {
      if (!parse_int(val, 1, 256, &n)) {
        *err = "--threads must be 1 to 256";
        return false;
      }
      out->threads = static_cast<int>(n);
    } else if (arg == "--keep-alive") {
      if (!parse_int(val, 1, 86400, &n)) {
        *err = "--keep-alive must be 1 to 86400 seconds";
        return false;
      }
      out->keep_alive_seconds = n;
    } else if (arg == "--token-ttl") {
      if (!parse_int(val, 1, int64_t{1} << 40, &n)) {
        *err = "bad --token-ttl: " + val;
        return false;
      }
      out->token_ttl_seconds = n;
    } else if (arg == "--host") {
      out->host = val;
    } else if (arg == "--db") {
      out->db_path = val;
    } else if (arg == "--user" || arg == "--client") {
      std::pair<std::string, std::string> p;
      if (!split_pair(val, &p)) {
        *err = arg + " expects NAME:SECRET";
        return false;
      }
      (arg == "--user" ? out->users : out->clients).push_back(p);
    } else if (arg == "--seed") {
      if (val != "demo") {
        *err = "unknown seed: " + val + " (known: demo)";
        return false;
      }
      out->seed = val;
    } else if (arg == "--land-dir") {
      out->land_dir = val;
    } else if (arg == "--tls-cert") {
      out->tls_cert = val;
    } else if (arg == "--tls-key") {
      out->tls_key = val;
    } else if (arg == "--tls-client-ca") {
      out->tls_client_ca = val;
    } else if (arg == "--admin-token") {
      out->admin_token = val;
    } else {
      *err = "unknown option " + arg;
      return false;
    }
  }
  if (out->tls_cert.empty() != out->tls_key.empty()) {
    *err = "--tls-cert and --tls-key go together";
    return false;
  }
  if (!out->tls_client_ca.empty() && out->tls_cert.empty()) {
    *err = "--tls-client-ca needs --tls-cert and --tls-key";
    return false;
  }
  if (static_cast<int>(out->node_ports.size()) > out->nodes)
    out->nodes = static_cast<int>(out->node_ports.size());
  return true;
}

}  // namespace nv_localsvc
