// Installing a snapshot into a connection's store: from the process-wide cache when a fresh
// entry exists for the connection's URI and user, otherwise fetched, decoded and cached.
#include <exception>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>

#include "metadata/info_schema_internal.h"
#include "metadata/snapshot_cache_internal.h"
#include "metadata/snapshot_decode_internal.h"
#include "norvale/nv_log.h"
#include "norvale/nv_snapshot.h"

namespace norvale::adbc {
namespace {

bool non_empty(const char* text) { return text != nullptr && text[0] != '\0'; }

void install_into_store(NVAdbcInfoSchemaStore* store, const SnapshotBatches& batches,
                        uint64_t epoch) {
  std::unique_lock<std::shared_mutex> lock(store->lock);
  store->batches = batches;
  store->epoch = epoch;
  store->installed_at = std::chrono::steady_clock::now();
}

struct RawSnapshotGuard {
  NVInfoSchemaSnapshot raw{};
  ~RawSnapshotGuard() { nv_info_schema_snapshot_free(&raw); }
};

int install(NVAdbcConnectionState* state, const char* uri, const char* username) {
  if (state == nullptr || state->connection == nullptr || state->info_schema == nullptr) {
    return -1;
  }
  const bool keyed = non_empty(uri) && non_empty(username);
  const std::string key = keyed ? snapshot_cache_key(uri, username) : std::string();

  if (keyed) {
    std::optional<CachedSnapshot> cached = snapshot_cache_lookup(key);
    // An epoch of 0 means the server could not version the snapshot: never reuse it.
    if (cached && cached->epoch != 0) {
      install_into_store(state->info_schema, cached->batches, cached->epoch);
      nv_log_emit(NV_LOG_INFO, "info_schema",
                  "reused cached snapshot (epoch=%llu) for %s (skipping snapshot fetch)",
                  static_cast<unsigned long long>(cached->epoch), username);
      return 0;
    }
  }

  RawSnapshotGuard guard;
  char err[512] = {0};
  const int rc = nv_fetch_snapshot(state->connection, &guard.raw, err, sizeof(err));
  if (rc != 0) {
    nv_log_emit(NV_LOG_ERROR, "info_schema", "snapshot fetch failed: %s", err);
    return rc;
  }

  SnapshotBatches batches;
  for (int i = 0; i < kSnapshotResultSets; ++i) {
    // The block's ownership moves to the decoded arrays.
    uint8_t* block = guard.raw.result_set_data[i];
    const size_t len = guard.raw.result_set_len[i];
    guard.raw.result_set_data[i] = nullptr;
    guard.raw.result_set_len[i] = 0;
    auto decoded = decode_result_set(i, block, len);
    if (!decoded.ok()) {
      nv_log_emit(NV_LOG_ERROR, "info_schema", "%s", decoded.status().message().c_str());
      return -1;
    }
    batches[static_cast<size_t>(i)] = std::move(*decoded);
  }
  const uint64_t epoch = guard.raw.epoch;

  if (keyed) {
    CachedSnapshot entry;
    entry.batches = batches;
    entry.epoch = epoch;
    entry.fetched_at = std::chrono::steady_clock::now();
    entry.uri = uri;
    entry.username = username;
    const char* token = nv_connection_session_token(state->connection);
    entry.token = token != nullptr ? token : "";
    snapshot_cache_store(key, std::move(entry));
  }
  snapshot_poller_ensure_started();

  install_into_store(state->info_schema, batches, epoch);
  nv_log_emit(NV_LOG_INFO, "info_schema", "installed snapshot (epoch=%llu)",
              static_cast<unsigned long long>(epoch));
  return 0;
}

}  // namespace

int info_schema_snapshot_install(NVAdbcConnectionState* state, const char* uri,
                                 const char* username) {
  try {
    return install(state, uri, username);
  } catch (const std::exception& e) {
    nv_log_emit(NV_LOG_ERROR, "info_schema", "snapshot install failed: %s", e.what());
    return -1;
  }
}

}  // namespace norvale::adbc
