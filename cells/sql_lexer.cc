// The SQL lexer. It follows the service's dialect (PostgreSQL's lexical rules as DuckDB keeps
// them): a text is only ever split where the service itself would split it.
#include "cells/sql_lexer.h"

#include <array>
#include <cstring>
#include <string>

#include "util/strings_internal.h"

namespace norvale::cells {
namespace {

bool is_ident_start(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c >= 0x80;
}
bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
// A $ inside a name belongs to it ("a$b$" is a name, not the start of a dollar quote).
bool is_ident_char(unsigned char c) { return is_ident_start(c) || is_digit(c) || c == '$'; }
bool is_space(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// Words after which a name stands, so that a [ there opens a bracket identifier.
bool introduces_name(std::string_view word) {
  static constexpr std::array<std::string_view, 6> kWords = {"FROM", "JOIN", "INTO",
                                                              "UPDATE", "TABLE", "AS"};
  for (std::string_view w : kWords) {
    if (is_keyword(word, w)) return true;
  }
  return false;
}

class Lexer {
 public:
  Lexer(std::string_view sql, const std::function<void(const SqlToken&)>& on_token)
      : sql_(sql), n_(sql.size()), on_token_(on_token) {}

  bool Run() {
    size_t i = 0;
    while (i < n_) {
      const unsigned char c = static_cast<unsigned char>(sql_[i]);
      if (is_space(c)) {
        ++i;
      } else if (c == '\'') {
        if (!Quoted(SqlTokenKind::kString, i, i + 1, '\'', false, &i)) return false;
      } else if (c == '"') {
        if (!Quoted(SqlTokenKind::kQuotedIdentifier, i, i + 1, '"', false, &i)) return false;
      } else if (is_ident_start(c)) {
        size_t j = i + 1;
        while (j < n_ && is_ident_char(static_cast<unsigned char>(sql_[j]))) ++j;
        const std::string_view word = sql_.substr(i, j - i);
        if (j < n_ && sql_[j] == '\'' && (word == "E" || word == "e")) {
          if (!Quoted(SqlTokenKind::kString, i, j + 1, '\'', true, &i)) return false;
        } else {
          name_position_ = introduces_name(word);
          i = j;
        }
      } else if (is_digit(c) || (c == '.' && i + 1 < n_ && is_digit(sql_[i + 1]))) {
        // Numbers, with fractions, exponents and any trailing letters the service rejects.
        size_t j = i + 1;
        while (j < n_ && (is_ident_char(static_cast<unsigned char>(sql_[j])) || sql_[j] == '.'))
          ++j;
        name_position_ = false;
        i = j;
      } else if (c == '$') {
        if (!Dollar(i, &i)) return false;
      } else if (c == '-' && i + 1 < n_ && sql_[i + 1] == '-') {
        size_t j = i + 2;
        while (j < n_ && sql_[j] != '\n' && sql_[j] != '\r') ++j;
        Emit(SqlTokenKind::kComment, i, j);
        i = j;
      } else if (c == '/' && i + 1 < n_ && sql_[i + 1] == '*') {
        if (!BlockComment(i, &i)) return false;
      } else if (c == '?') {
        if (IsOperatorMark(i)) {
          name_position_ = false;
        } else {
          Emit(SqlTokenKind::kPlaceholder, i, i + 1);
          name_position_ = false;
        }
        ++i;
      } else if (c == ';') {
        Emit(SqlTokenKind::kSemicolon, i, i + 1);
        name_position_ = false;
        ++i;
      } else if (c == '[' && name_position_) {
        if (!Quoted(SqlTokenKind::kQuotedIdentifier, i, i + 1, ']', false, &i)) return false;
      } else if (c == ':') {
        i = Colon(i);
      } else {
        TrackNesting(c);
        name_position_ = c == '.';
        ++i;
      }
    }
    Flush(n_);
    return true;
  }

 private:
  void Flush(size_t upto) {
    if (other_begin_ < upto) on_token_(SqlToken{SqlTokenKind::kOther, other_begin_, upto});
    other_begin_ = upto;
  }

  void Emit(SqlTokenKind kind, size_t begin, size_t end) {
    Flush(begin);
    on_token_(SqlToken{kind, begin, end});
    other_begin_ = end;
  }

  // A text closed by `close`, where a doubled `close` stands for one (and, with `backslash`, a
  // backslash takes the next byte literally). `body` is just past the opening character.
  bool Quoted(SqlTokenKind kind, size_t begin, size_t body, char close, bool backslash,
              size_t* next) {
    name_position_ = false;
    size_t j = body;
    while (j < n_) {
      const char c = sql_[j];
      if (backslash && c == '\\') {
        j += 2;
      } else if (c == close) {
        if (j + 1 < n_ && sql_[j + 1] == close) {
          j += 2;
        } else {
          Emit(kind, begin, j + 1);
          *next = j + 1;
          return true;
        }
      } else {
        ++j;
      }
    }
    Emit(kind, begin, n_);
    *next = n_;
    return false;
  }

  // $tag$...$tag$ (the tag a name without $, possibly empty), $1 (a numbered parameter) or
  // $name (a named one); a $ after a name belongs to it.
  bool Dollar(size_t begin, size_t* next) {
    name_position_ = false;
    // The digits of a numbered parameter are no name: $1$2 is two parameters.
    const bool after_name = begin > 0 && begin != numbered_end_ &&
                            is_ident_char(static_cast<unsigned char>(sql_[begin - 1]));
    size_t j = begin + 1;
    if (!after_name && j < n_ && is_digit(static_cast<unsigned char>(sql_[j]))) {
      while (j < n_ && is_digit(static_cast<unsigned char>(sql_[j]))) ++j;
      Emit(SqlTokenKind::kNumberedParameter, begin, j);
      numbered_end_ = j;
      *next = j;
      return true;
    }
    if (!after_name && j < n_ && is_ident_start(static_cast<unsigned char>(sql_[j]))) {
      ++j;
      while (j < n_ && (is_ident_start(static_cast<unsigned char>(sql_[j])) ||
                        is_digit(static_cast<unsigned char>(sql_[j]))))
        ++j;
      if (j >= n_ || sql_[j] != '$') {
        Emit(SqlTokenKind::kNamedParameter, begin, j);
        *next = j;
        return true;
      }
    }
    if (after_name || j >= n_ || sql_[j] != '$') {
      *next = begin + 1;
      return true;
    }
    const std::string_view delimiter = sql_.substr(begin, j + 1 - begin);
    const size_t close = sql_.find(delimiter, j + 1);
    if (close == std::string_view::npos) {
      Emit(SqlTokenKind::kString, begin, n_);
      *next = n_;
      return false;
    }
    Emit(SqlTokenKind::kString, begin, close + delimiter.size());
    *next = close + delimiter.size();
    return true;
  }

  bool BlockComment(size_t begin, size_t* next) {
    size_t depth = 1;
    size_t j = begin + 2;
    while (j < n_) {
      if (sql_[j] == '/' && j + 1 < n_ && sql_[j + 1] == '*') {
        ++depth;
        j += 2;
      } else if (sql_[j] == '*' && j + 1 < n_ && sql_[j + 1] == '/') {
        j += 2;
        if (--depth == 0) {
          Emit(SqlTokenKind::kComment, begin, j);
          *next = j;
          return true;
        }
      } else {
        ++j;
      }
    }
    Emit(SqlTokenKind::kComment, begin, n_);
    *next = n_;
    return false;
  }

  // :: (a cast) or :name where an operand starts; returns the position after what it read.
  size_t Colon(size_t at) {
    name_position_ = false;
    if (at + 1 < n_ && sql_[at + 1] == ':') return at + 2;
    if (at + 1 >= n_ || !is_ident_start(static_cast<unsigned char>(sql_[at + 1])) ||
        brackets_ > 0 || braces_ > 0) {
      return at + 1;
    }
    if (at > 0) {
      const unsigned char before = static_cast<unsigned char>(sql_[at - 1]);
      if (is_ident_char(before) || std::strchr("'\"])}?:", before) != nullptr) return at + 1;
    }
    size_t j = at + 2;
    while (j < n_ && is_ident_char(static_cast<unsigned char>(sql_[j]))) ++j;
    Emit(SqlTokenKind::kNamedParameter, at, j);
    return j;
  }

  // Depth of the list literals, subscripts and struct literals the text is in.
  void TrackNesting(unsigned char c) {
    if (c == '[') ++brackets_;
    if (c == ']' && brackets_ > 0) --brackets_;
    if (c == '{') ++braces_;
    if (c == '}' && braces_ > 0) --braces_;
  }

  // ?| ?& ?# ?-| and @? are operators (jsonb, geometry); ?|| is a placeholder and a
  // concatenation, ?&& a placeholder and an overlap test.
  bool IsOperatorMark(size_t at) const {
    if (at > 0 && sql_[at - 1] == '@') return true;
    const std::string_view rest = sql_.substr(at + 1);
    if (rest.starts_with("|")) return !rest.starts_with("||");
    if (rest.starts_with("&")) return !rest.starts_with("&&");
    return rest.starts_with("#") || rest.starts_with("-|");
  }

  std::string_view sql_;
  size_t n_;
  const std::function<void(const SqlToken&)>& on_token_;
  size_t other_begin_ = 0;
  bool name_position_ = false;  // the last significant text was a dot or a name-introducing word
  size_t brackets_ = 0;
  size_t braces_ = 0;
  size_t numbered_end_ = 0;  // just past the last numbered parameter
};

}  // namespace

bool is_name_byte(unsigned char c) { return is_ident_char(c); }

bool is_keyword(std::string_view word, std::string_view upper) {
  return ascii_eq_ci(word, upper);
}

bool lex_sql(std::string_view sql, const std::function<void(const SqlToken&)>& on_token) {
  return Lexer(sql, on_token).Run();
}

}  // namespace norvale::cells
