// GetInfo, GetObjects, GetTableSchema and GetTableTypes. Placeholder until the metadata service
// lands.
#include "adbc/error_internal.h"

namespace {

AdbcStatusCode unavailable(AdbcError* error, const char* what) {
  norvale::adbc::set_error(error, what, "0A000");
  return ADBC_STATUS_NOT_IMPLEMENTED;
}

}  // namespace

extern "C" {

AdbcStatusCode nv_adbc_connection_get_info(AdbcConnection*, const uint32_t*, size_t,
                                           ArrowArrayStream*, AdbcError* error) {
  return unavailable(error, "AdbcConnectionGetInfo: not available in this build");
}

AdbcStatusCode nv_adbc_connection_get_objects(AdbcConnection*, int, const char*, const char*,
                                              const char*, const char**, const char*,
                                              ArrowArrayStream*, AdbcError* error) {
  return unavailable(error, "AdbcConnectionGetObjects: not available in this build");
}

AdbcStatusCode nv_adbc_connection_get_table_schema(AdbcConnection*, const char*, const char*,
                                                   const char*, ArrowSchema*, AdbcError* error) {
  return unavailable(error, "AdbcConnectionGetTableSchema: not available in this build");
}

AdbcStatusCode nv_adbc_connection_get_table_types(AdbcConnection*, ArrowArrayStream*,
                                                  AdbcError* error) {
  return unavailable(error, "AdbcConnectionGetTableTypes: not available in this build");
}

}  // extern "C"
