// How values reach an output column, for the types the compute node gives it: arithmetic,
// CASE branches, coalesce and min / max / sum pass an operand's type on; comparisons, casts,
// division (always a DOUBLE there), text functions and counts make a type of their own.

#include "sql/engine_ops_internal.h"

namespace nv_sql {

bool value_from(const Expr& e, const std::function<bool(const Expr&)>& is_source) {
  if (is_source(e)) return true;
  auto from = [&](const ExprPtr& c) { return c && value_from(*c, is_source); };
  if (const auto* a = e.as<ArithExpr>()) {
    if (a->op == ArithOp::Div || a->op == ArithOp::Concat) return false;
    return from(a->lhs) || from(a->rhs);
  }
  if (const auto* u = e.as<UnaryExpr>()) return u->op == UnaryOp::Neg && from(u->operand);
  if (const auto* c = e.as<CaseExpr>()) {
    for (const auto& [when, then] : c->whens) {
      if (from(then)) return true;
    }
    return from(c->else_expr);
  }
  if (const auto* f = e.as<FuncExpr>()) {
    if (f->name != "coalesce" && f->name != kFuncNullif) return false;
    for (const auto& arg : f->args) {
      if (from(arg)) return true;
    }
    return false;
  }
  if (const auto* agg = e.as<AggExpr>()) {
    if (agg->name != "sum" && agg->name != "min" && agg->name != "max") return false;
    return !agg->args.empty() && from(agg->args.front());
  }
  return false;
}

bool is_decimal_constant(const Expr& e) {
  const auto* lit = e.as<LiteralExpr>();
  return lit != nullptr && lit->decimal;
}

arrow::Status decimal_output() {
  return decline_status("an output column the compute node types DECIMAL");
}

}  // namespace nv_sql
