// Ctrl-C in the shell: the SIGINT handler only writes one byte to a pipe, which the shell
// watches while a statement runs and which ends a pending read at the prompt.
#pragma once

namespace nvsql {

class Interrupts {
 public:
  /// Installs the handler (once per process) and returns the process-wide instance; null when
  /// the pipe cannot be made.
  static Interrupts* install();
  /// Becomes readable after a SIGINT.
  int fd() const { return read_fd_; }
  /// Drains the pipe; true when at least one SIGINT came since the last call.
  bool take();

 private:
  Interrupts() = default;
  int read_fd_ = -1;
};

}  // namespace nvsql
