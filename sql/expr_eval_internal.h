// Expression evaluation over one Arrow record batch, by Arrow compute function name.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <arrow/api.h>
#include <arrow/compute/api.h>

#include "sql/syntax_tree_internal.h"

namespace nv_sql {

/// Where one column of a frame came from: its lowered source name, the lowered qualifiers
/// (table names and aliases) it can be referenced by, and whether a bare `*` shows it.
struct ColumnScope {
  std::string name;
  std::vector<std::string> qualifiers;
  bool hidden = false;
  // A column of an enclosing query (the outer side of a decorrelated subquery): a reference
  // binds to it only when no column of the inner query matches.
  bool outer = false;
};

class RelationIndex;

/// The name lookups of the relation a frame holds every row of, in the relation's order.
struct FrameIndex {
  std::shared_ptr<const RelationIndex> index;
  std::vector<int> columns;  // per frame column, its column in the index's batch
};

/// One intermediate result: a batch and, when it comes from FROM, the scope of each column.
/// A frame without scope (a projected result) resolves columns by name only.
struct Frame {
  std::shared_ptr<arrow::RecordBatch> batch;
  std::vector<ColumnScope> scope;
  // Set only while the batch holds all rows of an indexed relation: a lookup may then stand in
  // for a scan. Every operation that changes the rows leaves it unset.
  std::shared_ptr<const FrameIndex> index = nullptr;
};

/// Runs arrow::compute::Initialize once per process (its status is ignored).
void ensure_arrow_compute_initialized();

/// First field whose name equals `name` ignoring ASCII case, or -1.
int find_column_index(const arrow::Schema& schema, const std::string& name);

/// The one name by which a FROM item's columns are qualified: its alias when it has one (which
/// then hides the table's name), else a base table's name. Lowered; empty for none.
std::string table_qualifier(const TableRef& ref);

/// The batch column a reference denotes. With a scope, a qualifier must name the column's
/// table and an unqualified name must not match columns of two tables.
arrow::Result<int> resolve_column(const Frame& frame, const ColumnRef& ref);

/// A failure that makes the engine decline (route to compute) rather than report an error.
arrow::Status decline_status(std::string msg);
bool is_decline(const arrow::Status& st);

arrow::Result<std::shared_ptr<arrow::Scalar>> literal_to_scalar(const Literal& lit);
/// A constant's value as the type it has: an Int32 constant is a 32-bit integer.
arrow::Result<std::shared_ptr<arrow::Scalar>> literal_scalar(const LiteralExpr& lit);
arrow::Result<std::shared_ptr<arrow::DataType>> type_to_arrow(Type t);

/// A predicate result as a boolean array of `rows` rows; nulls stay null.
arrow::Result<std::shared_ptr<arrow::Array>> to_mask(const arrow::Datum& d, int64_t rows);

/// The literal text of a LIKE pattern up to its first unescaped '%' or '_' (escapes resolved),
/// and whether such a wildcard follows; without one, `text` is the whole pattern unescaped.
struct LikePrefix {
  std::string text;
  bool wildcard = false;
};
LikePrefix like_prefix(const std::string& pattern, char escape);

/// `text` lowered by Unicode case mapping, as lower() and ILIKE lower their operands.
arrow::Result<std::string> unicode_lower(const std::string& text);

/// Whether some text of `d` holds a letter whose case mapping differs between Unicode versions
/// (pairs added in Unicode 16): lower(), upper() and ILIKE decline such values.
bool has_unstable_case(const arrow::Datum& d);
/// Whether `name` is one of the text functions (length, lower, substring, trim, replace, ...).
bool is_text_function(const std::string& name);
/// Text function `name` over its evaluated arguments: a scalar when every argument is one,
/// else an array of `rows` rows. Where dialects differ, a decline status.
arrow::Result<arrow::Datum> eval_text_function(const std::string& name,
                                               const std::vector<arrow::Datum>& args,
                                               int64_t rows);

/// `d` as an array of `rows` rows (scalars are broadcast).
arrow::Result<std::shared_ptr<arrow::Array>> to_array(const arrow::Datum& d, int64_t rows);

class ExprEval {
 public:
  explicit ExprEval(const Frame& frame) : frame_(frame) {}

  arrow::Result<arrow::Datum> eval(const Expr& e);

 private:
  arrow::Result<arrow::Datum> eval_dispatch(const ColumnRef& n);
  arrow::Result<arrow::Datum> eval_dispatch(const LiteralExpr& n);
  arrow::Result<arrow::Datum> eval_dispatch(const CmpExpr& n);
  arrow::Result<arrow::Datum> eval_dispatch(const ArithExpr& n);
  arrow::Result<arrow::Datum> eval_dispatch(const LogicExpr& n);
  arrow::Result<arrow::Datum> eval_dispatch(const UnaryExpr& n);
  arrow::Result<arrow::Datum> eval_dispatch(const InExpr& n);
  arrow::Result<arrow::Datum> eval_dispatch(const LikeExpr& n);
  arrow::Result<arrow::Datum> eval_dispatch(const CaseExpr& n);
  arrow::Result<arrow::Datum> eval_dispatch(const CastExpr& n);
  arrow::Result<arrow::Datum> eval_dispatch(const FuncExpr& n);
  arrow::Result<arrow::Datum> eval_dispatch(const StarExpr& n);
  arrow::Result<arrow::Datum> eval_dispatch(const ExistsExpr& n);
  arrow::Result<arrow::Datum> eval_dispatch(const AggExpr& n);
  arrow::Result<arrow::Datum> eval_dispatch(const ScalarSubqueryExpr& n);

  arrow::Result<arrow::Datum> divide(const arrow::Datum& l, const arrow::Datum& r);
  arrow::Result<arrow::Datum> call(const std::string& fn, const std::vector<arrow::Datum>& args,
                                   const arrow::compute::FunctionOptions* opts = nullptr);
  int64_t rows() const { return frame_.batch ? frame_.batch->num_rows() : 0; }

  const Frame& frame_;
  int depth_ = 0;
};

}  // namespace nv_sql
