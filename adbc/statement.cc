// Statement SQL, Prepare and ExecuteQuery: a statement's SQL runs on a compute node and its
// result becomes a stream that owns the query.
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>

#include "adbc/cancellable_query_internal.h"
#include "adbc/error_internal.h"
#include "adbc/option_value_internal.h"
#include "adbc/result_stream_internal.h"
#include "adbc/state_internal.h"
#include "adbc/statement_ingest_internal.h"
#include "adbc/statement_params_internal.h"
#include "cells/statement_kind_internal.h"
#include "core/query_batch_internal.h"
#include "diag/sql_caller_internal.h"
#include "metadata/info_schema_internal.h"
#include "sql/metadata_engine_internal.h"
#include "norvale/nv_log.h"
#include "norvale/nv_query.h"

namespace norvale::adbc {
namespace {

NVAdbcStatementState* statement_state(AdbcStatement* statement) {
  return static_cast<NVAdbcStatementState*>(statement->private_data);
}

}  // namespace

NVQueryHandle* try_metadata_engine(NVAdbcStatementState* state, const char* sql,
                                   const CancelOperation& operation) {
  const nv_sql::MetadataEngine* engine = state->connection->meta_engine;
  // The engine answers queries only: an INSERT of many bound rows is not parsed for nothing.
  if (engine == nullptr || !cells::sql_may_be_query(sql)) return nullptr;
  // Only statements on the catalog wait for (or revalidate) the snapshot.
  if (cells::sql_reads_catalog(sql)) {
    info_schema_refresh(state->connection, operation.cancelled_flag());
  }
  if (operation.cancelled()) return nullptr;
  nv_sql::ExecuteResult result = engine->try_execute(sql);
  switch (result.status) {
    case nv_sql::ExecuteStatus::Ok: {
      long long rows = 0;
      for (const auto& batch : result.batches) rows += batch != nullptr ? batch->num_rows() : 0;
      NVQueryHandle* query = nv_make_local_query_handle(
          state->connection->connection, std::move(result.schema), std::move(result.batches));
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

namespace {

// The count of a DML statement arrives with the stream's first frame: fetch the first batch
// now (the stream hands it out later) so that the host gets the count with the stream.
AdbcStatusCode prefetch_rows_affected(ArrowArrayStream* out, int64_t* rows_affected,
                                      AdbcError* error) {
  auto* state = static_cast<NVAdbcStreamState*>(out->private_data);
  char err[512] = "";
  state->held_batch = nv_next_batch(state->query, err, sizeof err);
  if (state->held_batch == nullptr && nv_query_error(state->query) != nullptr) {
    const AdbcStatusCode status = set_error_from_query(error, state->query);
    out->release(out);
    return status;
  }
  if (state->held_batch == nullptr && err[0] != '\0') {
    set_error_from_nv(error, err);
    out->release(out);
    return ADBC_STATUS_IO;
  }
  const int64_t rows = nv_query_rows_affected(state->query);
  if (rows >= 0) *rows_affected = rows;
  return ADBC_STATUS_OK;
}

AdbcStatusCode execute_query(AdbcStatement* statement, ArrowArrayStream* out,
                             int64_t* rows_affected, AdbcError* error) {
  SqlCallerScope caller("AdbcStatementExecuteQuery");
  if (statement == nullptr) {
    set_error(error, "AdbcStatementExecuteQuery: null statement", "HY009");
    return ADBC_STATUS_INVALID_ARGUMENT;
  }
  NVAdbcStatementState* state = statement_state(statement);
  if (state == nullptr) {
    set_error(error, "AdbcStatementExecuteQuery: statement not allocated", "HY010");
    return ADBC_STATUS_INVALID_STATE;
  }
  // One operation for the whole call: a cancel also stops the rows of bound parameters that
  // have not run yet.
  const StatementOperation operation(state);

  const bool has_target = state->target_table != nullptr || state->target_location != nullptr;
  if (state->bound_stream != nullptr && has_target) {
    if (out != nullptr) {
      set_error(error,
                "AdbcStatementExecuteQuery: bulk Arrow ingest is a DML operation; pass "
                "out_stream=NULL (ADBC v1.0 convention) to drive the ingest. Call "
                "AdbcStatementSetSqlQuery + ExecuteQuery if you intended a SELECT.",
                "HY010");
      return ADBC_STATUS_INVALID_STATE;
    }
    return nv_adbc_statement_execute_update(statement, rows_affected, error);
  }

  if (state->sql == nullptr || state->sql[0] == '\0') {
    set_error(error,
              "AdbcStatementExecuteQuery: SetSqlQuery must be called with a non-empty SQL "
              "string before Execute",
              "HY010");
    return ADBC_STATUS_INVALID_STATE;
  }
  if (nv_log_level() >= NV_LOG_INFO) {
    nv_log_emit(NV_LOG_INFO, "api", "AdbcStatementExecuteQuery(stmt=%p, sql.len=%zu)",
                static_cast<void*>(statement), std::strlen(state->sql));
  }
  if (state->connection == nullptr || state->connection->connection == nullptr) {
    set_error(error,
              "AdbcStatementExecuteQuery: parent connection is not initialised (call "
              "AdbcConnectionInit first)",
              "HY010");
    return ADBC_STATUS_INVALID_STATE;
  }
  if (state->bound_stream != nullptr) {
    return execute_with_parameters(state, out, rows_affected, error);
  }
  return run_sql(state, state->sql, out, rows_affected, error);
}

}  // namespace

AdbcStatusCode run_sql(NVAdbcStatementState* state, const char* sql, ArrowArrayStream* out,
                       int64_t* rows_affected, AdbcError* error) {
  if (rows_affected != nullptr) *rows_affected = -1;
  if (out != nullptr) std::memset(out, 0, sizeof *out);
  constexpr const char* kCall = "AdbcStatementExecuteQuery";
  // Every statement this layer sends runs under the statement's operation, so that
  // AdbcStatementCancel reaches it, and its result stream after it.
  const StatementOperation operation(state);

  CancellableQuery query(operation.shared(), try_metadata_engine(state, sql, *operation));
  char err[1024] = "";
  if (!query) {
    query = execute_cancellable(operation.shared(), state->connection->connection, sql,
                                state->connection->query_timeout_sec, err, sizeof err);
    if (query) info_schema_note_statement(state->connection, sql);
  }
  if (!query) {
    if (operation->cancelled()) return report_cancelled(error, kCall);
    set_error_from_nv(error, err);
    return ADBC_STATUS_IO;
  }

  if (out != nullptr) {
    CancelTarget target;
    NVQueryHandle* handle = query.release(&target);
    const AdbcStatusCode status = stream_init(out, handle, std::move(target), error);
    if (status != ADBC_STATUS_OK) {
      nv_query_close(handle);  // stream_init detached the cancel action on failure
      return status;
    }
    if (rows_affected != nullptr) return prefetch_rows_affected(out, rows_affected, error);
    return ADBC_STATUS_OK;
  }
  // Run for its effect: wait until the statement finished, so that its count is known and a
  // failure is reported instead of being cancelled away by the close.
  while (NVArrowBatch* batch = nv_next_batch(query.get(), nullptr, 0)) nv_batch_free(batch);
  if (nv_query_error(query.get()) != nullptr) return set_error_from_query(error, query.get());
  if (rows_affected != nullptr) {
    const int64_t rows = nv_query_rows_affected(query.get());
    if (rows >= 0) *rows_affected = rows;
  }
  return ADBC_STATUS_OK;
}

}  // namespace norvale::adbc

extern "C" {

AdbcStatusCode nv_adbc_statement_set_sql_query(AdbcStatement* statement, const char* query,
                                               AdbcError* error) {
  using namespace norvale::adbc;
  if (nv_log_level() >= NV_LOG_INFO) {
    nv_log_emit(NV_LOG_INFO, "api", "AdbcStatementSetSqlQuery(stmt=%p, sql.len=%zu, sql=\"%s\")",
                static_cast<void*>(statement), query != nullptr ? std::strlen(query) : 0,
                query != nullptr ? query : "(null)");
  }
  if (statement == nullptr || query == nullptr) {
    set_error(error, "AdbcStatementSetSqlQuery: null statement or query", "HY009");
    return ADBC_STATUS_INVALID_ARGUMENT;
  }
  NVAdbcStatementState* state = statement_state(statement);
  if (state == nullptr) {
    set_error(error, "AdbcStatementSetSqlQuery: statement not allocated", "HY010");
    return ADBC_STATUS_INVALID_STATE;
  }
  char* copy = dup_cstr(query);
  if (copy == nullptr) {
    set_error(error, "AdbcStatementSetSqlQuery: out of memory", "HY001");
    return ADBC_STATUS_INTERNAL;
  }
  std::lock_guard<std::mutex> lock(option_mutex());
  std::free(state->sql);
  state->sql = copy;
  // The statement now holds a query: an ingest target set earlier no longer applies, so that
  // the next execution runs this query instead of ingesting again.
  replace_cstr(&state->target_table, nullptr);
  replace_cstr(&state->target_location, nullptr);
  replace_cstr(&state->target_db_schema, nullptr);
  replace_cstr(&state->target_catalog, nullptr);
  return ADBC_STATUS_OK;
}

AdbcStatusCode nv_adbc_statement_prepare(AdbcStatement* statement, AdbcError* error) {
  using namespace norvale::adbc;
  if (nv_log_level() >= NV_LOG_INFO) {
    nv_log_emit(NV_LOG_INFO, "api", "AdbcStatementPrepare(stmt=%p)",
                static_cast<void*>(statement));
  }
  if (statement == nullptr) {
    set_error(error, "AdbcStatementPrepare: null statement", "HY009");
    return ADBC_STATUS_INVALID_ARGUMENT;
  }
  NVAdbcStatementState* state = statement_state(statement);
  if (state == nullptr) {
    set_error(error, "AdbcStatementPrepare: statement not allocated", "HY010");
    return ADBC_STATUS_INVALID_STATE;
  }
  if (state->sql == nullptr) {
    set_error(error, "AdbcStatementPrepare: SetSqlQuery must be called first", "HY010");
    return ADBC_STATUS_INVALID_STATE;
  }
  return ADBC_STATUS_OK;
}

AdbcStatusCode nv_adbc_statement_execute_query(AdbcStatement* statement, ArrowArrayStream* out,
                                               int64_t* rows_affected, AdbcError* error) {
  try {
    return norvale::adbc::execute_query(statement, out, rows_affected, error);
  } catch (const std::exception& e) {
    norvale::adbc::set_error(error, std::string("AdbcStatementExecuteQuery: ") + e.what(),
                             "HY000");
  } catch (...) {
    norvale::adbc::set_error(error, "AdbcStatementExecuteQuery: unknown internal error",
                             "HY000");
  }
  return ADBC_STATUS_INTERNAL;
}

}  // extern "C"
