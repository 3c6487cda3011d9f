// The nvsql shell: statements read from a terminal (interactive) or a script, split at
// semicolons, and backslash meta-commands for browsing the catalog and setting the output.
#pragma once

#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "tools/nvsql/adbc_host.h"
#include "tools/nvsql/interrupt.h"
#include "tools/nvsql/line_source.h"
#include "tools/nvsql/options.h"
#include "tools/nvsql/output.h"
#include "tools/nvsql/statement_runner.h"

namespace nvsql {

/// What \conninfo shows, and the texts that must never reach the history file.
struct ConnectionInfo {
  std::string user;
  std::string control_plane;
  std::string compute;  // asked for: the node or URL given, or how the node is chosen
  std::string tls;
  std::vector<std::string> secrets;  // password and session token given to nvsql
};

class Shell {
 public:
  Shell(Session& session, StatementRunner& runner, const Options& options,
        ConnectionInfo connection, std::ostream& diag, bool interactive);

  /// Reads and runs everything `source` gives; returns the exit status. A script stops at its
  /// first failing statement; the interactive shell reports the failure and goes on.
  int run(LineSource& source);

 private:
  enum class Step { kGoOn, kQuit, kFailed };

  Step process(LineSource& source, int depth);
  Step statement(const std::string& sql);
  Step meta(const std::string& line, int depth);
  Step describe(const std::string& name);
  Step list(const std::string& pattern, const char* type);
  Step include(const std::string& path, int depth);
  Step set_output(const std::string& path);
  /// Prints a small table of text columns (meta-command answers) in the current format.
  void print_rows(const std::vector<std::string>& names,
                  const std::vector<std::vector<std::string>>& rows);
  ResultTarget target();
  void remember(LineSource& source, const std::string& entry) const;
  /// The compute node in use, for \conninfo.
  std::string chosen_compute();

  Session& session_;
  StatementRunner& runner_;
  Options options_;
  ConnectionInfo connection_;
  std::ostream& diag_;
  bool interactive_;
  bool timing_ = false;
  Expanded expanded_ = Expanded::kAuto;
  std::string output_path_;  // \o; empty: standard output
  std::ofstream output_file_;
};

/// The \? text.
const char* shell_help();

}  // namespace nvsql
