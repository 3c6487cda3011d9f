// ExecuteUpdate: the bound stream is read batch by batch, each batch encoded on its own and
// pushed through the ingest protocol; the server's result becomes the row count or an error.
#include <arrow/c/bridge.h>
#include <arrow/record_batch.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "adbc/cancellable_query_internal.h"
#include "adbc/error_internal.h"
#include "adbc/statement_ingest_internal.h"
#include "core/ingest/ingest_handle_internal.h"
#include "metadata/info_schema_internal.h"
#include "norvale/nv_ingest.h"
#include "norvale/nv_log.h"
#include "util/strings_internal.h"

namespace norvale::adbc {
namespace {

// Owns the ingest for one ExecuteUpdate: whatever path leaves the call, an unfinished ingest
// is cancelled and the handle released.
class IngestScope {
 public:
  explicit IngestScope(NVIngestHandle* h) : h_(h) {}
  ~IngestScope() {
    if (!finished_) nv_ingest_cancel(h_);
    nv_ingest_free(h_);
  }
  IngestScope(const IngestScope&) = delete;
  IngestScope& operator=(const IngestScope&) = delete;
  NVIngestHandle* get() const { return h_; }
  void mark_finished() { finished_ = true; }

 private:
  NVIngestHandle* h_;
  bool finished_ = false;
};

constexpr const char* kCall = "AdbcStatementExecuteUpdate";

// A failure of the local side after begin (encoding, a failing reader, a refused push).
AdbcStatusCode local_failure(AdbcError* error, const std::string& message, const char* sqlstate,
                             AdbcStatusCode status) {
  set_error(error, message, sqlstate);
  return status;
}

// Reports a failed finish and releases the summary's paths. The reported SQLSTATE follows the
// ingest table; the status returned follows the server's own SQLSTATE.
AdbcStatusCode server_failure(AdbcError* error, NVIngestSummary* summary) {
  const IngestErrorClass c = classify_ingest_sqlstate(summary->sqlstate);
  const char* message =
      summary->error_message[0] != '\0' ? summary->error_message : "ingest failed";
  set_error(error, message, c.sqlstate);
  const AdbcStatusCode status = status_for_sqlstate(summary->sqlstate);
  nv_ingest_summary_free(summary);
  return status;
}

// The service's ingest mode for the statement's table mode, probing the target where the mode
// depends on whether it exists. Service modes: 0 append (the table must exist), 2 overwrite
// (create or replace the table with the data's schema).
//
// The probe and the ingest are two requests, so they are not atomic: a table that another
// client creates between them is replaced by a create or create_append (the service's
// overwrite), and one dropped between them makes a create_append's append fail with NOT_FOUND.
AdbcStatusCode choose_service_mode(NVAdbcStatementState* s, const StatementOperation& operation,
                                   const std::string& target, int32_t* mode, AdbcError* error) {
  *mode = s->ingest_mode;
  const bool create = s->table_mode == kTableCreate;
  if ((!create && s->table_mode != kTableCreateAppend) || target.empty()) return ADBC_STATUS_OK;
  const TableProbe probe = probe_table(operation.shared(), s->connection->connection, target);
  if (operation->cancelled()) return report_cancelled(error, kCall);
  switch (probe.outcome) {
    case TableProbe::kExists:
      if (create) {
        set_error(error,
                  "AdbcStatementExecuteUpdate: table " + target +
                      " already exists (ingest mode create; use append, create_append or "
                      "replace to write to it)",
                  "42S01");
        return ADBC_STATUS_ALREADY_EXISTS;
      }
      *mode = NV_INGEST_MODE_APPEND;
      return ADBC_STATUS_OK;
    case TableProbe::kMissing:
      *mode = NV_INGEST_MODE_OVERWRITE;
      return ADBC_STATUS_OK;
    case TableProbe::kFailed:
      break;
  }
  set_error_from_nv(error, ("AdbcStatementExecuteUpdate: cannot tell whether " + target +
                            " exists: " + probe.message)
                               .c_str());
  if (probe.sqlstate.size() != 5) return ADBC_STATUS_IO;
  if (error != nullptr) std::memcpy(error->sqlstate, probe.sqlstate.data(), 5);
  return status_for_sqlstate(probe.sqlstate.c_str());
}

std::string last_error_or(NVIngestHandle* h, const char* fallback) {
  const char* text = nv_ingest_last_error(h);
  return non_empty(text) ? std::string(text) : std::string(fallback);
}

// A push was refused. When the worker had already ended on its own, the server's answer (or
// the transport failure) says why, and is reported as such; otherwise the push's own text.
AdbcStatusCode push_failure(AdbcError* error, IngestScope& ingest, const char* fallback) {
  if (norvale::ingest::worker_ended(ingest.get())) {
    NVIngestSummary summary{};
    if (nv_ingest_finish(ingest.get(), &summary) != 0 && summary.sqlstate[0] != '\0') {
      ingest.mark_finished();
      return server_failure(error, &summary);
    }
    nv_ingest_summary_free(&summary);
  }
  return local_failure(error, last_error_or(ingest.get(), fallback), "HY000", ADBC_STATUS_IO);
}

AdbcStatusCode push_payload(AdbcError* error, IngestScope& ingest,
                            const arrow::Result<std::shared_ptr<arrow::Buffer>>& payload,
                            const char* encode_what) {
  if (!payload.ok()) {
    return local_failure(error, std::string(encode_what) + payload.status().ToString(), "HY000",
                         ADBC_STATUS_IO);
  }
  const arrow::Buffer& bytes = **payload;
  if (nv_ingest_push_batch(ingest.get(), bytes.data(), static_cast<size_t>(bytes.size())) != 0) {
    return push_failure(error, ingest, "nv_ingest_push_batch failed");
  }
  return ADBC_STATUS_OK;
}

AdbcStatusCode execute_update(NVAdbcStatementState* s, const StatementOperation& operation,
                              int64_t* rows_affected, AdbcError* error);

// A failure while the operation was cancelled is the cancel's doing; the ingest's own text
// (a refused push, an aborted upload) would hide that.
AdbcStatusCode execute_update_or_cancelled(NVAdbcStatementState* s, int64_t* rows_affected,
                                           AdbcError* error) {
  const StatementOperation operation(s);
  const AdbcStatusCode status = execute_update(s, operation, rows_affected, error);
  if (status != ADBC_STATUS_OK && operation->cancelled()) return report_cancelled(error, kCall);
  return status;
}

AdbcStatusCode execute_update(NVAdbcStatementState* s, const StatementOperation& operation,
                              int64_t* rows_affected, AdbcError* error) {
  if (s->connection == nullptr || s->connection->connection == nullptr) {
    set_error(error, "AdbcStatementExecuteUpdate: connection not initialised", "HY010");
    return ADBC_STATUS_INVALID_STATE;
  }
  if (!non_empty(s->target_table) && !non_empty(s->target_location)) {
    set_error(error,
              "AdbcStatementExecuteUpdate: no ingest target set (call SetOption with "
              "adbc.ingest.target_table or nv.ingest.target_location)",
              "22023");
    return ADBC_STATUS_INVALID_STATE;
  }
  if (s->bound_stream == nullptr) {
    set_error(error,
              "AdbcStatementExecuteUpdate: no bind stream (call AdbcStatementBindStream first)",
              "22023");
    return ADBC_STATUS_INVALID_STATE;
  }

  // The stream now belongs to the reader (or is released here): each ingest needs a new bind.
  auto imported = take_bound_stream(s);
  if (!imported.ok()) {
    set_error(
        error,
        "AdbcStatementExecuteUpdate: ImportRecordBatchReader: " + imported.status().ToString(),
        "22023");
    return ADBC_STATUS_INVALID_ARGUMENT;
  }
  std::shared_ptr<arrow::RecordBatchReader> reader = *imported;
  std::shared_ptr<arrow::Schema> schema = reader->schema();

  const std::string target =
      ingest_target_name(s->target_catalog, s->target_db_schema, s->target_table);
  int32_t service_mode = 0;
  if (AdbcStatusCode rc = choose_service_mode(s, operation, target, &service_mode, error);
      rc != ADBC_STATUS_OK) {
    return rc;
  }

  NVIngestConfig cfg{};
  cfg.target_table = s->target_table != nullptr ? target.c_str() : nullptr;
  cfg.target_location = s->target_location;
  cfg.mode = service_mode;
  cfg.payload_format = s->payload_format;
  cfg.key_columns = s->key_columns;
  cfg.key_column_count = s->key_column_count;
  cfg.idempotency_key = s->idempotency_key;
  cfg.coerce = s->coerce != 0 ? 1 : 0;

  NVIngestHandle* handle = nullptr;
  char begin_error[512] = {0};
  if (nv_ingest_begin(s->connection->connection, &cfg, &handle, begin_error, sizeof begin_error) !=
      0) {
    return local_failure(error, non_empty(begin_error) ? begin_error : "nv_ingest_begin failed",
                         "HY000", ADBC_STATUS_IO);
  }
  IngestScope ingest(handle);
  // Declared after the scope, so detached before the scope frees the handle.
  const CancelTarget cancel_ingest(operation.shared(),
                                   [handle] { norvale::ingest::request_cancel(handle); });
  const bool arrow_ipc = s->payload_format == NV_INGEST_FORMAT_ARROW_IPC;

  if (arrow_ipc) {
    auto schema_bytes = encode_schema_ipc(schema);
    if (!schema_bytes.ok()) {
      return local_failure(error, "encode_schema_ipc failed: " + schema_bytes.status().ToString(),
                           "HY000", ADBC_STATUS_IO);
    }
    if (nv_ingest_push_schema(handle, (*schema_bytes)->data(),
                              static_cast<size_t>((*schema_bytes)->size())) != 0) {
      return local_failure(error, last_error_or(handle, "nv_ingest_push_schema failed"), "HY000",
                           ADBC_STATUS_IO);
    }
  }

  for (;;) {
    std::shared_ptr<arrow::RecordBatch> batch;
    arrow::Status st = reader->ReadNext(&batch);
    if (!st.ok()) {
      return local_failure(error, "AdbcStatementExecuteUpdate: reader.ReadNext: " + st.ToString(),
                           "22023", ADBC_STATUS_INVALID_ARGUMENT);
    }
    if (batch == nullptr) break;
    if (batch->num_rows() == 0) continue;  // zero-row batches are never sent
    const AdbcStatusCode rc =
        arrow_ipc
            ? push_payload(error, ingest, encode_batch_ipc(*batch), "encode_batch_ipc failed: ")
            : push_payload(error, ingest, encode_batch_parquet(batch), "");
    if (rc != ADBC_STATUS_OK) return rc;
  }

  NVIngestSummary summary{};
  const int rc = nv_ingest_finish(handle, &summary);
  ingest.mark_finished();
  info_schema_note_write(s->connection);  // an ingest may create or replace its table
  if (rc != 0) return server_failure(error, &summary);
  if (rows_affected != nullptr) {
    // Rows written: an overwrite's deleted rows are the old table's, not this ingest's.
    *rows_affected = summary.rows_inserted + summary.rows_updated +
                     (service_mode == NV_INGEST_MODE_OVERWRITE ? 0 : summary.rows_deleted);
  }
  nv_ingest_summary_free(&summary);
  return ADBC_STATUS_OK;
}

}  // namespace
}  // namespace norvale::adbc

extern "C" AdbcStatusCode nv_adbc_statement_execute_update(AdbcStatement* statement,
                                                           int64_t* rows_affected,
                                                           AdbcError* error) {
  try {
    if (nv_log_level() >= NV_LOG_INFO) {
      nv_log_emit(NV_LOG_INFO, "api", "AdbcStatementExecuteUpdate(stmt=%p)",
                  static_cast<void*>(statement));
    }
    if (rows_affected != nullptr) *rows_affected = -1;
    auto* s = statement == nullptr ? nullptr
                                   : static_cast<NVAdbcStatementState*>(statement->private_data);
    if (s == nullptr) {
      norvale::adbc::set_error(error, "AdbcStatementExecuteUpdate: statement not allocated",
                               "HY010");
      return ADBC_STATUS_INVALID_STATE;
    }
    return norvale::adbc::execute_update_or_cancelled(s, rows_affected, error);
  } catch (const std::exception& e) {
    norvale::adbc::set_error(error, std::string("AdbcStatementExecuteUpdate: ") + e.what(),
                             "HY000");
  } catch (...) {
    norvale::adbc::set_error(error, "AdbcStatementExecuteUpdate: internal error", "HY000");
  }
  return ADBC_STATUS_INTERNAL;
}
