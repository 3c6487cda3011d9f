// Derived tables that compute only the rows their join can use. When a derived table (a
// decorrelated subquery, a grouped FROM item) is joined by equality to a left side, the left
// side's distinct key values are added to its WHERE as an IN list before it runs: it then
// groups only the keys that matter, and its base tables find those keys by name lookup.

#include <unordered_set>

#include "sql/engine_ops_internal.h"
#include "sql/cells_internal.h"

namespace nv_sql {

namespace {

// Past this many distinct keys an IN list costs more than it saves.
constexpr size_t kMaxPushedKeys = 10'000;

// Distinct non-null values of a text column, up to `limit` (nothing past it).
std::optional<std::vector<std::string_view>> distinct_texts(const arrow::Array& a, size_t limit) {
  std::unordered_set<std::string_view> seen;
  std::vector<std::string_view> out;
  for (int64_t i = 0; i < a.length(); ++i) {
    if (a.IsNull(i)) continue;
    const std::string_view v = text_at(a, i);
    if (seen.insert(v).second) {
      if (out.size() == limit) return std::nullopt;
      out.push_back(v);
    }
  }
  return out;
}

// The derived table's projection item named `name` (its alias, or an unaliased column's name).
const SelectItem* output_item(const SelectStatement& s, const std::string& name) {
  const SelectItem* found = nullptr;
  for (const auto& item : s.items) {
    if (!item.expr) return nullptr;
    std::string out;
    if (item.alias) {
      out = ascii_lower(*item.alias);
    } else if (const auto* c = item.expr->as<ColumnRef>()) {
      out = ascii_lower(c->column);
    }
    if (out != name) continue;
    if (found != nullptr) return nullptr;  // ambiguous
    found = &item;
  }
  return found;
}

bool same_columns(const ColumnRef& a, const ColumnRef& b) {
  return ascii_lower(a.table) == ascii_lower(b.table) &&
         ascii_lower(a.column) == ascii_lower(b.column);
}

// Whether restricting the rows of `s` to those where `e` takes given values removes exactly the
// output rows whose `e` output has other values: `e` is a plain value of each row, or a
// grouping key.
bool restrictable(const SelectStatement& s, const Expr& e) {
  if (s.set_op != SetOp::None || s.limit || s.offset || !s.ctes.empty() || !s.from) return false;
  if (has_subquery(e) || e.as<StarExpr>() || e.as<AggExpr>()) return false;
  bool nested_agg = false;
  std::function<void(const Expr&)> scan = [&](const Expr& x) {
    nested_agg = nested_agg || x.as<AggExpr>() != nullptr;
    for_each_child(x, scan);
  };
  scan(e);
  if (nested_agg) return false;
  if (!is_aggregate_query(s)) return true;
  for (const auto& g : s.group_by) {
    if (g && expr_equal(*g, e, same_columns)) return true;
  }
  return false;
}

// The left side's distinct values of column `col` as literals; nothing for another type or too
// many values.
std::optional<std::vector<ExprPtr>> key_literals(const Frame& left, int col) {
  const auto& a = *left.batch->column(col);
  std::vector<ExprPtr> out;
  if (is_text(*a.type())) {
    auto values = distinct_texts(a, kMaxPushedKeys);
    if (!values) return std::nullopt;
    for (std::string_view v : *values) {
      out.push_back(Expr::make(LiteralExpr{Literal{std::string(v)}, Type::String}));
    }
    return out;
  }
  if (!arrow::is_integer(a.type_id())) return std::nullopt;
  std::unordered_set<int64_t> seen;
  for (int64_t i = 0; i < a.length(); ++i) {
    if (a.IsNull(i)) continue;
    auto lit = arrow_array_element_to_literal(a, i);
    const auto* v = lit.ok() ? std::get_if<int64_t>(&*lit) : nullptr;
    if (v == nullptr) return std::nullopt;
    if (!seen.insert(*v).second) continue;
    if (seen.size() > kMaxPushedKeys) return std::nullopt;
    out.push_back(Expr::make(LiteralExpr{Literal{*v}, Type::Int64}));
  }
  return out;
}

}  // namespace

SelectStatement* derived_right(const JoinRef& join) {
  const JoinKind k = join.kind;
  if (k != JoinKind::Inner && k != JoinKind::Left && k != JoinKind::Semi && k != JoinKind::Anti) {
    return nullptr;
  }
  if (!join.right || !join.on || !join.right->alias) return nullptr;
  const auto* sub = std::get_if<std::unique_ptr<SelectStatement>>(&join.right->node);
  return sub != nullptr ? sub->get() : nullptr;
}

std::optional<Frame> derived_scope(const TableRef& ref) {
  const auto* sub = std::get_if<std::unique_ptr<SelectStatement>>(&ref.node);
  if (sub == nullptr || !*sub || (*sub)->set_op != SetOp::None) return std::nullopt;
  Frame probe;
  const std::string qualifier = table_qualifier(ref);
  for (const auto& item : (*sub)->items) {
    ColumnScope c;
    if (item.alias) {
      c.name = ascii_lower(*item.alias);
    } else if (const auto* col = item.expr ? item.expr->as<ColumnRef>() : nullptr) {
      c.name = ascii_lower(col->column);
    } else {
      return std::nullopt;
    }
    if (!qualifier.empty()) c.qualifiers.push_back(qualifier);
    c.hidden = ref.hidden;
    probe.scope.push_back(std::move(c));
  }
  return probe;
}

void push_join_keys(const JoinRef& join, SelectStatement& derived, const Frame& left) {
  const std::string alias = ascii_lower(*join.right->alias);
  std::vector<const Expr*> conjuncts;
  conjuncts_of(join.on.get(), &conjuncts);
  for (const Expr* c : conjuncts) {
    const auto* eq = c->as<CmpExpr>();
    if (eq == nullptr || eq->op != CmpOp::Eq || !eq->lhs || !eq->rhs) continue;
    const auto* a = eq->lhs->as<ColumnRef>();
    const auto* b = eq->rhs->as<ColumnRef>();
    if (a == nullptr || b == nullptr) continue;
    if (ascii_lower(a->table) == alias) std::swap(a, b);
    if (ascii_lower(b->table) != alias || ascii_lower(a->table) == alias) continue;
    auto col = resolve_column(left, *a);
    if (!col.ok()) continue;
    const SelectItem* item = output_item(derived, ascii_lower(b->column));
    if (item == nullptr || !restrictable(derived, *item->expr)) continue;
    auto values = key_literals(left, *col);
    if (!values) continue;
    InExpr in;
    in.lhs = clone_expr(*item->expr);
    if (!in.lhs) continue;
    in.list = std::move(*values);
    note_index_use();
    ExprPtr pred = Expr::make(std::move(in));
    derived.where = derived.where ? Expr::make(LogicExpr{LogicOp::And, std::move(derived.where),
                                                         std::move(pred)})
                                  : std::move(pred);
  }
}

}  // namespace nv_sql
