// Database options and AdbcDatabaseInit. Placeholder until the connection layer lands: both
// entries refuse with NOT_IMPLEMENTED so that a host sees a clear error.
#include "adbc/error_internal.h"

extern "C" {

AdbcStatusCode nv_adbc_database_set_option(AdbcDatabase*, const char*, const char*,
                                           AdbcError* error) {
  norvale::adbc::set_error(error, "AdbcDatabaseSetOption: not available in this build", "0A000");
  return ADBC_STATUS_NOT_IMPLEMENTED;
}

AdbcStatusCode nv_adbc_database_init(AdbcDatabase*, AdbcError* error) {
  norvale::adbc::set_error(error, "AdbcDatabaseInit: not available in this build", "0A000");
  return ADBC_STATUS_NOT_IMPLEMENTED;
}

}  // extern "C"
