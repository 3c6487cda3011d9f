// Internal operators of the metadata engine, shared by its source files.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <arrow/api.h>

#include "sql/expr_eval_internal.h"
#include "sql/metadata_engine_internal.h"

namespace nv_sql {

/// Lookup keys of a base table, most qualified first, lowered.
std::vector<std::string> canonical_keys(const BaseTable& table);

/// A frame's batch and scope after keeping the rows where `mask` is true.
arrow::Result<Frame> filter_frame(const Frame& frame, const std::shared_ptr<arrow::Array>& mask);

/// Evaluates `pred` over the frame and drops rows where it is false or null.
arrow::Result<Frame> apply_predicate(const Frame& frame, const Expr& pred, std::string* msg);

/// Rows of `table` (one or more batches) combined into one batch; none gives an empty batch.
arrow::Result<std::shared_ptr<arrow::RecordBatch>> combine_batches(
    const std::shared_ptr<arrow::Schema>& schema,
    const std::vector<std::shared_ptr<arrow::RecordBatch>>& batches);

/// `filters` (may be null) are WHERE conjuncts that joins may apply early to the side whose
/// columns they reference; WHERE still applies them afterwards.
arrow::Result<Frame> materialize_tableref(const TableRef& ref, const MetadataEngine& engine,
                                          std::string* msg,
                                          const std::vector<const Expr*>* filters = nullptr);
arrow::Result<Frame> materialize_join(const JoinRef& join, const MetadataEngine& engine,
                                      std::string* msg, const std::vector<const Expr*>* filters);

/// Top-level AND conjuncts of `where` that can be evaluated on a FROM item alone (no
/// subqueries, no aggregates).
std::vector<const Expr*> pushable_conjuncts(const Expr* where);
arrow::Result<Frame> materialize_values(const ValuesList& values, std::string* msg);
/// The FROM of a SELECT without one: a single row of no columns.
Frame constant_frame();
arrow::Result<std::shared_ptr<arrow::RecordBatch>> materialize_subquery(
    SelectStatement& stmt, const MetadataEngine& engine, std::string* msg);

/// A projected or aggregated batch; `source[i]` is the input column output i copies, or -1.
struct Projected {
  std::shared_ptr<arrow::RecordBatch> batch;
  std::vector<int> source;
};

/// Evaluates an ORDER BY expression that names no output column, one value per output row.
using KeyEval =
    std::function<arrow::Result<std::shared_ptr<arrow::Array>>(const Expr& key)>;

arrow::compute::SortOrder order_direction(const OrderKey& key);
arrow::compute::NullPlacement null_placement(const OrderKey& key);

/// GROUP BY, HAVING, or an aggregate call anywhere in the projection.
bool is_aggregate_query(const SelectStatement& stmt);
arrow::Result<Projected> apply_projection(const SelectStatement& stmt, const Frame& input,
                                          std::string* msg);
/// Groups, applies HAVING and projects; `order_eval` (may be null) receives the evaluator of
/// ORDER BY expressions over the grouped rows.
arrow::Result<Projected> apply_aggregation(const SelectStatement& stmt, const Frame& input,
                                           std::string* msg, KeyEval* order_eval);
arrow::Result<Projected> apply_distinct(const Projected& in);
/// Sorts the projected rows. Keys name output columns (by position, name, or a qualified input
/// column the output copies); other expressions go to `eval` when there is one.
arrow::Result<std::shared_ptr<arrow::RecordBatch>> apply_order_by(
    const std::vector<OrderKey>& order_by, const Projected& projected, const Frame& input,
    const KeyEval& eval, std::string* msg);

/// A SELECT through ORDER BY: FROM (or one constant row), subqueries, WHERE, projection or
/// aggregation, DISTINCT, ORDER BY.
arrow::Result<std::shared_ptr<arrow::RecordBatch>> run_select(SelectStatement& stmt,
                                                              const MetadataEngine& engine,
                                                              std::string* msg);
/// UNION / INTERSECT / EXCEPT [ALL] of two statements, then ORDER BY.
arrow::Result<std::shared_ptr<arrow::RecordBatch>> run_set_operation(
    SelectStatement& stmt, const MetadataEngine& engine, std::string* msg);

/// Decorrelates [NOT] EXISTS conjuncts of the top-level AND chain of WHERE into semi / anti
/// joins.
void decorrelate_exists(SelectStatement& stmt, const MetadataEngine& engine);

/// Decorrelates scalar subqueries of the projection and WHERE that aggregate over rows found
/// by equalities with outer columns into a grouped derived table, LEFT JOINed to FROM.
void decorrelate_scalar_subqueries(SelectStatement& stmt, const MetadataEngine& engine);

/// Replaces scalar subqueries, EXISTS and IN-subqueries in `slot` by constants.
arrow::Status flatten_subqueries_in_expr(ExprPtr& slot, const MetadataEngine& engine,
                                         std::string* msg);

arrow::Result<Literal> arrow_array_element_to_literal(const arrow::Array& array, int64_t row);

/// The equality keys and residual conjuncts of an ON condition, split against both sides.
struct JoinKey {
  int left;   // column index in the left frame
  int right;  // column index in the right frame
};
/// With `right_first` (semi / anti joins) a column binds to the right side when it can.
void split_join_predicate(const Expr* on, const Frame& left, const Frame& right,
                          std::vector<JoinKey>* keys, std::vector<const Expr*>* residuals,
                          bool right_first);

}  // namespace nv_sql
