#include "cells/statement_kind_internal.h"

#include <optional>

#include "cells/sql_lexer.h"
#include "util/strings_internal.h"

namespace norvale::cells {
namespace {

bool blank_or_paren(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v' || c == '(';
}

bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// The first keyword of `sql`: the letters that open the first significant text outside
// comments; empty when something else (a literal, a quoted name, a parameter) comes first.
std::string_view first_keyword(std::string_view sql) {
  std::optional<std::string_view> word;
  lex_sql(sql, [&](const SqlToken& token) {
    if (word || token.kind == SqlTokenKind::kComment) return;
    if (token.kind != SqlTokenKind::kOther) {
      word = std::string_view();
      return;
    }
    size_t i = token.begin;
    while (i < token.end && blank_or_paren(sql[i])) ++i;
    if (i == token.end) return;  // only blanks and parentheses: keep looking
    size_t j = i;
    while (j < token.end && is_letter(sql[j])) ++j;
    word = sql.substr(i, j - i);
  });
  return word.value_or(std::string_view());
}

}  // namespace

StatementKind statement_kind(std::string_view sql) {
  const std::string_view word = first_keyword(sql);
  if (word.empty()) return StatementKind::kNone;
  for (std::string_view read : {"select", "values", "show", "describe", "explain", "summarize"}) {
    if (ascii_eq_ci(word, read)) return StatementKind::kReadOnly;
  }
  for (std::string_view query : {"with", "table", "from"}) {
    if (ascii_eq_ci(word, query)) return StatementKind::kQuery;
  }
  return StatementKind::kOther;
}

bool sql_may_be_query(std::string_view sql) {
  return statement_kind(sql) != StatementKind::kOther;
}

bool sql_may_write_catalog(std::string_view sql) {
  return statement_kind(sql) != StatementKind::kReadOnly;
}

bool sql_reads_catalog(std::string_view sql) {
  return ascii_contains_ci(sql, "information_schema");
}

}  // namespace norvale::cells
