#include "sql/syntax_tree_internal.h"

namespace nv_sql {

bool is_agg_name(const std::string& lowered) {
  for (const char* n : kAggNames) {
    if (lowered == n) return true;
  }
  return false;
}

bool is_internal_func_name(const std::string& lowered) {
  return !lowered.empty() && lowered[0] == '$';
}

namespace {

bool is_subquery_node(const Expr& e) {
  if (e.as<ExistsExpr>() || e.as<ScalarSubqueryExpr>()) return true;
  const auto* in = e.as<InExpr>();
  return in != nullptr && in->subquery != nullptr;
}

ExprPtr clone_or_null(const ExprPtr& e, bool* ok) {
  if (!e) return nullptr;
  ExprPtr c = clone_expr(*e);
  if (!c) *ok = false;
  return c;
}

}  // namespace

bool has_subquery(const Expr& e) {
  if (is_subquery_node(e)) return true;
  bool found = false;
  for_each_child(e, [&](const Expr& c) { found = found || has_subquery(c); });
  return found;
}

ExprPtr clone_expr(const Expr& e) {
  if (is_subquery_node(e)) return nullptr;
  bool ok = true;
  auto out = std::make_unique<Expr>();
  std::visit(
      [&](const auto& n) {
        using T = std::decay_t<decltype(n)>;
        if constexpr (std::is_same_v<T, ColumnRef> || std::is_same_v<T, LiteralExpr> ||
                      std::is_same_v<T, StarExpr>) {
          out->node = n;
        } else if constexpr (std::is_same_v<T, CmpExpr> || std::is_same_v<T, ArithExpr> ||
                             std::is_same_v<T, LogicExpr>) {
          out->node = T{n.op, clone_or_null(n.lhs, &ok), clone_or_null(n.rhs, &ok)};
        } else if constexpr (std::is_same_v<T, UnaryExpr>) {
          out->node = UnaryExpr{n.op, clone_or_null(n.operand, &ok)};
        } else if constexpr (std::is_same_v<T, InExpr>) {
          InExpr c;
          c.lhs = clone_or_null(n.lhs, &ok);
          for (const auto& x : n.list) c.list.push_back(clone_or_null(x, &ok));
          out->node = std::move(c);
        } else if constexpr (std::is_same_v<T, LikeExpr>) {
          out->node = LikeExpr{clone_or_null(n.value, &ok), clone_or_null(n.pattern, &ok),
                               n.escape, n.case_insensitive};
        } else if constexpr (std::is_same_v<T, CaseExpr>) {
          CaseExpr c;
          c.operand = clone_or_null(n.operand, &ok);
          for (const auto& [w, t] : n.whens) {
            c.whens.emplace_back(clone_or_null(w, &ok), clone_or_null(t, &ok));
          }
          c.else_expr = clone_or_null(n.else_expr, &ok);
          out->node = std::move(c);
        } else if constexpr (std::is_same_v<T, CastExpr>) {
          out->node = CastExpr{clone_or_null(n.operand, &ok), n.target};
        } else if constexpr (std::is_same_v<T, FuncExpr>) {
          FuncExpr c;
          c.name = n.name;
          for (const auto& x : n.args) c.args.push_back(clone_or_null(x, &ok));
          out->node = std::move(c);
        } else if constexpr (std::is_same_v<T, AggExpr>) {
          AggExpr c;
          c.name = n.name;
          c.distinct = n.distinct;
          c.star = n.star;
          for (const auto& x : n.args) c.args.push_back(clone_or_null(x, &ok));
          for (const auto& k : n.order_by) {
            OrderKey ck;
            ck.ordinal = k.ordinal;
            ck.expr = clone_or_null(k.expr, &ok);
            ck.descending = k.descending;
            ck.nulls_first = k.nulls_first;
            ck.nulls_specified = k.nulls_specified;
            c.order_by.push_back(std::move(ck));
          }
          out->node = std::move(c);
        } else {
          ok = false;
        }
      },
      e.node);
  return ok ? std::move(out) : nullptr;
}

bool expr_equal(const Expr& a, const Expr& b,
                const std::function<bool(const ColumnRef&, const ColumnRef&)>& same_column) {
  if (a.node.index() != b.node.index()) return false;
  if (is_subquery_node(a) || is_subquery_node(b)) return false;
  if (const auto* ca = a.as<ColumnRef>()) return same_column(*ca, *b.as<ColumnRef>());
  bool fields = std::visit(
      [&](const auto& n) {
        using T = std::decay_t<decltype(n)>;
        const T& m = std::get<T>(b.node);
        if constexpr (std::is_same_v<T, LiteralExpr>) {
          return n.type == m.type && n.decimal == m.decimal && n.value == m.value;
        } else if constexpr (std::is_same_v<T, CmpExpr> || std::is_same_v<T, ArithExpr> ||
                             std::is_same_v<T, LogicExpr> || std::is_same_v<T, UnaryExpr>) {
          return n.op == m.op;
        } else if constexpr (std::is_same_v<T, InExpr>) {
          return n.list.size() == m.list.size();
        } else if constexpr (std::is_same_v<T, LikeExpr>) {
          return n.escape == m.escape && n.case_insensitive == m.case_insensitive;
        } else if constexpr (std::is_same_v<T, CaseExpr>) {
          return n.whens.size() == m.whens.size() && !n.operand == !m.operand &&
                 !n.else_expr == !m.else_expr;
        } else if constexpr (std::is_same_v<T, CastExpr>) {
          return n.target == m.target;
        } else if constexpr (std::is_same_v<T, FuncExpr>) {
          return n.name == m.name && n.args.size() == m.args.size();
        } else if constexpr (std::is_same_v<T, StarExpr>) {
          return n.qualifier == m.qualifier;
        } else if constexpr (std::is_same_v<T, AggExpr>) {
          if (n.name != m.name || n.distinct != m.distinct || n.star != m.star ||
              n.args.size() != m.args.size() || n.order_by.size() != m.order_by.size()) {
            return false;
          }
          for (size_t i = 0; i < n.order_by.size(); ++i) {
            const auto& x = n.order_by[i];
            const auto& y = m.order_by[i];
            if (x.ordinal != y.ordinal || x.descending != y.descending ||
                x.nulls_first != y.nulls_first || x.nulls_specified != y.nulls_specified) {
              return false;
            }
          }
          return true;
        } else {
          return false;
        }
      },
      a.node);
  if (!fields) return false;
  std::vector<const Expr*> ca, cb;
  size_t nulls_a = 0, nulls_b = 0;
  for_each_child(const_cast<Expr&>(a), [&](ExprPtr& c) {
    if (c) ca.push_back(c.get()); else ++nulls_a;
  });
  for_each_child(const_cast<Expr&>(b), [&](ExprPtr& c) {
    if (c) cb.push_back(c.get()); else ++nulls_b;
  });
  if (ca.size() != cb.size() || nulls_a != nulls_b) return false;
  for (size_t i = 0; i < ca.size(); ++i) {
    if (!expr_equal(*ca[i], *cb[i], same_column)) return false;
  }
  return true;
}

}  // namespace nv_sql
