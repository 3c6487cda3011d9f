// The bridge ("walker") from libpg_query's JSON parse tree to the engine's syntax tree. Node
// kinds are PostgreSQL's (SelectStmt, A_Expr, BoolExpr, ...). Everything outside the supported
// subset is refused with a status and a message; the first refusal wins.
//
// Two differences to DuckDB's dialect of the same grammar are settled here:
// - TRUE and FALSE arrive as boolean constants and become boolean literals (type Bool).
// - PostgreSQL has no "==" operator and no SEMI/ANTI join syntax; their mappings exist for
//   completeness but are never reached from text.

#include <pg_query.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <mutex>

#include <nlohmann/json.hpp>

#include "sql/parser_bridge_internal.h"

namespace nv_sql {
namespace {

using json = nlohmann::json;

// libpg_query keeps process-wide parser state; every call into it is serialised.
std::mutex pg_parser_mutex;

// Guards the recursive conversion (and every later tree walk) against pathological nesting.
constexpr int kMaxDepth = 1000;
// Each nested SELECT is a recursive execution in the engine, far heavier on the stack than an
// expression level; host threads may have small stacks.
constexpr int kMaxSelectDepth = 64;

struct ParseResultOwner {
  PgQueryParseResult result;
  explicit ParseResultOwner(const std::string& sql) : result(pg_query_parse(sql.c_str())) {}
  ~ParseResultOwner() { pg_query_free_parse_result(result); }
  ParseResultOwner(const ParseResultOwner&) = delete;
  ParseResultOwner& operator=(const ParseResultOwner&) = delete;
};

/// A node is an object with one key, its kind. Returns the kind and its body (or "" / null).
std::string kind_of(const json* node, const json** body) {
  *body = nullptr;
  if (node == nullptr || !node->is_object() || node->size() != 1) return "";
  auto it = node->begin();
  *body = &it.value();
  return it.key();
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

/// A list field: missing gives an empty list.
const json& list_field(const json& body, const char* name) {
  static const json kEmpty = json::array();
  const json* f = field(body, name);
  return (f != nullptr && f->is_array()) ? *f : kEmpty;
}

/// The text of a String node, when the node is one.
std::optional<std::string> string_node(const json& node) {
  const json* body = nullptr;
  if (kind_of(&node, &body) != "String") return std::nullopt;
  return str_field(*body, "sval");
}

/// x LIKE 'p' ESCAPE 'e' arrives as like_escape('p', 'e'). With constant text and a one-byte
/// (or empty) escape, the pattern is rewritten into the backslash-escape form of LikeExpr;
/// anything else (a trailing escape, a longer escape string) stays a call and fails later.
std::optional<std::string> like_with_escape(const json& rexpr) {
  const json* body = nullptr;
  if (kind_of(&rexpr, &body) != "FuncCall") return std::nullopt;
  const json& names = list_field(*body, "funcname");
  auto last = names.empty() ? std::nullopt : string_node(names.back());
  if (!last || *last != "like_escape") return std::nullopt;
  if (names.size() == 2) {
    auto first = string_node(names.front());
    if (!first || *first != "pg_catalog") return std::nullopt;
  } else if (names.size() != 1) {
    return std::nullopt;
  }
  const json& args = list_field(*body, "args");
  if (args.size() != 2) return std::nullopt;
  std::string texts[2];
  for (int i = 0; i < 2; ++i) {
    const json* cbody = nullptr;
    if (kind_of(&args[i], &cbody) != "A_Const") return std::nullopt;
    const json* sv = field(*cbody, "sval");
    if (sv == nullptr) return std::nullopt;
    texts[i] = sv->value("sval", std::string());
  }
  const std::string& pattern = texts[0];
  const std::string& esc = texts[1];
  if (esc.size() > 1 || (esc.size() == 1 && static_cast<unsigned char>(esc[0]) >= 0x80)) {
    return std::nullopt;
  }
  std::string out;
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (!esc.empty() && c == esc[0]) {
      if (i + 1 == pattern.size()) return std::nullopt;
      out += '\\';
      out += pattern[++i];
    } else if (c == '\\') {
      out += "\\\\";
    } else {
      out += c;
    }
  }
  return out;
}

class Walker {
 public:
  explicit Walker(ParseError* error) : error_(error) {}

  bool aborted() const { return aborted_; }

  /// Records the first refusal only; returns nothing for the caller to propagate.
  std::nullptr_t abort_with(ParseStatus status, std::string message) {
    if (!aborted_) {
      aborted_ = true;
      error_->status = status;
      error_->message = std::move(message);
      error_->location = -1;
    }
    return nullptr;
  }

  std::unique_ptr<SelectStatement> transform_select(const json& sel);

 private:
  std::unique_ptr<TableRef> transform_tableref_node(const json* node);
  ExprPtr transform_expression(const json* node);
  ExprPtr transform_a_expr(const json& a);
  ExprPtr transform_func_call(const json& f);
  ExprPtr transform_type_cast(const json& c);
  ExprPtr transform_const(const json& c);
  ExprPtr transform_column_ref(const json& c);
  ExprPtr transform_sub_link(const json& s);
  ExprPtr transform_case(const json& c);
  bool transform_int_literal(const json* node, std::optional<int64_t>* out);
  bool transform_sort_keys(const json& list, std::vector<OrderKey>* out);
  bool transform_limit(const json& sel, SelectStatement* stmt);
  bool transform_order_limit(const json& sel, SelectStatement* stmt);
  bool transform_set_op(const json& sel, const std::string& op, SelectStatement* stmt);
  bool transform_with(const json& with, SelectStatement* stmt);

