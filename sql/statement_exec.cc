// The two statement shapes the engine runs: a SELECT over its FROM, and a set operation over two
// statements. Both end in ORDER BY; LIMIT / OFFSET are applied by the caller.

#include <arrow/compute/api.h>
#include <arrow/compute/exec.h>
#include <arrow/compute/row/grouper.h>

#include "sql/engine_ops_internal.h"

namespace nv_sql {

namespace cp = arrow::compute;

namespace {

arrow::Status flatten_all(SelectStatement& stmt, const MetadataEngine& engine) {
  auto flatten = [&](ExprPtr& slot) -> arrow::Status {
    if (!slot) return arrow::Status::OK();
    return flatten_subqueries_in_expr(slot, engine);
  };
  ARROW_RETURN_NOT_OK(flatten(stmt.where));
  for (auto& item : stmt.items) ARROW_RETURN_NOT_OK(flatten(item.expr));
  for (auto& g : stmt.group_by) ARROW_RETURN_NOT_OK(flatten(g));
  ARROW_RETURN_NOT_OK(flatten(stmt.having));
  for (auto& k : stmt.order_by) ARROW_RETURN_NOT_OK(flatten(k.expr));
  return arrow::Status::OK();
}

// An inner statement's result as one batch; its decline stays a decline.
arrow::Result<std::shared_ptr<arrow::RecordBatch>> run_operand(SelectStatement& stmt,
                                                               const MetadataEngine& engine) {
  ExecuteResult r = engine.execute(stmt);
  if (r.status == ExecuteStatus::Declined) return decline_status(r.decline_reason);
  if (r.status != ExecuteStatus::Ok) return arrow::Status::Invalid(r.error_message);
  return combine_batches(r.schema, r.batches);
}

bool is_num(const arrow::DataType& t) {
  return arrow::is_integer(t.id()) || arrow::is_floating(t.id());
}

// The two sides' columns brought to one type each (NULL columns take the other side's type,
// numbers widen); other mixtures are refused.
arrow::Status align_columns(arrow::ArrayVector* l, arrow::ArrayVector* r) {
  for (size_t c = 0; c < l->size(); ++c) {
    auto& a = (*l)[c];
    auto& b = (*r)[c];
    if (a->type()->Equals(*b->type())) continue;
    std::shared_ptr<arrow::DataType> target;
    if (a->type_id() == arrow::Type::NA) {
      target = b->type();
    } else if (b->type_id() == arrow::Type::NA) {
      target = a->type();
    } else if (is_num(*a->type()) && is_num(*b->type())) {
      target = arrow::is_floating(a->type_id()) || arrow::is_floating(b->type_id())
                   ? arrow::float64()
                   : arrow::int64();
    } else {
      return arrow::Status::Invalid("set operation column types differ: " +
                                    a->type()->ToString() + " and " + b->type()->ToString());
    }
    for (auto* arr : {&a, &b}) {
      if ((*arr)->type()->Equals(*target)) continue;
      ARROW_ASSIGN_OR_RAISE(arrow::Datum d, cp::Cast(*arr, target, cp::CastOptions::Safe()));
      *arr = d.make_array();
    }
  }
  return arrow::Status::OK();
}

// Rows of `batch` (left rows [0, nl), right rows after) kept by INTERSECT / EXCEPT [ALL],
// decided on group ids; rows with equal values (NULLs included) are one group.
arrow::Result<std::shared_ptr<arrow::Array>> kept_rows(const arrow::RecordBatch& batch,
                                                       int64_t nl, SetOp op, bool all) {
  std::vector<arrow::TypeHolder> types;
  for (const auto& f : batch.schema()->fields()) types.emplace_back(f->type());
  ARROW_ASSIGN_OR_RAISE(auto grouper, cp::Grouper::Make(types));
  cp::ExecBatch exec(batch);
  ARROW_ASSIGN_OR_RAISE(arrow::Datum ids_datum, grouper->Consume(cp::ExecSpan(exec)));
  auto ids = std::static_pointer_cast<arrow::UInt32Array>(ids_datum.make_array());
  std::vector<int64_t> right_count(grouper->num_groups(), 0);
  for (int64_t i = nl; i < ids->length(); ++i) ++right_count[ids->Value(i)];
  std::vector<int64_t> used(grouper->num_groups(), 0);
  arrow::Int64Builder keep;
  for (int64_t i = 0; i < nl; ++i) {
    const uint32_t g = ids->Value(i);
    const int64_t seen = used[g]++;
    bool take;
    if (op == SetOp::Intersect) {
      take = all ? seen < right_count[g] : seen == 0 && right_count[g] > 0;
    } else {
      take = all ? seen >= right_count[g] : seen == 0 && right_count[g] == 0;
    }
    if (take) ARROW_RETURN_NOT_OK(keep.Append(i));
  }
  return keep.Finish();
}

}  // namespace

arrow::Result<std::shared_ptr<arrow::RecordBatch>> run_select(SelectStatement& stmt,
                                                              const MetadataEngine& engine) {
  if (stmt.items.empty()) return arrow::Status::Invalid("SELECT with no projection");
  // A statement that reads no relation is the compute node's to answer.
  if (!stmt.from) return decline_status("no FROM clause");
  if (stmt.where) decorrelate_exists(stmt, engine);
  decorrelate_scalar_subqueries(stmt, engine);
  const auto filters = pushable_conjuncts(stmt.where.get());
  const auto columns = referenced_columns(stmt);
  const Pushdown pushdown{&filters, columns ? &*columns : nullptr};
  ARROW_ASSIGN_OR_RAISE(Frame input, materialize_tableref(*stmt.from, engine, pushdown));
  ARROW_RETURN_NOT_OK(flatten_all(stmt, engine));
  if (stmt.where) {
    ARROW_ASSIGN_OR_RAISE(input, apply_predicate(input, *stmt.where));
  }

  KeyEval eval;
  Projected projected;
  if (is_aggregate_query(stmt)) {
    ARROW_ASSIGN_OR_RAISE(projected, apply_aggregation(stmt, input, &eval));
  } else {
    ARROW_ASSIGN_OR_RAISE(projected, apply_projection(stmt, input));
    eval = [input](const Expr& key) -> arrow::Result<std::shared_ptr<arrow::Array>> {
      ExprEval ev(input);
      ARROW_ASSIGN_OR_RAISE(auto d, ev.eval(key));
      return to_array(d, input.batch->num_rows());
    };
  }
  // SELECT DISTINCT removes duplicate rows before ORDER BY, whose keys must then be output
  // columns: the rows no longer match the input's.
  if (stmt.distinct) {
    ARROW_ASSIGN_OR_RAISE(projected, apply_distinct(projected));
    eval = nullptr;
  }
  return apply_order_by(stmt.order_by, projected, input, eval);
}

arrow::Result<std::shared_ptr<arrow::RecordBatch>> run_set_operation(
    SelectStatement& stmt, const MetadataEngine& engine) {
  if (!stmt.set_left || !stmt.set_right) {
    return arrow::Status::Invalid("set operation missing operand");
  }
  ARROW_ASSIGN_OR_RAISE(auto left, run_operand(*stmt.set_left, engine));
  ARROW_ASSIGN_OR_RAISE(auto right, run_operand(*stmt.set_right, engine));
  if (left->num_columns() != right->num_columns()) {
    return arrow::Status::Invalid(
        "each side of a set operation must have the same number of columns");
  }
  arrow::ArrayVector lcols = left->columns();
  arrow::ArrayVector rcols = right->columns();
  ARROW_RETURN_NOT_OK(align_columns(&lcols, &rcols));
  arrow::FieldVector fields;
  arrow::ArrayVector cols;
  for (size_t c = 0; c < lcols.size(); ++c) {
    fields.push_back(arrow::field(left->schema()->field(static_cast<int>(c))->name(),
                                  lcols[c]->type(), /*nullable=*/true));
    ARROW_ASSIGN_OR_RAISE(auto both, arrow::Concatenate({lcols[c], rcols[c]}));
    cols.push_back(std::move(both));
  }
  const int64_t nl = left->num_rows();
  auto batch = arrow::RecordBatch::Make(arrow::schema(fields), nl + right->num_rows(), cols);
  std::vector<int> source(fields.size(), -1);
  Projected projected{batch, source};
  if (stmt.set_op == SetOp::Union) {
    if (!stmt.set_all) {
      ARROW_ASSIGN_OR_RAISE(projected, apply_distinct(projected));
    }
  } else {
    ARROW_ASSIGN_OR_RAISE(auto rows, kept_rows(*batch, nl, stmt.set_op, stmt.set_all));
    ARROW_ASSIGN_OR_RAISE(projected.batch, take_batch(batch, rows));
  }
  // ORDER BY names the combined output's columns.
  Frame output{projected.batch, {}};
  KeyEval eval = [output](const Expr& key) -> arrow::Result<std::shared_ptr<arrow::Array>> {
    ExprEval ev(output);
    ARROW_ASSIGN_OR_RAISE(auto d, ev.eval(key));
    return to_array(d, output.batch->num_rows());
  };
  return apply_order_by(stmt.order_by, projected, output, eval);
}

}  // namespace nv_sql
