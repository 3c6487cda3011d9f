// AdbcDriverInit: the driver's front door, filling the host's function table.
#include <cstdio>
#include <cstring>

#include "adbc/error_internal.h"
#include "norvale/nv_global.h"
#include "norvale/nv_log.h"

namespace norvale::adbc {
namespace {

// Release clears the 1.0.0 part of the table only: that is all the driver fills (the 1.1.0
// entries were zeroed by AdbcDriverInit and stay so), and every table, whatever version the host
// asked for, holds at least that much. No process-wide record of the version is needed.
AdbcStatusCode nv_adbc_driver_release(AdbcDriver* driver, AdbcError* /*error*/) {
  if (driver == nullptr) return ADBC_STATUS_OK;
  std::memset(static_cast<void*>(driver), 0, ADBC_DRIVER_1_0_0_SIZE);
  return ADBC_STATUS_OK;
}

void fill_table(AdbcDriver* d) {
  d->private_data = nullptr;
  d->private_manager = nullptr;
  d->release = nv_adbc_driver_release;
  d->DatabaseInit = nv_adbc_database_init;
  d->DatabaseNew = nv_adbc_database_new;
  d->DatabaseSetOption = nv_adbc_database_set_option;
  d->DatabaseRelease = nv_adbc_database_release;
  d->ConnectionCommit = nv_adbc_connection_commit;
  d->ConnectionGetInfo = nv_adbc_connection_get_info;
  d->ConnectionGetObjects = nv_adbc_connection_get_objects;
  d->ConnectionGetTableSchema = nv_adbc_connection_get_table_schema;
  d->ConnectionGetTableTypes = nv_adbc_connection_get_table_types;
  d->ConnectionInit = nv_adbc_connection_init;
  d->ConnectionNew = nv_adbc_connection_new;
  d->ConnectionSetOption = nv_adbc_connection_set_option;
  d->ConnectionReadPartition = nullptr;
  d->ConnectionRelease = nv_adbc_connection_release;
  d->ConnectionRollback = nv_adbc_connection_rollback;
  d->StatementBind = nv_adbc_statement_bind;
  d->StatementBindStream = nv_adbc_statement_bind_stream;
  d->StatementExecuteQuery = nv_adbc_statement_execute_query;
  d->StatementExecutePartitions = nullptr;
  d->StatementGetParameterSchema = nv_adbc_statement_get_parameter_schema;
  d->StatementNew = nv_adbc_statement_new;
  d->StatementPrepare = nv_adbc_statement_prepare;
  d->StatementRelease = nv_adbc_statement_release;
  d->StatementSetOption = nv_adbc_statement_set_option;
  d->StatementSetSqlQuery = nv_adbc_statement_set_sql_query;
  d->StatementSetSubstraitPlan = nullptr;
}

}  // namespace
}  // namespace norvale::adbc

extern "C" AdbcStatusCode AdbcDriverInit(int version, void* raw_driver, AdbcError* error) {
  using namespace norvale::adbc;
  try {
    nv_global_init();
    if (nv_log_level() >= NV_LOG_INFO) {
      nv_log_emit(NV_LOG_INFO, "api", "AdbcDriverInit(version=%d, raw_driver=%p)", version,
                  raw_driver);
    }
    if (raw_driver == nullptr) {
      set_error(error, "AdbcDriverInit: driver pointer is null", "HY009");
      return ADBC_STATUS_INVALID_ARGUMENT;
    }
    size_t table_size;
    if (version == ADBC_VERSION_1_0_0) {
      table_size = ADBC_DRIVER_1_0_0_SIZE;
    } else if (version == ADBC_VERSION_1_1_0) {
      table_size = ADBC_DRIVER_1_1_0_SIZE;
    } else {
      char message[128];
      std::snprintf(message, sizeof(message),
                    "AdbcDriverInit: unsupported ADBC version %d (this driver implements 1.0.0)",
                    version);
      set_error(error, message, "HY000");
      return ADBC_STATUS_NOT_IMPLEMENTED;
    }
    auto* driver = static_cast<AdbcDriver*>(raw_driver);
    std::memset(raw_driver, 0, table_size);
    fill_table(driver);
    return ADBC_STATUS_OK;
  } catch (...) {
    set_error(error, "AdbcDriverInit: internal error", "HY000");
    return ADBC_STATUS_INTERNAL;
  }
}
