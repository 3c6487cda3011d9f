// Subqueries without a correlated executor: [NOT] EXISTS conjuncts correlated by equalities
// become semi / anti joins; every other subquery is executed once on its own and replaced by
// constants. A subquery that still refers to an outer column then fails on an unknown column,
// and the statement goes to compute.

#include <set>

#include "sql/engine_ops_internal.h"

namespace nv_sql {

namespace {

struct InnerScope {
  std::set<std::string> columns;
  std::set<std::string> qualifiers;
};

void collect_inner_column_names(const TableRef& ref, const MetadataEngine& engine,
                                InnerScope* scope) {
  if (const auto* base = std::get_if<BaseTable>(&ref.node)) {
    if (base->alias) scope->qualifiers.insert(ascii_lower(*base->alias));
    if (!base->name.empty()) scope->qualifiers.insert(ascii_lower(base->name));
    if (const auto* rel = engine.find_relation(*base)) {
      for (const auto& f : rel->schema->fields()) scope->columns.insert(ascii_lower(f->name()));
    }
    return;
  }
  if (const auto* v = std::get_if<ValuesList>(&ref.node)) {
    if (v->alias) scope->qualifiers.insert(ascii_lower(*v->alias));
    for (const auto& c : v->column_names) scope->columns.insert(ascii_lower(c));
    return;
  }
  if (const auto* sub = std::get_if<std::unique_ptr<SelectStatement>>(&ref.node)) {
    if (!*sub) return;
    for (const auto& item : (*sub)->items) {
      if (item.alias) {
        scope->columns.insert(ascii_lower(*item.alias));
      } else if (const auto* c = item.expr ? item.expr->as<ColumnRef>() : nullptr) {
        scope->columns.insert(ascii_lower(c->column));
      }
    }
    return;
  }
  const auto& join = std::get<std::unique_ptr<JoinRef>>(ref.node);
  if (!join) return;
  if (join->left) collect_inner_column_names(*join->left, engine, scope);
  if (join->right) collect_inner_column_names(*join->right, engine, scope);
}

bool column_is_inner(const ColumnRef& ref, const InnerScope& scope) {
  if (!ref.table.empty()) return scope.qualifiers.count(ascii_lower(ref.table)) > 0;
  return scope.columns.count(ascii_lower(ref.column)) > 0;
}

bool expr_references_outer(const Expr& e, const InnerScope& scope) {
  if (const auto* c = e.as<ColumnRef>()) return !column_is_inner(*c, scope);
  bool outer = false;
  for_each_child(e, [&](const Expr& child) {
    outer = outer || expr_references_outer(child, scope);
  });
  // A nested subquery may refer to the outer query too; it is not looked into, so treat it
  // as referring to it.
  const auto* in = e.as<InExpr>();
  if (e.as<ExistsExpr>() || e.as<ScalarSubqueryExpr>() || (in && in->subquery)) {
    outer = true;
  }
  return outer;
}

struct CorrelationKey {
  ColumnRef inner;
  ColumnRef outer;
};

bool extract_correlation_keys_recursive(const Expr& e, const InnerScope& scope,
                                        std::vector<CorrelationKey>* keys, int* residuals) {
  if (const auto* l = e.as<LogicExpr>(); l && l->op == LogicOp::And) {
    return extract_correlation_keys_recursive(*l->lhs, scope, keys, residuals) &&
           extract_correlation_keys_recursive(*l->rhs, scope, keys, residuals);
  }
  if (const auto* c = e.as<CmpExpr>()) {
    const auto* a = c->lhs->as<ColumnRef>();
    const auto* b = c->rhs->as<ColumnRef>();
    if (c->op == CmpOp::Eq && a && b) {
      bool ai = column_is_inner(*a, scope);
      bool bi = column_is_inner(*b, scope);
      if (ai != bi) {
        keys->push_back(ai ? CorrelationKey{*a, *b} : CorrelationKey{*b, *a});
        return true;
      }
    }
    if (expr_references_outer(*c->lhs, scope) || expr_references_outer(*c->rhs, scope)) {
      return false;
    }
    ++*residuals;
    return true;
  }
  if (const auto* c = e.as<ColumnRef>()) {
    if (!column_is_inner(*c, scope)) return false;
    ++*residuals;
    return true;
  }
  if (expr_references_outer(e, scope)) return false;
  ++*residuals;
  return true;
}

bool projection_has_aggregate(const SelectStatement& s) {
  for (const auto& item : s.items) {
    if (!item.expr) continue;
    if (item.expr->as<AggExpr>()) return true;
    if (const auto* f = item.expr->as<FuncExpr>(); f && is_agg_name(ascii_lower(f->name))) {
      return true;
    }
  }
  return false;
}

bool try_decorrelate_exists(SelectStatement& outer, ExistsExpr& exists,
                            const MetadataEngine& engine) {
  SelectStatement* sub = exists.subquery.get();
  if (sub == nullptr || !sub->from) return false;
  if (projection_has_aggregate(*sub)) return false;
  if (sub->limit || sub->offset || sub->distinct) return false;
  InnerScope scope;
  collect_inner_column_names(*sub->from, engine, &scope);
  if (scope.columns.empty()) return false;
  if (!sub->where) return false;
  std::vector<CorrelationKey> keys;
  int residuals = 0;
  if (!extract_correlation_keys_recursive(*sub->where, scope, &keys, &residuals)) return false;
  if (keys.empty() || residuals != 0) return false;

  auto join = std::make_unique<JoinRef>();
  join->kind = exists.negated ? JoinKind::Anti : JoinKind::Semi;
  join->left = std::move(outer.from);
  join->right = std::move(sub->from);
  // The references keep their qualifiers, so that each side of a key binds to its own table
  // even when both sides have a column of that name.
  for (const auto& k : keys) {
    auto eq = Expr::make(CmpExpr{CmpOp::Eq, Expr::make(ColumnRef(k.outer)),
                                 Expr::make(ColumnRef(k.inner))});
    join->on = join->on ? Expr::make(LogicExpr{LogicOp::And, std::move(join->on), std::move(eq)})
                        : std::move(eq);
  }
  sub->where.reset();
  outer.from = std::make_unique<TableRef>();
  outer.from->node = std::move(join);
  return true;
}

ExprPtr true_literal() { return Expr::make(LiteralExpr{Literal{true}, Type::Bool}); }

void collect_conjuncts(ExprPtr& slot, std::vector<ExprPtr*>* out) {
  if (!slot) return;
  if (auto* l = slot->as<LogicExpr>(); l && l->op == LogicOp::And) {
    collect_conjuncts(l->lhs, out);
    collect_conjuncts(l->rhs, out);
    return;
  }
  out->push_back(&slot);
}

// Runs an inner statement; a decline inside stays a decline outside.
arrow::Result<ExecuteResult> run_inner(SelectStatement& sub, const MetadataEngine& engine,
                                       const std::string& prefix, std::string* msg) {
  ExecuteResult r = engine.execute(sub);
  if (r.status == ExecuteStatus::Ok) return r;
  const std::string inner = r.error_message.empty() ? r.decline_reason : r.error_message;
  if (msg != nullptr && msg->empty()) *msg = prefix + inner;
  if (r.status == ExecuteStatus::Declined) return decline_status(prefix + inner);
  return arrow::Status::Invalid(prefix + inner);
}

int64_t total_rows(const ExecuteResult& r) {
  int64_t n = 0;
  for (const auto& b : r.batches) n += b->num_rows();
  return n;
}

Type literal_type(const Literal& v) {
  switch (v.index()) {
    case 1:
      return Type::Bool;
    case 2:
      return Type::Int64;
    case 3:
      return Type::Double;
    case 4:
      return Type::String;
    default:
      return Type::Null;
  }
}

ExprPtr literal_expr(Literal v) {
  Type t = literal_type(v);
  return Expr::make(LiteralExpr{std::move(v), t});
}

}  // namespace

void decorrelate_exists(SelectStatement& stmt, const MetadataEngine& engine) {
  // Only conjuncts of the top-level AND chain are rewritten: replacing an EXISTS below OR,
  // NOT (other than NOT EXISTS itself), CASE or a function by true while joining would change
  // the result. Those are left to flattening.
  std::vector<ExprPtr*> conjuncts;
  collect_conjuncts(stmt.where, &conjuncts);
  for (ExprPtr* slot : conjuncts) {
    Expr& e = **slot;
    if (auto* u = e.as<UnaryExpr>(); u && u->op == UnaryOp::Not && u->operand) {
      if (auto* ex = u->operand->as<ExistsExpr>()) {
        ex->negated = true;
        if (try_decorrelate_exists(stmt, *ex, engine)) {
          *slot = true_literal();
        } else {
          ex->negated = false;
        }
      }
      continue;
    }
    if (auto* ex = e.as<ExistsExpr>()) {
      if (try_decorrelate_exists(stmt, *ex, engine)) *slot = true_literal();
    }
  }
}

arrow::Result<Literal> arrow_array_element_to_literal(const arrow::Array& array, int64_t row) {
  if (array.IsNull(row)) return Literal{};
  auto as_int = [&](auto* typed) -> Literal {
    using A = std::remove_pointer_t<decltype(typed)>;
    return Literal{static_cast<int64_t>(static_cast<const A&>(array).Value(row))};
  };
  switch (array.type_id()) {
    case arrow::Type::BOOL:
      return Literal{static_cast<const arrow::BooleanArray&>(array).Value(row)};
    case arrow::Type::UINT8:
      return as_int(static_cast<arrow::UInt8Array*>(nullptr));
    case arrow::Type::UINT16:
      return as_int(static_cast<arrow::UInt16Array*>(nullptr));
    case arrow::Type::UINT32:
      return as_int(static_cast<arrow::UInt32Array*>(nullptr));
    case arrow::Type::INT8:
      return as_int(static_cast<arrow::Int8Array*>(nullptr));
    case arrow::Type::INT16:
      return as_int(static_cast<arrow::Int16Array*>(nullptr));
    case arrow::Type::INT32:
      return as_int(static_cast<arrow::Int32Array*>(nullptr));
    case arrow::Type::INT64:
      return as_int(static_cast<arrow::Int64Array*>(nullptr));
    case arrow::Type::FLOAT:
      return Literal{static_cast<double>(static_cast<const arrow::FloatArray&>(array).Value(row))};
    case arrow::Type::DOUBLE:
      return Literal{static_cast<const arrow::DoubleArray&>(array).Value(row)};
    case arrow::Type::STRING:
      return Literal{static_cast<const arrow::StringArray&>(array).GetString(row)};
    case arrow::Type::LARGE_STRING:
      return Literal{static_cast<const arrow::LargeStringArray&>(array).GetString(row)};
    default:
      return arrow::Status::Invalid(
          "subquery result column type not supported for IN-list flattening: " +
          array.type()->ToString());
  }
}

arrow::Status flatten_subqueries_in_expr(ExprPtr& slot, const MetadataEngine& engine,
                                         std::string* msg) {
  if (!slot) return arrow::Status::OK();
  Expr& e = *slot;
  if (auto* s = e.as<ScalarSubqueryExpr>()) {
    if (!s->subquery) return fail(msg, "scalar subquery with null inner SelectStatement");
    ARROW_ASSIGN_OR_RAISE(auto r, run_inner(*s->subquery, engine, "scalar subquery: ", msg));
    if (r.schema->num_fields() != 1) {
      return fail(msg, "scalar subquery must return exactly one column");
    }
    const int64_t rows = total_rows(r);
    if (rows > 1) return fail(msg, "scalar subquery returned more than one row");
    Literal value;
    for (const auto& b : r.batches) {
      if (b->num_rows() == 0) continue;
      auto v = arrow_array_element_to_literal(*b->column(0), 0);
      if (!v.ok()) return fail(msg, v.status().message());
      value = *v;
    }
    slot = literal_expr(std::move(value));
    return arrow::Status::OK();
  }
  if (auto* x = e.as<ExistsExpr>()) {
    if (!x->subquery) return fail(msg, "EXISTS with null inner SelectStatement");
    ARROW_ASSIGN_OR_RAISE(auto r, run_inner(*x->subquery, engine, "EXISTS: ", msg));
    bool any = total_rows(r) > 0;
    slot = Expr::make(LiteralExpr{Literal{x->negated ? !any : any}, Type::Bool});
    return arrow::Status::OK();
  }
  if (auto* in = e.as<InExpr>()) {
    ARROW_RETURN_NOT_OK(flatten_subqueries_in_expr(in->lhs, engine, msg));
    if (in->subquery) {
      ARROW_ASSIGN_OR_RAISE(auto r, run_inner(*in->subquery, engine, "IN-subquery: ", msg));
      if (!r.schema || r.schema->num_fields() < 1) {
        return fail(msg, "IN-subquery returned no columns");
      }
      if (r.schema->num_fields() != 1) {
        return fail(msg, "IN-subquery must return exactly one column");
      }
      std::vector<ExprPtr> list;
      for (const auto& b : r.batches) {
        const auto& col = *b->column(0);
        for (int64_t i = 0; i < b->num_rows(); ++i) {
          auto v = arrow_array_element_to_literal(col, i);
          if (!v.ok()) return fail(msg, v.status().message());
          list.push_back(literal_expr(std::move(*v)));
        }
      }
      in->list = std::move(list);
      in->subquery.reset();
    }
    for (auto& item : in->list) ARROW_RETURN_NOT_OK(flatten_subqueries_in_expr(item, engine, msg));
    return arrow::Status::OK();
  }
  arrow::Status st;
  for_each_child(e, [&](ExprPtr& child) {
    if (st.ok()) st = flatten_subqueries_in_expr(child, engine, msg);
  });
  return st;
}

arrow::Result<std::shared_ptr<arrow::RecordBatch>> materialize_subquery(
    SelectStatement& stmt, const MetadataEngine& engine, std::string* msg) {
  ExecuteResult r = engine.execute(stmt);
  if (r.status != ExecuteStatus::Ok) {
    const std::string inner = r.error_message.empty() ? r.decline_reason : r.error_message;
    if (msg != nullptr && msg->empty()) *msg = "subquery: " + inner;
    if (r.status == ExecuteStatus::Declined) return decline_status("subquery: " + inner);
    return arrow::Status::Invalid("subquery: " + inner);
  }
  if (!r.schema) return fail(msg, "subquery produced no schema");
  return combine_batches(r.schema, r.batches);
}

}  // namespace nv_sql
