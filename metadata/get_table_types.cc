// AdbcConnectionGetTableTypes: the two table types the service reports, built locally.
#include <exception>
#include <string>

#include <arrow/api.h>

#include "adbc/status_internal.h"
#include "adbc/result_stream_internal.h"
#include "metadata/metadata_calls_internal.h"
#include "norvale/nv_log.h"

extern "C" AdbcStatusCode nv_adbc_connection_get_table_types(AdbcConnection* connection,
                                                             ArrowArrayStream* out,
                                                             AdbcError* error) {
  using namespace norvale::adbc;
  try {
    nv_log_emit(NV_LOG_INFO, "api", "AdbcConnectionGetTableTypes(conn=%p)",
                static_cast<void*>(connection));
    if (connection == nullptr || out == nullptr) {
      set_error(error, "AdbcConnectionGetTableTypes: null connection or stream", "HY009");
      return ADBC_STATUS_INVALID_ARGUMENT;
    }
    arrow::StringBuilder builder;
    if (!builder.AppendValues({"BASE TABLE", "VIEW"}).ok()) {
      set_error(error, "AdbcConnectionGetTableTypes: builder.AppendValues failed", "HY000");
      return ADBC_STATUS_INTERNAL;
    }
    std::shared_ptr<arrow::Array> types;
    if (!builder.Finish(&types).ok()) {
      set_error(error, "AdbcConnectionGetTableTypes: builder.Finish failed", "HY000");
      return ADBC_STATUS_INTERNAL;
    }
    auto batch = arrow::RecordBatch::Make(build_table_types_schema(), types->length(), {types});
    nv_log_emit(NV_LOG_DEBUG, "meta_engine", "GetTableTypes served from snapshot (rows=%lld)",
                static_cast<long long>(batch->num_rows()));
    return to_adbc(export_single_batch(std::move(batch), out), error);
  } catch (const std::exception& e) {
    set_error(error, std::string("AdbcConnectionGetTableTypes: internal error: ") + e.what(),
              "HY000");
    return ADBC_STATUS_INTERNAL;
  }
}
