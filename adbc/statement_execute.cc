// ExecuteQuery: what the statement is decides what runs. An ingest statement with bound data
// ingests them; otherwise its SQL runs, once or over the rows of its bound data, first offered
// to the metadata engine, and its result becomes a stream that owns the query.
#include <cstring>
#include <string>

#include "adbc/bound_data_internal.h"
#include "adbc/cancellable_query_internal.h"
#include "adbc/catalog_internal.h"
#include "adbc/entry_internal.h"
#include "adbc/result_stream_internal.h"
#include "adbc/state_internal.h"
#include "adbc/statement_ingest_internal.h"
#include "adbc/statement_params_internal.h"
#include "cells/statement_kind_internal.h"
#include "core/query_batch_internal.h"
#include "diag/sql_caller_internal.h"
#include "norvale/nv_log.h"
#include "norvale/nv_query.h"
#include "sql/metadata_engine_internal.h"

namespace norvale::adbc {
namespace {

constexpr const char* kCall = "AdbcStatementExecuteQuery";

// The count of a DML statement arrives with the stream's first frame: fetch the first batch
// now (the stream hands it out later) so that the host gets the count with the stream.
arrow::Status prefetch_rows_affected(ArrowArrayStream* out, int64_t* rows_affected) {
  auto* state = static_cast<NVAdbcStreamState*>(out->private_data);
  char err[512] = "";
  state->held_batch = nv_next_batch(state->query, err, sizeof err);
  if (state->held_batch == nullptr && nv_query_error(state->query) != nullptr) {
    arrow::Status failure = query_failure(state->query);
    out->release(out);
    return failure;
  }
  if (state->held_batch == nullptr && err[0] != '\0') {
    out->release(out);
    return transport_failure(err);
  }
  const int64_t rows = nv_query_rows_affected(state->query);
  if (rows >= 0) *rows_affected = rows;
  return arrow::Status::OK();
}

arrow::Status execute_query(AdbcStatement* statement, ArrowArrayStream* out,
                            int64_t* rows_affected) {
  SqlCallerScope caller(kCall);
  if (statement == nullptr) return invalid_argument(std::string(kCall) + ": null statement");
  auto* state = static_cast<NVAdbcStatementState*>(statement->private_data);
  if (state == nullptr) return invalid_state(std::string(kCall) + ": statement not allocated");
  // One operation for the whole call: a cancel also stops the rows of bound parameters that
  // have not run yet.
  const StatementOperation operation(state);

  if (state->kind == kStatementIngest && state->bound->bound()) {
    if (out != nullptr) {
      return invalid_state(std::string(kCall) +
                           ": bulk Arrow ingest is a DML operation; pass out_stream=NULL (ADBC "
                           "v1.0 convention) to drive the ingest. Call AdbcStatementSetSqlQuery "
                           "+ ExecuteQuery if you intended a SELECT.");
    }
    return execute_update(statement, rows_affected);
  }

  // Everything else runs SQL text: a query, or an ingest statement without data that still
  // holds the text set before its target.
  if (state->sql == nullptr || state->sql[0] == '\0') {
    return invalid_state(std::string(kCall) +
                         ": SetSqlQuery must be called with a non-empty SQL string before "
                         "Execute");
  }
  log_api("AdbcStatementExecuteQuery(stmt=%p, sql.len=%zu)", static_cast<void*>(statement),
          std::strlen(state->sql));
  if (state->connection == nullptr || state->connection->connection == nullptr) {
    return invalid_state(std::string(kCall) +
                         ": parent connection is not initialised (call AdbcConnectionInit "
                         "first)");
  }
  if (state->bound->bound()) {
    return out != nullptr ? query_with_parameters(state, out, rows_affected)
                          : execute_with_parameters(state, rows_affected);
  }
  return run_sql(state, state->sql, out, rows_affected);
}

}  // namespace

NVQueryHandle* try_metadata_engine(NVAdbcConnectionState* connection, const char* sql,
                                   const CancelOperation& operation) {
  const nv_sql::MetadataEngine* engine = connection->meta_engine;
  // The engine answers queries only: an INSERT of many bound rows is not parsed for nothing.
  if (engine == nullptr || !cells::sql_may_be_query(sql)) return nullptr;
  // Only statements on the catalog wait for (or revalidate) the snapshot.
  if (cells::sql_reads_catalog(sql)) {
    info_schema_refresh(connection, operation.cancelled_flag());
  }
  if (operation.cancelled()) return nullptr;
  nv_sql::ExecuteResult result = engine->try_execute(sql);
  switch (result.status) {
    case nv_sql::ExecuteStatus::Ok: {
      long long rows = 0;
      for (const auto& batch : result.batches) rows += batch != nullptr ? batch->num_rows() : 0;
      NVQueryHandle* query = nv_make_local_query_handle(
          connection->connection, std::move(result.schema), std::move(result.batches));
      if (query != nullptr) {
        nv_sql_trace("MetadataEngine(cache hit)", sql);
        nv_log_emit(NV_LOG_DEBUG, "meta_engine", "served from cache (rows=%lld)", rows);
      }
      return query;
    }
    case nv_sql::ExecuteStatus::Declined:
      nv_log_emit(NV_LOG_DEBUG, "meta_engine", "routing to compute (reason=%s)",
                  result.decline_reason.c_str());
      return nullptr;
    case nv_sql::ExecuteStatus::Error:
      nv_log_emit(NV_LOG_DEBUG, "meta_engine", "engine error, routing to compute (msg=%s)",
                  result.error_message.c_str());
      return nullptr;
  }
  return nullptr;
}

arrow::Status run_sql(NVAdbcStatementState* state, const char* sql, ArrowArrayStream* out,
                      int64_t* rows_affected) {
  // Every statement this layer sends runs under the statement's operation, so that
  // AdbcStatementCancel reaches it, and its result stream after it.
  const StatementOperation operation(state);
  return run_sql_on(state->connection, operation.shared(), sql, out, rows_affected);
}

arrow::Status run_sql_on(NVAdbcConnectionState* connection,
                         const std::shared_ptr<CancelOperation>& operation, const char* sql,
                         ArrowArrayStream* out, int64_t* rows_affected) {
  if (rows_affected != nullptr) *rows_affected = -1;
  if (out != nullptr) std::memset(out, 0, sizeof *out);
  CancellableQuery query(operation, try_metadata_engine(connection, sql, *operation));
  char err[1024] = "";
  if (!query) {
    query = execute_cancellable(operation, connection->connection, sql,
                                connection->query_timeout_sec, err, sizeof err);
    if (query) info_schema_note_statement(connection, sql);
  }
  if (!query) {
    if (operation->cancelled()) return cancelled_by_client(kCall);
    return transport_failure(err);
  }

  if (out != nullptr) {
    CancelTarget target;
    NVQueryHandle* handle = query.release(&target);
    const arrow::Status started = stream_init(out, handle, std::move(target));
    if (!started.ok()) {
      nv_query_close(handle);  // stream_init detached the cancel action on failure
      return started;
    }
    if (rows_affected != nullptr) return prefetch_rows_affected(out, rows_affected);
    return arrow::Status::OK();
  }
  // Run for its effect: wait until the statement finished, so that its count is known and a
  // failure is reported instead of being cancelled away by the close.
  while (NVArrowBatch* batch = nv_next_batch(query.get(), nullptr, 0)) nv_batch_free(batch);
  if (nv_query_error(query.get()) != nullptr) return query_failure(query.get());
  if (rows_affected != nullptr) {
    const int64_t rows = nv_query_rows_affected(query.get());
    if (rows >= 0) *rows_affected = rows;
  }
  return arrow::Status::OK();
}

}  // namespace norvale::adbc

extern "C" AdbcStatusCode nv_adbc_statement_execute_query(AdbcStatement* statement,
                                                          ArrowArrayStream* out,
                                                          int64_t* rows_affected,
                                                          AdbcError* error) {
  return norvale::adbc::call_entry(
      norvale::adbc::Entry{"AdbcStatementExecuteQuery", nullptr}, error,
      [&] { return norvale::adbc::execute_query(statement, out, rows_affected); });
}
