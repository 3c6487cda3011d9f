// Statement options and bind for bulk ingest. Placeholder until ingest lands.
#include "adbc/error_internal.h"

extern "C" {

AdbcStatusCode nv_adbc_statement_set_option(AdbcStatement*, const char*, const char*,
                                            AdbcError* error) {
  norvale::adbc::set_error(error, "AdbcStatementSetOption: not available in this build",
                           "0A000");
  return ADBC_STATUS_NOT_IMPLEMENTED;
}

AdbcStatusCode nv_adbc_statement_bind(AdbcStatement*, ArrowArray*, ArrowSchema*,
                                      AdbcError* error) {
  norvale::adbc::set_error(error, "AdbcStatementBind: not available in this build", "0A000");
  return ADBC_STATUS_NOT_IMPLEMENTED;
}

AdbcStatusCode nv_adbc_statement_bind_stream(AdbcStatement*, ArrowArrayStream*,
                                             AdbcError* error) {
  norvale::adbc::set_error(error, "AdbcStatementBindStream: not available in this build",
                           "0A000");
  return ADBC_STATUS_NOT_IMPLEMENTED;
}

}  // extern "C"
