// The per-connection information-schema snapshot store and the operations that attach it to an
// ADBC connection. The nine result sets are indexed 0 to 8 in the order of kBaselineNames.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <shared_mutex>

#include <arrow/record_batch.h>

#include "adbc/state_internal.h"

namespace norvale::adbc {

/// Number of result sets in a snapshot.
inline constexpr int kSnapshotResultSets = 9;

/// Result-set indexes read by the metadata calls.
inline constexpr int kRsCatalogs = 0;
inline constexpr int kRsSchemata = 1;
inline constexpr int kRsTables = 2;
inline constexpr int kRsColumns = 3;
inline constexpr int kRsViews = 4;
inline constexpr int kRsKeyColumnUsage = 5;
inline constexpr int kRsOdbcColumns = 6;
inline constexpr int kRsTableConstraints = 7;
inline constexpr int kRsReferentialConstraints = 8;

using SnapshotBatches = std::array<std::shared_ptr<arrow::RecordBatch>, kSnapshotResultSets>;

}  // namespace norvale::adbc

/// A connection's installed snapshot. Installing takes the lock exclusively, reading shared.
struct NVAdbcInfoSchemaStore {
  norvale::adbc::SnapshotBatches batches;  // null slot = not installed
  uint64_t epoch = 0;
  std::chrono::steady_clock::time_point installed_at{};
  std::shared_mutex lock;
};

namespace norvale::adbc {

/// A new empty store, or null when it cannot be allocated.
NVAdbcInfoSchemaStore* info_schema_store_create();
/// Releases the batch references and frees the store; null is ignored.
void info_schema_store_destroy(NVAdbcInfoSchemaStore* store);

/// Installs a snapshot into the state's store: from the process-wide cache when `uri` and
/// `username` are both non-empty and a fresh entry exists, otherwise fetched over the network.
/// 0 when a snapshot was installed; non-zero otherwise (the store then keeps its slots).
int info_schema_snapshot_install(NVAdbcConnectionState* state, const char* uri,
                                 const char* username);

/// A new reference to result set `index` of the state's store; null for a null state, a state
/// without store, an index outside 0..8 or an empty slot.
std::shared_ptr<arrow::RecordBatch> info_schema_batch_get(NVAdbcConnectionState* state,
                                                          int index);

/// Registers the nine snapshot relations and the nine empty stubs with the state's metadata
/// engine. Does nothing unless the state has both an engine and a store.
void populate_meta_engine_baselines(NVAdbcConnectionState* state);

/// Connection initialisation, once the core connection is stored in `state`, in this order:
/// creates the store and the metadata engine (either may stay null when memory is short),
/// installs the snapshot with the database's uri and username options, and registers the
/// engine's relations. Nothing here can fail the connection: a snapshot problem leaves the
/// store empty and the metadata calls answer without it.
void info_schema_attach(NVAdbcConnectionState* state);
/// Connection release, before nv_disconnect: destroys the engine, then the store, and clears
/// both fields. Null is ignored.
void info_schema_detach(NVAdbcConnectionState* state);

}  // namespace norvale::adbc
