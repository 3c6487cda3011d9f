// AdbcDriverInit: the driver's front door, filling the host's function table.
#include <cstdio>
#include <cstring>

#include "adbc/entry_internal.h"
#include "norvale/nv_global.h"

namespace norvale::adbc {
namespace {

// Each table gets the release of its own size, so that a release clears exactly the table it
// is called on (a 1.0.0 table ends where the 1.1.0 entries begin) without any process-wide
// record of the versions asked for.
template <size_t kTableSize>
AdbcStatusCode release_table(AdbcDriver* driver, AdbcError* /*error*/) {
  if (driver == nullptr) return ADBC_STATUS_OK;
  std::memset(static_cast<void*>(driver), 0, kTableSize);
  return ADBC_STATUS_OK;
}

void fill_table(AdbcDriver* d) {
  d->private_data = nullptr;
  d->private_manager = nullptr;
  d->release = release_table<ADBC_DRIVER_1_0_0_SIZE>;
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

// The ADBC 1.1.0 part of the table.
void fill_table_110(AdbcDriver* d) {
  d->release = release_table<ADBC_DRIVER_1_1_0_SIZE>;
  d->ErrorGetDetailCount = nv_adbc_error_get_detail_count;
  d->ErrorGetDetail = nv_adbc_error_get_detail;
  d->ErrorFromArrayStream = nv_adbc_error_from_array_stream;
  d->ConnectionCancel = nv_adbc_connection_cancel;
  d->StatementCancel = nv_adbc_statement_cancel;
  d->DatabaseGetOption = nv_adbc_database_get_option;
  d->DatabaseGetOptionBytes = nv_adbc_database_get_option_bytes;
  d->DatabaseGetOptionDouble = nv_adbc_database_get_option_double;
  d->DatabaseGetOptionInt = nv_adbc_database_get_option_int;
  d->DatabaseSetOptionBytes = nv_adbc_database_set_option_bytes;
  d->DatabaseSetOptionDouble = nv_adbc_database_set_option_double;
  d->DatabaseSetOptionInt = nv_adbc_database_set_option_int;
  d->ConnectionGetOption = nv_adbc_connection_get_option;
  d->ConnectionGetOptionBytes = nv_adbc_connection_get_option_bytes;
  d->ConnectionGetOptionDouble = nv_adbc_connection_get_option_double;
  d->ConnectionGetOptionInt = nv_adbc_connection_get_option_int;
  d->ConnectionGetStatistics = nv_adbc_connection_get_statistics;
  d->ConnectionGetStatisticNames = nv_adbc_connection_get_statistic_names;
  d->ConnectionSetOptionBytes = nv_adbc_connection_set_option_bytes;
  d->ConnectionSetOptionDouble = nv_adbc_connection_set_option_double;
  d->ConnectionSetOptionInt = nv_adbc_connection_set_option_int;
  d->StatementExecuteSchema = nv_adbc_statement_execute_schema;
  d->StatementGetOption = nv_adbc_statement_get_option;
  d->StatementGetOptionBytes = nv_adbc_statement_get_option_bytes;
  d->StatementGetOptionDouble = nv_adbc_statement_get_option_double;
  d->StatementGetOptionInt = nv_adbc_statement_get_option_int;
  d->StatementSetOptionBytes = nv_adbc_statement_set_option_bytes;
  d->StatementSetOptionDouble = nv_adbc_statement_set_option_double;
  d->StatementSetOptionInt = nv_adbc_statement_set_option_int;
}

}  // namespace
}  // namespace norvale::adbc

namespace norvale::adbc {
namespace {

arrow::Status driver_init(int version, void* raw_driver) {
  nv_global_init();
  log_api("AdbcDriverInit(version=%d, raw_driver=%p)", version, raw_driver);
  if (raw_driver == nullptr) return invalid_argument("AdbcDriverInit: driver pointer is null");
  size_t table_size;
  if (version == ADBC_VERSION_1_0_0) {
    table_size = ADBC_DRIVER_1_0_0_SIZE;
  } else if (version == ADBC_VERSION_1_1_0) {
    table_size = ADBC_DRIVER_1_1_0_SIZE;
  } else {
    char message[128];
    std::snprintf(message, sizeof(message),
                  "AdbcDriverInit: unsupported ADBC version %d (this driver implements 1.0.0 "
                  "and 1.1.0)",
                  version);
    return adbc_failure(ADBC_STATUS_NOT_IMPLEMENTED, "HY000", message);
  }
  auto* driver = static_cast<AdbcDriver*>(raw_driver);
  std::memset(raw_driver, 0, table_size);
  fill_table(driver);
  if (version == ADBC_VERSION_1_1_0) fill_table_110(driver);
  return arrow::Status::OK();
}

}  // namespace
}  // namespace norvale::adbc

extern "C" AdbcStatusCode AdbcDriverInit(int version, void* raw_driver, AdbcError* error) {
  return norvale::adbc::call_entry(norvale::adbc::Entry{"AdbcDriverInit", nullptr}, error,
                                   [&] { return norvale::adbc::driver_init(version, raw_driver); });
}
