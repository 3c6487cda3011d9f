// Statements and FROM items: SELECT with its clauses, set operations, WITH, and the FROM
// items (base tables, joins, derived and VALUES tables).

#include "sql/walker_internal.h"

namespace nv_sql {
namespace {

// The operands of a set operation and a CTE's query arrive either bare or wrapped in a
// SelectStmt node.
const json* select_body(const json* node) {
  if (node == nullptr || !node->is_object()) return nullptr;
  if (auto it = node->find("SelectStmt"); it != node->end() && node->size() == 1) return &*it;
  return node;
}

}  // namespace

std::unique_ptr<SelectStatement> Walker::transform_select(const json& sel, bool names_seen) {
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
    if (!transform_set_op(sel, op, names_seen, stmt.get())) return nullptr;
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
  // A statement that reads no relation is the compute node's to answer: a connection check
  // (SELECT 1) must reach it.
  if (from.empty()) return abort_with(ParseStatus::Unsupported, "SELECT without FROM clause");

  // A comma list folds left-deep into cross joins.
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

  if (!transform_targets(sel, names_seen, stmt.get())) return nullptr;

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

bool Walker::transform_targets(const json& sel, bool names_seen, SelectStatement* stmt) {
  const json* targets = field(sel, "targetList");
  if (targets == nullptr || !targets->is_array() || targets->empty()) {
    abort_with(ParseStatus::Malformed, "SELECT with no projection");
    return false;
  }
  for (size_t i = 0; i < targets->size(); ++i) {
    const json* body = nullptr;
    if (kind_of(&(*targets)[i], &body) != "ResTarget") {
      abort_with(ParseStatus::Malformed, "SELECT with no projection");
      return false;
    }
    SelectItem item;
    const json* val = field(*body, "val");
    item.expr = transform_expression(val);
    if (!item.expr) return false;
    std::string alias = str_field(*body, "name");
    std::optional<std::string> name;
    if (!alias.empty()) {
      const json* next_body = nullptr;
      const int64_t next = i + 1 < targets->size() && kind_of(&(*targets)[i + 1], &next_body) ==
                                                          "ResTarget"
                               ? next_body->value("location", int64_t{-1})
                               : -1;
      name = names_.alias(alias, body->value("location", int64_t{-1}), next);
      item.alias = std::move(alias);
    } else if (!item.expr->as<ColumnRef>() && !item.expr->as<StarExpr>()) {
      name = names_.render(val);
    } else {
      name = std::string();
    }
    if (name) {
      item.name = std::move(*name);
    } else if (names_seen) {
      abort_with(ParseStatus::Unsupported, "the compute node's name for output column " +
                                               std::to_string(stmt->items.size() + 1) +
                                               " is not known here");
      return false;
    }
    stmt->items.push_back(std::move(item));
  }
  return true;
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
    const std::string node_kind = kind_of(node, &cbody);
    if (node_kind == "A_Const" && field(*cbody, "ival")) {
      const json& iv = (*cbody)["ival"];
      key.ordinal = iv.value("ival", static_cast<int64_t>(0));
    } else if (node_kind == "A_Const") {
      // Sorting by a constant other than a position is refused by some dialects and ignored by
      // others.
      abort_with(ParseStatus::Unsupported, "ORDER BY a constant other than a column position");
      return false;
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

bool Walker::transform_set_op(const json& sel, const std::string& op, bool names_seen,
                              SelectStatement* stmt) {
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
  // The combined rows take the left operand's column names.
  stmt->set_left = transform_select(*l, names_seen);
  if (!stmt->set_left) return false;
  stmt->set_right = transform_select(*r, /*names_seen=*/false);
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
    cte.query = transform_select(*q, /*names_seen=*/true);
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
          auto parsed = string_node(c);
          if (!parsed) continue;
          auto written = names_.spelling(*parsed);
          if (!written) {
            return abort_with(ParseStatus::Unsupported,
                              "the compute node's name for VALUES column " + *parsed +
                                  " is not known here");
          }
          v.column_names.push_back(*written);
        }
      }
      ref->node = std::move(v);
      return ref;
    }
    if (alias != nullptr && !list_field(*alias, "colnames").empty()) {
      return abort_with(ParseStatus::Unsupported,
                        "derived table column aliases are not supported in metadata path");
    }
    auto inner = transform_select(*sbody, /*names_seen=*/true);
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

}  // namespace nv_sql
