// SQL statements with bound parameters run for their effect. The service takes plain SQL text
// only, so each bound row's values are written into the statement as typed SQL literals. An
// INSERT ... VALUES of one row runs as multi-row INSERTs of many bound rows each (or, with many
// rows, as one ingest); any other statement runs once per row. The bound data are read batch by
// batch, never held whole.
#include <arrow/record_batch.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "adbc/bound_data_internal.h"
#include "adbc/bound_sql_internal.h"
#include "adbc/bulk_bind_internal.h"
#include "adbc/statement_params_internal.h"
#include "adbc/status_internal.h"
#include "cells/sql_state_internal.h"

namespace norvale::adbc {

std::string bound_rows_text(int64_t first, int64_t last) {
  return first == last ? "bound row " + std::to_string(first)
                       : "bound rows " + std::to_string(first) + " to " + std::to_string(last);
}

std::string committed_note(int64_t committed) {
  if (committed == 0) return "no bound row was committed";
  if (committed == 1) return "bound row 1 was committed";
  return "bound rows 1 to " + std::to_string(committed) + " were committed";
}

arrow::Result<std::shared_ptr<arrow::RecordBatchReader>> take_bound_rows(
    NVAdbcStatementState* state) {
  auto taken = state->bound->Take();
  if (!taken.ok()) {
    return adbc_failure(ADBC_STATUS_INVALID_ARGUMENT, "22023",
                        kBoundWhere + std::string("reading the bound parameters: ") +
                            taken.status().ToString());
  }
  return taken;
}

arrow::Status bound_read_failure(const arrow::Status& read, int64_t rows_before,
                                 const std::string& note) {
  const std::string after =
      rows_before > 0 ? " after " + bound_rows_text(1, rows_before) : std::string();
  return adbc_failure(ADBC_STATUS_INVALID_ARGUMENT, "22023",
                      kBoundWhere + std::string("reading the bound parameters") + after + ": " +
                          read.ToString() + "; " + note);
}

arrow::Status bound_value_failure(const arrow::Status& status, const arrow::RecordBatch& batch,
                                  int column, int64_t rows_before, const std::string& note) {
  const int64_t row = cells::failed_row_of(status);
  std::string where = kBoundWhere;
  if (row >= 0) where += "bound row " + std::to_string(rows_before + row + 1) + ", ";
  where += "parameter column '" + batch.schema()->field(column)->name() + "' (" +
           batch.column(column)->type()->ToString() + "): ";
  return with_context(where, status, "; " + note);
}

arrow::Result<BoundLiterals> bound_literals(const arrow::RecordBatch& batch, int64_t rows_before,
                                            const std::string& note) {
  int failed = -1;
  auto literals = BoundSql::LiteralsOf(batch, &failed);
  if (literals.ok()) return literals;
  return bound_value_failure(literals.status(), batch, failed, rows_before, note);
}

namespace {

// A multi-row INSERT grows until either limit is reached (a lone row may exceed the size).
constexpr size_t kChunkBytes = size_t{4} << 20;
constexpr int64_t kChunkRows = 10000;

// Runs the statement's SQL texts in order through run_sql, each for a range of bound rows,
// summing their counts.
class Runner {
 public:
  explicit Runner(NVAdbcStatementState* state) : state_(state) {}

  int64_t committed() const { return committed_; }
  int64_t total() const { return total_; }

  arrow::Status Run(const std::string& sql, int64_t first, int64_t last) {
    int64_t rows = -1;
    const arrow::Status st = run_sql(state_, sql.c_str(), nullptr, &rows);
    if (!st.ok()) {
      return with_context(kBoundWhere + bound_rows_text(first, last) + " failed (" +
                              committed_note(committed_) + "): ",
                          st);
    }
    committed_ = last;
    if (rows > 0) total_ += rows;
    return arrow::Status::OK();
  }

 private:
  NVAdbcStatementState* state_;
  int64_t committed_ = 0;  // the last bound row whose statement ran
  int64_t total_ = 0;
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
    return runner.Run(text_, first_, last);
  }

 private:
  std::string_view head_;  // views into the BoundSql's text, which outlives the chunks
  std::string_view tail_;
  SqlTemplate row_;
  std::string text_;
  int64_t rows_ = 0;
  int64_t first_ = 0;
};

}  // namespace

arrow::Status execute_with_parameters(NVAdbcStatementState* state, int64_t* rows_affected) {
  if (rows_affected != nullptr) *rows_affected = -1;
  // An INSERT of many rows loads them as one ingest when it can.
  ARROW_ASSIGN_OR_RAISE(const bool loaded, try_bulk_insert(state, rows_affected));
  if (loaded) return arrow::Status::OK();
  ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::RecordBatchReader> reader,
                        take_bound_rows(state));
  auto made = BoundSql::Make(state->sql, state->bind_by_name != 0, *reader->schema());
  if (!made.ok()) return with_context(kBoundWhere, made.status());
  const BoundSql& bound = *made;

  // Many rows of an INSERT go in few statements.
  std::optional<InsertChunks> chunks;
  if (auto row = find_insert_values_row(bound.sql(), bound.parameters())) {
    chunks.emplace(bound, *row);
  }

  Runner runner(state);
  int64_t rows_before = 0;
  for (;;) {
    std::shared_ptr<arrow::RecordBatch> batch;
    const arrow::Status st = reader->ReadNext(&batch);
    if (!st.ok()) return bound_read_failure(st, rows_before, committed_note(runner.committed()));
    if (batch == nullptr) break;
    if (batch->num_rows() == 0) continue;
    ARROW_ASSIGN_OR_RAISE(const BoundLiterals literals,
                          bound_literals(*batch, rows_before, committed_note(runner.committed())));
    for (int64_t row = 0; row < batch->num_rows(); ++row) {
      const int64_t bound_row = rows_before + row + 1;
      if (chunks) {
        ARROW_RETURN_NOT_OK(chunks->Add(literals, row, bound_row, runner));
      } else {
        std::string text;
        bound.AppendStatement(literals, row, &text);
        ARROW_RETURN_NOT_OK(runner.Run(text, bound_row, bound_row));
      }
    }
    rows_before += batch->num_rows();
  }
  if (chunks) ARROW_RETURN_NOT_OK(chunks->Flush(runner));
  if (rows_affected != nullptr) *rows_affected = runner.total();
  return arrow::Status::OK();
}

}  // namespace norvale::adbc
