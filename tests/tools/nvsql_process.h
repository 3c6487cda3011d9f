// Runs the nvsql program for tests: to completion with files for its standard streams, or on a
// pseudo-terminal driven line by line as a person at a terminal would.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace nvsql_test {

struct NvsqlRun {
  int exit_code = -1;
  std::string out;
  std::string err;
};

/// A path under $TMPDIR (or /tmp) unique to this process.
std::string temp_path(const std::string& name);

/// Runs nvsql with `args`, standard input from `input` (not a terminal); extra environment
/// entries as "NAME=value".
NvsqlRun run_nvsql(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                   const std::string& input = {});

/// nvsql on a pseudo-terminal of 120 columns: standard input, output and error are the
/// terminal.
class NvsqlTerminal {
 public:
  NvsqlTerminal(const std::vector<std::string>& args, const std::vector<std::string>& env);
  ~NvsqlTerminal();
  NvsqlTerminal(const NvsqlTerminal&) = delete;
  NvsqlTerminal& operator=(const NvsqlTerminal&) = delete;

  bool started() const { return pid_ > 0; }
  /// Types `text` (use "\r" for Enter, "\x03" for Ctrl-C, "\x04" for Ctrl-D).
  void type(const std::string& text);
  /// Waits until `needle` appears in what the terminal shows after the last match; true when
  /// it does within `seconds`. The next call searches after this match.
  bool expect(const std::string& needle, double seconds = 30);
  /// Everything shown since the last match.
  std::string unmatched() const { return shown_.substr(mark_); }
  /// Everything shown so far.
  const std::string& shown() const { return shown_; }
  /// Waits for the program to end; its exit status, or -1 when it did not end in `seconds`.
  int wait(double seconds = 30);

 private:
  bool pump(int timeout_ms);
  int fd_ = -1;
  pid_t pid_ = -1;
  std::string shown_;
  size_t mark_ = 0;
};

}  // namespace nvsql_test
