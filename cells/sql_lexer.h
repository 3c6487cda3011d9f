// The one SQL lexer of the library: finds string literals, quoted identifiers, comments,
// parameter placeholders and statement separators in the service's SQL dialect.
// Standard library only (with the header-only util/strings_internal.h): the nvsql shell
// compiles this file into its own library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

namespace norvale::cells {

enum class SqlTokenKind : uint8_t {
  kOther,             // keywords, names, operators, numbers, white space
  kString,            // '...', E'...' (backslash escapes), $$...$$ / $tag$...$tag$, quotes included
  kQuotedIdentifier,  // "..." (and [...] only where a bracket identifier can stand)
  kComment,           // -- to CR or LF, /* nested */
  kPlaceholder,       // a ? that is a parameter
  kSemicolon,         // ; outside all of the above
  kNumberedParameter,  // $1, $2, ...: a parameter by number
  kNamedParameter,     // $name or :name: a parameter by name
};

struct SqlToken {
  SqlTokenKind kind;
  size_t begin;
  size_t end;  // [begin, end) byte offsets into the text
};

/// Whether `c` may continue a name: ASCII letters and digits, _, $ and the bytes of UTF-8
/// sequences.
bool is_name_byte(unsigned char c);

/// Whether `word` is the keyword `upper` (given in upper case) in any ASCII case.
bool is_keyword(std::string_view word, std::string_view upper);

/// Calls on_token for every token of `sql` in order; the tokens cover the text without gaps.
/// Returns false when the text ends inside an unterminated string, quoted identifier or
/// comment (the last token then runs to the end).
///
/// A [ opens a bracket identifier only after a dot or after FROM, JOIN, INTO, UPDATE, TABLE or
/// AS; anywhere else it is a list literal or a subscript, whose contents are lexed as SQL.
/// A ? is not a placeholder where it is part of an operator: ?| ?& ?# ?-| and @?.
///
/// $ and digits is a numbered parameter, and $ and a name not closed as a dollar-quote tag a
/// named one. :name is a named parameter only where an operand starts: not in ::, not inside
/// [...] or {...} (slices, struct literals), and not right after a name, a number, a quote, a
/// closing bracket or a ? (prefix aliases "alias: expr" and the like).
bool lex_sql(std::string_view sql, const std::function<void(const SqlToken&)>& on_token);

}  // namespace norvale::cells
