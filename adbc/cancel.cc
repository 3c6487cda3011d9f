// AdbcStatementCancel and AdbcConnectionCancel: callable from any thread at any time; they
// cancel what runs on the statement or connection and answer OK also when nothing runs.
#include "adbc/cancel_registry_internal.h"
#include "adbc/error_internal.h"
#include "norvale/nv_log.h"

extern "C" {

AdbcStatusCode nv_adbc_statement_cancel(AdbcStatement* statement, AdbcError* error) {
  using namespace norvale::adbc;
  try {
    if (nv_log_level() >= NV_LOG_INFO) {
      nv_log_emit(NV_LOG_INFO, "api", "AdbcStatementCancel(stmt=%p)",
                  static_cast<void*>(statement));
    }
    if (statement == nullptr) {
      set_error(error, "AdbcStatementCancel: null statement", "HY009");
      return ADBC_STATUS_INVALID_ARGUMENT;
    }
    const auto* state = static_cast<NVAdbcStatementState*>(statement->private_data);
    if (state == nullptr) {
      set_error(error, "AdbcStatementCancel: statement not allocated", "HY010");
      return ADBC_STATUS_INVALID_STATE;
    }
    // Both fields are fixed when the statement is made, so reading them here does not race
    // with the thread that runs the statement.
    state->connection->cancel_registry->cancel(state->cancel_owner);
    return ADBC_STATUS_OK;
  } catch (...) {
    set_error(error, "AdbcStatementCancel: internal error", "HY000");
    return ADBC_STATUS_INTERNAL;
  }
}

AdbcStatusCode nv_adbc_connection_cancel(AdbcConnection* connection, AdbcError* error) {
  using namespace norvale::adbc;
  try {
    if (nv_log_level() >= NV_LOG_INFO) {
      nv_log_emit(NV_LOG_INFO, "api", "AdbcConnectionCancel(conn=%p)",
                  static_cast<void*>(connection));
    }
    if (connection == nullptr) {
      set_error(error, "AdbcConnectionCancel: null connection", "HY009");
      return ADBC_STATUS_INVALID_ARGUMENT;
    }
    const auto* state = static_cast<NVAdbcConnectionState*>(connection->private_data);
    if (state == nullptr) {
      set_error(error, "AdbcConnectionCancel: connection not allocated", "HY010");
      return ADBC_STATUS_INVALID_STATE;
    }
    state->cancel_registry->cancel_all();
    return ADBC_STATUS_OK;
  } catch (...) {
    set_error(error, "AdbcConnectionCancel: internal error", "HY000");
    return ADBC_STATUS_INTERNAL;
  }
}

}  // extern "C"
