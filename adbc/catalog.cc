#include "adbc/catalog_internal.h"

namespace norvale::adbc {

ConnectionCatalog catalog_of(NVAdbcConnectionState* state) {
  ConnectionCatalog catalog;
  if (state == nullptr) return catalog;
  catalog.connection = state->connection;
  catalog.store = state->info_schema;
  catalog.engine = state->meta_engine;
  if (state->database != nullptr) {
    catalog.uri = state->database->uri;
    catalog.username = state->database->username;
  }
  return catalog;
}

int info_schema_snapshot_install(NVAdbcConnectionState* state, const char* uri,
                                 const char* username) {
  ConnectionCatalog catalog = catalog_of(state);
  catalog.uri = uri;
  catalog.username = username;
  return install_catalog_snapshot(catalog);
}

std::shared_ptr<arrow::RecordBatch> info_schema_batch_get(NVAdbcConnectionState* state,
                                                          int index) {
  return state == nullptr ? nullptr : catalog_batch(state->info_schema, index);
}

std::shared_ptr<const CatalogIndex> info_schema_index_get(NVAdbcConnectionState* state) {
  return state == nullptr ? nullptr : catalog_index(state->info_schema);
}

void info_schema_refresh(NVAdbcConnectionState* state, const std::atomic<bool>* abort) {
  if (state != nullptr) refresh_catalog(catalog_of(state), abort);
}

void info_schema_note_write(NVAdbcConnectionState* state) {
  note_catalog_write(state != nullptr ? state->info_schema : nullptr);
}

void info_schema_note_statement(NVAdbcConnectionState* state, std::string_view sql) {
  note_catalog_statement(state != nullptr ? state->info_schema : nullptr, sql);
}

void populate_meta_engine_baselines(NVAdbcConnectionState* state) {
  if (state != nullptr) register_catalog_relations(catalog_of(state));
}

void info_schema_attach(NVAdbcConnectionState* state) {
  if (state == nullptr) return;
  ConnectionCatalog catalog = catalog_of(state);
  attach_catalog(catalog);
  state->info_schema = catalog.store;
  state->meta_engine = catalog.engine;
}

void info_schema_detach(NVAdbcConnectionState* state) {
  if (state == nullptr) return;
  ConnectionCatalog catalog = catalog_of(state);
  detach_catalog(catalog);
  state->info_schema = nullptr;
  state->meta_engine = nullptr;
}

}  // namespace norvale::adbc
