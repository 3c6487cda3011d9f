// Attaching the metadata service to a connection and detaching it at release.
#include <exception>
#include <new>

#include "metadata/info_schema_internal.h"
#include "metadata/poll_endpoint_internal.h"
#include "norvale/nv_log.h"
#include "sql/metadata_engine_internal.h"

namespace norvale::adbc {

void attach_catalog(ConnectionCatalog& catalog) {
  if (catalog.connection == nullptr) return;
  if (catalog.store == nullptr) catalog.store = info_schema_store_create();
  if (catalog.engine == nullptr) {
    try {
      catalog.engine = new (std::nothrow) nv_sql::MetadataEngine();
    } catch (const std::exception& e) {
      nv_log_emit(NV_LOG_ERROR, "meta_engine", "metadata engine not created: %s", e.what());
    }
  }
  if (catalog.store != nullptr) {
    try {
      catalog.store->endpoint = PollEndpoint::From(catalog.connection);
    } catch (const std::exception& e) {
      nv_log_emit(NV_LOG_WARN, "info_schema", "poll settings not kept: %s", e.what());
    }
  }
  // The snapshot itself is loaded by the first call that needs it (refresh_catalog).
  if (catalog.engine != nullptr) register_catalog_relations(catalog);
}

void detach_catalog(ConnectionCatalog& catalog) {
  delete catalog.engine;
  catalog.engine = nullptr;
  info_schema_store_destroy(catalog.store);
  catalog.store = nullptr;
}

}  // namespace norvale::adbc
