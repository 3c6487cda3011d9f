// Command line of nvsql.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nvsql {

enum class Format { kTable, kCsv, kArrow, kParquet };

struct Options {
  std::string uri;
  std::string user;
  std::string password;
  bool password_given = false;
  std::string session_token;
  std::string compute_node;
  std::string compute_url;
  /// Database options in the order given: the TLS flags and every --option KEY=VALUE.
  std::vector<std::pair<std::string, std::string>> db_options;
  bool local = false;
  std::string driver_path;
  std::string localsvc_path;
  Format format = Format::kTable;
  std::string output_path;  // empty: standard output (table and CSV only)
  int64_t max_rows = 1000;  // rows printed by the table format; -1 prints all
  bool quiet = false;       // no summary line
  bool progress = true;     // the progress line on a terminal (--no-progress)
  bool help = false;
  /// Statements run in order on one connection; none: the shell reads them from standard
  /// input.
  std::vector<std::string> statements;
};

/// Parses argv; false with a message in `err` for bad usage.
bool parse_options(int argc, const char* const* argv, Options* out, std::string* err);

/// "table", "csv", "arrow" (or "ipc"), "parquet"; false for anything else.
bool parse_format(std::string_view text, Format* out);

/// The --help text.
const char* usage();

}  // namespace nvsql
