// Attaching the metadata service to an ADBC connection and detaching it at release.
#include <exception>
#include <new>

#include "metadata/info_schema_internal.h"
#include "norvale/nv_log.h"
#include "sql/metadata_engine_internal.h"

namespace norvale::adbc {

void info_schema_attach(NVAdbcConnectionState* state) {
  if (state == nullptr || state->connection == nullptr) return;
  if (state->info_schema == nullptr) state->info_schema = info_schema_store_create();
  if (state->meta_engine == nullptr) {
    try {
      state->meta_engine = new (std::nothrow) nv_sql::MetadataEngine();
    } catch (const std::exception& e) {
      nv_log_emit(NV_LOG_ERROR, "meta_engine", "metadata engine not created: %s", e.what());
    }
  }
  const NVAdbcDatabaseState* db = state->database;
  if (state->info_schema != nullptr) {
    (void)info_schema_snapshot_install(state, db != nullptr ? db->uri : nullptr,
                                       db != nullptr ? db->username : nullptr);
  }
  if (state->meta_engine != nullptr) populate_meta_engine_baselines(state);
}

void info_schema_detach(NVAdbcConnectionState* state) {
  if (state == nullptr) return;
  delete state->meta_engine;
  state->meta_engine = nullptr;
  info_schema_store_destroy(state->info_schema);
  state->info_schema = nullptr;
}

}  // namespace norvale::adbc