  ParseError* error_;
  bool aborted_ = false;
  int depth_ = 0;
  int select_depth_ = 0;
};

struct DepthGuard {
  int& depth;
  explicit DepthGuard(int& d) : depth(++d) {}
  ~DepthGuard() { --depth; }
};

std::unique_ptr<SelectStatement> Walker::transform_select(const json& sel) {
  DepthGuard guard(depth_);
  DepthGuard select_guard(select_depth_);
  if (depth_ > kMaxDepth || select_depth_ > kMaxSelectDepth) {
    return abort_with(ParseStatus::Unsupported, "statement nesting too deep");
  }
  auto stmt = std::make_unique<SelectStatement>();
  if (const json* with = field(sel, "withClause")) {
    if (!transform_with(*with, stmt.get())) return nullptr;
  }
  const std::string op = str_field(sel, "op");
  if (!op.empty() && op != "SETOP_NONE") {
    if (!transform_set_op(sel, op, stmt.get())) return nullptr;
    if (!transform_order_limit(sel, stmt.get())) return nullptr;
    return stmt;
  }
  if (!list_field(sel, "windowClause").empty()) {
    return abort_with(ParseStatus::Unsupported, "window functions are out of scope");
  }
  if (!list_field(sel, "valuesLists").empty()) {
    return abort_with(ParseStatus::Unsupported, "VALUES list is out of scope");
  }
  if (!list_field(sel, "lockingClause").empty()) {
    return abort_with(ParseStatus::Unsupported, "FOR UPDATE / SHARE is out of scope");
  }
  const json& distinct = list_field(sel, "distinctClause");
  if (!distinct.empty()) {
    // A plain DISTINCT is a one-element list holding an empty node; DISTINCT ON lists exprs.
    const json& first = distinct.front();
    if (!first.is_null() && !(first.is_object() && first.empty())) {
      return abort_with(ParseStatus::Unsupported, "DISTINCT ON is out of scope");
    }
    stmt->distinct = true;
  }
  // SELECT ... INTO creates a table; never answer it locally.
  if (field(sel, "intoClause")) {
    return abort_with(ParseStatus::Unsupported, "SELECT INTO is out of scope");
  }
  const json& from = list_field(sel, "fromClause");

  // FROM (none: a constant SELECT over one row): a comma list folds left-deep into cross joins.
  for (const json& item : from) {
    auto ref = transform_tableref_node(&item);
    if (!ref) return nullptr;
    if (!stmt->from) {
      stmt->from = std::move(ref);
      continue;
    }
    auto join = std::make_unique<JoinRef>();
    join->kind = JoinKind::Cross;
    join->left = std::move(stmt->from);
    join->right = std::move(ref);
    stmt->from = std::make_unique<TableRef>();
    stmt->from->node = std::move(join);
  }

  const json* targets = field(sel, "targetList");
  if (targets == nullptr || !targets->is_array() || targets->empty()) {
    return abort_with(ParseStatus::Malformed, "SELECT with no projection");
  }
  for (const json& t : *targets) {
    const json* body = nullptr;
    if (kind_of(&t, &body) != "ResTarget") {
      return abort_with(ParseStatus::Malformed, "SELECT with no projection");
    }
    SelectItem item;
    item.expr = transform_expression(field(*body, "val"));
    if (!item.expr) return nullptr;
    std::string name = str_field(*body, "name");
    if (!name.empty()) item.alias = std::move(name);
    stmt->items.push_back(std::move(item));
  }

  if (const json* where = field(sel, "whereClause")) {
    stmt->where = transform_expression(where);
    if (!stmt->where) return nullptr;
  }

  if (!transform_sort_keys(list_field(sel, "sortClause"), &stmt->order_by)) return nullptr;

  for (const json& g : list_field(sel, "groupClause")) {
    const json* gbody = nullptr;
    const std::string gkind = kind_of(&g, &gbody);
    if (gkind == "GroupingSet" || gkind == "RollupExpr" || gkind == "CubeExpr") {
      return abort_with(ParseStatus::Unsupported, "GROUPING SETS / ROLLUP / CUBE are out of scope");
    }
    auto e = transform_expression(&g);
    if (!e) return nullptr;
    stmt->group_by.push_back(std::move(e));
  }
  if (const json* having = field(sel, "havingClause")) {
    stmt->having = transform_expression(having);
    if (!stmt->having) return nullptr;
  }
  if (!transform_limit(sel, stmt.get())) return nullptr;
  return stmt;
}

bool Walker::transform_sort_keys(const json& list, std::vector<OrderKey>* out) {
  for (const json& s : list) {
    const json* body = nullptr;
    if (kind_of(&s, &body) != "SortBy") {
      abort_with(ParseStatus::Malformed, "ORDER BY item is not a sort key");
      return false;
    }
    const std::string dir = str_field(*body, "sortby_dir");
    if (dir == "SORTBY_USING") {
      abort_with(ParseStatus::Unsupported, "ORDER BY USING is out of scope");
      return false;
    }
    OrderKey key;
    const json* node = field(*body, "node");
    const json* cbody = nullptr;
    if (kind_of(node, &cbody) == "A_Const" && field(*cbody, "ival")) {
      const json& iv = (*cbody)["ival"];
      key.ordinal = iv.value("ival", static_cast<int64_t>(0));
    } else {
      key.expr = transform_expression(node);
      if (!key.expr) return false;
    }
    key.descending = dir == "SORTBY_DESC";
    const std::string nulls = str_field(*body, "sortby_nulls");
    if (nulls == "SORTBY_NULLS_FIRST") {
      key.nulls_first = true;
      key.nulls_specified = true;
    } else if (nulls == "SORTBY_NULLS_LAST") {
      key.nulls_specified = true;
    }
    out->push_back(std::move(key));
  }
  return true;
}

bool Walker::transform_limit(const json& sel, SelectStatement* stmt) {
  if (str_field(sel, "limitOption") == "LIMIT_OPTION_WITH_TIES") {
    abort_with(ParseStatus::Unsupported, "FETCH ... WITH TIES is out of scope");
    return false;
  }
  return transform_int_literal(field(sel, "limitCount"), &stmt->limit) &&
         transform_int_literal(field(sel, "limitOffset"), &stmt->offset);
}

bool Walker::transform_order_limit(const json& sel, SelectStatement* stmt) {
  if (!list_field(sel, "lockingClause").empty()) {
    abort_with(ParseStatus::Unsupported, "FOR UPDATE / SHARE is out of scope");
    return false;
  }
  return transform_sort_keys(list_field(sel, "sortClause"), &stmt->order_by) &&
         transform_limit(sel, stmt);
}

// The operands of a set operation and a CTE's query arrive either bare or wrapped in a
// SelectStmt node.
const json* select_body(const json* node) {
  if (node == nullptr || !node->is_object()) return nullptr;
  if (auto it = node->find("SelectStmt"); it != node->end() && node->size() == 1) return &*it;
  return node;
}

bool Walker::transform_set_op(const json& sel, const std::string& op, SelectStatement* stmt) {
  if (op == "SETOP_UNION") {
    stmt->set_op = SetOp::Union;
  } else if (op == "SETOP_INTERSECT") {
    stmt->set_op = SetOp::Intersect;
  } else if (op == "SETOP_EXCEPT") {
    stmt->set_op = SetOp::Except;
  } else {
    abort_with(ParseStatus::Unsupported, "unknown set operation: " + op);
    return false;
  }
  stmt->set_all = bool_field(sel, "all");
  const json* l = select_body(field(sel, "larg"));
  const json* r = select_body(field(sel, "rarg"));
  if (l == nullptr || r == nullptr) {
    abort_with(ParseStatus::Malformed, "set operation missing operand");
    return false;
  }
  stmt->set_left = transform_select(*l);
  if (!stmt->set_left) return false;
  stmt->set_right = transform_select(*r);
  return stmt->set_right != nullptr;
}

bool Walker::transform_with(const json& with, SelectStatement* stmt) {
  if (bool_field(with, "recursive")) {
    abort_with(ParseStatus::Unsupported, "WITH RECURSIVE is out of scope");
    return false;
  }
  for (const json& c : list_field(with, "ctes")) {
    const json* body = nullptr;
    if (kind_of(&c, &body) != "CommonTableExpr" || body == nullptr) {
      abort_with(ParseStatus::Malformed, "WITH item is not a common table expression");
      return false;
    }
    if (!list_field(*body, "aliascolnames").empty()) {
      abort_with(ParseStatus::Unsupported, "WITH column lists are not supported in metadata path");
      return false;
    }
    const json* q = select_body(field(*body, "ctequery"));
    if (q == nullptr) {
      abort_with(ParseStatus::Unsupported, "WITH holding other than a SELECT is out of scope");
      return false;
    }
    CommonTableExpr cte;
    cte.name = str_field(*body, "ctename");
    cte.query = transform_select(*q);
    if (!cte.query) return false;
    stmt->ctes.push_back(std::move(cte));
  }
  return true;
}

bool Walker::transform_int_literal(const json* node, std::optional<int64_t>* out) {
  if (node == nullptr) return true;
  const json* body = nullptr;
  if (kind_of(node, &body) != "A_Const") {
    abort_with(ParseStatus::Unsupported, "LIMIT/OFFSET with non-literal expression");
    return false;
  }
  const json* iv = field(*body, "ival");
  if (iv == nullptr) {
    abort_with(ParseStatus::Unsupported, "LIMIT/OFFSET with non-integer literal");
    return false;
  }
  int64_t v = iv->value("ival", static_cast<int64_t>(0));
  // The grammar folds a leading minus into the constant; a negative count is not a plain
  // literal count and is left to the compute node (which rejects it).
  if (v < 0) {
    abort_with(ParseStatus::Unsupported, "LIMIT/OFFSET with non-literal expression");
    return false;
  }
  *out = v;
  return true;
}

std::unique_ptr<TableRef> Walker::transform_tableref_node(const json* node) {
  DepthGuard guard(depth_);
  if (depth_ > kMaxDepth) return abort_with(ParseStatus::Unsupported, "FROM nesting too deep");
  const json* body = nullptr;
  const std::string kind = kind_of(node, &body);
  if (body == nullptr) return abort_with(ParseStatus::Malformed, "null tableref");
  auto ref = std::make_unique<TableRef>();

  if (kind == "RangeVar") {
    BaseTable t;
    t.catalog = str_field(*body, "catalogname");
    t.schema = str_field(*body, "schemaname");
    t.name = str_field(*body, "relname");
    if (const json* alias = field(*body, "alias")) {
      // Renaming columns through the alias would change every column reference; the
      // compute node handles that form.
      if (!list_field(*alias, "colnames").empty()) {
        return abort_with(ParseStatus::Unsupported,
                          "table alias with column list is not supported in metadata path");
      }
      std::string a = str_field(*alias, "aliasname");
      if (!a.empty()) t.alias = std::move(a);
    }
    ref->node = std::move(t);
    return ref;
  }

  if (kind == "JoinExpr") {
    auto join = std::make_unique<JoinRef>();
    const std::string jt = str_field(*body, "jointype");
    if (jt == "JOIN_INNER" || jt.empty()) {
      join->kind = JoinKind::Inner;
    } else if (jt == "JOIN_LEFT") {
      join->kind = JoinKind::Left;
    } else if (jt == "JOIN_FULL") {
      join->kind = JoinKind::Full;
    } else if (jt == "JOIN_RIGHT") {
      join->kind = JoinKind::Right;
    } else if (jt == "JOIN_SEMI") {
      join->kind = JoinKind::Semi;
    } else if (jt == "JOIN_ANTI") {
      join->kind = JoinKind::Anti;
    } else {
      return abort_with(ParseStatus::Unsupported, "join type not supported in metadata path");
    }
    const json* larg = field(*body, "larg");
    const json* rarg = field(*body, "rarg");
    if (larg == nullptr || rarg == nullptr) {
      return abort_with(ParseStatus::Malformed, "JOIN missing operand");
    }
    join->natural = bool_field(*body, "isNatural");
    join->left = transform_tableref_node(larg);
    if (!join->left) return nullptr;
    join->right = transform_tableref_node(rarg);
    if (!join->right) return nullptr;
    if (const json* quals = field(*body, "quals")) {
      join->on = transform_expression(quals);
      if (!join->on) return nullptr;
    }
    for (const json& u : list_field(*body, "usingClause")) {
      if (auto s = string_node(u)) join->using_columns.push_back(*s);
    }
    if (!join->on && join->using_columns.empty() && !join->natural) {
      join->kind = JoinKind::Cross;
    }
    ref->node = std::move(join);
    return ref;
  }

  if (kind == "RangeSubselect") {
    if (bool_field(*body, "lateral")) {
      return abort_with(ParseStatus::Unsupported,
                        "FROM target kind not supported in metadata path");
    }
    const json* sbody = nullptr;
    if (kind_of(field(*body, "subquery"), &sbody) != "SelectStmt") {
      return abort_with(ParseStatus::Malformed, "PGRangeSubselect missing inner SelectStmt");
    }
    const json* alias = field(*body, "alias");
    const json& values = list_field(*sbody, "valuesLists");
    if (!values.empty()) {
      ValuesList v;
      for (const json& row : values) {
        const json* rbody = nullptr;
        kind_of(&row, &rbody);
        std::vector<ExprPtr> out;
        if (rbody != nullptr) {
          for (const json& item : list_field(*rbody, "items")) {
            auto e = transform_expression(&item);
            if (!e) return nullptr;
            out.push_back(std::move(e));
          }
        }
        v.rows.push_back(std::move(out));
      }
      if (alias != nullptr) {
        std::string a = str_field(*alias, "aliasname");
        if (!a.empty()) v.alias = std::move(a);
        for (const json& c : list_field(*alias, "colnames")) {
          if (auto s = string_node(c)) v.column_names.push_back(*s);
        }
      }
      ref->node = std::move(v);
      return ref;
    }
    if (alias != nullptr && !list_field(*alias, "colnames").empty()) {
      return abort_with(ParseStatus::Unsupported,
                        "derived table column aliases are not supported in metadata path");
    }
    auto inner = transform_select(*sbody);
    if (!inner) return nullptr;
    ref->node = std::move(inner);
    if (alias != nullptr) {
      std::string a = str_field(*alias, "aliasname");
      if (!a.empty()) ref->alias = std::move(a);
    }
    return ref;
  }

  return abort_with(ParseStatus::Unsupported, "FROM target kind not supported in metadata path");
}

ExprPtr Walker::transform_expression(const json* node) {
  DepthGuard guard(depth_);
  if (depth_ > kMaxDepth) {
    return abort_with(ParseStatus::Unsupported, "expression nesting too deep");
  }
  const json* body = nullptr;
  const std::string kind = kind_of(node, &body);
  if (body == nullptr) return abort_with(ParseStatus::Malformed, "null expression node");

  if (kind == "BoolExpr") {
    const std::string op = str_field(*body, "boolop");
    const json& args = list_field(*body, "args");
    if (op == "NOT_EXPR") {
      if (args.size() != 1) {
        return abort_with(ParseStatus::Malformed, "NOT with other than one operand");
      }
      UnaryExpr u;
      u.op = UnaryOp::Not;
      u.operand = transform_expression(&args[0]);
      if (!u.operand) return nullptr;
      return Expr::make(std::move(u));
    }
    if (op != "AND_EXPR" && op != "OR_EXPR") {
      return abort_with(ParseStatus::Unsupported, "unknown PGBoolExpr op");
    }
    // A folded chain is as deep as it is long.
    if (depth_ + static_cast<int>(args.size()) > kMaxDepth) {
      return abort_with(ParseStatus::Unsupported, "expression nesting too deep");
    }
    ExprPtr acc;
    for (const json& a : args) {
      auto e = transform_expression(&a);
      if (!e) return nullptr;
      if (!acc) {
        acc = std::move(e);
        continue;
      }
      LogicExpr l;
      l.op = op == "AND_EXPR" ? LogicOp::And : LogicOp::Or;
      l.lhs = std::move(acc);
      l.rhs = std::move(e);
      acc = Expr::make(std::move(l));
    }
    if (!acc) return abort_with(ParseStatus::Malformed, "boolean expression without operands");
    return acc;
  }

  if (kind == "NullTest") {
    UnaryExpr u;
    u.op = str_field(*body, "nulltesttype") == "IS_NOT_NULL" ? UnaryOp::IsNotNull
                                                              : UnaryOp::IsNull;
    u.operand = transform_expression(field(*body, "arg"));
    if (!u.operand) return nullptr;
    return Expr::make(std::move(u));
  }

  if (kind == "SubLink") return transform_sub_link(*body);
  if (kind == "CaseExpr") return transform_case(*body);
  if (kind == "A_Expr") return transform_a_expr(*body);
  if (kind == "ColumnRef") return transform_column_ref(*body);
  if (kind == "A_Const") return transform_const(*body);
  if (kind == "FuncCall") return transform_func_call(*body);
  if (kind == "TypeCast") return transform_type_cast(*body);
  if (kind == "A_Star") return Expr::make(StarExpr{});

  // The grammar gives COALESCE a node of its own; it is the same function as coalesce(...).
  if (kind == "CoalesceExpr") {
    FuncExpr f;
    f.name = "coalesce";
    for (const json& a : list_field(*body, "args")) {
      auto e = transform_expression(&a);
      if (!e) return nullptr;
      f.args.push_back(std::move(e));
    }
    return Expr::make(std::move(f));
  }

  return abort_with(ParseStatus::Unsupported, "unsupported PG expression node in metadata path");
}

ExprPtr Walker::transform_sub_link(const json& s) {
  const std::string type = str_field(s, "subLinkType");
  const json* sub = field(s, "subselect");
  if (type == "EXISTS_SUBLINK") {
    const json* sbody = nullptr;
    if (kind_of(sub, &sbody) != "SelectStmt") {
      return abort_with(ParseStatus::Malformed, "EXISTS missing inner SelectStmt");
    }
    ExistsExpr e;
    e.subquery = transform_select(*sbody);
    if (!e.subquery) return nullptr;
    return Expr::make(std::move(e));
  }
  if (type == "EXPR_SUBLINK") {
    const json* sbody = nullptr;
    if (kind_of(sub, &sbody) != "SelectStmt") {
      return abort_with(ParseStatus::Malformed, "scalar subquery missing inner SelectStmt");
    }
    ScalarSubqueryExpr e;
    e.subquery = transform_select(*sbody);
    if (!e.subquery) return nullptr;
    return Expr::make(std::move(e));
  }
  if (type == "ANY_SUBLINK") {
    const json& oper = list_field(s, "operName");
    if (!oper.empty()) {
      auto name = string_node(oper.front());
      if (!name || *name != "=") {
        return abort_with(ParseStatus::Unsupported,
                          "subquery operator other than '=' (IN) not supported");
      }
    }
    const json* test = field(s, "testexpr");
    if (test == nullptr) return abort_with(ParseStatus::Malformed, "ANY-subquery missing testexpr");
    const json* sbody = nullptr;
    if (kind_of(sub, &sbody) != "SelectStmt") {
      return abort_with(ParseStatus::Malformed, "ANY-subquery missing inner SelectStmt");
    }
    InExpr in;
    in.lhs = transform_expression(test);
    if (!in.lhs) return nullptr;
    in.subquery = transform_select(*sbody);
    if (!in.subquery) return nullptr;
    return Expr::make(std::move(in));
  }
  return abort_with(ParseStatus::Unsupported,
                    "subquery kind not yet supported (IN / EXISTS only)");
}

ExprPtr Walker::transform_case(const json& c) {
  CaseExpr out;
  if (const json* arg = field(c, "arg")) {
    out.operand = transform_expression(arg);
    if (!out.operand) return nullptr;
  }
  const json& whens = list_field(c, "args");
  if (whens.empty()) return abort_with(ParseStatus::Malformed, "CASE without WHEN clauses");
  for (const json& w : whens) {
    const json* wbody = nullptr;
    if (kind_of(&w, &wbody) != "CaseWhen") {
      return abort_with(ParseStatus::Malformed, "CASE without WHEN clauses");
    }
    auto cond = transform_expression(field(*wbody, "expr"));
    if (!cond) return nullptr;
    auto then = transform_expression(field(*wbody, "result"));
    if (!then) return nullptr;
    out.whens.emplace_back(std::move(cond), std::move(then));
  }
  if (const json* def = field(c, "defresult")) {
    out.else_expr = transform_expression(def);
    if (!out.else_expr) return nullptr;
  }
  return Expr::make(std::move(out));
}

ExprPtr Walker::transform_column_ref(const json& c) {
  const json& fields = list_field(c, "fields");
  if (fields.empty()) return abort_with(ParseStatus::Malformed, "empty column reference");
  const json* last_body = nullptr;
  if (kind_of(&fields.back(), &last_body) == "A_Star") {
    StarExpr s;
    if (fields.size() >= 2) {
      if (auto q = string_node(fields.front())) s.qualifier = *q;
    }
    return Expr::make(std::move(s));
  }
  std::vector<std::string> parts;
  for (const json& f : fields) {
    auto s = string_node(f);
    if (!s) {
      return abort_with(ParseStatus::Unsupported,
                        "non-string identifier component in column reference");
    }
    parts.push_back(*s);
  }
  ColumnRef ref;
  ref.column = parts.back();
  if (parts.size() >= 2) ref.table = parts[parts.size() - 2];
  return Expr::make(std::move(ref));
}

ExprPtr Walker::transform_const(const json& c) {
  LiteralExpr lit;
  if (bool_field(c, "isnull")) {
    lit.type = Type::Null;
    return Expr::make(std::move(lit));
  }
  if (const json* iv = field(c, "ival")) {
    lit.value = iv->value("ival", static_cast<int64_t>(0));
    lit.type = Type::Int64;
    return Expr::make(std::move(lit));
  }
  if (const json* fv = field(c, "fval")) {
    const std::string text = fv->value("fval", std::string());
    // Integers beyond 32 bits arrive as numeric text: keep them exact as 64-bit integers.
    // Beyond 64 bits the compute node makes them wide decimals, which this engine has not.
    if (text.find_first_of(".eE") == std::string::npos) {
      errno = 0;
      char* iend = nullptr;
      long long v = std::strtoll(text.c_str(), &iend, 10);
      if (text.empty() || iend == nullptr || *iend != '\0' || errno == ERANGE) {
        return abort_with(ParseStatus::Unsupported, "integer literal beyond 64 bits: " + text);
      }
      lit.value = static_cast<int64_t>(v);
      lit.type = Type::Int64;
      return Expr::make(std::move(lit));
    }
    errno = 0;
    char* end = nullptr;
    double d = std::strtod(text.c_str(), &end);
    if (text.empty() || end == nullptr || *end != '\0' || errno == ERANGE || !std::isfinite(d)) {
      return abort_with(ParseStatus::Malformed, "invalid numeric literal: " + text);
    }
    lit.value = d;
    lit.type = Type::Double;
    return Expr::make(std::move(lit));
  }
  if (const json* bv = field(c, "boolval")) {
    lit.value = bv->value("boolval", false);
    lit.type = Type::Bool;
    return Expr::make(std::move(lit));
  }
  if (const json* sv = field(c, "sval")) {
    lit.value = sv->value("sval", std::string());
    lit.type = Type::String;
    return Expr::make(std::move(lit));
  }
  if (const json* bs = field(c, "bsval")) {
    lit.value = bs->value("bsval", std::string());
    lit.type = Type::String;
    return Expr::make(std::move(lit));
  }
  return abort_with(ParseStatus::Unsupported, "unsupported PGValue type in literal");
}

ExprPtr Walker::transform_a_expr(const json& a) {
  const std::string kind = str_field(a, "kind");
  const json& names = list_field(a, "name");
  std::optional<std::string> name;
  if (!names.empty()) name = string_node(names.front());
  if ((kind == "AEXPR_OP" || kind == "AEXPR_OP_ANY" || kind == "AEXPR_OP_ALL") && !name) {
    return abort_with(ParseStatus::Malformed, "PGAExpr without operator name");
  }
  const json* lexpr = field(a, "lexpr");
  const json* rexpr = field(a, "rexpr");

  if (kind == "AEXPR_OP") {
    if (lexpr == nullptr || rexpr == nullptr) {
      return abort_with(ParseStatus::Malformed, "binary operator missing operand");
    }
    auto lhs = transform_expression(lexpr);
    if (!lhs) return nullptr;
    auto rhs = transform_expression(rexpr);
    if (!rhs) return nullptr;
    static const std::pair<const char*, CmpOp> kCmp[] = {
        {"=", CmpOp::Eq},  {"==", CmpOp::Eq}, {"<>", CmpOp::Ne}, {"!=", CmpOp::Ne},
        {"<", CmpOp::Lt},  {"<=", CmpOp::Le}, {">", CmpOp::Gt},  {">=", CmpOp::Ge}};
    static const std::pair<const char*, ArithOp> kArith[] = {
        {"+", ArithOp::Add}, {"-", ArithOp::Sub}, {"*", ArithOp::Mul},
        {"/", ArithOp::Div}, {"%", ArithOp::Mod}, {"||", ArithOp::Concat}};
    for (const auto& [n, op] : kCmp) {
      if (*name == n) return Expr::make(CmpExpr{op, std::move(lhs), std::move(rhs)});
    }
    for (const auto& [n, op] : kArith) {
      if (*name == n) return Expr::make(ArithExpr{op, std::move(lhs), std::move(rhs)});
    }
    return abort_with(ParseStatus::Unsupported, "unsupported binary operator: " + *name);
  }

  if (kind == "AEXPR_IN") {
    const json* lbody = nullptr;
    if (lexpr == nullptr || rexpr == nullptr) {
      return abort_with(ParseStatus::Malformed, "IN missing operand");
    }
    auto lhs = transform_expression(lexpr);
    if (!lhs) return nullptr;
    if (kind_of(rexpr, &lbody) != "List") {
      return abort_with(ParseStatus::Unsupported, "IN with non-list rhs (subquery?)");
    }
    InExpr in;
    in.lhs = std::move(lhs);
    for (const json& item : list_field(*lbody, "items")) {
      auto e = transform_expression(&item);
      if (!e) return nullptr;
      in.list.push_back(std::move(e));
    }
    auto out = Expr::make(std::move(in));
    if (name && (*name == "<>" || *name == "!=")) {
      return Expr::make(UnaryExpr{UnaryOp::Not, std::move(out)});
    }
    return out;
  }

  if (kind == "AEXPR_LIKE" || kind == "AEXPR_ILIKE") {
    if (lexpr == nullptr || rexpr == nullptr) {
      return abort_with(ParseStatus::Malformed, "LIKE missing operand");
    }
    LikeExpr like;
    like.value = transform_expression(lexpr);
    if (!like.value) return nullptr;
    if (auto pattern = like_with_escape(*rexpr)) {
      like.pattern = Expr::make(LiteralExpr{Literal{*pattern}, Type::String});
    } else {
      like.pattern = transform_expression(rexpr);
      if (!like.pattern) return nullptr;
      // Without ESCAPE, dialects disagree on a backslash: an escape in PostgreSQL, an
      // ordinary character in others. The service's own rule is not known here.
      const auto* lit = like.pattern->as<LiteralExpr>();
      const auto* text = lit ? std::get_if<std::string>(&lit->value) : nullptr;
      if (text != nullptr && text->find('\\') != std::string::npos) {
        return abort_with(ParseStatus::Unsupported,
                          "LIKE pattern with a backslash needs an ESCAPE clause");
      }
    }
    like.case_insensitive = kind == "AEXPR_ILIKE";
    auto out = Expr::make(std::move(like));
    if (name && (*name == "!~~" || *name == "!~~*")) {
      return Expr::make(UnaryExpr{UnaryOp::Not, std::move(out)});
    }
    return out;
  }

  if (kind == "AEXPR_BETWEEN" || kind == "AEXPR_NOT_BETWEEN") {
    // x BETWEEN a AND b is x >= a AND x <= b; x is converted twice rather than shared.
    const json* lbody = nullptr;
    if (lexpr == nullptr || rexpr == nullptr || kind_of(rexpr, &lbody) != "List" ||
        list_field(*lbody, "items").size() != 2) {
      return abort_with(ParseStatus::Malformed, "BETWEEN missing operand");
    }
    const json& bounds = list_field(*lbody, "items");
    auto x1 = transform_expression(lexpr);
    if (!x1) return nullptr;
    auto lo = transform_expression(&bounds[0]);
    if (!lo) return nullptr;
    auto x2 = transform_expression(lexpr);
    if (!x2) return nullptr;
    auto hi = transform_expression(&bounds[1]);
    if (!hi) return nullptr;
    auto out = Expr::make(LogicExpr{LogicOp::And,
                                    Expr::make(CmpExpr{CmpOp::Ge, std::move(x1), std::move(lo)}),
                                    Expr::make(CmpExpr{CmpOp::Le, std::move(x2), std::move(hi)})});
    if (kind == "AEXPR_NOT_BETWEEN") return Expr::make(UnaryExpr{UnaryOp::Not, std::move(out)});
    return out;
  }

  if (kind == "AEXPR_NULLIF" || kind == "AEXPR_DISTINCT" || kind == "AEXPR_NOT_DISTINCT") {
    if (lexpr == nullptr || rexpr == nullptr) {
      return abort_with(ParseStatus::Malformed, "binary operator missing operand");
    }
    FuncExpr f;
    f.name = kind == "AEXPR_NULLIF"     ? kFuncNullif
             : kind == "AEXPR_DISTINCT" ? kFuncIsDistinct
                                        : kFuncIsNotDistinct;
    for (const json* operand : {lexpr, rexpr}) {
      auto e = transform_expression(operand);
      if (!e) return nullptr;
      f.args.push_back(std::move(e));
    }
    return Expr::make(std::move(f));
  }

  return abort_with(ParseStatus::Unsupported, "unsupported PGAExpr kind in metadata path");
}

ExprPtr Walker::transform_func_call(const json& f) {
  const json& names = list_field(f, "funcname");
  std::vector<std::string> parts;
  for (const json& n : names) {
    auto s = string_node(n);
    if (!s) break;
    parts.push_back(*s);
  }
  if (parts.empty() || parts.size() != names.size()) {
    return abort_with(ParseStatus::Malformed, "function call without name");
  }
  // A schema-qualified name is the function of that schema: pg_catalog.f is the built-in f;
  // any other qualified name keeps its full spelling so that it never maps to a built-in.
  std::string name;
  if (parts.size() == 1 || ascii_lower(parts.front()) == "pg_catalog") {
    name = ascii_lower(parts.back());
  } else {
    for (const auto& p : parts) name += (name.empty() ? "" : ".") + ascii_lower(p);
  }
  if (field(f, "over")) {
    return abort_with(ParseStatus::Unsupported,
                      "window functions are not supported in the metadata path");
  }
  const bool ordered_string_agg = name == "string_agg" && !list_field(f, "agg_order").empty();
  if (field(f, "agg_filter") || bool_field(f, "agg_within_group") ||
      (!list_field(f, "agg_order").empty() && !ordered_string_agg)) {
    return abort_with(ParseStatus::Unsupported,
                      "aggregate FILTER / WITHIN GROUP / ORDER BY not supported");
  }
  if (bool_field(f, "func_variadic")) {
    return abort_with(ParseStatus::Unsupported, "VARIADIC arguments are out of scope");
  }
  if (is_internal_func_name(name)) {
    return abort_with(ParseStatus::Unsupported, "unsupported function: " + name);
  }
  std::vector<ExprPtr> args;
  if (!(bool_field(f, "agg_star") && name == "count")) {
    for (const json& a : list_field(f, "args")) {
      auto e = transform_expression(&a);
      if (!e) return nullptr;
      args.push_back(std::move(e));
    }
  }
  if (is_agg_name(name)) {
    AggExpr agg;
    agg.name = name;
    agg.distinct = bool_field(f, "agg_distinct");
    agg.star = bool_field(f, "agg_star") && name == "count";
    if (name == "count" && args.size() == 1 && args[0]->as<StarExpr>()) {
      agg.star = true;
      args.clear();
    }
    agg.args = std::move(args);
    if (!transform_sort_keys(list_field(f, "agg_order"), &agg.order_by)) return nullptr;
    return Expr::make(std::move(agg));
  }
  FuncExpr out;
  out.name = std::move(name);
  out.args = std::move(args);
  return Expr::make(std::move(out));
}

ExprPtr Walker::transform_type_cast(const json& c) {
  auto operand = transform_expression(field(c, "arg"));
  if (!operand) return nullptr;
  const json* tn = field(c, "typeName");
  const json* tbody = tn;
  if (tn != nullptr && tn->contains("TypeName")) tbody = &(*tn)["TypeName"];
  if (tbody == nullptr || list_field(*tbody, "names").empty()) {
    return abort_with(ParseStatus::Malformed, "CAST without type name");
  }
  const json& names = list_field(*tbody, "names");
  auto written = string_node(names.back());
  if (!written) return abort_with(ParseStatus::Malformed, "CAST type name not a string");
  const std::string lowered = ascii_lower(*written);
  // Arrays and type modifiers (varchar(n), timestamp(p), ...) change values in ways the
  // plain Arrow casts do not reproduce; they go to the compute node.
  if (!list_field(*tbody, "arrayBounds").empty()) {
    return abort_with(ParseStatus::Unsupported, "CAST to unsupported type: " + *written + "[]");
  }
  if (!list_field(*tbody, "typmods").empty()) {
    return abort_with(ParseStatus::Unsupported, "CAST to unsupported type: " + *written + "(n)");
  }
  // Only types the engine holds as the service does: SMALLINT, REAL (FLOAT, FLOAT4) and
  // TIMESTAMP WITH TIME ZONE would come back as INTEGER, DOUBLE and a zone-less timestamp.
  static const std::pair<const char*, Type> kTypes[] = {
      {"varchar", Type::String},
      {"char", Type::String},
      {"text", Type::String},
      {"nvarchar", Type::String},
      {"string", Type::String},
      {"bpchar", Type::String},
      {"boolean", Type::Bool},
      {"bool", Type::Bool},
      {"int4", Type::Int32},
      {"integer", Type::Int32},
      {"int", Type::Int32},
      {"int8", Type::Int64},
      {"bigint", Type::Int64},
      {"float8", Type::Double},
      {"double", Type::Double},
      {"double_precision", Type::Double},
      {"date", Type::Date},
      {"timestamp", Type::Timestamp},
      {"datetime", Type::Timestamp},
  };
  for (const auto& [n, t] : kTypes) {
    if (lowered == n) return Expr::make(CastExpr{std::move(operand), t});
  }
  return abort_with(ParseStatus::Unsupported, "CAST to unsupported type: " + *written);
}

}  // namespace

std::unique_ptr<SelectStatement> nv_sql_parse(const std::string& sql, ParseError* error) {
  if (error == nullptr) return nullptr;
  *error = ParseError{};
  json tree;
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
        return nullptr;
      }
      text = parsed.result.parse_tree ? parsed.result.parse_tree : "";
    }
    tree = json::parse(text);
  } catch (const std::exception& e) {
    error->status = ParseStatus::Internal;
    error->message = std::string("libpg_query threw: ") + e.what();
    return nullptr;
  } catch (...) {
    error->status = ParseStatus::Internal;
    error->message = "libpg_query threw (unknown)";
    return nullptr;
  }

  try {
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
    Walker walker(error);
    auto stmt = walker.transform_select(*body);
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
