// The aggregation path. GROUP BY expressions and the arguments of every aggregate call are
// evaluated over the filtered rows; one Acero aggregate plan groups them; the projection,
// HAVING and ORDER BY are then evaluated over the grouped rows, with each GROUP BY expression
// and each aggregate call replaced by a reference to its grouped column.

#include <algorithm>

#include <arrow/acero/exec_plan.h>
#include <arrow/acero/options.h>
#include <arrow/compute/api.h>

#include "sql/engine_ops_internal.h"

namespace nv_sql {

namespace cp = arrow::compute;
namespace ac = arrow::acero;

namespace {

std::string key_name(size_t i) { return "$k" + std::to_string(i); }
std::string agg_name(size_t i) { return "$a" + std::to_string(i); }

struct AggContext {
  Frame input;                       // the rows after WHERE
  std::vector<const Expr*> keys;     // GROUP BY expressions
  std::vector<const AggExpr*> aggs;  // aggregate calls, each once
  std::vector<const Expr*> agg_nodes;
  Frame grouped;  // one row per group: $k<i> and $a<j> columns

  bool same(const Expr& a, const Expr& b) const {
    return expr_equal(a, b, [this](const ColumnRef& x, const ColumnRef& y) {
      auto ix = resolve_column(input, x);
      auto iy = resolve_column(input, y);
      if (ix.ok() && iy.ok()) return *ix == *iy;
      return ascii_lower(x.table) == ascii_lower(y.table) &&
             ascii_lower(x.column) == ascii_lower(y.column);
    });
  }
};

bool contains_aggregate(const Expr& e) {
  if (e.as<AggExpr>()) return true;
  bool found = false;
  for_each_child(e, [&](const Expr& c) { found = found || contains_aggregate(c); });
  return found;
}

arrow::Status collect_aggs(const Expr& e, AggContext* ctx) {
  if (const auto* agg = e.as<AggExpr>()) {
    for (const auto& a : agg->args) {
      if (a && contains_aggregate(*a)) {
        return arrow::Status::Invalid("aggregate function calls cannot be nested");
      }
    }
    for (const Expr* seen : ctx->agg_nodes) {
      if (ctx->same(*seen, e)) return arrow::Status::OK();
    }
    ctx->aggs.push_back(agg);
    ctx->agg_nodes.push_back(&e);
    return arrow::Status::OK();
  }
  arrow::Status st;
  for_each_child(e, [&](const Expr& c) {
    if (st.ok()) st = collect_aggs(c, ctx);
  });
  return st;
}

// `e` over the grouped rows: GROUP BY expressions and aggregates become column references;
// any other column reference is outside the grouping.
arrow::Result<ExprPtr> to_grouped(const Expr& e, const AggContext& ctx) {
  for (size_t i = 0; i < ctx.keys.size(); ++i) {
    if (ctx.same(e, *ctx.keys[i])) return Expr::make(ColumnRef{"", key_name(i)});
  }
  if (e.as<AggExpr>()) {
    for (size_t j = 0; j < ctx.agg_nodes.size(); ++j) {
      if (ctx.same(e, *ctx.agg_nodes[j])) return Expr::make(ColumnRef{"", agg_name(j)});
    }
    return arrow::Status::Invalid("aggregate output missing column");
  }
  if (const auto* ref = e.as<ColumnRef>()) {
    return arrow::Status::Invalid("non-aggregated column not in GROUP BY: " + ref->column);
  }
  if (e.as<StarExpr>()) {
    return arrow::Status::Invalid(
        "projection in aggregate query must be aggregate or group-key column");
  }
  ExprPtr out = clone_expr(e);
  if (!out) return arrow::Status::Invalid("subquery in aggregate query survived the flatten pass");
  std::vector<Expr*> originals;
  for_each_child(const_cast<Expr&>(e), [&](ExprPtr& c) { originals.push_back(c.get()); });
  size_t i = 0;
  arrow::Status st;
  for_each_child(*out, [&](ExprPtr& slot) {
    const Expr* orig = originals[i++];
    if (!st.ok() || orig == nullptr) return;
    auto r = to_grouped(*orig, ctx);
    if (r.ok()) {
      slot = std::move(*r);
    } else {
      st = r.status();
    }
  });
  ARROW_RETURN_NOT_OK(st);
  return out;
}

arrow::Result<std::shared_ptr<arrow::Array>> eval_array(const Frame& frame, const Expr& e) {
  ExprEval ev(frame);
  ARROW_ASSIGN_OR_RAISE(auto d, ev.eval(e));
  return to_array(d, frame.batch->num_rows());
}

// The GROUP BY element as an expression: a position names a projection item, and a name that
// is no input column names an item's alias.
arrow::Result<const Expr*> group_key_expr(const SelectStatement& stmt, const Expr& g,
                                          const Frame& input) {
  const Expr* out = &g;
  if (const auto* lit = g.as<LiteralExpr>()) {
    const auto* pos = std::get_if<int64_t>(&lit->value);
    if (pos == nullptr) return arrow::Status::Invalid("GROUP BY with a non-integer constant");
    if (*pos < 1 || *pos > static_cast<int64_t>(stmt.items.size())) {
      return arrow::Status::Invalid("GROUP BY position out of range");
    }
    out = stmt.items[*pos - 1].expr.get();
  } else if (const auto* ref = g.as<ColumnRef>()) {
    if (ref->table.empty() && !resolve_column(input, *ref).ok()) {
      for (const auto& item : stmt.items) {
        if (item.alias && ascii_lower(*item.alias) == ascii_lower(ref->column)) {
          out = item.expr.get();
        }
      }
    }
  }
  if (out == nullptr || out->as<StarExpr>()) {
    return arrow::Status::Invalid("invalid GROUP BY element");
  }
  if (contains_aggregate(*out)) {
    return arrow::Status::Invalid("aggregate functions are not allowed in GROUP BY");
  }
  return out;
}

// Acero's function for an aggregate call; distinct sums and averages are not offered.
arrow::Result<std::string> agg_function(const AggExpr& agg) {
  if (agg.name == "count") {
    if (agg.star) return std::string("count_all");
    return std::string(agg.distinct ? "count_distinct" : "count");
  }
  if (agg.name == "min" || agg.name == "max") return agg.name;  // DISTINCT changes nothing
  if (agg.distinct) {
    return arrow::Status::Invalid(agg.name + "(DISTINCT ...) is not supported in metadata path");
  }
  if (agg.name == "sum") return std::string("sum");
  if (agg.name == "avg") return std::string("mean");
  if (agg.name == "string_agg") return std::string("list");
  return arrow::Status::Invalid("unsupported aggregate function: " + agg.name);
}

// The values of rows [begin, end) of `values` that are not null, joined by `sep`; NULL when
// there are none (string_agg skips nulls).
arrow::Status join_strings(const arrow::StringArray& values, int64_t begin, int64_t end,
                           const std::string& sep, arrow::StringBuilder* out) {
  std::string text;
  bool any = false;
  for (int64_t i = begin; i < end; ++i) {
    if (values.IsNull(i)) continue;
    if (any) text += sep;
    text += values.GetView(i);
    any = true;
  }
  return any ? out->Append(text) : out->AppendNull();
}

struct StringAggSpec {
  std::string separator;
};

arrow::Result<StringAggSpec> string_agg_spec(const AggExpr& agg) {
  if (agg.args.size() != 2 || !agg.args[1]) {
    return arrow::Status::Invalid("string_agg: expected a value and a separator");
  }
  const auto* lit = agg.args[1]->as<LiteralExpr>();
  const auto* sep = lit ? std::get_if<std::string>(&lit->value) : nullptr;
  if (sep == nullptr) {
    return arrow::Status::Invalid("string_agg: the separator must be a string constant");
  }
  if (agg.distinct) {
    return arrow::Status::Invalid("string_agg(DISTINCT ...) is not supported in metadata path");
  }
  return StringAggSpec{*sep};
}

// Sort keys of string_agg's ORDER BY; every string_agg of a statement must order alike,
// because the rows are sorted once before grouping.
arrow::Result<const std::vector<OrderKey>*> shared_agg_order(const AggContext& ctx) {
  const std::vector<OrderKey>* order = nullptr;
  for (size_t j = 0; j < ctx.aggs.size(); ++j) {
    if (ctx.aggs[j]->order_by.empty()) continue;
    if (order == nullptr) {
      order = &ctx.aggs[j]->order_by;
      continue;
    }
    // Compare the two calls' ORDER BY lists through their keys.
    bool same = order->size() == ctx.aggs[j]->order_by.size();
    for (size_t k = 0; same && k < order->size(); ++k) {
      const OrderKey& a = (*order)[k];
      const OrderKey& b = ctx.aggs[j]->order_by[k];
      same = a.descending == b.descending && a.nulls_first == b.nulls_first &&
             a.nulls_specified == b.nulls_specified && a.expr && b.expr &&
             ctx.same(*a.expr, *b.expr);
    }
    if (!same) return arrow::Status::Invalid("string_agg calls with different ORDER BY");
  }
  return order;
}

// Rows of `input` in string_agg's order (stable), or unchanged without one.
arrow::Result<Frame> sort_for_string_agg(const Frame& input, const std::vector<OrderKey>* order) {
  if (order == nullptr || input.batch->num_rows() <= 1) return input;
  arrow::FieldVector fields;
  arrow::ArrayVector arrays;
  std::vector<cp::SortKey> keys;
  for (size_t k = 0; k < order->size(); ++k) {
    const OrderKey& key = (*order)[k];
    if (!key.expr) return arrow::Status::Invalid("string_agg: ORDER BY position is not supported");
    ARROW_ASSIGN_OR_RAISE(auto arr, eval_array(input, *key.expr));
    const std::string name = "o" + std::to_string(k);
    fields.push_back(arrow::field(name, arr->type()));
    arrays.push_back(std::move(arr));
    keys.emplace_back(arrow::FieldRef(name), order_direction(key), null_placement(key));
  }
  auto keys_batch = arrow::RecordBatch::Make(arrow::schema(fields), input.batch->num_rows(),
                                             arrays);
  ARROW_ASSIGN_OR_RAISE(auto idx, cp::SortIndices(arrow::Datum(keys_batch),
                                                  cp::SortOptions(keys)));
  ARROW_ASSIGN_OR_RAISE(auto taken, take_batch(input.batch, idx));
  return Frame{taken, input.scope};
}

}  // namespace

cp::SortOrder order_direction(const OrderKey& key) {
  return key.descending ? cp::SortOrder::Descending : cp::SortOrder::Ascending;
}

cp::NullPlacement null_placement(const OrderKey& key) {
  // Nulls sort last in both directions unless NULLS FIRST is written: an explicit request is
  // honoured rather than silently dropped.
  return key.nulls_specified && key.nulls_first ? cp::NullPlacement::AtStart
                                                : cp::NullPlacement::AtEnd;
}

bool is_aggregate_query(const SelectStatement& stmt) {
  if (!stmt.group_by.empty() || stmt.having) return true;
  for (const auto& item : stmt.items) {
    if (item.expr && contains_aggregate(*item.expr)) return true;
  }
  return false;
}

arrow::Result<Projected> apply_aggregation(const SelectStatement& stmt, const Frame& filtered,
                                           KeyEval* order_eval) {
  auto ctx = std::make_shared<AggContext>();
  ctx->input = filtered;
  for (const auto& g : stmt.group_by) {
    if (!g) return arrow::Status::Invalid("invalid GROUP BY element");
    ARROW_ASSIGN_OR_RAISE(const Expr* key, group_key_expr(stmt, *g, filtered));
    bool dup = false;
    for (const Expr* k : ctx->keys) dup = dup || ctx->same(*k, *key);
    if (!dup) ctx->keys.push_back(key);
  }
  for (const auto& item : stmt.items) {
    if (!item.expr) {
      return arrow::Status::Invalid("empty projection item in aggregate query");
    }
    ARROW_RETURN_NOT_OK(collect_aggs(*item.expr, ctx.get()));
  }
  if (stmt.having) ARROW_RETURN_NOT_OK(collect_aggs(*stmt.having, ctx.get()));
  for (const auto& key : stmt.order_by) {
    if (key.expr) ARROW_RETURN_NOT_OK(collect_aggs(*key.expr, ctx.get()));
  }

  ARROW_ASSIGN_OR_RAISE(const auto* agg_order, shared_agg_order(*ctx));
  ARROW_ASSIGN_OR_RAISE(Frame input, sort_for_string_agg(filtered, agg_order));
  ctx->input = input;
  const int64_t rows = input.batch->num_rows();
  const bool grouped = !ctx->keys.empty();

  // The plan's input: k<i> for the keys, v<j> for each aggregate's argument.
  arrow::FieldVector fields;
  arrow::ArrayVector arrays;
  std::vector<arrow::FieldRef> keys;
  for (size_t i = 0; i < ctx->keys.size(); ++i) {
    ARROW_ASSIGN_OR_RAISE(auto arr, eval_array(input, *ctx->keys[i]));
    fields.push_back(arrow::field("k" + std::to_string(i), arr->type()));
    arrays.push_back(std::move(arr));
    keys.emplace_back("k" + std::to_string(i));
  }
  std::vector<cp::Aggregate> aggregates;
  std::vector<std::shared_ptr<arrow::Array>> direct(ctx->aggs.size());  // string_agg, no keys
  std::vector<StringAggSpec> seps(ctx->aggs.size());
  std::vector<uint8_t> wide_sum(ctx->aggs.size(), 0);
  std::vector<uint8_t> untyped(ctx->aggs.size(), 0);
  auto only_valid = std::make_shared<cp::CountOptions>(cp::CountOptions::ONLY_VALID);
  for (size_t j = 0; j < ctx->aggs.size(); ++j) {
    const AggExpr& agg = *ctx->aggs[j];
    ARROW_ASSIGN_OR_RAISE(std::string fn, agg_function(agg));
    const std::string out = "a" + std::to_string(j);
    if (agg.star) {
      aggregates.emplace_back(grouped ? "hash_" + fn : fn, nullptr,
                              std::vector<arrow::FieldRef>{}, out);
      continue;
    }
    if (agg.name == "string_agg") {
      ARROW_ASSIGN_OR_RAISE(seps[j], string_agg_spec(agg));
    } else if (agg.args.size() != 1 || !agg.args[0]) {
      return arrow::Status::Invalid(agg.name + ": expected exactly one argument");
    }
    ARROW_ASSIGN_OR_RAISE(auto arr, eval_array(input, *agg.args[0]));
    // The compute node's sum of integers is a 128-bit integer, DECIMAL(38, 0) in Arrow; min and
    // max of NULL are NULLs of no type.
    const bool no_type = arr->type_id() == arrow::Type::NA;
    wide_sum[j] = agg.name == "sum" && (no_type || arrow::is_integer(arr->type_id()));
    untyped[j] = no_type && (agg.name == "min" || agg.name == "max");
    if (no_type) {
      // An argument that is NULL everywhere: typed so that every kernel accepts it.
      ARROW_ASSIGN_OR_RAISE(arr, arrow::MakeArrayOfNull(
                                     agg.name == "string_agg" ? arrow::utf8() : arrow::int64(),
                                     rows));
    }
    if (agg.name == "string_agg") {
      if (arr->type_id() != arrow::Type::STRING) {
        return arrow::Status::Invalid("string_agg: the value must be text");
      }
      if (!grouped) {
        direct[j] = arr;
        continue;
      }
    }
    const std::string vname = "v" + std::to_string(j);
    fields.push_back(arrow::field(vname, arr->type()));
    arrays.push_back(std::move(arr));
    std::shared_ptr<cp::FunctionOptions> opts;
    if (fn == "count" || fn == "count_distinct") opts = only_valid;
    aggregates.emplace_back(grouped ? "hash_" + fn : fn, opts, arrow::FieldRef(vname), out);
  }

  std::shared_ptr<arrow::RecordBatch> out;
  if (!aggregates.empty() || grouped) {
    auto table = arrow::Table::Make(arrow::schema(fields), arrays, rows);
    ac::Declaration src("table_source", ac::TableSourceNodeOptions(table, 1 << 20));
    ac::Declaration plan("aggregate", {std::move(src)},
                         ac::AggregateNodeOptions(std::move(aggregates), std::move(keys)));
    // string_agg relies on the rows reaching each group in input order.
    const bool ordered = agg_order != nullptr;
    ARROW_ASSIGN_OR_RAISE(auto t, ac::DeclarationToTable(std::move(plan), !ordered));
    ARROW_ASSIGN_OR_RAISE(out, t->CombineChunksToBatch(arrow::default_memory_pool()));
  } else {
    out = arrow::RecordBatch::Make(arrow::schema(arrow::FieldVector{}), 1, arrow::ArrayVector{});
  }

  // The grouped frame: $k<i>, then $a<j>.
  arrow::FieldVector gfields;
  arrow::ArrayVector gcols;
  for (size_t i = 0; i < ctx->keys.size(); ++i) {
    auto col = out->GetColumnByName("k" + std::to_string(i));
    if (!col) {
      return arrow::Status::Invalid("aggregate output missing column: k" + std::to_string(i));
    }
    gfields.push_back(arrow::field(key_name(i), col->type()));
    gcols.push_back(col);
  }
  for (size_t j = 0; j < ctx->aggs.size(); ++j) {
    std::shared_ptr<arrow::Array> col;
    if (direct[j]) {
      arrow::StringBuilder b;
      ARROW_RETURN_NOT_OK(join_strings(static_cast<const arrow::StringArray&>(*direct[j]), 0,
                                       direct[j]->length(), seps[j].separator, &b));
      ARROW_ASSIGN_OR_RAISE(col, b.Finish());
    } else {
      col = out->GetColumnByName("a" + std::to_string(j));
      if (!col) {
        return arrow::Status::Invalid("aggregate output missing column: a" + std::to_string(j));
      }
      if (ctx->aggs[j]->name == "string_agg") {
        const auto& lists = static_cast<const arrow::ListArray&>(*col);
        const auto& values = static_cast<const arrow::StringArray&>(*lists.values());
        arrow::StringBuilder b;
        for (int64_t g = 0; g < lists.length(); ++g) {
          ARROW_RETURN_NOT_OK(join_strings(values, lists.value_offset(g),
                                           lists.value_offset(g + 1), seps[j].separator, &b));
        }
        ARROW_ASSIGN_OR_RAISE(col, b.Finish());
      }
      if (untyped[j]) {
        ARROW_ASSIGN_OR_RAISE(col, arrow::MakeArrayOfNull(arrow::null(), col->length()));
      }
    }
    gfields.push_back(arrow::field(agg_name(j), col->type()));
    gcols.push_back(col);
  }
  ctx->grouped = Frame{arrow::RecordBatch::Make(arrow::schema(gfields), out->num_rows(), gcols),
                       {}};

  if (stmt.having) {
    ARROW_ASSIGN_OR_RAISE(auto pred, to_grouped(*stmt.having, *ctx));
    ARROW_ASSIGN_OR_RAISE(ctx->grouped, apply_predicate(ctx->grouped, *pred));
  }

  // A sum of integers is the column itself, widened; inside an expression it would make the
  // expression a 128-bit integer too, which this engine does not compute.
  auto wide_sum_of = [&](const Expr& e) {
    if (!e.as<AggExpr>()) return false;
    for (size_t j = 0; j < ctx->agg_nodes.size(); ++j) {
      if (wide_sum[j] && ctx->same(e, *ctx->agg_nodes[j])) return true;
    }
    return false;
  };
  arrow::FieldVector out_fields;
  arrow::ArrayVector out_cols;
  std::vector<int> source;
  for (const SelectItem& item : stmt.items) {
    const bool widened = wide_sum_of(*item.expr);
    if (value_from(*item.expr, is_decimal_constant) ||
        (!widened && value_from(*item.expr, wide_sum_of))) {
      return decimal_output();
    }
    ARROW_ASSIGN_OR_RAISE(auto e, to_grouped(*item.expr, *ctx));
    ARROW_ASSIGN_OR_RAISE(auto arr, eval_array(ctx->grouped, *e));
    if (widened) {
      ARROW_ASSIGN_OR_RAISE(arrow::Datum wide, cp::Cast(arr, arrow::decimal128(38, 0)));
      arr = wide.make_array();
    }
    // A column reference is named by its column, as the compute node names it.
    std::string name = item.name;
    int src = -1;
    if (const auto* ref = item.expr->as<ColumnRef>()) {
      auto idx = resolve_column(input, *ref);
      if (idx.ok()) {
        src = *idx;
        if (name.empty()) name = input.batch->schema()->field(src)->name();
      }
    }
    out_fields.push_back(arrow::field(name, arr->type(), true));
    out_cols.push_back(std::move(arr));
    source.push_back(src);
  }
  if (order_eval != nullptr) {
    *order_eval = [ctx](const Expr& key) -> arrow::Result<std::shared_ptr<arrow::Array>> {
      ARROW_ASSIGN_OR_RAISE(auto e, to_grouped(key, *ctx));
      return eval_array(ctx->grouped, *e);
    };
  }
  const int64_t n = ctx->grouped.batch->num_rows();
  return Projected{arrow::RecordBatch::Make(arrow::schema(out_fields), n, out_cols),
                   std::move(source)};
}

}  // namespace nv_sql
