// AdbcStatementExecuteSchema: the result schema of the statement's query without running it.
// A statement the local metadata engine answers costs no request. A single query that only reads
// is sent as a probe that returns no rows; the probe is the query in parentheses with LIMIT 0,
// which keeps its column names exactly and cannot hold a second statement once the text is known
// to be one query. Anything else would have to run, and is not done.
#include <arrow/c/bridge.h>
#include <arrow/record_batch.h>

#include <deque>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "adbc/cancel_registry_internal.h"
#include "adbc/error_internal.h"
#include "adbc/result_stream_internal.h"
#include "adbc/statement_params_internal.h"
#include "diag/sql_caller_internal.h"
#include "norvale/nv_log.h"
#include "sql/parser_bridge_internal.h"

namespace norvale::adbc {
namespace {

constexpr const char* kCall = "AdbcStatementExecuteSchema";

// Hands out the batches already read first, then the rest of the source.
class ReplayReader : public arrow::RecordBatchReader {
 public:
  ReplayReader(std::shared_ptr<arrow::RecordBatchReader> source,
               std::deque<std::shared_ptr<arrow::RecordBatch>> held)
      : source_(std::move(source)), held_(std::move(held)) {}
  std::shared_ptr<arrow::Schema> schema() const override { return source_->schema(); }
  arrow::Status ReadNext(std::shared_ptr<arrow::RecordBatch>* batch) override {
    if (held_.empty()) return source_->ReadNext(batch);
    *batch = std::move(held_.front());
    held_.pop_front();
    return arrow::Status::OK();
  }

 private:
  std::shared_ptr<arrow::RecordBatchReader> source_;
  std::deque<std::shared_ptr<arrow::RecordBatch>> held_;
};

// The first bound batch that has rows (null when none has), leaving the bound data to the next
// execution as they were: what is read here is handed out again first.
arrow::Result<std::shared_ptr<arrow::RecordBatch>> first_bound_batch(NVAdbcStatementState* s) {
  ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::RecordBatchReader> reader,
                        arrow::ImportRecordBatchReader(s->bound_stream));
  std::deque<std::shared_ptr<arrow::RecordBatch>> held;
  std::shared_ptr<arrow::RecordBatch> first;
  while (first == nullptr) {
    std::shared_ptr<arrow::RecordBatch> batch;
    ARROW_RETURN_NOT_OK(reader->ReadNext(&batch));
    if (batch == nullptr) break;
    held.push_back(batch);
    if (batch->num_rows() > 0) first = batch;
  }
  ARROW_RETURN_NOT_OK(arrow::ExportRecordBatchReader(
      std::make_shared<ReplayReader>(std::move(reader), std::move(held)), s->bound_stream));
  return first;
}

// The statement's SQL with the first bound row's values in place of its placeholders.
AdbcStatusCode sql_with_parameters(NVAdbcStatementState* s, std::string* sql, AdbcError* error) {
  auto batch = first_bound_batch(s);
  if (!batch.ok()) {
    set_error(error,
              std::string(kCall) + ": reading the bound parameters: " + batch.status().ToString(),
              "22023");
    return ADBC_STATUS_INVALID_ARGUMENT;
  }
  if (*batch == nullptr) {
    set_error(error,
              std::string(kCall) + ": the bound parameters hold no row to run the query with",
              "07002");
    return ADBC_STATUS_INVALID_ARGUMENT;
  }
  sql->clear();
  return sql_with_first_row(s, **batch, kCall, sql, error);
}

// "(\n<query>\n) LIMIT 0". The line breaks end a trailing line comment before the closing
// parenthesis.
std::string probe_sql(const std::string& query) { return "(\n" + query + "\n) LIMIT 0"; }

// The schema of a result stream that run_sql made, which is released here.
AdbcStatusCode schema_of(ArrowArrayStream* stream, ArrowSchema* out, AdbcError* error) {
  const int rc = stream->get_schema(stream, out);
  if (rc != 0) {
    const char* message = stream->get_last_error(stream);
    set_error_from_nv(error,
                      (std::string(kCall) + ": " + (message != nullptr ? message : "no schema"))
                          .c_str());
  }
  stream->release(stream);
  return rc == 0 ? ADBC_STATUS_OK : ADBC_STATUS_IO;
}

AdbcStatusCode execute_schema(AdbcStatement* statement, ArrowSchema* out, AdbcError* error) {
  SqlCallerScope caller(kCall);
  if (statement == nullptr || out == nullptr) {
    set_error(error, std::string(kCall) + ": null statement or schema", "HY009");
    return ADBC_STATUS_INVALID_ARGUMENT;
  }
  auto* s = static_cast<NVAdbcStatementState*>(statement->private_data);
  if (s == nullptr) {
    set_error(error, std::string(kCall) + ": statement not allocated", "HY010");
    return ADBC_STATUS_INVALID_STATE;
  }
  if (s->sql == nullptr || s->sql[0] == '\0') {
    set_error(error, std::string(kCall) + ": SetSqlQuery must be called first", "HY010");
    return ADBC_STATUS_INVALID_STATE;
  }
  if (s->connection == nullptr || s->connection->connection == nullptr) {
    set_error(error, std::string(kCall) + ": parent connection is not initialised", "HY010");
    return ADBC_STATUS_INVALID_STATE;
  }
  std::string sql = s->sql;
  if (s->bound_stream != nullptr) {
    if (AdbcStatusCode rc = sql_with_parameters(s, &sql, error); rc != ADBC_STATUS_OK) return rc;
  }

  ArrowArrayStream stream{};
  // Joined by run_sql below, so that a cancel reaches the probe as well as a snapshot fetch.
  const StatementOperation operation(s);
  if (NVQueryHandle* local = try_metadata_engine(s, sql.c_str(), *operation)) {
    const AdbcStatusCode rc = nv_adbc_stream_init(&stream, local, error);
    if (rc != ADBC_STATUS_OK) {
      nv_query_close(local);
      return rc;
    }
    return schema_of(&stream, out, error);
  }
  const std::optional<std::string> query = nv_sql::nv_sql_read_only_query(sql);
  if (!query) {
    set_error(error,
              std::string(kCall) +
                  ": only a single query that reads (SELECT, VALUES, WITH ... SELECT) has a "
                  "result schema known without running it",
              "0A000");
    return ADBC_STATUS_NOT_IMPLEMENTED;
  }
  // With a rows-affected output, a failure of the probe (a missing table, say) is reported as
  // an error of this call with the query's own SQLSTATE.
  int64_t rows = -1;
  const AdbcStatusCode rc = run_sql(s, probe_sql(*query).c_str(), &stream, &rows, error);
  if (rc != ADBC_STATUS_OK) return rc;
  return schema_of(&stream, out, error);
}

}  // namespace
}  // namespace norvale::adbc

extern "C" AdbcStatusCode nv_adbc_statement_execute_schema(AdbcStatement* statement,
                                                           ArrowSchema* schema,
                                                           AdbcError* error) {
  try {
    if (nv_log_level() >= NV_LOG_INFO) {
      nv_log_emit(NV_LOG_INFO, "api", "AdbcStatementExecuteSchema(stmt=%p)",
                  static_cast<void*>(statement));
    }
    return norvale::adbc::execute_schema(statement, schema, error);
  } catch (const std::exception& e) {
    norvale::adbc::set_error(error, std::string("AdbcStatementExecuteSchema: ") + e.what(),
                             "HY000");
  } catch (...) {
    norvale::adbc::set_error(error, "AdbcStatementExecuteSchema: internal error", "HY000");
  }
  return ADBC_STATUS_INTERNAL;
}
