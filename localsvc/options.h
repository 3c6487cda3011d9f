// Command-line options of norvale-localsvc.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace nv_localsvc {

struct Options {
  std::string host = "127.0.0.1";
  int port = 0;        // control plane; 0 picks a free port
  int nodes = 1;       // compute nodes, each on its own port
  std::vector<int> node_ports;
  std::string db_path;  // empty: in-memory database
  std::vector<std::pair<std::string, std::string>> users;    // --user NAME:PASSWORD
  std::vector<std::pair<std::string, std::string>> clients;  // --client ID:SECRET
  std::string seed;  // "demo" or empty
  std::string tls_cert;
  std::string tls_key;
  std::string tls_client_ca;
  std::string land_dir;
  std::string admin_token;  // empty: random
  int64_t token_ttl_seconds = 3600;
  int threads = 16;  // idle threads kept per listening port (more start as connections come)
  int64_t keep_alive_seconds = 60;  // an idle client connection is closed after this long
  bool log_requests = false;  // one line per request on standard error
};

/// Parses argv; false with a message for bad input. `help` is set for --help.
bool parse_options(int argc, char** argv, Options* out, std::string* err, bool* help);

const char* usage_text();

}  // namespace nv_localsvc
