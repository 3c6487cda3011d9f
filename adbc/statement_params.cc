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

#include "adbc/bound_sql_internal.h"
#include "adbc/error_internal.h"
#include "adbc/parameter_markers_internal.h"
#include "adbc/statement_ingest_internal.h"
#include "adbc/statement_params_internal.h"
#include "cells/sql_literal_internal.h"
#include "cells/sql_state_internal.h"

namespace norvale::adbc {
namespace {

// A multi-row INSERT grows until either limit is reached (a lone row may exceed the size).
constexpr size_t kChunkBytes = size_t{4} << 20;
constexpr int64_t kChunkRows = 10000;

constexpr const char* kWhere = "AdbcStatementExecuteQuery: ";

AdbcStatusCode status_for_parameter_failure(const std::string& sqlstate) {
  if (sqlstate == "07006") return ADBC_STATUS_NOT_IMPLEMENTED;
  if (sqlstate == "07002") return ADBC_STATUS_INVALID_ARGUMENT;
  return status_for_sqlstate(sqlstate.c_str());
}

AdbcStatusCode report(AdbcError* error, const arrow::Status& status, const std::string& context,
                      const std::string& after = "") {
  const std::string sqlstate = cells::sqlstate_of(status);
  set_error(error, kWhere + context + status.message() + after, sqlstate.c_str());
  return status_for_parameter_failure(sqlstate);
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
  Runner(NVAdbcStatementState* state, ArrowArrayStream* out, AdbcError* error)
      : state_(state), out_(out), error_(error) {}

  int64_t committed() const { return committed_; }

  AdbcStatusCode Run(std::string sql, int64_t first, int64_t last) {
    if (out_ != nullptr && runs_ == 0 && !held_) {
      held_ = Held{std::move(sql), first, last};
      return ADBC_STATUS_OK;
    }
    if (held_) {
      Held held = std::move(*held_);
      held_.reset();
      if (AdbcStatusCode rc = RunOne(held.sql, held.first, held.last); rc != ADBC_STATUS_OK) {
        return rc;
      }
    }
    return RunOne(sql, first, last);
  }

  AdbcStatusCode Finish(int64_t* rows_affected) {
    if (out_ == nullptr) {
      if (rows_affected != nullptr) *rows_affected = total_;
      return ADBC_STATUS_OK;
    }
    if (held_) {
      const AdbcStatusCode rc = run_sql(state_, held_->sql.c_str(), out_, rows_affected, error_);
      if (rc != ADBC_STATUS_OK) {
        prepend_error_message(error_, kWhere + rows_text(held_->first, held_->last) + ": ");
      }
      return rc;
    }
    if (runs_ == 0) {
      set_error(error_, std::string(kWhere) + "the bound parameters hold no row to run the "
                                              "query with",
                "07002");
      return ADBC_STATUS_INVALID_ARGUMENT;
    }
    if (rows_affected != nullptr) *rows_affected = total_;
    auto reader = arrow::RecordBatchReader::Make(std::move(results_), schema_);
    arrow::Status st = reader.status();
    if (st.ok()) st = arrow::ExportRecordBatchReader(*reader, out_);
    if (!st.ok()) {
      set_error(error_, kWhere + st.ToString(), "HY000");
      return ADBC_STATUS_INTERNAL;
    }
    return ADBC_STATUS_OK;
  }

 private:
  struct Held {
    std::string sql;
    int64_t first;
    int64_t last;
  };

  AdbcStatusCode RunOne(const std::string& sql, int64_t first, int64_t last) {
    ArrowArrayStream stream{};
    int64_t rows = -1;
    const AdbcStatusCode rc =
        run_sql(state_, sql.c_str(), out_ != nullptr ? &stream : nullptr, &rows, error_);
    if (rc != ADBC_STATUS_OK) {
      prepend_error_message(error_, kWhere + rows_text(first, last) + " failed (" +
                                        committed_note(committed_) + "): ");
      return rc;
    }
    ++runs_;
    committed_ = last;
    if (rows > 0) total_ += rows;
    if (out_ == nullptr) return ADBC_STATUS_OK;
    return Collect(&stream, first, last);
  }

  AdbcStatusCode Collect(ArrowArrayStream* stream, int64_t first, int64_t last) {
    auto reader = arrow::ImportRecordBatchReader(stream);
    arrow::RecordBatchVector batches;
    arrow::Status st = reader.status();
    if (st.ok()) st = (*reader)->ToRecordBatches().Value(&batches);
    if (!st.ok()) {
      set_error(error_, kWhere + rows_text(first, last) + ": " + st.message(), "HY000");
      return ADBC_STATUS_IO;
    }
    const std::shared_ptr<arrow::Schema>& schema = (*reader)->schema();
    if (schema_ == nullptr) {
      schema_ = schema;
    } else if (!schema_->Equals(*schema)) {
      set_error(error_,
                kWhere + std::string("the results of bound row 1 and ") +
                    rows_text(first, last) + " have different schemas and cannot form one result",
                "HY000");
      return ADBC_STATUS_INVALID_STATE;
    }
    for (auto& batch : batches) results_.push_back(std::move(batch));
    return ADBC_STATUS_OK;
  }

  NVAdbcStatementState* state_;
  ArrowArrayStream* out_;
  AdbcError* error_;
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
  InsertChunks(std::string_view sql, InsertValuesRow row, const StatementParameters& params,
               const std::vector<int>& columns)
      : head_(sql.substr(0, row.begin)),
        tail_(sql.substr(row.end)),
        row_(sql, row.begin, row.end, params, columns) {}

  AdbcStatusCode Add(const std::vector<cells::SqlLiteralColumn>& literals, int64_t row,
                     int64_t bound_row, Runner& runner) {
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
      if (AdbcStatusCode rc = Flush(runner); rc != ADBC_STATUS_OK) return rc;
      return Add(literals, row, bound_row, runner);
    }
    if (++rows_ == kChunkRows) return Flush(runner);
    return ADBC_STATUS_OK;
  }

