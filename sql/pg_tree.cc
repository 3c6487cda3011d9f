#include "sql/pg_tree_internal.h"

#include <pg_query.h>

#include <exception>
#include <mutex>

namespace nv_sql {
namespace {

// libpg_query keeps process-wide parser state; every call into it is serialised.
std::mutex pg_parser_mutex;

struct ParseResultOwner {
  PgQueryParseResult result;
  explicit ParseResultOwner(const std::string& sql) : result(pg_query_parse(sql.c_str())) {}
  ~ParseResultOwner() { pg_query_free_parse_result(result); }
  ParseResultOwner(const ParseResultOwner&) = delete;
  ParseResultOwner& operator=(const ParseResultOwner&) = delete;
};

}  // namespace

std::string kind_of(const json* node, const json** body) {
  *body = nullptr;
  if (node == nullptr || !node->is_object() || node->size() != 1) return "";
  auto it = node->begin();
  *body = &it.value();
  return std::string(it.key());
}

const json* field(const json& body, const char* name) {
  auto it = body.find(name);
  if (it == body.end() || it->is_null()) return nullptr;
  return &*it;
}

std::string str_field(const json& body, const char* name) {
  const json* f = field(body, name);
  return (f != nullptr && f->is_string()) ? f->get<std::string>() : std::string();
}

bool bool_field(const json& body, const char* name) {
  const json* f = field(body, name);
  return f != nullptr && f->is_boolean() && f->get<bool>();
}

const json& list_field(const json& body, const char* name) {
  const json* f = field(body, name);
  return (f != nullptr && f->is_array()) ? *f : JsonValue::EmptyArray();
}

std::optional<std::string> string_node(const json& node) {
  const json* body = nullptr;
  if (kind_of(&node, &body) != "String") return std::nullopt;
  return str_field(*body, "sval");
}

std::optional<std::vector<std::string>> string_list(const json& list) {
  std::vector<std::string> out;
  for (const json& n : list) {
    auto s = string_node(n);
    if (!s) return std::nullopt;
    out.push_back(std::move(*s));
  }
  return out;
}

bool parse_tree(const std::string& sql, JsonDocument* doc, ParseError* error) {
  try {
    std::string text;
    {
      std::lock_guard<std::mutex> lock(pg_parser_mutex);
      ParseResultOwner parsed(sql);
      if (parsed.result.error != nullptr) {
        error->status = ParseStatus::Malformed;
        error->message = parsed.result.error->message ? parsed.result.error->message : "";
        error->location = parsed.result.error->cursorpos > 0
                              ? static_cast<int32_t>(parsed.result.error->cursorpos - 1)
                              : -1;
        return false;
      }
      text = parsed.result.parse_tree ? parsed.result.parse_tree : "";
    }
    std::string unreadable;
    if (doc->Parse(std::move(text), &unreadable)) return true;
    error->status = ParseStatus::Internal;
    error->message = "libpg_query output unreadable: " + unreadable;
    return false;
  } catch (const std::exception& e) {
    error->status = ParseStatus::Internal;
    error->message = std::string("libpg_query threw: ") + e.what();
  } catch (...) {
    error->status = ParseStatus::Internal;
    error->message = "libpg_query threw (unknown)";
  }
  return false;
}

const json* single_select(const json& tree, ParseError* error) {
  const json* stmts = field(tree, "stmts");
  if (stmts == nullptr || !stmts->is_array() || stmts->empty()) {
    error->status = ParseStatus::Malformed;
    error->message = "libpg_query produced empty parse tree";
    return nullptr;
  }
  if (stmts->size() > 1) {
    error->status = ParseStatus::Unsupported;
    error->message = "multi-statement SQL is out of scope";
    return nullptr;
  }
  const json& raw = stmts->front();
  if (raw.is_null()) {
    error->status = ParseStatus::Malformed;
    error->message = "libpg_query produced null parse node";
    return nullptr;
  }
  const json* inner = raw.is_object() ? field(raw, "stmt") : nullptr;
  if (inner == nullptr) {
    error->status = ParseStatus::Malformed;
    error->message = "PGRawStmt with null inner statement";
    return nullptr;
  }
  const json* body = nullptr;
  if (kind_of(inner, &body) != "SelectStmt") {
    error->status = ParseStatus::Unsupported;
    error->message = "not a SELECT statement";
    return nullptr;
  }
  return body;
}

}  // namespace nv_sql
