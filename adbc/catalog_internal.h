// A connection's catalog as the ADBC layer links it to the metadata service: the service sees
// the connection only as a ConnectionCatalog made from its state record here. The functions
// taking the record are the named entry points of the library's metadata service.
#pragma once

#include <atomic>
#include <memory>
#include <string_view>

#include <arrow/record_batch.h>

#include "adbc/state_internal.h"
#include "metadata/info_schema_internal.h"

namespace norvale::adbc {

/// The catalog of a connection record (null: an empty catalog), borrowing its core connection,
/// store, engine and its database's uri and user name.
ConnectionCatalog catalog_of(NVAdbcConnectionState* state);

/// install_catalog_snapshot for the state's catalog, keyed by `uri` and `username`.
int info_schema_snapshot_install(NVAdbcConnectionState* state, const char* uri,
                                 const char* username);
/// catalog_batch of the state's store; null for a null state.
std::shared_ptr<arrow::RecordBatch> info_schema_batch_get(NVAdbcConnectionState* state,
                                                          int index);
/// catalog_index of the state's store; null for a null state.
std::shared_ptr<const CatalogIndex> info_schema_index_get(NVAdbcConnectionState* state);
/// refresh_catalog for the state's catalog; null is ignored.
void info_schema_refresh(NVAdbcConnectionState* state,
                         const std::atomic<bool>* abort = nullptr);
/// note_catalog_write for the state's store (the process learns of the write also for null).
void info_schema_note_write(NVAdbcConnectionState* state);
/// note_catalog_statement for the state's store.
void info_schema_note_statement(NVAdbcConnectionState* state, std::string_view sql);
/// register_catalog_relations for the state's catalog; null is ignored.
void populate_meta_engine_baselines(NVAdbcConnectionState* state);
/// attach_catalog once the state holds its core connection, storing the store and engine made.
void info_schema_attach(NVAdbcConnectionState* state);
/// detach_catalog of the state's store and engine, clearing both fields. Null is ignored.
void info_schema_detach(NVAdbcConnectionState* state);

}  // namespace norvale::adbc
