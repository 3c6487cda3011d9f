// The names the compute node gives a statement's output columns, worked out from the statement's
// text and parse tree. The parser folds unquoted identifiers to lower case while the node keeps
// them as written; and the node names an unaliased expression by its rendering of it:
// upper(table_name), (length(table_name) + 1), count_star(). Where a name cannot be told exactly,
// there is none, and the statement is left to the node.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "sql/pg_tree_internal.h"

namespace nv_sql {

class OutputNames {
 public:
  /// `sql` must outlive this object.
  explicit OutputNames(const std::string& sql);

  /// An identifier as the parser reports it, spelled as the statement writes it; nothing when
  /// the statement spells it more than one way or not at all.
  std::optional<std::string> spelling(const std::string& parsed) const;

  /// The alias `parsed` of the select-list item that starts at byte `location`, as written;
  /// `next` is where the next item starts (-1 for the last item, which a FROM follows).
  std::optional<std::string> alias(const std::string& parsed, int64_t location,
                                   int64_t next) const;

  /// The node's name for an output column computed by expression `node`.
  std::optional<std::string> render(const json* node) const;

  /// The word at byte `location` of the statement (letters, digits and _), or empty.
  std::string_view word_at(int64_t location) const;

 private:
  // The statement's names and the punctuation around them; strings, numbers, comments and
  // operators are left out.
  struct Token {
    enum Kind : uint8_t { kName, kQuoted, kPunct } kind;
    size_t begin;
    std::string text;  // a name as written, a quoted name's content, or the punctuation mark
    std::string parsed() const;
  };
  const std::vector<Token>& tokens() const;
  /// The token that starts at byte `location`, or -1.
  int64_t token_at(int64_t location) const;

  std::optional<std::string> column_ref(const json& c) const;
  std::optional<std::string> constant(const json& c) const;
  std::optional<std::string> integer_text(const json& c, int64_t value) const;
  std::optional<std::string> operator_expr(const json& a) const;
  std::optional<std::string> bool_expr(const json& b) const;
  std::optional<std::string> case_expr(const json& c) const;
  std::optional<std::string> function(const json& f) const;
  std::optional<std::string> cast(const json& c) const;
  std::optional<std::string> type_name(const json& t) const;
  std::optional<std::string> list(const json& items) const;

  const std::string& sql_;
  mutable bool lexed_ = false;
  mutable std::vector<Token> tokens_;
  // parsed -> as written
  mutable std::unordered_map<std::string, std::vector<std::string>> spellings_;
};

/// `name` as the node writes it into a rendered name: plain when it is a lower- or upper-case
/// identifier that is no keyword of its dialect, else in double quotes.
std::string quote_name(const std::string& name);

/// Whether the lower-case `word` is a keyword of the node's dialect.
bool is_dialect_keyword(std::string_view lowered);

}  // namespace nv_sql
