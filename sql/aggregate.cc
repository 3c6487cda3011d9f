// The aggregation path: GROUP BY and the five aggregates as one Acero aggregate plan.

#include <algorithm>

#include <arrow/acero/exec_plan.h>
#include <arrow/acero/options.h>
#include <arrow/compute/api.h>

#include "sql/engine_ops_internal.h"

namespace nv_sql {

namespace cp = arrow::compute;
namespace ac = arrow::acero;

namespace {

// Input columns are handed to Acero under positional names, so that duplicate or
// differently-cased names of a joined frame cannot be confused.
std::string input_name(int idx) { return "c" + std::to_string(idx); }

struct OutputSpec {
  std::string internal;  // column name in the Acero output
  std::string name;      // output field name
  int source = -1;       // input column for a group key
};

}  // namespace

arrow::Result<Projected> apply_aggregation(const SelectStatement& stmt, const Frame& input,
                                           std::string* msg) {
  std::vector<int> key_cols;
  for (const auto& g : stmt.group_by) {
    const auto* ref = g ? g->as<ColumnRef>() : nullptr;
    if (ref == nullptr) {
      return fail(msg, "GROUP BY supports only column references",
                  "GROUP BY non-column expression");
    }
    auto idx = resolve_column(input, *ref, nullptr);
    if (!idx.ok()) {
      return fail(msg, "GROUP BY references unknown column: " + ref->column,
                  "GROUP BY unknown column");
    }
    key_cols.push_back(*idx);
  }
  const bool grouped = !key_cols.empty();

  std::vector<cp::Aggregate> aggregates;
  std::vector<OutputSpec> outputs;
  std::vector<int> used_inputs = key_cols;
  int agg_no = 0;
  for (const auto& item : stmt.items) {
    if (!item.expr) {
      return fail(msg, "empty projection item in aggregate query", "empty projection item");
    }
    if (const auto* ref = item.expr->as<ColumnRef>()) {
      auto idx = resolve_column(input, *ref, nullptr);
      bool is_key = false;
      for (int k : key_cols) is_key = is_key || (idx.ok() && k == *idx);
      if (!is_key) {
        return fail(msg, "non-aggregated column not in GROUP BY: " + ref->column,
                    "non-grouped projection column");
      }
      outputs.push_back({input_name(*idx), item.alias.value_or(ref->column), *idx});
      continue;
    }
    const auto* agg = item.expr->as<AggExpr>();
    if (agg == nullptr) {
      return fail(msg, "projection in aggregate query must be aggregate or group-key column",
                  "unsupported aggregate-query projection");
    }
    if (agg->distinct) {
      return fail(msg, "DISTINCT aggregates not supported in metadata path", "DISTINCT aggregate");
    }
    std::string fn;
    if (agg->name == "count") fn = agg->star ? "count_all" : "count";
    else if (agg->name == "sum") fn = "sum";
    else if (agg->name == "min") fn = "min";
    else if (agg->name == "max") fn = "max";
    else if (agg->name == "avg") fn = "mean";
    else {
      return fail(msg, "unsupported aggregate function: " + agg->name,
                  "unsupported aggregate: " + agg->name);
    }
    if (grouped) fn = "hash_" + fn;
    const std::string internal = fn + "_" + std::to_string(agg_no++);
    std::string name;
    if (agg->star) {
      aggregates.emplace_back(fn, nullptr, std::vector<arrow::FieldRef>{}, internal);
      name = "count_star";
    } else {
      if (agg->args.size() != 1) {
        return fail(msg, agg->name + ": expected exactly one argument", "aggregate arg count");
      }
      const auto* arg = agg->args[0] ? agg->args[0]->as<ColumnRef>() : nullptr;
      if (arg == nullptr) {
        return fail(msg, agg->name + ": only bare column arguments supported",
                    "aggregate non-column arg");
      }
      auto idx = resolve_column(input, *arg, nullptr);
      if (!idx.ok()) {
        return fail(msg, agg->name + ": unknown column: " + arg->column,
                    "aggregate unknown column");
      }
      used_inputs.push_back(*idx);
      // Default options: count counts non-null values; sum/min/max/avg skip nulls and give
      // null over no value.
      aggregates.emplace_back(fn, nullptr, arrow::FieldRef(input_name(*idx)), internal);
      name = agg->name + "_" + arg->column;
    }
    outputs.push_back({internal, item.alias.value_or(name), -1});
  }

  // Only the columns the plan reads are passed in.
  arrow::FieldVector fields;
  arrow::ArrayVector arrays;
  std::vector<bool> seen(static_cast<size_t>(input.batch->num_columns()), false);
  for (int idx : used_inputs) {
    if (seen[idx]) continue;
    seen[idx] = true;
    fields.push_back(arrow::field(input_name(idx), input.batch->column(idx)->type()));
    arrays.push_back(input.batch->column(idx));
  }
  auto table = arrow::Table::Make(arrow::schema(fields), arrays, input.batch->num_rows());
  // A column grouped twice is one key.
  std::vector<arrow::FieldRef> keys;
  std::vector<int> distinct_keys;
  for (int k : key_cols) {
    if (std::find(distinct_keys.begin(), distinct_keys.end(), k) != distinct_keys.end()) continue;
    distinct_keys.push_back(k);
    keys.emplace_back(input_name(k));
  }
  ac::Declaration src("table_source", ac::TableSourceNodeOptions(table, 1 << 20));
  ac::Declaration plan("aggregate", {std::move(src)},
                       ac::AggregateNodeOptions(std::move(aggregates), std::move(keys)));
  ARROW_ASSIGN_OR_RAISE(auto out, ac::DeclarationToTable(std::move(plan), /*use_threads=*/true));
  ARROW_ASSIGN_OR_RAISE(auto batch, out->CombineChunksToBatch(arrow::default_memory_pool()));

  arrow::FieldVector out_fields;
  arrow::ArrayVector out_cols;
  std::vector<int> source;
  for (const auto& o : outputs) {
    auto col = batch->GetColumnByName(o.internal);
    if (!col) {
      return fail(msg, "aggregate output missing column: " + o.internal,
                  "aggregate output missing column");
    }
    out_fields.push_back(arrow::field(o.name, col->type(), /*nullable=*/true));
    out_cols.push_back(col);
    source.push_back(o.source);
  }
  return Projected{arrow::RecordBatch::Make(arrow::schema(out_fields), batch->num_rows(), out_cols),
                   std::move(source)};
}

}  // namespace nv_sql
