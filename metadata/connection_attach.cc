// Attaching the metadata service to an ADBC connection and detaching it at release.
#include <exception>
#include <new>

#include "metadata/info_schema_internal.h"
#include "metadata/poll_endpoint_internal.h"
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
  if (state->info_schema != nullptr) {
    try {
      state->info_schema->endpoint = PollEndpoint::From(state->connection);
    } catch (const std::exception& e) {
      nv_log_emit(NV_LOG_WARN, "info_schema", "poll settings not kept: %s", e.what());
    }
  }
  // The snapshot itself is loaded by the first call that needs it (info_schema_refresh).
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
