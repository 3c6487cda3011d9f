// Bulk ingest through statements: the ingest of a statement's bound data into its target, which
// ExecuteQuery runs for an ingest statement, and the pieces of it that are pure functions.
#pragma once

#include <arrow/buffer.h>
#include <arrow/record_batch.h>
#include <arrow/result.h>
#include <arrow/type.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "adbc/cancel_registry_internal.h"
#include "norvale_adbc.h"

struct NVConnection;
struct NVAdbcStatementState;

extern "C" {
/// Ingests the bound stream into the statement's target; rows_affected (may be null) receives
/// inserted + updated + deleted rows, or -1 on failure. Consumes the bound stream.
AdbcStatusCode nv_adbc_statement_execute_update(AdbcStatement* statement, int64_t* rows_affected,
                                                AdbcError* error);
}

namespace norvale::adbc {

/// Ingests the bound data of `statement` into its target (ExecuteUpdate, also reached from
/// ExecuteQuery): logs the call, consumes the bind, and stores the rows written in
/// `rows_affected` (may be null; -1 until the ingest succeeds).
arrow::Status execute_update(AdbcStatement* statement, int64_t* rows_affected);

/// The SQLSTATE reported for a failed ingest: the server's own when it is one of those the
/// service documents for ingests, else HY000. (The status follows status_for_sqlstate.)
const char* ingest_reported_sqlstate(const char* server_sqlstate);

/// The ingest target as the service reads it: with a catalog or schema, each of catalog, schema
/// and table quoted as an identifier and joined with '.'; otherwise the table text as given.
/// Empty for a null table.
std::string ingest_target_name(const char* catalog, const char* db_schema, const char* table);

/// `target` (a.b.c, each part bare or in double quotes) with every part in double quotes;
/// nullopt when the text is not such a name of one to three parts.
std::optional<std::string> quoted_target_name(std::string_view target);

/// The one to three parts of `target` (a.b.c, each part bare or in double quotes with ""
/// standing for one quote), unquoted; nullopt when the text is not such a name.
std::optional<std::vector<std::string>> target_name_parts(std::string_view target);

/// Whether a table exists on the compute node, found by selecting no rows from it.
struct TableProbe {
  enum Outcome { kExists, kMissing, kFailed } outcome;
  std::string message;   // kFailed (and kMissing): the query's error
  std::string sqlstate;  // its SQLSTATE, when the query failed with one
  std::shared_ptr<arrow::Schema> schema = nullptr;  // kExists: the table's columns, when sent
};
TableProbe probe_table(const std::shared_ptr<CancelOperation>& operation, NVConnection* connection,
                       const std::string& target);

/// What the connection's catalog says of `target` when it is fresh enough to say
/// (catalog_knows_table), as a probe would say it; nothing when the compute node must be asked.
std::optional<TableProbe> table_known_to_catalog(NVAdbcConnectionState* state,
                                                 std::string_view target);

/// The pieces of nv.ingest.key_columns: split at ',', trimmed, empty pieces dropped.
std::vector<std::string> split_key_columns(std::string_view text);

/// The schema alone as an Arrow IPC stream (schema message and end-of-stream marker).
arrow::Result<std::shared_ptr<arrow::Buffer>> encode_schema_ipc(
    const std::shared_ptr<arrow::Schema>& schema);
/// One batch as a complete Arrow IPC stream: schema, the batch, end-of-stream marker.
arrow::Result<std::shared_ptr<arrow::Buffer>> encode_batch_ipc(const arrow::RecordBatch& batch);
/// One batch as a whole Parquet file; the status message names the step that failed.
arrow::Result<std::shared_ptr<arrow::Buffer>> encode_batch_parquet(
    const std::shared_ptr<arrow::RecordBatch>& batch);

}  // namespace norvale::adbc
