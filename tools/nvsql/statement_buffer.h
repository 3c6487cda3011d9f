// Collects input lines into statements that end at a semicolon. The library's SQL lexer decides
// where a statement ends, so a ; inside a string, a quoted identifier, a comment or a
// dollar-quoted body does not.
#pragma once

#include <string>
#include <string_view>

namespace nvsql {

/// Whether `c` is white space between SQL tokens and around shell input.
bool is_space(char c);
/// `text` without white space at either end.
std::string trimmed(std::string_view text);

class StatementBuffer {
 public:
  /// Appends a line (an end-of-line is added).
  void add_line(std::string_view line);
  /// Takes the next complete statement: the text before its ;, without surrounding white
  /// space. Statements holding nothing but white space and comments are dropped.
  bool take(std::string* statement);
  /// Takes what is left at the end of input when it holds a statement without its ;.
  bool take_rest(std::string* statement);
  /// Nothing but white space and comments pending.
  bool blank() const;
  /// The pending text ends inside a string, quoted identifier or comment.
  bool inside_literal() const;
  void clear() { text_.clear(); }

 private:
  std::string text_;
};

}  // namespace nvsql
