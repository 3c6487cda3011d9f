// Whether a text is exactly one query that only reads, and that query's own text.

#include <exception>

#include "sql/pg_tree_internal.h"

namespace nv_sql {
namespace {

// Whether anything below `node` writes or locks: a data-modifying statement (inside a WITH),
// SELECT INTO, or a row-locking clause. Nesting too deep to inspect counts as writing.
bool writes_or_locks(const json& node, int depth) {
  if (depth > kMaxDepth) return true;
  if (node.is_array()) {
    for (const json& item : node) {
      if (writes_or_locks(item, depth + 1)) return true;
    }
    return false;
  }
  if (!node.is_object()) return false;
  for (auto member = node.begin(); member != node.end(); ++member) {
    for (const char* writer : {"InsertStmt", "UpdateStmt", "DeleteStmt", "MergeStmt",
                               "intoClause", "lockingClause"}) {
      if (member.key() == writer) return true;
    }
    if (writes_or_locks(member.value(), depth + 1)) return true;
  }
  return false;
}

}  // namespace

std::optional<std::string> nv_sql_read_only_query(const std::string& sql) {
  ParseError error;
  JsonDocument doc;
  if (!parse_tree(sql, &doc, &error)) return std::nullopt;
  try {
    const json* body = single_select(doc.root(), &error);
    if (body == nullptr || writes_or_locks(*body, 0)) return std::nullopt;
    // The statement's own bytes: libpg_query leaves out a closing semicolon and what follows
    // it (a length of 0 runs to the end of the text).
    const json& raw = doc.root()["stmts"].front();
    const int64_t at = raw.value("stmt_location", int64_t{0});
    const int64_t length = raw.value("stmt_len", int64_t{0});
    if (at < 0 || length < 0 || static_cast<uint64_t>(at) > sql.size()) return std::nullopt;
    return sql.substr(static_cast<size_t>(at),
                      length == 0 ? std::string::npos : static_cast<size_t>(length));
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace nv_sql
