// The ADBC catalog calls answered locally: GetInfo, GetTableTypes, GetObjects (from the
// connection's snapshot, never from a compute node), GetStatistics and GetStatisticNames. The
// answers themselves come from the metadata service (metadata/catalog_answers_internal.h).
#include <algorithm>
#include <cstdio>
#include <string>

#include <arrow/api.h>

#include "adbc/cancel_registry_internal.h"
#include "adbc/catalog_internal.h"
#include "adbc/entry_internal.h"
#include "adbc/result_stream_internal.h"
#include "metadata/catalog_answers_internal.h"

namespace norvale::adbc {
namespace {

const char* or_empty(const char* text) { return text != nullptr ? text : ""; }

// "<call>: <text>" cut to 255 bytes, HY000, INTERNAL.
arrow::Status builder_failure(const char* call, const std::string& text) {
  char message[256];
  std::snprintf(message, sizeof message, "%s: %s", call, text.c_str());
  return internal_failure(message);
}

arrow::Status get_info(AdbcConnection* connection, const uint32_t* codes, size_t length,
                       ArrowArrayStream* out) {
  if (connection == nullptr || out == nullptr) {
    return invalid_argument("AdbcConnectionGetInfo: null connection or stream");
  }
  auto batch = info_batch(codes, length);
  if (!batch.ok()) {
    return builder_failure("AdbcConnectionGetInfo", "builder failed: " + batch.status().message());
  }
  nv_log_emit(NV_LOG_DEBUG, "meta_engine", "GetInfo served from snapshot (rows=%lld)",
              static_cast<long long>((*batch)->num_rows()));
  return export_single_batch(*std::move(batch), out);
}

arrow::Status get_table_types(AdbcConnection* connection, ArrowArrayStream* out) {
  if (connection == nullptr || out == nullptr) {
    return invalid_argument("AdbcConnectionGetTableTypes: null connection or stream");
  }
  auto batch = table_types_batch();
  if (!batch.ok()) {
    return internal_failure("AdbcConnectionGetTableTypes: " + batch.status().message());
  }
  nv_log_emit(NV_LOG_DEBUG, "meta_engine", "GetTableTypes served from snapshot (rows=%lld)",
              static_cast<long long>((*batch)->num_rows()));
  return export_single_batch(*std::move(batch), out);
}

arrow::Status get_objects(AdbcConnection* connection, int depth, const char* catalog,
                          const char* db_schema, const char* table_name, const char** table_type,
                          const char* column_name, ArrowArrayStream* out) {
  constexpr const char* kCall = "AdbcConnectionGetObjects";
  if (connection == nullptr || out == nullptr) {
    return invalid_argument(std::string(kCall) + ": null connection or stream");
  }
  auto* state = static_cast<NVAdbcConnectionState*>(connection->private_data);
  if (state == nullptr || state->connection == nullptr) {
    return invalid_state(std::string(kCall) + ": connection not initialised");
  }
  if (depth < 0) {
    return invalid_argument(std::string(kCall) +
                         ": depth must be 0 (all), 1 (catalogs), 2 (db_schemas) or 3 (tables), "
                         "got " +
                         std::to_string(depth));
  }
  const ObjectsFilter filter{std::min(depth, 3), catalog,   db_schema,
                             table_name,         table_type, column_name};
  // The snapshot may have to be fetched first: AdbcConnectionCancel stops that.
  const auto operation = begin_connection_operation(state);
  info_schema_refresh(state, operation->cancelled_flag());
  if (operation->cancelled()) return cancelled_by_client(kCall);
  auto batch = objects_batch(info_schema_index_get(state).get(), filter);
  if (!batch.ok()) return builder_failure(kCall, batch.status().message());
  nv_log_emit(NV_LOG_DEBUG, "meta_engine",
              "GetObjects served from snapshot (depth=%d, catalog=\"%s\", db_schema=\"%s\", "
              "table_name=\"%s\", catalogs=%lld)",
              depth, or_empty(catalog), or_empty(db_schema), or_empty(table_name),
              static_cast<long long>((*batch)->num_rows()));
  return export_single_batch(*std::move(batch), out);
}

arrow::Status get_statistics(AdbcConnection* connection, ArrowArrayStream* out) {
  if (connection == nullptr || out == nullptr) {
    return invalid_argument("AdbcConnectionGetStatistics: null connection or stream");
  }
  // The information-schema snapshot carries no table statistics.
  return adbc_failure(ADBC_STATUS_NOT_IMPLEMENTED, "0A000",
                      "AdbcConnectionGetStatistics: the service's catalog snapshot holds no "
                      "table statistics");
}

arrow::Status get_statistic_names(AdbcConnection* connection, ArrowArrayStream* out) {
  if (connection == nullptr || out == nullptr) {
    return invalid_argument("AdbcConnectionGetStatisticNames: null connection or stream");
  }
  // No driver-specific statistic names: an empty result.
  auto batch = arrow::RecordBatch::MakeEmpty(build_statistic_names_schema());
  if (!batch.ok()) {
    return internal_failure("AdbcConnectionGetStatisticNames: " + batch.status().ToString());
  }
  return export_single_batch(*std::move(batch), out);
}

}  // namespace
}  // namespace norvale::adbc

