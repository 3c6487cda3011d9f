// The parser bridge's entry point: SQL text through libpg_query's parser to the walker, which
// builds the engine's syntax tree (transform_select.cc, transform_expression.cc,
// transform_operator.cc, transform_function.cc).
//
// Two differences to DuckDB's dialect of the same grammar are settled here:
// - TRUE and FALSE arrive as boolean constants and become boolean literals (type Bool).
// - PostgreSQL has no "==" operator and no SEMI/ANTI join syntax; their mappings exist for
//   completeness but are never reached from text.

#include <exception>

#include "sql/walker_internal.h"

namespace nv_sql {

std::unique_ptr<SelectStatement> nv_sql_parse(const std::string& sql, ParseError* error) {
  if (error == nullptr) return nullptr;
  *error = ParseError{};
  JsonDocument doc;
  if (!parse_tree(sql, &doc, error)) return nullptr;
  try {
    const json* body = single_select(doc.root(), error);
    if (body == nullptr) return nullptr;
    Walker walker(error, sql);
    auto stmt = walker.transform_select(*body, /*names_seen=*/true);
    if (walker.aborted()) return nullptr;
    return stmt;
  } catch (const std::exception& e) {
    // A parse tree of an unexpected shape (a field of another JSON type).
    *error = ParseError{ParseStatus::Malformed, std::string("unexpected parse tree: ") + e.what(),
                        -1};
    return nullptr;
  }
}

}  // namespace nv_sql
