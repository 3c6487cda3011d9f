// The process-wide cache of decoded snapshots and the poller that empties it when the control
// plane's catalog sequence changes.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "metadata/catalog_index_internal.h"
#include "metadata/info_schema_internal.h"
#include "metadata/poll_endpoint_internal.h"

namespace norvale::adbc {

/// How long a cache entry may be reused after it was stored.
inline constexpr std::chrono::seconds kSnapshotCacheMaxAge{300};
/// Default interval between two catalog version polls.
inline constexpr int64_t kSnapshotPollIntervalSeconds = 60;

struct CachedSnapshot {
  SnapshotBatches batches;
  std::shared_ptr<const CatalogIndex> index;  // over `batches`; may be null
  uint64_t epoch = 0;
  uint64_t sequence = 0;  // catalog sequence the snapshot is known current for (0: unknown)
  std::string etag;       // the server's entity tag for it (empty: none)
  // The process's write count read before the snapshot was requested: the snapshot includes
  // every write counted up to it.
  uint64_t write_generation = 0;
  // When the snapshot was requested (it is current as of then).
  std::chrono::steady_clock::time_point fetched_at{};
  std::string uri;
  std::string username;
  // Settings of a live connection that uses this entry; the poller borrows them. Expired once
  // every such connection is released (the poller then leaves the entry alone).
  std::weak_ptr<const PollEndpoint> endpoint;
};

/// The cache key: uri, the byte 0x1F, username.
std::string snapshot_cache_key(const std::string& uri, const std::string& username);

/// The reusable entry for `key`: an entry older than kSnapshotCacheMaxAge is erased and nothing
/// is returned. The entry's epoch is returned as stored (the caller refuses epoch 0).
std::optional<CachedSnapshot> snapshot_cache_lookup(const std::string& key);
/// Inserts or overwrites the entry for `key`.
void snapshot_cache_store(const std::string& key, CachedSnapshot entry);
/// Lends a live connection's settings to the entry for `key` unless a live one is lent already.
void snapshot_cache_lend_endpoint(const std::string& key,
                                  const std::shared_ptr<const PollEndpoint>& endpoint);
/// The settings of a live connection lent to an entry (the first, in the map's order), or null.
std::shared_ptr<const PollEndpoint> snapshot_cache_poll_target();
/// Removes every entry.
void snapshot_cache_clear();
/// Removes the entries of control plane `uri`.
void snapshot_cache_clear_uri(const std::string& uri);

/// Records that the catalog behind control-plane `uri` has reached `sequence` (kept as the
/// largest value seen).
void catalog_sequence_note(const std::string& uri, uint64_t sequence);
/// The largest catalog sequence seen for `uri` (by the poller or a connection's version check).
std::optional<uint64_t> catalog_sequence_known(const std::string& uri);

/// Counts the writes (DDL, DML, ingests) of all connections of the process; a connection that
/// has not seen the current count checks the catalog version before its next metadata answer.
uint64_t catalog_write_generation();
void catalog_write_generation_bump();

/// Starts the poller thread unless it was started before in this process.
void snapshot_poller_ensure_started();

// ---- Test hooks: never called by the library itself ------------------------------------------

/// Number of entries in the cache.
size_t snapshot_cache_size_for_test();
/// Whether an entry exists for `key`, whatever its age.
bool snapshot_cache_contains_for_test(const std::string& key);
/// Moves the entry's fetched_at `by` into the past; false when there is no entry.
bool snapshot_cache_age_for_test(const std::string& key, std::chrono::seconds by);
/// Sets the poll interval (also for a poller already sleeping, which wakes and restarts its
/// wait) and returns the previous value.
int64_t snapshot_poller_set_interval_for_test(int64_t seconds);
/// Wakes the poller so that it polls now instead of at the end of its interval.
void snapshot_poller_wake_for_test();
/// Whether the poller thread has been started in this process.
bool snapshot_poller_started_for_test();
/// Number of completed poll rounds (successful or not) since the process started; a round with
/// an empty cache counts too.
uint64_t snapshot_poller_rounds_for_test();
/// The last catalog sequence the poller saw, if any.
std::optional<uint64_t> snapshot_poller_last_sequence_for_test();

}  // namespace norvale::adbc
