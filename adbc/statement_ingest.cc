// The ingest of a statement's bound data (ExecuteUpdate): the data are read batch by batch,
// each batch encoded on its own and pushed through the ingest protocol; the server's result
// becomes the row count or an error.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "adbc/bound_data_internal.h"
#include "adbc/cancellable_query_internal.h"
#include "adbc/catalog_internal.h"
#include "adbc/entry_internal.h"
#include "adbc/ingest_upload_internal.h"
#include "adbc/statement_ingest_internal.h"
#include "norvale/nv_ingest.h"
#include "util/strings_internal.h"

namespace norvale::adbc {
namespace {

constexpr const char* kCall = "AdbcStatementExecuteUpdate";

// The service's ingest mode for the statement's table mode, probing the target where the mode
// depends on whether it exists. Service modes: 0 append (the table must exist), 2 overwrite
// (create or replace the table with the data's schema).
//
// The probe and the ingest are two requests, so they are not atomic: a table that another
// client creates between them is replaced by a create or create_append (the service's
// overwrite), and one dropped between them makes a create_append's append fail with NOT_FOUND.
arrow::Result<int32_t> choose_service_mode(NVAdbcStatementState* s,
                                           const StatementOperation& operation,
                                           const std::string& target) {
  const bool create = s->table_mode == kTableCreate;
  if ((!create && s->table_mode != kTableCreateAppend) || target.empty()) return s->ingest_mode;
  // A fresh catalog knows, the connection's own DDL included; otherwise the node is asked.
  const std::optional<TableProbe> known = table_known_to_catalog(s->connection, target);
  const TableProbe probe =
      known ? *known : probe_table(operation.shared(), s->connection->connection, target);
  if (operation->cancelled()) return cancelled_by_client(kCall);
  switch (probe.outcome) {
    case TableProbe::kExists:
      if (create) {
        return adbc_failure(ADBC_STATUS_ALREADY_EXISTS, "42S01",
                            std::string(kCall) + ": table " + target +
                                " already exists (ingest mode create; use append, create_append "
                                "or replace to write to it)");
      }
      return int32_t{NV_INGEST_MODE_APPEND};
    case TableProbe::kMissing:
      return int32_t{NV_INGEST_MODE_OVERWRITE};
    case TableProbe::kFailed:
      break;
  }
  const std::string message =
      std::string(kCall) + ": cannot tell whether " + target + " exists: " + probe.message;
  if (probe.sqlstate.size() != 5) return transport_failure(message.c_str());
  return adbc_failure(status_for_sqlstate(probe.sqlstate.c_str()), probe.sqlstate.c_str(),
                      message);
}

arrow::Status ingest(NVAdbcStatementState* s, const StatementOperation& operation,
                     int64_t* rows_affected) {
  if (s->connection == nullptr || s->connection->connection == nullptr) {
    return invalid_state(std::string(kCall) + ": connection not initialised");
  }
  if (!non_empty(s->target_table) && !non_empty(s->target_location)) {
    return adbc_failure(ADBC_STATUS_INVALID_STATE, "22023",
                        std::string(kCall) +
                            ": no ingest target set (call SetOption with "
                            "adbc.ingest.target_table or nv.ingest.target_location)");
  }
  if (!s->bound->bound()) {
    return adbc_failure(ADBC_STATUS_INVALID_STATE, "22023",
                        std::string(kCall) +
                            ": no bind stream (call AdbcStatementBindStream first)");
  }

  // The data now belong to the reader: each ingest needs a new bind.
  auto taken = s->bound->Take();
  if (!taken.ok()) {
    return adbc_failure(ADBC_STATUS_INVALID_ARGUMENT, "22023",
                        std::string(kCall) + ": ImportRecordBatchReader: " +
                            taken.status().ToString());
  }
  std::shared_ptr<arrow::RecordBatchReader> reader = *std::move(taken);

  const std::string target =
      ingest_target_name(s->target_catalog, s->target_db_schema, s->target_table);
  ARROW_ASSIGN_OR_RAISE(const int32_t service_mode, choose_service_mode(s, operation, target));

  NVIngestConfig cfg{};
  cfg.target_table = s->target_table != nullptr ? target.c_str() : nullptr;
  cfg.target_location = s->target_location;
  cfg.mode = service_mode;
  cfg.payload_format = s->payload_format;
  cfg.key_columns = s->key_columns;
  cfg.key_column_count = s->key_column_count;
  cfg.idempotency_key = s->idempotency_key;
  cfg.coerce = s->coerce != 0 ? 1 : 0;

  ARROW_ASSIGN_OR_RAISE(std::unique_ptr<IngestUpload> upload,
                        IngestUpload::Begin(s->connection->connection, cfg, operation.shared(),
                                            ingest_reported_sqlstate));
  ARROW_RETURN_NOT_OK(upload->PushSchema(reader->schema()));
  for (;;) {
    std::shared_ptr<arrow::RecordBatch> batch;
    const arrow::Status read = reader->ReadNext(&batch);
    if (!read.ok()) {
      return adbc_failure(ADBC_STATUS_INVALID_ARGUMENT, "22023",
                          std::string(kCall) + ": reader.ReadNext: " + read.ToString());
    }
    if (batch == nullptr) break;
    ARROW_RETURN_NOT_OK(upload->Push(batch));
  }
  const arrow::Result<IngestCounts> counts = upload->Finish();
  info_schema_note_write(s->connection);  // an ingest may create or replace its table
  ARROW_RETURN_NOT_OK(counts.status());
  if (rows_affected != nullptr) {
    // Rows written: an overwrite's deleted rows are the old table's, not this ingest's.
    *rows_affected = counts->inserted + counts->updated +
                     (service_mode == NV_INGEST_MODE_OVERWRITE ? 0 : counts->deleted);
  }
  return arrow::Status::OK();
}

}  // namespace

const char* ingest_reported_sqlstate(const char* server_sqlstate) {
  static constexpr const char* kReported[] = {"22018", "22023", "23000", "40001",
                                              "42501", "42S02", "42S22", "53000",
                                              "53400", "58000", "58030", "08000",
                                              "08001", "08006", "28000", "HYT00"};
  if (server_sqlstate != nullptr) {
    for (const char* code : kReported) {
      if (std::strcmp(code, server_sqlstate) == 0) return code;
    }
  }
  return "HY000";
}

arrow::Status execute_update(AdbcStatement* statement, int64_t* rows_affected) {
  log_api("AdbcStatementExecuteUpdate(stmt=%p)", static_cast<void*>(statement));
  if (rows_affected != nullptr) *rows_affected = -1;
  auto* s = statement == nullptr ? nullptr
                                 : static_cast<NVAdbcStatementState*>(statement->private_data);
  if (s == nullptr) return invalid_state(std::string(kCall) + ": statement not allocated");
  const StatementOperation operation(s);
  const arrow::Status status = ingest(s, operation, rows_affected);
  // A failure while the operation was cancelled is the cancel's doing; the ingest's own text
  // (a refused push, an aborted upload) would hide that.
  if (!status.ok() && operation->cancelled()) return cancelled_by_client(kCall);
  return status;
}

}  // namespace norvale::adbc

extern "C" AdbcStatusCode nv_adbc_statement_execute_update(AdbcStatement* statement,
                                                           int64_t* rows_affected,
                                                           AdbcError* error) {
  return norvale::adbc::call_entry(
      norvale::adbc::Entry{"AdbcStatementExecuteUpdate", nullptr}, error,
      [&] { return norvale::adbc::execute_update(statement, rows_affected); });
}
