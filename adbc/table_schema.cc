// AdbcConnectionGetTableSchema: answered from the connection's snapshot when it describes the
// table with types known here; otherwise the schema of a LIMIT 0 query on the compute node.
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include <arrow/c/bridge.h>
#include <arrow/type.h>

#include "adbc/cancel_registry_internal.h"
#include "adbc/catalog_calls_internal.h"
#include "adbc/catalog_internal.h"
#include "adbc/entry_internal.h"
#include "core/query_batch_internal.h"
#include "diag/sql_caller_internal.h"
#include "metadata/catalog_answers_internal.h"
#include "norvale/nv_query.h"
#include "util/strings_internal.h"

namespace norvale::adbc {
namespace {

constexpr const char* kCall = "AdbcConnectionGetTableSchema";

const char* or_empty(const char* text) { return text != nullptr ? text : ""; }

arrow::Status export_schema(const arrow::Schema& schema, ArrowSchema* out) {
  const arrow::Status st = arrow::ExportSchema(schema, out);
  if (st.ok()) return st;
  char text[256];
  std::snprintf(text, sizeof(text), "arrow::ExportSchema failed: %s", st.message().c_str());
  return internal_failure(text);
}

arrow::Status schema_from_compute(NVAdbcConnectionState* state,
                                  const std::shared_ptr<CancelOperation>& operation,
                                  const char* catalog, const char* db_schema,
                                  const char* table_name, ArrowSchema* out) {
  const std::string sql = limit_zero_sql(catalog, db_schema, table_name);
  SqlCallerScope label("AdbcConnectionGetTableSchema(LIMIT 0 fallback)");
  char message[1024] = {0};
  const CancellableQuery query =
      run_metadata_query(state, operation, sql, message, sizeof(message));
  if (!query) {
    if (operation->cancelled()) return cancelled_by_client(kCall);
    return transport_failure(message);
  }
  NVArrowBatch* batch = nv_next_batch(query.get(), message, sizeof(message));
  if (batch != nullptr) {
    const std::shared_ptr<arrow::Schema> schema = norvale::query_batch_schema(batch);
    nv_batch_free(batch);
    if (!schema) {
      return internal_failure(std::string(kCall) + ": engine returned a batch without a schema");
    }
    return export_schema(*schema, out);
  }
  const char* query_error = nv_query_error(query.get());
  if (query_error != nullptr && query_error[0] != '\0') {
    // A compute node that reports the table as missing answers the question GetTableSchema
    // asked: that is "not found", not a transport failure.
    const char* sqlstate = nv_query_sqlstate(query.get());
    const bool missing = (sqlstate != nullptr && std::strcmp(sqlstate, "42S02") == 0) ||
                         std::strcmp(sqlstate_from_message(query_error), "42S02") == 0;
    const arrow::Status failure = query_failure(query.get());
    if (missing) return with_code(ADBC_STATUS_NOT_FOUND, failure, "42S02");
    return adbc_code_of(failure) == ADBC_STATUS_CANCELLED ? failure
                                                          : with_code(ADBC_STATUS_IO, failure);
  }
  return transport_failure(message[0] != '\0' ? message
                                              : "table not found or query produced no schema",
                           ADBC_STATUS_NOT_FOUND);
}

arrow::Status get_table_schema(AdbcConnection* connection, const char* catalog,
                               const char* db_schema, const char* table_name, ArrowSchema* out) {
  if (connection == nullptr || out == nullptr) {
    return invalid_argument(std::string(kCall) + ": null connection or output schema");
  }
  if (!non_empty(table_name)) return invalid_argument(std::string(kCall) + ": table_name is required");
  auto* state = static_cast<NVAdbcConnectionState*>(connection->private_data);
  if (state == nullptr || state->connection == nullptr) {
    return invalid_state(std::string(kCall) +
                         ": connection not initialised (call AdbcConnectionInit first)");
  }
  log_api("AdbcConnectionGetTableSchema(conn=%p, catalog=\"%s\", db_schema=\"%s\", "
          "table_name=\"%s\")",
          static_cast<void*>(connection), or_empty(catalog), or_empty(db_schema), table_name);

  // The snapshot may have to be fetched first, and the compute node asked: both stop on
  // AdbcConnectionCancel.
  const auto operation = begin_connection_operation(state);
  info_schema_refresh(state, operation->cancelled_flag());
  if (operation->cancelled()) return cancelled_by_client(kCall);
  const auto index = info_schema_index_get(state);
  SnapshotTableSchema answer = snapshot_table_schema(index.get(), catalog, db_schema, table_name);
  if (answer.kind == SnapshotTableSchema::kAmbiguous) {
    // Unqualified, the name means the table in the schema the service resolves names in.
    if (const std::optional<std::string> schema = current_schema(state)) {
      SnapshotTableSchema in_current =
          snapshot_table_schema(index.get(), catalog, schema->c_str(), table_name);
      const std::optional<std::string> own_catalog =
          in_current.kind == SnapshotTableSchema::kAmbiguous && !non_empty(catalog)
              ? current_catalog(state)
              : std::nullopt;
      if (own_catalog) {
        in_current =
            snapshot_table_schema(index.get(), own_catalog->c_str(), schema->c_str(), table_name);
      }
      if (in_current.kind == SnapshotTableSchema::kFound) answer = std::move(in_current);
    }
  }
  if (answer.kind == SnapshotTableSchema::kAmbiguous) {
    return adbc_failure(ADBC_STATUS_INVALID_ARGUMENT, "42000",
                        std::string(kCall) + ": table \"" + table_name +
                            "\" exists in several schemas (" + answer.candidates +
                            "); pass db_schema to choose one");
  }
  if (answer.kind == SnapshotTableSchema::kFound && answer.columns != nullptr) {
    ARROW_RETURN_NOT_OK(export_schema(*answer.columns, out));
    nv_log_emit(NV_LOG_DEBUG, "meta_engine",
                "GetTableSchema served from snapshot for \"%s\".\"%s\".\"%s\" (columns=%zu)",
                or_empty(catalog), or_empty(db_schema), table_name, answer.column_names.size());
    return arrow::Status::OK();
  }
  if (answer.kind == SnapshotTableSchema::kFound) {
    // A type text this driver does not know: the compute node's answer, for the table the
    // snapshot named, rather than a guess.
    nv_log_emit(NV_LOG_DEBUG, "meta_engine",
                "GetTableSchema routing to compute for \"%s\".\"%s\".\"%s\" (reason=unknown "
                "type text in snapshot)",
                answer.catalog.c_str(), answer.schema.c_str(), table_name);
    return schema_from_compute(state, operation, answer.catalog.c_str(), answer.schema.c_str(),
                               table_name, out);
  }
  nv_log_emit(NV_LOG_DEBUG, "meta_engine",
              "GetTableSchema routing to compute for \"%s\".\"%s\".\"%s\" (reason=snapshot did "
              "not carry columns for this table)",
              or_empty(catalog), or_empty(db_schema), table_name);
  return schema_from_compute(state, operation, catalog, db_schema, table_name, out);
}

}  // namespace

CancellableQuery run_metadata_query(NVAdbcConnectionState* state,
                                    const std::shared_ptr<CancelOperation>& operation,
                                    const std::string& sql, char* err, size_t err_size) {
  return execute_cancellable(operation, state->connection, sql.c_str(), 0, err, err_size);
}

std::string quote_identifier(std::string_view name) {
  std::string quoted;
  quoted.reserve(name.size() + 2);
  quoted.push_back('"');
  for (char c : name) {
    if (c == '"') quoted.push_back('"');
    quoted.push_back(c);
  }
  quoted.push_back('"');
  return quoted;
}

std::string limit_zero_sql(const char* catalog, const char* db_schema, const char* table_name) {
  std::string sql = "SELECT * FROM ";
  if (non_empty(catalog)) sql += quote_identifier(catalog) + ".";
  if (non_empty(db_schema)) sql += quote_identifier(db_schema) + ".";
  sql += quote_identifier(or_empty(table_name));
  sql += " LIMIT 0";
  return sql;
}

}  // namespace norvale::adbc

extern "C" AdbcStatusCode nv_adbc_connection_get_table_schema(AdbcConnection* connection,
                                                              const char* catalog,
                                                              const char* db_schema,
                                                              const char* table_name,
                                                              ArrowSchema* schema,
                                                              AdbcError* error) {
  return norvale::adbc::call_entry(
      norvale::adbc::Entry{"AdbcConnectionGetTableSchema", nullptr}, error, [&] {
        return norvale::adbc::get_table_schema(connection, catalog, db_schema, table_name,
                                               schema);
      });
}
