// Connection options, AdbcConnectionInit and connection release. Placeholder until the
// connection layer lands: init refuses, release frees the record.
#include <cstdlib>

#include "adbc/error_internal.h"

extern "C" {

AdbcStatusCode nv_adbc_connection_set_option(AdbcConnection*, const char*, const char*,
                                             AdbcError* error) {
  norvale::adbc::set_error(error, "AdbcConnectionSetOption: not available in this build",
                           "0A000");
  return ADBC_STATUS_NOT_IMPLEMENTED;
}

AdbcStatusCode nv_adbc_connection_init(AdbcConnection*, AdbcDatabase*, AdbcError* error) {
  norvale::adbc::set_error(error, "AdbcConnectionInit: not available in this build", "0A000");
  return ADBC_STATUS_NOT_IMPLEMENTED;
}

AdbcStatusCode nv_adbc_connection_release(AdbcConnection* connection, AdbcError*) {
  if (connection == nullptr || connection->private_data == nullptr) return ADBC_STATUS_OK;
  std::free(connection->private_data);
  connection->private_data = nullptr;
  return ADBC_STATUS_OK;
}

}  // extern "C"
