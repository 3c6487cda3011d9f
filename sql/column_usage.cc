// The columns a statement uses, so that its base tables are materialised with those alone and
// its joins output no others.

#include "sql/engine_ops_internal.h"

namespace nv_sql {

namespace {

class Usage {
 public:
  // `nested`: a subquery or derived table; its * concerns its own FROM items, which it
  // materialises itself.
  void statement(const SelectStatement& s, bool nested) {
    for (const auto& item : s.items) {
      if (!item.expr) continue;
      if (!nested && item.expr->as<StarExpr>()) all_ = true;
      expr(item.expr.get());
    }
    expr(s.where.get());
    for (const auto& g : s.group_by) expr(g.get());
    expr(s.having.get());
    for (const auto& k : s.order_by) expr(k.expr.get());
    // The statement's own joins add the columns of their conditions as they run
    // (join_input_columns); a subquery's are all counted.
    if (s.from && nested) tableref(*s.from);
    if (s.set_left) statement(*s.set_left, true);
    if (s.set_right) statement(*s.set_right, true);
    for (const auto& cte : s.ctes) {
      if (cte.query) statement(*cte.query, true);
    }
  }

  std::optional<std::unordered_set<std::string>> result() {
    if (all_) return std::nullopt;
    return std::move(names_);
  }

  void expr(const Expr* e) {
    if (e == nullptr) return;
    if (const auto* c = e->as<ColumnRef>()) names_.insert(ascii_lower(c->column));
    const SelectStatement* sub = nullptr;
    if (const auto* x = e->as<ExistsExpr>()) sub = x->subquery.get();
    if (const auto* x = e->as<ScalarSubqueryExpr>()) sub = x->subquery.get();
    if (const auto* x = e->as<InExpr>()) sub = x->subquery.get();
    if (sub != nullptr) statement(*sub, true);
    for_each_child(*e, [&](const Expr& child) { expr(&child); });
  }

  void join_condition(const JoinRef& j) {
    expr(j.on.get());
    for (const auto& u : j.using_columns) names_.insert(ascii_lower(u));
  }

  void add(const std::unordered_set<std::string>& names) {
    names_.insert(names.begin(), names.end());
  }

 private:
  void tableref(const TableRef& ref) {
    if (const auto* join = std::get_if<std::unique_ptr<JoinRef>>(&ref.node)) {
      if (!*join) return;
      join_condition(**join);
      if ((*join)->left) tableref(*(*join)->left);
      if ((*join)->right) tableref(*(*join)->right);
    } else if (const auto* sub = std::get_if<std::unique_ptr<SelectStatement>>(&ref.node)) {
      if (*sub) statement(**sub, true);
    }
  }

  std::unordered_set<std::string> names_;
  bool all_ = false;
};

}  // namespace

std::optional<std::unordered_set<std::string>> referenced_columns(const SelectStatement& stmt) {
  Usage usage;
  usage.statement(stmt, false);
  return usage.result();
}

std::optional<std::unordered_set<std::string>> join_input_columns(
    const JoinRef& join, const std::unordered_set<std::string>* output) {
  if (output == nullptr || join.natural) return std::nullopt;
  Usage usage;
  usage.add(*output);
  usage.join_condition(join);
  return usage.result();
}

}  // namespace nv_sql
