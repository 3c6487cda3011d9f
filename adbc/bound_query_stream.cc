// A statement run over bound rows for its results: one query per row, the rows' results handed
// out one after another through one stream. The stream runs each row's query only when the host
// has read the results before it, so that memory holds one row's query, not every row's result.
#include <arrow/c/bridge.h>
#include <arrow/record_batch.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "adbc/bound_sql_internal.h"
#include "adbc/statement_params_internal.h"
#include "adbc/status_internal.h"

namespace norvale::adbc {
namespace {

// The bound rows one at a time, each as its statement; only the batch of the row in hand is held.
class BoundRows {
 public:
  BoundRows(std::shared_ptr<arrow::RecordBatchReader> reader, BoundSql bound)
      : reader_(std::move(reader)), bound_(std::move(bound)) {}

  /// The number of the row last handed out (from 1).
  int64_t row() const { return rows_before_ + next_; }

  /// Whether another row follows, reading ahead to the batch that holds it.
  arrow::Result<bool> More() {
    while (batch_ == nullptr || next_ >= batch_->num_rows()) {
      if (batch_ != nullptr) rows_before_ += batch_->num_rows();
      batch_.reset();
      next_ = 0;
      std::shared_ptr<arrow::RecordBatch> batch;
      const arrow::Status read = reader_->ReadNext(&batch);
      if (!read.ok()) return bound_read_failure(read, rows_before_, Note());
      if (batch == nullptr) return false;
      if (batch->num_rows() == 0) continue;
      ARROW_ASSIGN_OR_RAISE(literals_, bound_literals(*batch, rows_before_, Note()));
      batch_ = std::move(batch);
    }
    return true;
  }

  /// The statement of the next row; nullopt when there is none.
  arrow::Result<std::optional<std::string>> Next() {
    ARROW_ASSIGN_OR_RAISE(const bool more, More());
    if (!more) return std::nullopt;
    std::string sql;
    bound_.AppendStatement(literals_, next_++, &sql);
    return sql;
  }

  /// What the rows before the one in hand left behind: each ran on its own.
  std::string Note() const { return committed_note(row() - (batch_ != nullptr ? 1 : 0)); }

 private:
  std::shared_ptr<arrow::RecordBatchReader> reader_;
  BoundSql bound_;
  std::shared_ptr<arrow::RecordBatch> batch_;  // holds the row in hand
  BoundLiterals literals_;
  int64_t rows_before_ = 0;  // rows of the batches before batch_
  int64_t next_ = 0;         // the next row of batch_
};

// The schema of the results of several rows: the first row's names and types, every column
// nullable, since a later row may give a null where the first did not.
std::shared_ptr<arrow::Schema> rows_schema(const arrow::Schema& first) {
  arrow::FieldVector fields;
  for (const auto& field : first.fields()) fields.push_back(field->WithNullable(true));
  return arrow::schema(std::move(fields), first.metadata());
}

// Whether a row's result can be handed out under the first row's schema: the same column types
// in the same order. The names may differ, as the service names an unaliased column by its text,
// and each row's text holds its own literals.
bool same_columns(const arrow::Schema& schema, const arrow::Schema& row) {
  if (row.num_fields() != schema.num_fields()) return false;
  for (int i = 0; i < row.num_fields(); ++i) {
    if (!row.field(i)->type()->Equals(*schema.field(i)->type())) return false;
  }
  return true;
}

// The column types of a result, as "int64, string".
std::string column_types(const arrow::Schema& schema) {
  std::string out;
  for (const auto& field : schema.fields()) {
    out += (out.empty() ? "" : ", ") + field->type()->ToString();
  }
  return out;
}

// The results of every bound row's query, in row order, under one schema: the first row's.
class BoundQueryReader final : public arrow::RecordBatchReader {
 public:
  BoundQueryReader(NVAdbcConnectionState* connection, std::shared_ptr<CancelOperation> operation,
                   BoundRows rows, std::shared_ptr<arrow::RecordBatchReader> first)
      : connection_(connection),
        operation_(std::move(operation)),
        rows_(std::move(rows)),
        schema_(rows_schema(*first->schema())),
        current_(std::move(first)) {}

  std::shared_ptr<arrow::Schema> schema() const override { return schema_; }

