// AdbcStatementCancel and AdbcConnectionCancel: callable from any thread at any time; they
// cancel what runs on the statement or connection and answer OK also when nothing runs.
#include <string>

#include "adbc/cancel_registry_internal.h"
#include "adbc/entry_internal.h"

namespace norvale::adbc {
namespace {

arrow::Status cancel_statement(AdbcStatement* statement) {
  if (statement == nullptr) return invalid_argument("AdbcStatementCancel: null statement");
  const auto* state = static_cast<NVAdbcStatementState*>(statement->private_data);
  if (state == nullptr) return invalid_state("AdbcStatementCancel: statement not allocated");
  // Both fields are fixed when the statement is made, so reading them here does not race with
  // the thread that runs the statement.
  state->connection->cancel_registry->cancel(state->cancel_owner);
  return arrow::Status::OK();
}

arrow::Status cancel_connection(AdbcConnection* connection) {
  if (connection == nullptr) return invalid_argument("AdbcConnectionCancel: null connection");
  const auto* state = static_cast<NVAdbcConnectionState*>(connection->private_data);
  if (state == nullptr) return invalid_state("AdbcConnectionCancel: connection not allocated");
  state->cancel_registry->cancel_all();
  return arrow::Status::OK();
}

}  // namespace
}  // namespace norvale::adbc

extern "C" {

AdbcStatusCode nv_adbc_statement_cancel(AdbcStatement* statement, AdbcError* error) {
  return norvale::adbc::call_entry(
      norvale::adbc::Entry{"AdbcStatementCancel", "AdbcStatementCancel(stmt=%p)"}, error,
      [&] { return norvale::adbc::cancel_statement(statement); }, static_cast<void*>(statement));
}

AdbcStatusCode nv_adbc_connection_cancel(AdbcConnection* connection, AdbcError* error) {
  return norvale::adbc::call_entry(
      norvale::adbc::Entry{"AdbcConnectionCancel", "AdbcConnectionCancel(conn=%p)"}, error,
      [&] { return norvale::adbc::cancel_connection(connection); },
      static_cast<void*>(connection));
}

}  // extern "C"
