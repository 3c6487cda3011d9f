// The per-connection information-schema snapshot store and the operations that keep it: they
// see a connection only as a ConnectionCatalog, never the handle records of the layer above.
// The nine result sets are indexed 0 to 8 in the order of kBaselineNames.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include <arrow/record_batch.h>

struct NVConnection;
namespace nv_sql {
class MetadataEngine;
}

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

class CatalogIndex;
struct PollEndpoint;

}  // namespace norvale::adbc

/// A connection's installed snapshot and what it knows about its freshness. Installing takes
/// `lock` exclusively, reading shared; `refresh` serialises loading and revalidation.
struct NVAdbcInfoSchemaStore {
  norvale::adbc::SnapshotBatches batches;  // null slot = not installed
  uint64_t epoch = 0;
  std::chrono::steady_clock::time_point installed_at{};
  std::shared_mutex lock;
  // Lookups by name over `batches`; rebuilt on demand when it was built over other batches.
  std::shared_ptr<const norvale::adbc::CatalogIndex> index;
  // The catalog sequence the installed snapshot is known to be current for (0: unknown).
  uint64_t sequence = 0;
  // The snapshot's entity tag (empty: the server sends none, so it cannot be revalidated by a
  // conditional request), and when the service last confirmed it current.
  std::string etag;
  std::chrono::steady_clock::time_point validated_at{};

  std::mutex refresh;
  bool load_attempted = false;  // guarded by refresh
  std::chrono::steady_clock::time_point load_attempted_at{};
  // This connection changed the catalog (DDL or DML on a compute node, an ingest) since its
  // last check: the next metadata answer asks for the catalog version first.
  std::atomic<bool> wrote{false};
  // The process's write count that the installed snapshot is known to include.
  std::atomic<uint64_t> seen_write_generation{0};
  // The connection's request settings, lent to the poller while the connection lives.
  std::shared_ptr<const norvale::adbc::PollEndpoint> endpoint;
};

namespace norvale::adbc {

/// A connection as the metadata service sees it, borrowed for one call: its core connection (for
/// the snapshot and version requests), its snapshot store, its metadata engine, and the uri and
/// user name that key the process-wide snapshot cache. Any of them may be null.
struct ConnectionCatalog {
  NVConnection* connection = nullptr;
  NVAdbcInfoSchemaStore* store = nullptr;
  nv_sql::MetadataEngine* engine = nullptr;
  const char* uri = nullptr;
  const char* username = nullptr;
};

/// A new empty store, or null when it cannot be allocated.
NVAdbcInfoSchemaStore* info_schema_store_create();
/// Releases the batch references and frees the store; null is ignored.
void info_schema_store_destroy(NVAdbcInfoSchemaStore* store);

/// Installs a snapshot into the catalog's store: from the process-wide cache when its uri and
/// username are both non-empty and a fresh entry exists, otherwise fetched over the network.
/// 0 when a snapshot was installed; non-zero otherwise (the store then keeps its slots).
int install_catalog_snapshot(const ConnectionCatalog& catalog);

/// A new reference to result set `index` of the store; null for a null store, an index outside
/// 0..8 or an empty slot.
std::shared_ptr<arrow::RecordBatch> catalog_batch(NVAdbcInfoSchemaStore* store, int index);

/// The index over the store's installed batches (built now when the store has none for them);
/// null for a null store.
std::shared_ptr<const CatalogIndex> catalog_index(NVAdbcInfoSchemaStore* store);

/// Makes the connection's catalog current before a metadata answer: loads the snapshot on first
/// use (from the process cache or the network), and afterwards revalidates it when this
/// connection wrote or the process saw the catalog sequence move, refetching (or adopting a
/// newer cached snapshot) when it did. Re-registers the engine's relations after a change. A
/// failure leaves the previous snapshot (or none) in place and is only logged. A non-null
/// `abort` stops the requests once it holds true (a cancel of the call that asked). Nothing
/// happens without a core connection or a store.
void refresh_catalog(const ConnectionCatalog& catalog, const std::atomic<bool>* abort = nullptr);

/// Whether table (or view) [catalog.][db_schema.]table exists, as the catalog tells when it is
/// fresh: validated by the service within the last few seconds, including every write this
/// process made since (so a connection reads its own DDL), and not older than a catalog
/// sequence the process has seen. `parts` is the name's one to three parts, the table last.
/// False when no schema of that name in any catalog holds it; true when it is found and the
/// name leaves no choice (schema given, and a catalog given or only one listed); nothing
/// otherwise, and when the catalog is not fresh. Names compare ASCII case-insensitively.
std::optional<bool> catalog_knows_table(const ConnectionCatalog& catalog,
                                        const std::vector<std::string>& parts);

/// Records that the connection owning `store` (may be null) changed, or may have changed, the
/// catalog; the process's other connections learn of it too.
void note_catalog_write(NVAdbcInfoSchemaStore* store);

/// Records the write when `sql`, run on a compute node, may change the catalog
/// (cells::sql_may_write_catalog: anything but a statement that only reads).
void note_catalog_statement(NVAdbcInfoSchemaStore* store, std::string_view sql);

/// Registers the nine snapshot relations and the nine empty stubs with the catalog's metadata
/// engine. Does nothing unless the catalog has both an engine and a store.
void register_catalog_relations(const ConnectionCatalog& catalog);

/// Connection initialisation, once the catalog has its core connection: creates the store and
/// the metadata engine where they are missing (either may stay null when memory is short) and
/// registers the engine's empty relations. The snapshot is not loaded here: the first metadata
/// call or information_schema query loads it (refresh_catalog), so connecting costs the same
/// whatever the size of the catalog. Nothing here can fail the connection.
void attach_catalog(ConnectionCatalog& catalog);
/// Connection release, before its core connection goes: destroys the engine, then the store,
/// and clears both. A catalog without them is left as it is.
void detach_catalog(ConnectionCatalog& catalog);

}  // namespace norvale::adbc