using norvale::adbc::call_entry;
using norvale::adbc::Entry;

extern "C" {

AdbcStatusCode nv_adbc_connection_get_info(AdbcConnection* connection,
                                           const uint32_t* info_codes, size_t info_codes_length,
                                           ArrowArrayStream* out, AdbcError* error) {
  return call_entry(
      Entry{"AdbcConnectionGetInfo", "AdbcConnectionGetInfo(conn=%p, codes=%p, length=%zu)"},
      error,
      [&] { return norvale::adbc::get_info(connection, info_codes, info_codes_length, out); },
      static_cast<void*>(connection), static_cast<const void*>(info_codes), info_codes_length);
}

AdbcStatusCode nv_adbc_connection_get_table_types(AdbcConnection* connection,
                                                  ArrowArrayStream* out, AdbcError* error) {
  return call_entry(
      Entry{"AdbcConnectionGetTableTypes", "AdbcConnectionGetTableTypes(conn=%p)"}, error,
      [&] { return norvale::adbc::get_table_types(connection, out); },
      static_cast<void*>(connection));
}

AdbcStatusCode nv_adbc_connection_get_objects(AdbcConnection* connection, int depth,
                                              const char* catalog, const char* db_schema,
                                              const char* table_name, const char** table_type,
                                              const char* column_name, ArrowArrayStream* out,
                                              AdbcError* error) {
  using norvale::adbc::or_empty;
  return call_entry(
      Entry{"AdbcConnectionGetObjects",
            "AdbcConnectionGetObjects(conn=%p, depth=%d, catalog=\"%s\", db_schema=\"%s\", "
            "table_name=\"%s\", column_name=\"%s\")"},
      error,
      [&] {
        return norvale::adbc::get_objects(connection, depth, catalog, db_schema, table_name,
                                          table_type, column_name, out);
      },
      static_cast<void*>(connection), depth, or_empty(catalog), or_empty(db_schema),
      or_empty(table_name), or_empty(column_name));
}

AdbcStatusCode nv_adbc_connection_get_statistics(AdbcConnection* connection,
                                                 const char* /*catalog*/,
                                                 const char* /*db_schema*/,
                                                 const char* /*table_name*/,
                                                 char /*approximate*/, ArrowArrayStream* out,
                                                 AdbcError* error) {
  return call_entry(
      Entry{"AdbcConnectionGetStatistics", "AdbcConnectionGetStatistics(conn=%p)"}, error,
      [&] { return norvale::adbc::get_statistics(connection, out); },
      static_cast<void*>(connection));
}

AdbcStatusCode nv_adbc_connection_get_statistic_names(AdbcConnection* connection,
                                                      ArrowArrayStream* out, AdbcError* error) {
  return call_entry(
      Entry{"AdbcConnectionGetStatisticNames", "AdbcConnectionGetStatisticNames(conn=%p)"},
      error, [&] { return norvale::adbc::get_statistic_names(connection, out); },
      static_cast<void*>(connection));
}

}  // extern "C"
