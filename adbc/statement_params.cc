// SQL statements with bound parameters. The service takes plain SQL text only, so each bound
// row's values are written into the statement as typed SQL literals. An INSERT ... VALUES of one
// row runs as multi-row INSERTs of many bound rows each; any other statement runs once per row.
// The bound data are read batch by batch, never held whole.
#include <arrow/c/bridge.h>
#include <arrow/record_batch.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "adbc/bound_data_internal.h"
#include "adbc/bound_sql_internal.h"
#include "adbc/statement_params_internal.h"
#include "adbc/status_internal.h"
#include "cells/sql_state_internal.h"

namespace norvale::adbc {
namespace {

// A multi-row INSERT grows until either limit is reached (a lone row may exceed the size).
constexpr size_t kChunkBytes = size_t{4} << 20;
constexpr int64_t kChunkRows = 10000;

constexpr const char* kWhere = "AdbcStatementExecuteQuery: ";

// A failure of the parameters themselves (their markers, binding or literals), which keeps its
// SQLSTATE and so its status.
arrow::Status parameter_failure(const arrow::Status& status, const std::string& context,
                                const std::string& after = "") {
  return with_context(kWhere + context, status, after);
}

// What a failure leaves behind: every statement before the failing one ran on its own.
std::string committed_note(int64_t committed) {
  if (committed == 0) return "no bound row was committed";
  if (committed == 1) return "bound row 1 was committed";
  return "bound rows 1 to " + std::to_string(committed) + " were committed";
}

std::string rows_text(int64_t first, int64_t last) {
  return first == last ? "bound row " + std::to_string(first)
                       : "bound rows " + std::to_string(first) + " to " + std::to_string(last);
}

// Runs the statement's SQL texts in order through run_sql, each for a range of bound rows,
// summing their counts. For a query the results are kept and concatenated; a query run for
// one bound row only is streamed as it comes.
class Runner {
 public:
  Runner(NVAdbcStatementState* state, ArrowArrayStream* out) : state_(state), out_(out) {}

  int64_t committed() const { return committed_; }

  arrow::Status Run(std::string sql, int64_t first, int64_t last) {
    if (out_ != nullptr && runs_ == 0 && !held_) {
      held_ = Held{std::move(sql), first, last};
      return arrow::Status::OK();
    }
    if (held_) {
      Held held = std::move(*held_);
      held_.reset();
      ARROW_RETURN_NOT_OK(RunOne(held.sql, held.first, held.last));
    }
    return RunOne(sql, first, last);
  }

  arrow::Status Finish(int64_t* rows_affected) {
    if (out_ == nullptr) {
      if (rows_affected != nullptr) *rows_affected = total_;
      return arrow::Status::OK();
    }
    if (held_) {
      const arrow::Status st = run_sql(state_, held_->sql.c_str(), out_, rows_affected);
      if (!st.ok()) return with_context(kWhere + rows_text(held_->first, held_->last) + ": ", st);
      return st;
    }
    if (runs_ == 0) {
      return adbc_failure(ADBC_STATUS_INVALID_ARGUMENT, "07002",
                          std::string(kWhere) +
                              "the bound parameters hold no row to run the query with");
    }
    if (rows_affected != nullptr) *rows_affected = total_;
    auto reader = arrow::RecordBatchReader::Make(std::move(results_), schema_);
    arrow::Status st = reader.status();
    if (st.ok()) st = arrow::ExportRecordBatchReader(*reader, out_);
    if (!st.ok()) return internal_failure(kWhere + st.ToString());
    return arrow::Status::OK();
  }

 private:
  struct Held {
    std::string sql;
    int64_t first;
    int64_t last;
  };

  arrow::Status RunOne(const std::string& sql, int64_t first, int64_t last) {
    ArrowArrayStream stream{};
    int64_t rows = -1;
    const arrow::Status st =
        run_sql(state_, sql.c_str(), out_ != nullptr ? &stream : nullptr, &rows);
    if (!st.ok()) {
      return with_context(kWhere + rows_text(first, last) + " failed (" +
                              committed_note(committed_) + "): ",
                          st);
    }
    ++runs_;
    committed_ = last;
    if (rows > 0) total_ += rows;
    if (out_ == nullptr) return arrow::Status::OK();
    return Collect(&stream, first, last);
  }

  arrow::Status Collect(ArrowArrayStream* stream, int64_t first, int64_t last) {
    auto reader = arrow::ImportRecordBatchReader(stream);
    arrow::RecordBatchVector batches;
    arrow::Status st = reader.status();
    if (st.ok()) st = (*reader)->ToRecordBatches().Value(&batches);
    if (!st.ok()) {
      return adbc_failure(ADBC_STATUS_IO, "HY000",
                          kWhere + rows_text(first, last) + ": " + st.message());
    }
    const std::shared_ptr<arrow::Schema>& schema = (*reader)->schema();
    if (schema_ == nullptr) {
      schema_ = schema;
    } else if (!schema_->Equals(*schema)) {
      return adbc_failure(ADBC_STATUS_INVALID_STATE, "HY000",
                          kWhere + std::string("the results of bound row 1 and ") +
                              rows_text(first, last) +
                              " have different schemas and cannot form one result");
    }
    for (auto& batch : batches) results_.push_back(std::move(batch));
    return arrow::Status::OK();
  }

