// libpg_query's parse tree as the bridge reads it: the call into the parser, and the JSON
// nodes it returns. Node kinds are PostgreSQL's (SelectStmt, A_Expr, BoolExpr, ...).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sql/json_reader_internal.h"
#include "sql/parser_bridge_internal.h"

namespace nv_sql {

using json = JsonValue;

/// Guards the recursive conversion (and every later tree walk) against pathological nesting.
inline constexpr int kMaxDepth = 1000;

/// A node is an object with one key, its kind. Returns the kind and its body (or "" / null).
std::string kind_of(const json* node, const json** body);
/// A member that is present and not null; null otherwise.
const json* field(const json& body, const char* name);
/// A string member; empty when missing or of another type.
std::string str_field(const json& body, const char* name);
bool bool_field(const json& body, const char* name);
/// A list field: missing gives an empty list.
const json& list_field(const json& body, const char* name);
/// The text of a String node, when the node is one.
std::optional<std::string> string_node(const json& node);
/// The texts of a list of String nodes (a qualified name); nothing when one is no String.
std::optional<std::vector<std::string>> string_list(const json& list);

/// Reads the parse tree of `sql` as libpg_query gives it into `doc`; false with `error` saying
/// why when there is none. Calls into the parser are serialised.
bool parse_tree(const std::string& sql, JsonDocument* doc, ParseError* error);
/// The body of the only statement of a tree that holds exactly one SELECT; null otherwise, with
/// `error` saying why.
const json* single_select(const json& tree, ParseError* error);

}  // namespace nv_sql
