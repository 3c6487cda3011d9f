// Statement SQL, Prepare and ExecuteQuery. Placeholder until the query path lands.
#include "adbc/error_internal.h"

extern "C" {

AdbcStatusCode nv_adbc_statement_set_sql_query(AdbcStatement*, const char*, AdbcError* error) {
  norvale::adbc::set_error(error, "AdbcStatementSetSqlQuery: not available in this build",
                           "0A000");
  return ADBC_STATUS_NOT_IMPLEMENTED;
}

AdbcStatusCode nv_adbc_statement_prepare(AdbcStatement*, AdbcError* error) {
  norvale::adbc::set_error(error, "AdbcStatementPrepare: not available in this build", "0A000");
  return ADBC_STATUS_NOT_IMPLEMENTED;
}

AdbcStatusCode nv_adbc_statement_execute_query(AdbcStatement*, ArrowArrayStream*, int64_t*,
                                               AdbcError* error) {
  norvale::adbc::set_error(error, "AdbcStatementExecuteQuery: not available in this build",
                           "0A000");
  return ADBC_STATUS_NOT_IMPLEMENTED;
}

}  // extern "C"