  NVAdbcStatementState* state_;
  ArrowArrayStream* out_;
  std::optional<Held> held_;
  int64_t runs_ = 0;
  int64_t committed_ = 0;  // the last bound row whose statement ran
  int64_t total_ = 0;
  std::shared_ptr<arrow::Schema> schema_;
  arrow::RecordBatchVector results_;
};

// Rows of an INSERT ... VALUES gathered into multi-row statements.
class InsertChunks {
 public:
  InsertChunks(const BoundSql& bound, InsertValuesRow row)
      : head_(std::string_view(bound.sql()).substr(0, row.begin)),
        tail_(std::string_view(bound.sql()).substr(row.end)),
        row_(bound.sql(), row.begin, row.end, bound.parameters(), bound.columns()) {}

  arrow::Status Add(const BoundLiterals& literals, int64_t row, int64_t bound_row,
                    Runner& runner) {
    if (rows_ == 0) {
      text_.reserve(kChunkBytes + kChunkBytes / 8);
      text_.assign(head_.data(), head_.size());
      first_ = bound_row;
    }
    const size_t mark = text_.size();
    if (rows_ > 0) text_.append(", ");
    row_.AppendRow(literals, row, &text_);
    if (rows_ > 0 && text_.size() + tail_.size() > kChunkBytes) {
      // This row would overfill the chunk: it opens the next one.
      text_.resize(mark);
      ARROW_RETURN_NOT_OK(Flush(runner));
      return Add(literals, row, bound_row, runner);
    }
    if (++rows_ == kChunkRows) return Flush(runner);
    return arrow::Status::OK();
  }

  arrow::Status Flush(Runner& runner) {
    if (rows_ == 0) return arrow::Status::OK();
    text_.append(tail_);
    const int64_t last = first_ + rows_ - 1;
    rows_ = 0;
    return runner.Run(std::move(text_), first_, last);
  }

 private:
  std::string_view head_;  // views into the BoundSql's text, which outlives the chunks
  std::string_view tail_;
  SqlTemplate row_;
  std::string text_;
  int64_t rows_ = 0;
  int64_t first_ = 0;
};

// The literals of a batch; a failure names the bound row and column.
arrow::Result<BoundLiterals> literals_of(const arrow::RecordBatch& batch, int64_t rows_before,
                                         int64_t committed) {
  int failed = -1;
  auto literals = BoundSql::LiteralsOf(batch, &failed);
  if (literals.ok()) return literals;
  const int64_t row = cells::failed_row_of(literals.status());
  std::string where =
      row >= 0 ? "bound row " + std::to_string(rows_before + row + 1) + ", " : std::string();
  where += "parameter column '" + batch.schema()->field(failed)->name() + "' (" +
           batch.column(failed)->type()->ToString() + "): ";
  return parameter_failure(literals.status(), where, "; " + committed_note(committed));
}

}  // namespace

arrow::Status execute_with_parameters(NVAdbcStatementState* state, ArrowArrayStream* out,
                                      int64_t* rows_affected) {
  if (rows_affected != nullptr) *rows_affected = -1;
  auto reader = state->bound->Take();
  if (!reader.ok()) {
    return adbc_failure(ADBC_STATUS_INVALID_ARGUMENT, "22023",
                        kWhere + std::string("reading the bound parameters: ") +
                            reader.status().ToString());
  }
  auto made = BoundSql::Make(state->sql, state->bind_by_name != 0, *(*reader)->schema());
  if (!made.ok()) return parameter_failure(made.status(), "");
  const BoundSql& bound = *made;

  // Many rows of an INSERT go in few statements; a query's rows stay one statement each, so
  // that each result is its row's.
  std::optional<InsertChunks> chunks;
  if (out == nullptr) {
    if (auto row = find_insert_values_row(bound.sql(), bound.parameters())) {
      chunks.emplace(bound, *row);
    }
  }

  Runner runner(state, out);
  int64_t rows_before = 0;
  for (;;) {
    std::shared_ptr<arrow::RecordBatch> batch;
    const arrow::Status st = (*reader)->ReadNext(&batch);
    if (!st.ok()) {
      const std::string after =
          rows_before > 0 ? " after " + rows_text(1, rows_before) : std::string();
      return adbc_failure(ADBC_STATUS_INVALID_ARGUMENT, "22023",
                          kWhere + std::string("reading the bound parameters") + after + ": " +
                              st.ToString() + "; " + committed_note(runner.committed()));
    }
    if (batch == nullptr) break;
    if (batch->num_rows() == 0) continue;
    ARROW_ASSIGN_OR_RAISE(const BoundLiterals literals,
                          literals_of(*batch, rows_before, runner.committed()));
    for (int64_t row = 0; row < batch->num_rows(); ++row) {
      const int64_t bound_row = rows_before + row + 1;
      if (chunks) {
        ARROW_RETURN_NOT_OK(chunks->Add(literals, row, bound_row, runner));
      } else {
        std::string text;
        bound.AppendStatement(literals, row, &text);
        ARROW_RETURN_NOT_OK(runner.Run(std::move(text), bound_row, bound_row));
      }
    }
    rows_before += batch->num_rows();
  }
  if (chunks) ARROW_RETURN_NOT_OK(chunks->Flush(runner));
  return runner.Finish(rows_affected);
}

}  // namespace norvale::adbc
