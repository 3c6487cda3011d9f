// Internal operators of the metadata engine, shared by its source files.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include <arrow/api.h>

#include "sql/expr_eval_internal.h"
#include "sql/metadata_engine_internal.h"

namespace nv_sql {

/// Lookup keys of a base table, most qualified first, lowered.
std::vector<std::string> canonical_keys(const BaseTable& table);

/// `batch` with its columns named as the compute node names a derived table's or a WITH query's
/// columns: a name already taken (ignoring ASCII case) gets _1, _2, ... until it is not.
std::shared_ptr<arrow::RecordBatch> with_unique_names(
    const std::shared_ptr<arrow::RecordBatch>& batch);

/// A frame's batch and scope after keeping the rows where `mask` is true.
arrow::Result<Frame> filter_frame(const Frame& frame, const std::shared_ptr<arrow::Array>& mask);

/// Evaluates `pred` over the frame and drops rows where it is false or null.
arrow::Result<Frame> apply_predicate(const Frame& frame, const Expr& pred);

/// Rows of `table` (one or more batches) combined into one batch; none gives an empty batch.
arrow::Result<std::shared_ptr<arrow::RecordBatch>> combine_batches(
    const std::shared_ptr<arrow::Schema>& schema,
    const std::vector<std::shared_ptr<arrow::RecordBatch>>& batches);

/// What a statement tells the FROM items it materialises.
struct Pushdown {
  /// WHERE conjuncts that the item whose columns they reference may apply early (WHERE still
  /// applies them afterwards); null when none may.
  const std::vector<const Expr*>* filters = nullptr;
  /// Lowered names of the columns needed from the item's output; base tables and joins keep
  /// only these. Null when every column is needed.
  const std::unordered_set<std::string>* columns = nullptr;
};

arrow::Result<Frame> materialize_tableref(const TableRef& ref, const MetadataEngine& engine,
                                          const Pushdown& pushdown = {});
arrow::Result<Frame> materialize_join(const JoinRef& join, const MetadataEngine& engine,
                                      const Pushdown& pushdown);

/// Lowered names of the columns `stmt` references in its clauses and its subqueries (not in its
/// own join conditions); nothing when its FROM must keep every column (a * in the projection).
std::optional<std::unordered_set<std::string>> referenced_columns(const SelectStatement& stmt);
/// The columns the sides of `join` must provide for `output` (null: all): those, and the ones
/// its condition names; nothing (all) for a NATURAL join.
std::optional<std::unordered_set<std::string>> join_input_columns(
    const JoinRef& join, const std::unordered_set<std::string>* output);

/// Rows of an indexed frame's relation that may satisfy `e`, found by name lookups: equality,
/// IN-lists and LIKE prefixes over indexed columns, and their AND / OR. Nothing when `e` is not
/// such a lookup or when it finds more than `limit` rows.
std::optional<std::vector<int32_t>> index_lookup(const Frame& frame, const Expr& e, size_t limit);
/// `frame` narrowed to the rows that the most selective lookup among `conjuncts` finds;
/// unchanged when the frame has no index, no conjunct is a lookup, or it would keep most rows.
arrow::Result<Frame> narrow_by_index(Frame frame, const std::vector<const Expr*>& conjuncts);
/// The rows `indices` (an integer array without nulls) of `batch`, in that order; an index out
/// of bounds is an error.
arrow::Result<std::shared_ptr<arrow::RecordBatch>> take_batch(
    const std::shared_ptr<arrow::RecordBatch>& batch,
    const std::shared_ptr<arrow::Array>& indices);
/// Counts a use of the name lookups (see index_uses_for_test).
void note_index_use();
/// The frame's rows `rows` (ascending), in that order.
arrow::Result<Frame> take_rows(const Frame& frame, const std::vector<int32_t>& rows);

/// Appends the top-level AND conjuncts of `e` (nothing for null).
void conjuncts_of(const Expr* e, std::vector<const Expr*>* out);
/// Top-level AND conjuncts of `where` that can be evaluated on a FROM item alone (no
/// subqueries, no aggregates).
std::vector<const Expr*> pushable_conjuncts(const Expr* where);
arrow::Result<Frame> materialize_values(const ValuesList& values);
arrow::Result<std::shared_ptr<arrow::RecordBatch>> materialize_subquery(
    SelectStatement& stmt, const MetadataEngine& engine);

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

/// Whether the value of `e` is, or is computed from and typed by, a sub-expression for which
/// `is_source` holds (through arithmetic other than division, CASE results, coalesce, nullif,
/// sum, min and max).
bool value_from(const Expr& e, const std::function<bool(const Expr&)>& is_source);
/// A number written with a fraction and no exponent, which the compute node holds as a DECIMAL.
bool is_decimal_constant(const Expr& e);
/// The decline for an output column the compute node types DECIMAL: this engine computes such
/// values as doubles.
arrow::Status decimal_output();

/// GROUP BY, HAVING, or an aggregate call anywhere in the projection.
bool is_aggregate_query(const SelectStatement& stmt);
arrow::Result<Projected> apply_projection(const SelectStatement& stmt, const Frame& input);
/// Groups, applies HAVING and projects; `order_eval` (may be null) receives the evaluator of
/// ORDER BY expressions over the grouped rows.
arrow::Result<Projected> apply_aggregation(const SelectStatement& stmt, const Frame& input,
                                           KeyEval* order_eval);
arrow::Result<Projected> apply_distinct(const Projected& in);
/// Sorts the projected rows. Keys name output columns (by position, name, or a qualified input
/// column the output copies); other expressions go to `eval` when there is one.
arrow::Result<std::shared_ptr<arrow::RecordBatch>> apply_order_by(
    const std::vector<OrderKey>& order_by, const Projected& projected, const Frame& input,
    const KeyEval& eval);

/// A SELECT through ORDER BY: FROM, subqueries, WHERE, projection or
/// aggregation, DISTINCT, ORDER BY.
arrow::Result<std::shared_ptr<arrow::RecordBatch>> run_select(SelectStatement& stmt,
                                                              const MetadataEngine& engine);
/// UNION / INTERSECT / EXCEPT [ALL] of two statements, then ORDER BY.
arrow::Result<std::shared_ptr<arrow::RecordBatch>> run_set_operation(
    SelectStatement& stmt, const MetadataEngine& engine);

/// Decorrelates [NOT] EXISTS conjuncts of the top-level AND chain of WHERE into semi / anti
/// joins.
void decorrelate_exists(SelectStatement& stmt, const MetadataEngine& engine);

/// Decorrelates scalar subqueries of the projection and WHERE that aggregate over rows found
/// by equalities with outer columns into a grouped derived table, LEFT JOINed to FROM.
void decorrelate_scalar_subqueries(SelectStatement& stmt, const MetadataEngine& engine);

/// Replaces scalar subqueries, EXISTS and IN-subqueries in `slot` by constants.
arrow::Status flatten_subqueries_in_expr(ExprPtr& slot, const MetadataEngine& engine);

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

/// The derived table on the right of `join` whose rows only matter where they match a left
/// row (inner, left, semi and anti joins with an ON condition and an aliased right side);
/// null otherwise.
SelectStatement* derived_right(const JoinRef& join);
/// The scope a derived table's frame will have, from its projection, before it runs; nothing
/// when an output name is known only once it has run.
std::optional<Frame> derived_scope(const TableRef& ref);
/// Adds to `derived`'s WHERE, for each ON equality between a column of `left` and an output of
/// `derived` that is a plain row value or a grouping key, that output IN the left side's
/// distinct values: it then computes only rows the join can use.
void push_join_keys(const JoinRef& join, SelectStatement& derived, const Frame& left);
/// The matching rows of a join: pair i joins left row left[i] with right row right[i] (int64).
struct Pairs {
  std::shared_ptr<arrow::Array> left;
  std::shared_ptr<arrow::Array> right;
};
/// The pairs of rows of `left` and `right` with equal keys (every pair when there is no key;
/// an error past a size the metadata path handles). Null keys match nothing.
arrow::Result<Pairs> join_pairs(const Frame& left, const Frame& right,
                                const std::vector<JoinKey>& keys);
/// Casts two key columns to one type where they differ and both are numbers (int64 or
/// float64) or both text (large_utf8); other pairs are left as they are.
arrow::Status align_key_types(std::shared_ptr<arrow::Array>* l, std::shared_ptr<arrow::Array>* r);

}  // namespace nv_sql
