// Subqueries without a correlated executor: [NOT] EXISTS conjuncts correlated by equalities
// become semi / anti joins; every other subquery is executed once on its own and replaced by
// constants. A subquery that still refers to an outer column then fails on an unknown column,
// and the statement goes to compute.

#include <functional>
#include <set>

#include "sql/engine_ops_internal.h"

namespace nv_sql {

namespace {

struct InnerScope {
  std::set<std::string> columns;
  std::set<std::string> qualifiers;
  bool complete = true;  // false when some FROM item's column names are not known here
};

void collect_inner_column_names(const TableRef& ref, const MetadataEngine& engine,
                                InnerScope* scope);

// Output names of a derived table's projection; unknown ones make the scope incomplete.
void collect_derived_columns(const SelectStatement& sub, const MetadataEngine& engine,
                             InnerScope* scope) {
  if (sub.set_op != SetOp::None) {
    scope->complete = false;
    return;
  }
  for (const auto& item : sub.items) {
    if (item.alias) {
      scope->columns.insert(ascii_lower(*item.alias));
    } else if (const auto* c = item.expr ? item.expr->as<ColumnRef>() : nullptr) {
      scope->columns.insert(ascii_lower(c->column));
    } else if (const auto* star = item.expr ? item.expr->as<StarExpr>() : nullptr;
               star && star->qualifier.empty() && sub.from) {
      InnerScope inner;
      collect_inner_column_names(*sub.from, engine, &inner);
      scope->columns.insert(inner.columns.begin(), inner.columns.end());
      scope->complete = scope->complete && inner.complete;
    } else {
      scope->complete = false;
    }
  }
}

void collect_inner_column_names(const TableRef& ref, const MetadataEngine& engine,
                                InnerScope* scope) {
  const std::string qualifier = table_qualifier(ref);
  if (!qualifier.empty()) scope->qualifiers.insert(qualifier);
  if (const auto* base = std::get_if<BaseTable>(&ref.node)) {
    const auto* rel = engine.find_relation(*base);
    if (rel == nullptr) {
      scope->complete = false;
      return;
    }
    for (const auto& f : rel->schema->fields()) scope->columns.insert(ascii_lower(f->name()));
    return;
  }
  if (const auto* v = std::get_if<ValuesList>(&ref.node)) {
    const size_t n = v->rows.empty() ? 0 : v->rows.front().size();
    for (size_t i = 0; i < n; ++i) {
      scope->columns.insert(i < v->column_names.size() ? ascii_lower(v->column_names[i])
                                                       : "column" + std::to_string(i + 1));
    }
    return;
  }
  if (const auto* sub = std::get_if<std::unique_ptr<SelectStatement>>(&ref.node)) {
    if (*sub) {
      collect_derived_columns(**sub, engine, scope);
    } else {
      scope->complete = false;
    }
    return;
  }
  const auto& join = std::get<std::unique_ptr<JoinRef>>(ref.node);
  if (!join) return;
  if (join->left) collect_inner_column_names(*join->left, engine, scope);
  if (join->right) collect_inner_column_names(*join->right, engine, scope);
}

enum class Side { Inner, Outer, Unknown };

// Which query a reference binds to. A qualified reference is inner when the qualifier names
// an inner FROM item; an unqualified one when an inner item has the column, outer only when
// every inner item's columns are known and none has it.
Side column_side(const ColumnRef& ref, const InnerScope& scope) {
  if (!ref.table.empty()) {
    return scope.qualifiers.count(ascii_lower(ref.table)) > 0 ? Side::Inner : Side::Outer;
  }
  if (scope.columns.count(ascii_lower(ref.column)) > 0) return Side::Inner;
  return scope.complete ? Side::Outer : Side::Unknown;
}

// Whether every column reference of `e` has a certain side; subqueries and aggregates in a
// conjunct keep the EXISTS from being rewritten.
bool sides_certain(const Expr& e, const InnerScope& scope, bool* any_outer) {
  if (const auto* c = e.as<ColumnRef>()) {
    Side side = column_side(*c, scope);
    *any_outer = *any_outer || side == Side::Outer;
    return side != Side::Unknown;
  }
  if (has_subquery(e) || e.as<AggExpr>() || e.as<StarExpr>()) return false;
  bool ok = true;
  for_each_child(e, [&](const Expr& child) { ok = ok && sides_certain(child, scope, any_outer); });
  return ok;
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

void collect_conjuncts(ExprPtr& slot, std::vector<ExprPtr*>* out) {
  if (!slot) return;
  if (auto* l = slot->as<LogicExpr>(); l && l->op == LogicOp::And) {
    collect_conjuncts(l->lhs, out);
    collect_conjuncts(l->rhs, out);
    return;
  }
  out->push_back(&slot);
}

// [NOT] EXISTS (SELECT ... FROM f WHERE w) becomes outer SEMI (ANTI) JOIN f ON w when every
// column of w binds to a known side and at least one binds to the outer query. The join
// binds ON's columns as the subquery did: inner FROM items first, the outer query's after.
bool try_decorrelate_exists(SelectStatement& outer, ExistsExpr& exists,
                            const MetadataEngine& engine) {
  SelectStatement* sub = exists.subquery.get();
  if (sub == nullptr || !sub->from || !sub->where) return false;
  if (projection_has_aggregate(*sub) || !sub->group_by.empty() || sub->having) return false;
  if (sub->limit || sub->offset || sub->distinct) return false;
  if (sub->set_op != SetOp::None || !sub->ctes.empty()) return false;
  InnerScope scope;
  collect_inner_column_names(*sub->from, engine, &scope);
  if (scope.columns.empty()) return false;
  bool correlated = false;
  if (!sides_certain(*sub->where, scope, &correlated) || !correlated) return false;

  auto join = std::make_unique<JoinRef>();
  join->kind = exists.negated ? JoinKind::Anti : JoinKind::Semi;
  join->left = std::move(outer.from);
  join->right = std::move(sub->from);
  join->on = std::move(sub->where);
  outer.from = std::make_unique<TableRef>();
  outer.from->node = std::move(join);
  return true;
}

bool plain_subquery(const SelectStatement& sub) {
  return sub.from && sub.where && sub.group_by.empty() && !sub.having && !sub.limit &&
         !sub.offset && !sub.distinct && sub.set_op == SetOp::None && sub.ctes.empty();
}

// outer.from becomes `outer.from <kind> JOIN right ON on`.
void join_into_from(SelectStatement& outer, JoinKind kind, std::unique_ptr<TableRef> right,
                    ExprPtr on) {
  auto join = std::make_unique<JoinRef>();
  join->kind = kind;
  join->left = std::move(outer.from);
  join->right = std::move(right);
  join->on = std::move(on);
  outer.from = std::make_unique<TableRef>();
  outer.from->node = std::move(join);
}

ExprPtr and_all(std::vector<ExprPtr> parts) {
  ExprPtr out;
  for (auto& p : parts) {
    out = out ? Expr::make(LogicExpr{LogicOp::And, std::move(out), std::move(p)}) : std::move(p);
  }
  return out;
}

// x IN (SELECT c FROM f WHERE w), correlated, becomes a semi join of f ON x = c AND w, when x
// binds to the outer query and c is an inner column (so the join binds both as written).
bool try_decorrelate_in(SelectStatement& outer, InExpr& in, const MetadataEngine& engine) {
  SelectStatement* sub = in.subquery.get();
  if (sub == nullptr || !plain_subquery(*sub) || sub->items.size() != 1 || !in.lhs) return false;
  const auto* item = sub->items[0].expr ? sub->items[0].expr->as<ColumnRef>() : nullptr;
  if (item == nullptr) return false;
  InnerScope scope;
  collect_inner_column_names(*sub->from, engine, &scope);
  if (scope.columns.empty() || column_side(*item, scope) != Side::Inner) return false;
  const auto* lhs = in.lhs->as<ColumnRef>();
  if (lhs == nullptr || column_side(*lhs, scope) != Side::Outer) return false;
  bool correlated = false;
  if (!sides_certain(*sub->where, scope, &correlated) || !correlated) return false;
  std::vector<ExprPtr> on;
  on.push_back(Expr::make(CmpExpr{CmpOp::Eq, std::move(in.lhs), std::move(sub->items[0].expr)}));
  on.push_back(std::move(sub->where));
  join_into_from(outer, JoinKind::Semi, std::move(sub->from), and_all(std::move(on)));
  return true;
}

// (SELECT agg(...) FROM f WHERE i1 = o1 AND ... AND r), with i inner and o outer columns and r
// over inner columns only, becomes a LEFT JOIN of (SELECT i1, ..., agg(...) FROM f WHERE r
// GROUP BY i1, ...) ON o1 = i1 AND ...; count over no row is 0, the others NULL. A value
// without aggregate is joined the same way ungrouped, and more than one row per outer row is
// the error it is in SQL.
ExprPtr try_decorrelate_scalar(SelectStatement& outer, SelectStatement& sub,
                               const MetadataEngine& engine, int* counter) {
  if (!plain_subquery(sub) || sub.items.size() != 1 || !sub.order_by.empty()) return nullptr;
  if (!sub.items[0].expr) return nullptr;
  const auto* agg = sub.items[0].expr->as<AggExpr>();
  InnerScope scope;
  collect_inner_column_names(*sub.from, engine, &scope);
  if (scope.columns.empty()) return nullptr;
  // The value: one aggregate over inner columns (grouped per key), or an expression over
  // inner columns without aggregates (at most one row per key, checked by the join).
  bool item_outer = false;
  if (agg != nullptr) {
    for (const auto& arg : agg->args) {
      if (!arg || !sides_certain(*arg, scope, &item_outer) || item_outer) return nullptr;
    }
    if (!agg->order_by.empty()) return nullptr;
  } else if (!sides_certain(*sub.items[0].expr, scope, &item_outer) || item_outer) {
    return nullptr;  // sides_certain also refuses aggregates inside an expression
  }
  std::vector<ExprPtr*> conjuncts;
  collect_conjuncts(sub.where, &conjuncts);
  std::vector<std::pair<ExprPtr*, ExprPtr*>> keys;  // (inner, outer) slots
  std::vector<ExprPtr*> residuals;
  for (ExprPtr* c : conjuncts) {
    auto* cmp = (*c)->as<CmpExpr>();
    const auto* a = cmp && cmp->op == CmpOp::Eq ? cmp->lhs->as<ColumnRef>() : nullptr;
    const auto* b = cmp && cmp->op == CmpOp::Eq ? cmp->rhs->as<ColumnRef>() : nullptr;
    if (a && b) {
      Side sa = column_side(*a, scope), sb = column_side(*b, scope);
      if (sa == Side::Inner && sb == Side::Outer) {
        keys.emplace_back(&cmp->lhs, &cmp->rhs);
        continue;
      }
      if (sa == Side::Outer && sb == Side::Inner) {
        keys.emplace_back(&cmp->rhs, &cmp->lhs);
        continue;
      }
    }
    bool any_outer = false;
    if (!sides_certain(**c, scope, &any_outer) || any_outer) return nullptr;
    residuals.push_back(c);
  }
  if (keys.empty()) return nullptr;

  const std::string alias = "$sq" + std::to_string((*counter)++);
  auto grouped = std::make_unique<SelectStatement>();
  std::vector<ExprPtr> on;
  for (size_t i = 0; i < keys.size(); ++i) {
    const std::string name = "$k" + std::to_string(i);
    if (agg != nullptr) grouped->group_by.push_back(clone_expr(**keys[i].first));
    grouped->items.push_back(SelectItem{std::move(*keys[i].first), name, name});
    on.push_back(Expr::make(CmpExpr{CmpOp::Eq, std::move(*keys[i].second),
                                    Expr::make(ColumnRef{alias, name})}));
  }
  const bool is_count = agg != nullptr && agg->name == "count";
  grouped->items.push_back(SelectItem{std::move(sub.items[0].expr), "$v", "$v"});
  std::vector<ExprPtr> kept;
  for (ExprPtr* r : residuals) kept.push_back(std::move(*r));
  grouped->where = and_all(std::move(kept));
  grouped->from = std::move(sub.from);
  auto ref = std::make_unique<TableRef>();
  ref->node = std::move(grouped);
  ref->alias = alias;
  ref->hidden = true;
  join_into_from(outer, JoinKind::Left, std::move(ref), and_all(std::move(on)));
  std::get<std::unique_ptr<JoinRef>>(outer.from->node)->at_most_one = agg == nullptr;

  ExprPtr value = Expr::make(ColumnRef{alias, "$v"});
  if (!is_count) return value;
  FuncExpr zero_if_none;
  zero_if_none.name = "coalesce";
  zero_if_none.args.push_back(std::move(value));
  zero_if_none.args.push_back(Expr::make(LiteralExpr{Literal{int64_t{0}}, Type::Int64}));
  return Expr::make(std::move(zero_if_none));
}

ExprPtr true_literal() { return Expr::make(LiteralExpr{Literal{true}, Type::Bool}); }

// Runs an inner statement; a decline inside stays a decline outside.
arrow::Result<ExecuteResult> run_inner(SelectStatement& sub, const MetadataEngine& engine,
                                       const std::string& prefix) {
  ExecuteResult r = engine.execute(sub);
  if (r.status == ExecuteStatus::Ok) return r;
  const std::string inner = r.error_message.empty() ? r.decline_reason : r.error_message;
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

// A scalar subquery's value as a constant of the subquery's column type (a NULL included), so
// that the outer statement types it as the compute node does.
arrow::Result<ExprPtr> typed_constant(Literal value, const arrow::DataType& type) {
  static const std::pair<arrow::Type::type, Type> kTypes[] = {
      {arrow::Type::BOOL, Type::Bool},     {arrow::Type::INT32, Type::Int32},
      {arrow::Type::INT64, Type::Int64},   {arrow::Type::DOUBLE, Type::Double},
      {arrow::Type::STRING, Type::String}, {arrow::Type::NA, Type::Null}};
  for (const auto& [id, t] : kTypes) {
    if (type.id() != id) continue;
    if (value.index() != 0 || t == Type::Null) return Expr::make(LiteralExpr{std::move(value), t});
    return Expr::make(CastExpr{Expr::make(LiteralExpr{Literal{}, Type::Null}), t});
  }
  return decline_status("scalar subquery of type " + type.ToString());
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
    bool rewritten = false;
    if (auto* ex = e.as<ExistsExpr>()) {
      rewritten = try_decorrelate_exists(stmt, *ex, engine);
    } else if (auto* in = e.as<InExpr>(); in && in->subquery) {
      rewritten = try_decorrelate_in(stmt, *in, engine);
    }
    // Replaced last: `e` is freed by the assignment.
    if (rewritten) *slot = true_literal();
  }
}

void decorrelate_scalar_subqueries(SelectStatement& stmt, const MetadataEngine& engine) {
  int counter = 0;
  std::function<void(ExprPtr&)> walk = [&](ExprPtr& slot) {
    if (!slot) return;
    if (auto* sq = slot->as<ScalarSubqueryExpr>()) {
      if (sq->subquery) {
        if (auto repl = try_decorrelate_scalar(stmt, *sq->subquery, engine, &counter)) {
          slot = std::move(repl);
        }
      }
      return;
    }
    for_each_child(*slot, walk);
  };
  walk(stmt.where);
  for (auto& item : stmt.items) walk(item.expr);
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

arrow::Status flatten_subqueries_in_expr(ExprPtr& slot, const MetadataEngine& engine) {
  if (!slot) return arrow::Status::OK();
  Expr& e = *slot;
  if (auto* s = e.as<ScalarSubqueryExpr>()) {
    if (!s->subquery) {
      return arrow::Status::Invalid("scalar subquery with null inner SelectStatement");
    }
    ARROW_ASSIGN_OR_RAISE(auto r, run_inner(*s->subquery, engine, "scalar subquery: "));
    if (r.schema->num_fields() != 1) {
      return arrow::Status::Invalid("scalar subquery must return exactly one column");
    }
    const int64_t rows = total_rows(r);
    if (rows > 1) return arrow::Status::Invalid("scalar subquery returned more than one row");
    Literal value;
    for (const auto& b : r.batches) {
      if (b->num_rows() == 0) continue;
      auto v = arrow_array_element_to_literal(*b->column(0), 0);
      if (!v.ok()) return arrow::Status::Invalid(v.status().message());
      value = *v;
    }
    ARROW_ASSIGN_OR_RAISE(slot, typed_constant(std::move(value), *r.schema->field(0)->type()));
    return arrow::Status::OK();
  }
  if (auto* x = e.as<ExistsExpr>()) {
    if (!x->subquery) return arrow::Status::Invalid("EXISTS with null inner SelectStatement");
    ARROW_ASSIGN_OR_RAISE(auto r, run_inner(*x->subquery, engine, "EXISTS: "));
    bool any = total_rows(r) > 0;
    slot = Expr::make(LiteralExpr{Literal{x->negated ? !any : any}, Type::Bool});
    return arrow::Status::OK();
  }
  if (auto* in = e.as<InExpr>()) {
    ARROW_RETURN_NOT_OK(flatten_subqueries_in_expr(in->lhs, engine));
    if (in->subquery) {
      ARROW_ASSIGN_OR_RAISE(auto r, run_inner(*in->subquery, engine, "IN-subquery: "));
      if (!r.schema || r.schema->num_fields() < 1) {
        return arrow::Status::Invalid("IN-subquery returned no columns");
      }
      if (r.schema->num_fields() != 1) {
        return arrow::Status::Invalid("IN-subquery must return exactly one column");
      }
      std::vector<ExprPtr> list;
      for (const auto& b : r.batches) {
        const auto& col = *b->column(0);
        for (int64_t i = 0; i < b->num_rows(); ++i) {
          auto v = arrow_array_element_to_literal(col, i);
          if (!v.ok()) return arrow::Status::Invalid(v.status().message());
          list.push_back(literal_expr(std::move(*v)));
        }
      }
      in->list = std::move(list);
      in->subquery.reset();
    }
    for (auto& item : in->list) ARROW_RETURN_NOT_OK(flatten_subqueries_in_expr(item, engine));
    return arrow::Status::OK();
  }
  arrow::Status st;
  for_each_child(e, [&](ExprPtr& child) {
    if (st.ok()) st = flatten_subqueries_in_expr(child, engine);
  });
  return st;
}

arrow::Result<std::shared_ptr<arrow::RecordBatch>> materialize_subquery(
    SelectStatement& stmt, const MetadataEngine& engine) {
  ExecuteResult r = engine.execute(stmt);
  if (r.status != ExecuteStatus::Ok) {
    const std::string inner = r.error_message.empty() ? r.decline_reason : r.error_message;
    if (r.status == ExecuteStatus::Declined) return decline_status("subquery: " + inner);
    return arrow::Status::Invalid("subquery: " + inner);
  }
  if (!r.schema) return arrow::Status::Invalid("subquery produced no schema");
  return combine_batches(r.schema, r.batches);
}

}  // namespace nv_sql
