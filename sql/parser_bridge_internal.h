// Parser bridge: SQL text to the engine's syntax tree, through the PostgreSQL grammar.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "sql/syntax_tree_internal.h"

namespace nv_sql {

enum class ParseStatus : int32_t { Ok = 0, Malformed = 1, Unsupported = 2, Internal = 3 };

struct ParseError {
  ParseStatus status = ParseStatus::Ok;
  std::string message;
  int32_t location = -1;  // byte offset of a syntax error, otherwise -1
};

/// Parses one SELECT statement of the supported subset. Returns the tree, or nothing with
/// `error` saying why (a null `error` returns nothing without parsing).
std::unique_ptr<SelectStatement> nv_sql_parse(const std::string& sql, ParseError* error);

/// When `sql` is exactly one query that only reads (a SELECT, with set operations, VALUES and
/// WITH, holding no data-modifying statement, no SELECT INTO and no row lock, in the PostgreSQL
/// grammar): the text of that statement, without a closing semicolon and anything after it.
/// Nothing for any other text, text that does not parse included.
std::optional<std::string> nv_sql_read_only_query(const std::string& sql);

}  // namespace nv_sql
