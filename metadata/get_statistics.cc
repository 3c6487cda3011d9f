// AdbcConnectionGetStatistics and GetStatisticNames. The information-schema snapshot carries no
// table statistics, so there are none to report and no driver-specific statistic names.
#include <exception>
#include <string>

#include <arrow/api.h>

#include "adbc/status_internal.h"
#include "adbc/result_stream_internal.h"
#include "metadata/metadata_calls_internal.h"
#include "norvale/nv_log.h"

extern "C" {

AdbcStatusCode nv_adbc_connection_get_statistics(AdbcConnection* connection,
                                                 const char* /*catalog*/,
                                                 const char* /*db_schema*/,
                                                 const char* /*table_name*/,
                                                 char /*approximate*/, ArrowArrayStream* out,
                                                 AdbcError* error) {
  using norvale::adbc::set_error;
  nv_log_emit(NV_LOG_INFO, "api", "AdbcConnectionGetStatistics(conn=%p)",
              static_cast<void*>(connection));
  if (connection == nullptr || out == nullptr) {
    set_error(error, "AdbcConnectionGetStatistics: null connection or stream", "HY009");
    return ADBC_STATUS_INVALID_ARGUMENT;
  }
  set_error(error,
            "AdbcConnectionGetStatistics: the service's catalog snapshot holds no table "
            "statistics",
            "0A000");
  return ADBC_STATUS_NOT_IMPLEMENTED;
}

AdbcStatusCode nv_adbc_connection_get_statistic_names(AdbcConnection* connection,
                                                      ArrowArrayStream* out, AdbcError* error) {
  using namespace norvale::adbc;
  try {
    nv_log_emit(NV_LOG_INFO, "api", "AdbcConnectionGetStatisticNames(conn=%p)",
                static_cast<void*>(connection));
    if (connection == nullptr || out == nullptr) {
      set_error(error, "AdbcConnectionGetStatisticNames: null connection or stream", "HY009");
      return ADBC_STATUS_INVALID_ARGUMENT;
    }
    auto batch = arrow::RecordBatch::MakeEmpty(build_statistic_names_schema());
    if (!batch.ok()) {
      set_error(error, "AdbcConnectionGetStatisticNames: " + batch.status().ToString(), "HY000");
      return ADBC_STATUS_INTERNAL;
    }
    return to_adbc(export_single_batch(*std::move(batch), out), error);
  } catch (const std::exception& e) {
    set_error(error, std::string("AdbcConnectionGetStatisticNames: internal error: ") + e.what(),
              "HY000");
    return ADBC_STATUS_INTERNAL;
  }
}

}  // extern "C"
