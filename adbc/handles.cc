// Allocation and release of the database, connection and statement handles.
#include <cstdlib>
#include <new>

#include "adbc/cancel_registry_internal.h"
#include "adbc/error_internal.h"
#include "norvale/nv_log.h"

namespace {

using norvale::adbc::set_error;

void log_api_call(const char* fmt, const void* a, const void* b = nullptr) {
  if (nv_log_level() < NV_LOG_INFO) return;
  nv_log_emit(NV_LOG_INFO, "api", fmt, a, b);
}

void free_database_state(NVAdbcDatabaseState* s) {
  char** owned[] = {&s->uri,           &s->compute_url,     &s->compute_node,
                    &s->username,      &s->password,        &s->session_token,
                    &s->application_name, &s->proxy_url,    &s->proxy_user,
                    &s->proxy_pass,    &s->tls_encrypt,     &s->tls_trust_server_cert,
                    &s->tls_ca_bundle, &s->tls_min_version, &s->tls_host_in_cert,
                    &s->tls_client_cert, &s->tls_client_key, &s->log_path,
                    &s->log_level,     &s->api_trace_path,  &s->compression};
  // Secrets are overwritten before their memory goes back to the allocator.
  norvale::adbc::wipe_cstr(&s->password);
  norvale::adbc::wipe_cstr(&s->session_token);
  norvale::adbc::wipe_cstr(&s->proxy_pass);
  for (char** field : owned) {
    std::free(*field);
    *field = nullptr;
  }
  std::free(s);
}

void free_statement_state(NVAdbcStatementState* s) {
  std::free(s->sql);
  std::free(s->target_table);
  std::free(s->target_location);
  std::free(s->idempotency_key);
  std::free(s->target_db_schema);
  std::free(s->target_catalog);
  if (s->key_columns != nullptr) {
    for (int32_t i = 0; i < s->key_column_count; ++i) std::free(s->key_columns[i]);
    std::free(s->key_columns);
  }
  if (s->bound_stream != nullptr) {
    if (s->bound_stream->release != nullptr) s->bound_stream->release(s->bound_stream);
    std::free(s->bound_stream);
  }
  std::free(s);
}

AdbcStatusCode internal_failure(AdbcError* error, const char* what) {
  set_error(error, what, "HY000");
  return ADBC_STATUS_INTERNAL;
}

}  // namespace

extern "C" {

AdbcStatusCode nv_adbc_database_new(AdbcDatabase* database, AdbcError* error) {
  try {
    log_api_call("AdbcDatabaseNew(db=%p)", database);
    if (database == nullptr) {
      set_error(error, "AdbcDatabaseNew: database pointer is null", "HY009");
      return ADBC_STATUS_INVALID_ARGUMENT;
    }
    if (database->private_data != nullptr) {
      set_error(error, "AdbcDatabaseNew called twice on the same handle without Release",
                "HY010");
      return ADBC_STATUS_INVALID_STATE;
    }
    void* state = std::calloc(1, sizeof(NVAdbcDatabaseState));
    if (state == nullptr) {
      set_error(error, "AdbcDatabaseNew: out of memory", "HY001");
      return ADBC_STATUS_INTERNAL;
    }
    database->private_data = state;
    return ADBC_STATUS_OK;
  } catch (...) {
    return internal_failure(error, "AdbcDatabaseNew: internal error");
  }
}

AdbcStatusCode nv_adbc_database_release(AdbcDatabase* database, AdbcError* /*error*/) {
  try {
    log_api_call("AdbcDatabaseRelease(db=%p)", database);
  } catch (...) {
  }
  if (database == nullptr || database->private_data == nullptr) return ADBC_STATUS_OK;
  free_database_state(static_cast<NVAdbcDatabaseState*>(database->private_data));
  database->private_data = nullptr;
  return ADBC_STATUS_OK;
}

AdbcStatusCode nv_adbc_connection_new(AdbcConnection* connection, AdbcError* error) {
  try {
    log_api_call("AdbcConnectionNew(conn=%p)", connection);
    if (connection == nullptr) {
      set_error(error, "AdbcConnectionNew: connection pointer is null", "HY009");
      return ADBC_STATUS_INVALID_ARGUMENT;
    }
    if (connection->private_data != nullptr) {
      set_error(error, "AdbcConnectionNew called twice without Release", "HY010");
      return ADBC_STATUS_INVALID_STATE;
    }
    auto* state =
        static_cast<NVAdbcConnectionState*>(std::calloc(1, sizeof(NVAdbcConnectionState)));
    if (state != nullptr) {
      state->cancel_registry = new (std::nothrow) norvale::adbc::CancelRegistry;
      if (state->cancel_registry == nullptr) {
        std::free(state);
        state = nullptr;
      }
    }
    if (state == nullptr) {
      set_error(error, "AdbcConnectionNew: out of memory", "HY001");
      return ADBC_STATUS_INTERNAL;
    }
    connection->private_data = state;
    return ADBC_STATUS_OK;
  } catch (...) {
    return internal_failure(error, "AdbcConnectionNew: internal error");
  }
}

AdbcStatusCode nv_adbc_statement_new(AdbcConnection* connection, AdbcStatement* statement,
                                     AdbcError* error) {
  try {
    log_api_call("AdbcStatementNew(conn=%p, stmt=%p)", connection, statement);
    if (connection == nullptr || statement == nullptr) {
      set_error(error, "AdbcStatementNew: null connection or statement", "HY009");
      return ADBC_STATUS_INVALID_ARGUMENT;
    }
    if (statement->private_data != nullptr) {
      set_error(error, "AdbcStatementNew called twice without Release", "HY010");
      return ADBC_STATUS_INVALID_STATE;
    }
    auto* parent = static_cast<NVAdbcConnectionState*>(connection->private_data);
    if (parent == nullptr) {
      set_error(error, "AdbcStatementNew: parent connection not allocated", "HY010");
      return ADBC_STATUS_INVALID_STATE;
    }
    if (parent->connection == nullptr) {
      set_error(error,
                "AdbcStatementNew: parent connection not initialised (call AdbcConnectionInit "
                "first)",
                "HY010");
      return ADBC_STATUS_INVALID_STATE;
    }
    auto* state = static_cast<NVAdbcStatementState*>(std::calloc(1, sizeof(NVAdbcStatementState)));
    if (state == nullptr) {
      set_error(error, "AdbcStatementNew: out of memory", "HY001");
      return ADBC_STATUS_INTERNAL;
    }
    state->connection = parent;
    state->ingest_mode = 0;
    state->payload_format = 0;
    state->coerce = 1;
    state->cancel_owner = norvale::adbc::next_cancel_owner();
    statement->private_data = state;
    return ADBC_STATUS_OK;
  } catch (...) {
    return internal_failure(error, "AdbcStatementNew: internal error");
  }
}

AdbcStatusCode nv_adbc_statement_release(AdbcStatement* statement, AdbcError* /*error*/) {
  try {
    log_api_call("AdbcStatementRelease(stmt=%p)", statement);
  } catch (...) {
  }
  if (statement == nullptr || statement->private_data == nullptr) return ADBC_STATUS_OK;
  free_statement_state(static_cast<NVAdbcStatementState*>(statement->private_data));
  statement->private_data = nullptr;
  return ADBC_STATUS_OK;
}

}  // extern "C"
