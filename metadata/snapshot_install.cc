// Installing a snapshot into a connection's store: from the process-wide cache when a current
// entry exists for the connection's URI and user, otherwise fetched, decoded, indexed and cached.
#include <exception>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>

#include "metadata/info_schema_internal.h"
#include "metadata/snapshot_decode_internal.h"
#include "metadata/snapshot_load_internal.h"
#include "norvale/nv_log.h"
#include "norvale/nv_snapshot.h"
#include "util/strings_internal.h"

namespace norvale::adbc {
namespace {

struct RawSnapshotGuard {
  NVInfoSchemaSnapshot raw{};
  ~RawSnapshotGuard() { nv_info_schema_snapshot_free(&raw); }
};

}  // namespace

int install_snapshot(const ConnectionCatalog& catalog, const std::atomic<bool>* abort) {
  NVAdbcInfoSchemaStore* store = catalog.store;
  if (catalog.connection == nullptr || store == nullptr) return -1;
  const char* uri = catalog.uri;
  const char* username = catalog.username;
  const std::string key = cache_key_of(uri, username);
  const std::string control_plane = non_empty(uri) ? uri : "";

  if (!key.empty()) {
    std::optional<CachedSnapshot> cached = snapshot_cache_lookup(key);
    // An epoch of 0 means the server could not version the snapshot: never reuse it. Nor an
    // entry older than a catalog change this process has already seen.
    const std::optional<uint64_t> known = catalog_sequence_known(control_plane);
    if (cached && cached->epoch != 0 && (!known || cached->sequence >= *known)) {
      if (!cached->index) cached->index = CatalogIndex::Build(cached->batches);
      install_into_store(store, *cached);
      snapshot_cache_lend_endpoint(key, store->endpoint);
      nv_log_emit(NV_LOG_INFO, "info_schema",
                  "reused cached snapshot (epoch=%llu) for %s (skipping snapshot fetch)",
                  static_cast<unsigned long long>(cached->epoch), username);
      return 0;
    }
  }

  CachedSnapshot fresh;
  if (load_snapshot(catalog.connection, &fresh, abort) != LoadResult::kLoaded) return -1;
  if (!control_plane.empty()) catalog_sequence_note(control_plane, fresh.sequence);
  if (!key.empty()) {
    fresh.uri = uri;
    fresh.username = username;
    fresh.endpoint = store->endpoint;
    snapshot_cache_store(key, fresh);
  }
  snapshot_poller_ensure_started();
  install_into_store(store, fresh);
  nv_log_emit(NV_LOG_INFO, "info_schema", "installed snapshot (epoch=%llu)",
              static_cast<unsigned long long>(fresh.epoch));
  return 0;
}

std::string cache_key_of(const char* uri, const char* username) {
  if (!non_empty(uri) || !non_empty(username)) return std::string();
  return snapshot_cache_key(uri, username);
}

void install_into_store(NVAdbcInfoSchemaStore* store, const CachedSnapshot& snapshot) {
  std::unique_lock<std::shared_mutex> lock(store->lock);
  store->batches = snapshot.batches;
  store->index = snapshot.index;
  store->epoch = snapshot.epoch;
  store->sequence = snapshot.sequence;
  store->etag = snapshot.etag;
  store->installed_at = std::chrono::steady_clock::now();
  store->validated_at = snapshot.fetched_at;
  store->seen_write_generation = snapshot.write_generation;
}

LoadResult load_snapshot(NVConnection* connection, CachedSnapshot* out,
                         const std::atomic<bool>* abort, const std::string& if_none_match) {
  RawSnapshotGuard guard;
  char err[512] = {0};
  // Read first: a write counted after this may or may not be in the answer.
  const uint64_t generation = catalog_write_generation();
  const auto requested_at = std::chrono::steady_clock::now();
  SnapshotValidator validator;
  validator.if_none_match = if_none_match;
  if (fetch_connection_snapshot(connection, &guard.raw, err, sizeof(err), abort,
                                &validator) != 0) {
    nv_log_emit(NV_LOG_ERROR, "info_schema", "snapshot fetch failed: %s", err);
    return LoadResult::kFailed;
  }
  if (validator.not_modified) return LoadResult::kNotModified;
  for (int i = 0; i < kSnapshotResultSets; ++i) {
    // The block's ownership moves to the decoded arrays: they view it without a copy.
    uint8_t* block = guard.raw.result_set_data[i];
    const size_t len = guard.raw.result_set_len[i];
    guard.raw.result_set_data[i] = nullptr;
    guard.raw.result_set_len[i] = 0;
    auto decoded = decode_result_set(i, block, len);
    if (!decoded.ok()) {
      nv_log_emit(NV_LOG_ERROR, "info_schema", "%s", decoded.status().message().c_str());
      return LoadResult::kFailed;
    }
    out->batches[static_cast<size_t>(i)] = std::move(*decoded);
  }
  out->epoch = guard.raw.epoch;
  out->sequence = guard.raw.epoch;
  out->etag = validator.etag;
  out->write_generation = generation;
  out->fetched_at = requested_at;
  out->index = CatalogIndex::Build(out->batches);
  return LoadResult::kLoaded;
}

int install_catalog_snapshot(const ConnectionCatalog& catalog) {
  try {
    return install_snapshot(catalog, nullptr);
  } catch (const std::exception& e) {
    nv_log_emit(NV_LOG_ERROR, "info_schema", "snapshot install failed: %s", e.what());
    return -1;
  }
}

}  // namespace norvale::adbc
