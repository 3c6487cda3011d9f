// The process-wide cache of decoded snapshots and the poller that empties it when the control
// plane's catalog sequence changes.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "metadata/info_schema_internal.h"

namespace norvale::adbc {

/// How long a cache entry may be reused after it was stored.
inline constexpr std::chrono::seconds kSnapshotCacheMaxAge{300};
/// Default interval between two catalog version polls.
inline constexpr int64_t kSnapshotPollIntervalSeconds = 60;

struct CachedSnapshot {
  SnapshotBatches batches;
  uint64_t epoch = 0;
  std::chrono::steady_clock::time_point fetched_at{};
  std::string uri;
  std::string username;
  std::string token;  // session token of the connection that fetched; empty when none

  CachedSnapshot() = default;
  CachedSnapshot(const CachedSnapshot&) = default;
  CachedSnapshot(CachedSnapshot&&) = default;
  CachedSnapshot& operator=(const CachedSnapshot&) = default;
  CachedSnapshot& operator=(CachedSnapshot&&) = default;
  ~CachedSnapshot();  // zeroes the token
};

/// The cache key: uri, the byte 0x1F, username.
std::string snapshot_cache_key(const std::string& uri, const std::string& username);

/// The reusable entry for `key`: an entry older than kSnapshotCacheMaxAge is erased and nothing
/// is returned. The entry's epoch is returned as stored (the caller refuses epoch 0).
std::optional<CachedSnapshot> snapshot_cache_lookup(const std::string& key);
/// Inserts or overwrites the entry for `key`.
void snapshot_cache_store(const std::string& key, CachedSnapshot entry);
/// The uri and token of the first entry (in the map's order) whose uri and token are both
/// non-empty; false when there is none.
bool snapshot_cache_poll_target(std::string* uri, std::string* token);
/// Removes every entry.
void snapshot_cache_clear();

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
