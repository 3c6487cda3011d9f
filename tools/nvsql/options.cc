#include "tools/nvsql/options.h"

#include <charconv>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <sstream>
#include <string_view>

namespace nvsql {
namespace {

// Flags that take a value and map one to one onto a database option.
const std::map<std::string_view, std::string_view>& option_flags() {
  static const std::map<std::string_view, std::string_view> flags = {
      {"--tls-encrypt", "adbc.norvale.tls.encrypt"},
      {"--tls-ca-bundle", "adbc.norvale.tls.ca_bundle"},
      {"--tls-min-version", "adbc.norvale.tls.min_version"},
      {"--tls-host-in-cert", "adbc.norvale.tls.host_in_cert"},
      {"--tls-client-cert", "adbc.norvale.tls.client_cert"},
      {"--tls-client-key", "adbc.norvale.tls.client_key"},
      {"--application-name", "adbc.norvale.application_name"},
      {"--log-level", "adbc.norvale.log_level"},
      {"--log-path", "adbc.norvale.log_path"},
  };
  return flags;
}

bool read_file(const std::string& path, std::string* out) {
  if (path == "-") {
    out->assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    return true;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  *out = text.str();
  return true;
}

}  // namespace

bool parse_format(std::string_view text, Format* out) {
  if (text == "table") *out = Format::kTable;
  else if (text == "csv") *out = Format::kCsv;
  else if (text == "arrow" || text == "ipc") *out = Format::kArrow;
  else if (text == "parquet") *out = Format::kParquet;
  else return false;
  return true;
}

const char* usage() {
  return "usage: nvsql [options] [SQL...]\n"
         "Runs each SQL statement in order on one connection and prints its result. Without\n"
         "SQL it reads statements ending in ; from standard input: an interactive shell on a\n"
         "terminal (line editing, history, \\? lists its commands), a script otherwise.\n"
         "\n"
         "Connection:\n"
         "  --local                 start the local service with the demo data on free ports\n"
         "                          and connect to it\n"
         "  --uri URL               control-plane URL\n"
         "  --user NAME             user name (the password is prompted for when not given)\n"
         "  --password TEXT         password\n"
         "  --session-token TEXT    use a session token instead of a password\n"
         "  --compute-node REF      compute node to use\n"
         "  --compute-url URL       compute node URL to use\n"
         "  --tls-encrypt MODE      off, optional, mandatory or strict\n"
         "  --tls-ca-bundle PEM     CA bundle to verify the servers against\n"
         "  --tls-trust-server-cert do not verify server certificates\n"
         "  --tls-min-version V     1.0, 1.1, 1.2, 1.3 or any\n"
         "  --tls-host-in-cert NAME host name expected in the server certificate\n"
         "  --tls-client-cert PEM   client certificate; --tls-client-key PEM its key\n"
         "  --application-name TXT  appended to the User-Agent\n"
         "  --log-level LEVEL       driver engine log level; the engine log goes to standard\n"
         "                          error unless --option adbc.norvale.api_trace_path=FILE\n"
         "                          names its file\n"
         "  --log-path FILE         SQL trace file (not the engine log)\n"
         "  --option KEY=VALUE      any ADBC database option (repeatable)\n"
         "  --driver PATH           the driver library (default: the one built with nvsql)\n"
         "  --localsvc PATH         the local service program used by --local\n"
         "\n"
         "Output:\n"
         "  --format FMT            table (default), csv, arrow (IPC file) or parquet\n"
         "  -o, --output FILE       write the result to FILE (required for arrow and parquet)\n"
         "  --max-rows N            rows printed by the table format (default 1000, -1: all)\n"
         "  -f, --file FILE         read one more statement from FILE (- for standard input)\n"
         "  -q, --quiet             no summary line on standard error\n"
         "  --no-progress           no progress line for long statements on a terminal\n"
         "\n"
         "A summary with rows, batches and elapsed time goes to standard error. Errors are\n"
         "printed with their SQLSTATE and vendor code and end nvsql with exit status 1.\n";
}

bool parse_options(int argc, const char* const* argv, Options* out, std::string* err) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&](std::string* dst) {
      if (i + 1 >= argc) {
        *err = "missing value for " + std::string(arg);
        return false;
      }
      *dst = argv[++i];
      return true;
    };
    std::string v;
    if (arg == "-h" || arg == "--help") {
      out->help = true;
    } else if (arg == "--local") {
      out->local = true;
    } else if (arg == "--tls-trust-server-cert") {
      out->db_options.emplace_back("adbc.norvale.tls.trust_server_cert", "true");
    } else if (arg == "-q" || arg == "--quiet") {
      out->quiet = true;
    } else if (arg == "--no-progress") {
      out->progress = false;
    } else if (arg == "--uri") {
      if (!value(&out->uri)) return false;
    } else if (arg == "--user" || arg == "--username") {
      if (!value(&out->user)) return false;
    } else if (arg == "--password") {
      if (!value(&out->password)) return false;
      out->password_given = true;
    } else if (arg == "--session-token") {
      if (!value(&out->session_token)) return false;
    } else if (arg == "--compute-node") {
      if (!value(&out->compute_node)) return false;
    } else if (arg == "--compute-url") {
      if (!value(&out->compute_url)) return false;
    } else if (arg == "--driver") {
      if (!value(&out->driver_path)) return false;
    } else if (arg == "--localsvc") {
      if (!value(&out->localsvc_path)) return false;
    } else if (arg == "-o" || arg == "--output") {
      if (!value(&out->output_path)) return false;
    } else if (arg == "--format") {
      if (!value(&v)) return false;
      if (!parse_format(v, &out->format)) {
        *err = "--format must be table, csv, arrow or parquet";
        return false;
      }
    } else if (arg == "--max-rows") {
      if (!value(&v)) return false;
      int64_t n = 0;
      const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
      if (ec != std::errc() || end != v.data() + v.size() || n < -1) {
        *err = "--max-rows must be an integer of -1 or more";
        return false;
      }
      out->max_rows = n;
    } else if (arg == "--option") {
      if (!value(&v)) return false;
      const size_t eq = v.find('=');
      if (eq == std::string::npos || eq == 0) {
        *err = "--option takes KEY=VALUE";
        return false;
      }
      out->db_options.emplace_back(v.substr(0, eq), v.substr(eq + 1));
    } else if (arg == "-f" || arg == "--file") {
      if (!value(&v)) return false;
      std::string text;
      if (!read_file(v, &text)) {
        *err = "cannot read " + v;
        return false;
      }
      out->statements.push_back(std::move(text));
    } else if (auto flag = option_flags().find(arg); flag != option_flags().end()) {
      if (!value(&v)) return false;
      out->db_options.emplace_back(std::string(flag->second), v);
    } else if (arg.size() > 1 && arg.front() == '-') {
      *err = "unknown option " + std::string(arg);
      return false;
    } else {
      out->statements.emplace_back(arg);
    }
  }
  if (out->help) return true;
  if (!out->local && out->uri.empty()) {
    *err = "give --uri or --local";
    return false;
  }
  if ((out->format == Format::kArrow || out->format == Format::kParquet) &&
      out->output_path.empty() && !out->statements.empty()) {
    *err = "--format arrow and parquet write to a file: give --output FILE";
    return false;
  }
  return true;
}

}  // namespace nvsql
