// A failed query as an ADBC error, with what the core knows of it as the error's details.
#include <cstring>
#include <string>

#include "adbc/error_internal.h"

namespace norvale::adbc {

AdbcStatusCode set_error_from_query(AdbcError* error, NVQueryHandle* query) {
  const char* sqlstate = nv_query_sqlstate(query);
  const bool has_sqlstate = sqlstate != nullptr && std::strlen(sqlstate) >= 5;
  const AdbcStatusCode status = has_sqlstate ? status_for_sqlstate(sqlstate) : ADBC_STATUS_IO;
  if (error == nullptr) return status;
  ErrorOrigin origin;
  origin.native_code = nv_query_native_error(query);
  if (const char* stream_id = nv_query_stream_id(query); stream_id != nullptr) {
    origin.details.push_back({kDetailStreamId, stream_id});
  }
  if (const int32_t http = nv_query_http_status(query); http != 0) {
    origin.details.push_back({kDetailHttpStatus, std::to_string(http)});
  }
  set_error_from_nv(error, nv_query_error(query), origin);
  if (has_sqlstate) std::memcpy(error->sqlstate, sqlstate, sizeof error->sqlstate);
  return status;
}

}  // namespace norvale::adbc
