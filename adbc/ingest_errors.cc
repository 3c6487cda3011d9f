// How a failed ingest is reported to the host: the server's SQLSTATE picks the ADBC status.
#include <cstring>

#include "adbc/statement_ingest_internal.h"

namespace norvale::adbc {
namespace {

constexpr IngestErrorClass kListed[] = {
    {"22018", ADBC_STATUS_INVALID_ARGUMENT},
    {"22023", ADBC_STATUS_INVALID_ARGUMENT},
    {"23000", ADBC_STATUS_INTEGRITY},
    {"40001", ADBC_STATUS_IO},
    {"42501", ADBC_STATUS_UNAUTHORIZED},
    {"42S02", ADBC_STATUS_INVALID_ARGUMENT},
    {"42S22", ADBC_STATUS_INVALID_ARGUMENT},
    {"53000", ADBC_STATUS_INTERNAL},
    {"53400", ADBC_STATUS_INTERNAL},
    {"58000", ADBC_STATUS_INTERNAL},
    {"58030", ADBC_STATUS_IO},
    {"08000", ADBC_STATUS_IO},
    {"08001", ADBC_STATUS_IO},
    {"08006", ADBC_STATUS_IO},
    {"28000", ADBC_STATUS_UNAUTHORIZED},
    {"HYT00", ADBC_STATUS_TIMEOUT},
};

}  // namespace

IngestErrorClass classify_ingest_sqlstate(const char* server_sqlstate) {
  if (server_sqlstate != nullptr) {
    for (const IngestErrorClass& c : kListed) {
      if (std::strcmp(c.sqlstate, server_sqlstate) == 0) return c;
    }
  }
  return {"HY000", ADBC_STATUS_IO};
}

}  // namespace norvale::adbc
