// The ADBC status that goes with a SQLSTATE: the one table, for what a compute node or the
// ingest service reported and for the driver's own failures that carry only a SQLSTATE, so that
// hosts which pick an exception class from the status get the right one.
#include <cstring>
#include <string_view>

#include "adbc/error_internal.h"

namespace norvale::adbc {

AdbcStatusCode status_for_sqlstate(const char* sqlstate) {
  if (sqlstate == nullptr || std::strlen(sqlstate) < 5) return ADBC_STATUS_IO;
  const std::string_view code(sqlstate, 5);
  struct Exact {
    std::string_view code;
    AdbcStatusCode status;
  };
  // Exact codes first: they refine the families below.
  static constexpr Exact kExact[] = {
      {"42S02", ADBC_STATUS_NOT_FOUND},      {"42S22", ADBC_STATUS_NOT_FOUND},
      {"42704", ADBC_STATUS_NOT_FOUND},      {"42S01", ADBC_STATUS_ALREADY_EXISTS},
      {"42P07", ADBC_STATUS_ALREADY_EXISTS}, {"42501", ADBC_STATUS_UNAUTHORIZED},
      {"HY008", ADBC_STATUS_CANCELLED},      {"57014", ADBC_STATUS_CANCELLED},
      {"HYT00", ADBC_STATUS_TIMEOUT},        {"0A000", ADBC_STATUS_NOT_IMPLEMENTED},
      {"07006", ADBC_STATUS_NOT_IMPLEMENTED},  // a bound type without a SQL literal
      {"07002", ADBC_STATUS_INVALID_ARGUMENT},  // bound columns that do not fit the parameters
  };
  for (const Exact& e : kExact) {
    if (code == e.code) return e.status;
  }
  const std::string_view family = code.substr(0, 2);
  if (family == "42") return ADBC_STATUS_INVALID_ARGUMENT;
  if (family == "22") return ADBC_STATUS_INVALID_DATA;
  if (family == "23") return ADBC_STATUS_INTEGRITY;
  if (family == "28") return ADBC_STATUS_UNAUTHENTICATED;
  if (family == "25") return ADBC_STATUS_INVALID_STATE;
  return ADBC_STATUS_IO;  // 08xxx (connection) and everything else
}

}  // namespace norvale::adbc