  AdbcStatusCode Flush(Runner& runner) {
    if (rows_ == 0) return ADBC_STATUS_OK;
    text_.append(tail_);
    const int64_t last = first_ + rows_ - 1;
    rows_ = 0;
    return runner.Run(std::move(text_), first_, last);
  }

 private:
  std::string_view head_;
  std::string_view tail_;
  SqlTemplate row_;
  std::string text_;
  int64_t rows_ = 0;
  int64_t first_ = 0;
};

// The literal writers of a batch's columns; a failure names the bound row and column.
AdbcStatusCode literals_of(const arrow::RecordBatch& batch, int64_t rows_before,
                           int64_t committed, std::vector<cells::SqlLiteralColumn>* literals,
                           AdbcError* error) {
  literals->clear();
  for (int c = 0; c < batch.num_columns(); ++c) {
    auto column = cells::SqlLiteralColumn::Make(batch.column(c));
    if (!column.ok()) {
      const int64_t row = cells::failed_row_of(column.status());
      std::string where = row >= 0 ? "bound row " + std::to_string(rows_before + row + 1) + ", "
                                   : std::string();
      where += "parameter column '" + batch.schema()->field(c)->name() + "' (" +
               batch.column(c)->type()->ToString() + "): ";
      return report(error, column.status(), where, "; " + committed_note(committed));
    }
    literals->push_back(*std::move(column));
  }
  return ADBC_STATUS_OK;
}

}  // namespace

AdbcStatusCode execute_with_parameters(NVAdbcStatementState* state, ArrowArrayStream* out,
                                       int64_t* rows_affected, AdbcError* error) {
  if (rows_affected != nullptr) *rows_affected = -1;
  auto reader = take_bound_stream(state);
  if (!reader.ok()) {
    set_error(error,
              kWhere + std::string("reading the bound parameters: ") + reader.status().ToString(),
              "22023");
    return ADBC_STATUS_INVALID_ARGUMENT;
  }
  const bool by_name = state->bind_by_name != 0;
  const std::string_view sql = state->sql;
  auto params = find_parameters(sql, by_name);
  if (!params.ok()) return report(error, params.status(), "");
  auto columns = bind_columns(*params, *(*reader)->schema(), by_name);
  if (!columns.ok()) return report(error, columns.status(), "");

  // Many rows of an INSERT go in few statements; a query's rows stay one statement each, so
  // that each result is its row's.
  std::optional<InsertChunks> chunks;
  if (out == nullptr) {
    if (auto row = find_insert_values_row(sql, *params)) {
      chunks.emplace(sql, *row, *params, *columns);
    }
  }
  const SqlTemplate statement(sql, 0, sql.size(), *params, *columns);

  Runner runner(state, out, error);
  std::vector<cells::SqlLiteralColumn> literals;
  int64_t rows_before = 0;
  for (;;) {
    std::shared_ptr<arrow::RecordBatch> batch;
    const arrow::Status st = (*reader)->ReadNext(&batch);
    if (!st.ok()) {
      const std::string after =
          rows_before > 0 ? " after " + rows_text(1, rows_before) : std::string();
      set_error(error,
                kWhere + std::string("reading the bound parameters") + after + ": " +
                    st.ToString() + "; " + committed_note(runner.committed()),
                "22023");
      return ADBC_STATUS_INVALID_ARGUMENT;
    }
    if (batch == nullptr) break;
    if (batch->num_rows() == 0) continue;
    if (AdbcStatusCode rc = literals_of(*batch, rows_before, runner.committed(), &literals, error);
        rc != ADBC_STATUS_OK) {
      return rc;
    }
    for (int64_t row = 0; row < batch->num_rows(); ++row) {
      const int64_t bound_row = rows_before + row + 1;
      AdbcStatusCode rc;
      if (chunks) {
        rc = chunks->Add(literals, row, bound_row, runner);
      } else {
        std::string text;
        statement.AppendRow(literals, row, &text);
        rc = runner.Run(std::move(text), bound_row, bound_row);
      }
      if (rc != ADBC_STATUS_OK) return rc;
    }
    rows_before += batch->num_rows();
  }
  if (chunks) {
    if (AdbcStatusCode rc = chunks->Flush(runner); rc != ADBC_STATUS_OK) return rc;
  }
  return runner.Finish(rows_affected);
}

}  // namespace norvale::adbc