  arrow::Status ReadNext(std::shared_ptr<arrow::RecordBatch>* batch) override {
    batch->reset();
    while (current_ != nullptr) {
      if (const arrow::Status read = current_->ReadNext(batch); !read.ok()) {
        return with_context(kBoundWhere + bound_rows_text(row_, row_) + ": ", read);
      }
      if (*batch != nullptr) {
        if (!(*batch)->schema()->Equals(*schema_)) {
          *batch = arrow::RecordBatch::Make(schema_, (*batch)->num_rows(), (*batch)->columns());
        }
        return arrow::Status::OK();
      }
      current_.reset();
      ARROW_RETURN_NOT_OK(Start());
    }
    return arrow::Status::OK();
  }

  arrow::Status Close() override {
    current_.reset();
    return arrow::Status::OK();
  }

 private:
  // Runs the next row's query; at the end of the rows nothing.
  arrow::Status Start() {
    ARROW_ASSIGN_OR_RAISE(std::optional<std::string> sql, rows_.Next());
    if (!sql) return arrow::Status::OK();
    row_ = rows_.row();
    const std::string failed =
        kBoundWhere + bound_rows_text(row_, row_) + " failed (" + committed_note(row_ - 1) + "): ";
    ArrowArrayStream stream{};
    if (arrow::Status run = run_sql_on(connection_, operation_, sql->c_str(), &stream, nullptr);
        !run.ok()) {
      return with_context(failed, run);
    }
    // The query's failure shows when its stream is opened, with its schema.
    auto opened = arrow::ImportRecordBatchReader(&stream);
    if (!opened.ok()) return with_context(failed, opened.status());
    current_ = *std::move(opened);
    if (!same_columns(*schema_, *current_->schema())) {
      const std::string types = column_types(*current_->schema());
      current_.reset();
      return adbc_failure(ADBC_STATUS_INVALID_STATE, "HY000",
                          kBoundWhere + std::string("the results of bound row 1 (") +
                              column_types(*schema_) + ") and " + bound_rows_text(row_, row_) +
                              " (" + types + ") have different column types and cannot form "
                              "one result");
    }
    return arrow::Status::OK();
  }

  NVAdbcConnectionState* connection_;  // the statement's parent, which outlives its streams
  std::shared_ptr<CancelOperation> operation_;
  BoundRows rows_;
  std::shared_ptr<arrow::Schema> schema_;
  std::shared_ptr<arrow::RecordBatchReader> current_;  // the result being read
  int64_t row_ = 1;                                    // whose result it is
};

}  // namespace

arrow::Status query_with_parameters(NVAdbcStatementState* state, ArrowArrayStream* out,
                                    int64_t* rows_affected) {
  if (rows_affected != nullptr) *rows_affected = -1;
  ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::RecordBatchReader> reader,
                        take_bound_rows(state));
  auto bound = BoundSql::Make(state->sql, state->bind_by_name != 0, *reader->schema());
  if (!bound.ok()) return with_context(kBoundWhere, bound.status());
  BoundRows rows(std::move(reader), *std::move(bound));

  ARROW_ASSIGN_OR_RAISE(std::optional<std::string> first, rows.Next());
  if (!first) {
    return adbc_failure(ADBC_STATUS_INVALID_ARGUMENT, "07002",
                        kBoundWhere + std::string("the bound parameters hold no row to run the "
                                                  "query with"));
  }
  // The operation outlives the call in the stream: a cancel of the statement still reaches the
  // queries of later rows.
  const StatementOperation operation(state);
  ArrowArrayStream stream{};
  const arrow::Status run =
      run_sql_on(state->connection, operation.shared(), first->c_str(), &stream, rows_affected);
  if (!run.ok()) return with_context(kBoundWhere + bound_rows_text(1, 1) + ": ", run);
  const arrow::Result<bool> several = rows.More();
  if (!several.ok() || !*several) {
    if (several.ok()) {
      *out = stream;  // one row: its query's stream is the result
      return arrow::Status::OK();
    }
    stream.release(&stream);
    if (rows_affected != nullptr) *rows_affected = -1;
    return several.status();
  }
  // Several rows: their counts are not known before their queries run.
  if (rows_affected != nullptr) *rows_affected = -1;

  ARROW_ASSIGN_OR_RAISE(auto first_result, arrow::ImportRecordBatchReader(&stream));
  auto results = std::make_shared<BoundQueryReader>(state->connection, operation.shared(),
                                                    std::move(rows), std::move(first_result));
  const arrow::Status exported = arrow::ExportRecordBatchReader(std::move(results), out);
  if (!exported.ok()) return internal_failure(kBoundWhere + exported.ToString());
  return arrow::Status::OK();
}

}  // namespace norvale::adbc
