// Where the shell's input lines come from: the terminal through libedit (line editing and
// history), or a script (standard input that is not a terminal, or a file given to \i).
#pragma once

#include <istream>
#include <memory>
#include <string>

#include "tools/nvsql/interrupt.h"

namespace nvsql {

class LineSource {
 public:
  enum class Read { kLine, kEnd, kInterrupted };
  virtual ~LineSource() = default;
  /// Reads one line (without its end-of-line) after showing `prompt` where that makes sense.
  virtual Read read(const char* prompt, std::string* line) = 0;
  /// Records an entry in the history, where there is one.
  virtual void remember(const std::string& entry) { (void)entry; }
};

/// Lines of a stream; no prompt, no history.
class StreamLineSource : public LineSource {
 public:
  explicit StreamLineSource(std::istream& in) : in_(in) {}
  Read read(const char* prompt, std::string* line) override;

 private:
  std::istream& in_;
};

/// The history file: $XDG_DATA_HOME/nvsql/history, else ~/.local/share/nvsql/history; empty
/// when neither directory is known.
std::string history_path();

/// The terminal through libedit. History is loaded from and saved to `history_file` (empty:
/// none), which is kept at mode 0600 and saved after each new entry. Ctrl-C at the prompt
/// discards the line being typed (kInterrupted). Null when libedit cannot start.
std::unique_ptr<LineSource> make_terminal_source(const std::string& history_file,
                                                 Interrupts* interrupts);

}  // namespace nvsql
