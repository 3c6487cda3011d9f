// Keeping a connection's catalog current: the snapshot is loaded on the first metadata answer,
// and revalidated before later ones when the process wrote since the installed snapshot was
// fetched (DDL, DML or an ingest of any of its connections) or saw the catalog sequence move.
// Revalidating is one request: a conditional snapshot request when the server tags its
// snapshots ("not modified" while the catalog stays), else a catalog version check followed by
// a fetch only when the version moved. None is made while the connection's view is known to be
// current.
#include <cstring>
#include <exception>
#include <optional>
#include <shared_mutex>
#include <string>

#include "cells/statement_kind_internal.h"
#include "core/connection_internal.h"
#include "metadata/info_schema_internal.h"
#include "metadata/snapshot_cache_internal.h"
#include "metadata/snapshot_load_internal.h"
#include "norvale/nv_log.h"
#include "norvale/nv_snapshot.h"
#include "util/strings_internal.h"

namespace norvale::adbc {
namespace {

using Clock = std::chrono::steady_clock;

// A failed first load is tried again on a metadata call at most this often.
constexpr std::chrono::seconds kReloadBackoff{30};

bool has_snapshot(NVAdbcInfoSchemaStore* store) {
  std::shared_lock<std::shared_mutex> lock(store->lock);
  for (const auto& batch : store->batches) {
    if (batch) return true;
  }
  return false;
}

uint64_t installed_sequence(NVAdbcInfoSchemaStore* store) {
  std::shared_lock<std::shared_mutex> lock(store->lock);
  return store->sequence;
}

// The catalog sequence now, from the control plane; nothing (logged) when the check failed.
std::optional<uint64_t> check_version(const ConnectionCatalog& c,
                                      const std::atomic<bool>* abort) {
  NVCatalogVersion version{};
  char err[512] = {0};
  if (fetch_connection_catalog_version(c.connection, &version, err, sizeof(err), abort) != 0) {
    nv_log_emit(NV_LOG_WARN, "info_schema", "catalog version check failed: %s", err);
    return std::nullopt;
  }
  return version.sequence;
}

void reregister(const ConnectionCatalog& c) {
  if (c.engine != nullptr) register_catalog_relations(c);
}

bool aborted(const std::atomic<bool>* abort) { return abort != nullptr && abort->load(); }

void first_load(const ConnectionCatalog& c, const std::atomic<bool>* abort) {
  NVAdbcInfoSchemaStore* store = c.store;
  store->load_attempted = true;
  store->load_attempted_at = Clock::now();
  if (install_snapshot(c, abort) == 0) {
    reregister(c);
  } else if (aborted(abort)) {
    store->load_attempted = false;  // a cancelled load says nothing about the next one
  }
}

// Caches a snapshot just fetched for the process (when the catalog has a cache key) and
// installs it.
void install_fetched(const ConnectionCatalog& c, CachedSnapshot fresh) {
  NVAdbcInfoSchemaStore* store = c.store;
  if (non_empty(c.uri)) catalog_sequence_note(c.uri, fresh.sequence);
  const std::string key = cache_key_of(c.uri, c.username);
  if (!key.empty()) {
    fresh.uri = c.uri;
    fresh.username = c.username;
    fresh.endpoint = store->endpoint;
    snapshot_cache_store(key, fresh);
  }
  install_into_store(store, fresh);
  nv_log_emit(NV_LOG_INFO, "info_schema", "refreshed snapshot (epoch=%llu, seq=%llu)",
              static_cast<unsigned long long>(fresh.epoch),
              static_cast<unsigned long long>(fresh.sequence));
  reregister(c);
}

// Adopts the process's cached snapshot of the same user when `current` says it is current.
template <typename Current>
bool adopt_cached(const ConnectionCatalog& c, Current current) {
  const std::string key = cache_key_of(c.uri, c.username);
  if (key.empty()) return false;
  std::optional<CachedSnapshot> cached = snapshot_cache_lookup(key);
  if (!cached || cached->epoch == 0 || !current(*cached)) return false;
  if (!cached->index) cached->index = CatalogIndex::Build(cached->batches);
  install_into_store(c.store, *cached);
  snapshot_cache_lend_endpoint(key, c.store->endpoint);
  nv_log_emit(NV_LOG_INFO, "info_schema", "adopted cached snapshot (epoch=%llu, seq=%llu)",
              static_cast<unsigned long long>(cached->epoch),
              static_cast<unsigned long long>(cached->sequence));
  reregister(c);
  return true;
}

// Brings an installed snapshot up to `target`: a newer cache entry of the same user is adopted
// as it is; otherwise the snapshot is fetched again and cached for the process.
void move_to(const ConnectionCatalog& c, uint64_t target, const std::atomic<bool>* abort) {
  if (adopt_cached(c, [&](const CachedSnapshot& cached) { return cached.sequence >= target; })) {
    return;
  }
  CachedSnapshot fresh;
  if (load_snapshot(c.connection, &fresh, abort) != LoadResult::kLoaded) return;  // old stays
  // The snapshot was fetched after the sequence reached `target`, so it is current for it.
  if (fresh.sequence < target) fresh.sequence = target;
  install_fetched(c, std::move(fresh));
}

// Marks the installed snapshot current as of `checked_at`.
void confirm_current(NVAdbcInfoSchemaStore* store, Clock::time_point checked_at) {
  std::unique_lock<std::shared_mutex> lock(store->lock);
  store->validated_at = checked_at;
}

// After a write: one conditional snapshot request, answered "not modified" while the catalog
// is still at the installed snapshot (or at a newer cached one of the same user, which is then
// adopted) and with the new snapshot otherwise. False (logged) when it failed.
bool revalidate_by_tag(const ConnectionCatalog& c, const std::atomic<bool>* abort) {
  NVAdbcInfoSchemaStore* store = c.store;
  const std::string key = cache_key_of(c.uri, c.username);
  std::optional<CachedSnapshot> cached = key.empty() ? std::nullopt : snapshot_cache_lookup(key);
  std::string etag;
  uint64_t sequence;
  {
    std::shared_lock<std::shared_mutex> lock(store->lock);
    etag = store->etag;
    sequence = store->sequence;
  }
  const bool newer_cached = cached && cached->epoch != 0 && !cached->etag.empty() &&
                            cached->sequence > sequence;
  if (newer_cached) etag = cached->etag;
  const auto checked_at = Clock::now();
  CachedSnapshot fresh;
  switch (load_snapshot(c.connection, &fresh, abort, etag)) {
    case LoadResult::kFailed:
      return false;
    case LoadResult::kNotModified:
      if (newer_cached) {
        cached->fetched_at = checked_at;
        if (!cached->index) cached->index = CatalogIndex::Build(cached->batches);
        install_into_store(store, *cached);
        reregister(c);
        sequence = cached->sequence;
      }
      confirm_current(store, checked_at);
      if (non_empty(c.uri)) catalog_sequence_note(c.uri, sequence);
      return true;
    case LoadResult::kLoaded:
      install_fetched(c, std::move(fresh));
      return true;
  }
  return false;
}

// After a write, without entity tags: the catalog version, then the snapshot when it moved.
bool revalidate_by_version(const ConnectionCatalog& c, const std::atomic<bool>* abort) {
  const auto checked_at = Clock::now();
  const std::optional<uint64_t> target = check_version(c, abort);
  if (!target) return false;
  if (non_empty(c.uri)) catalog_sequence_note(c.uri, *target);
  if (*target == installed_sequence(c.store)) {
    confirm_current(c.store, checked_at);
  } else {
    move_to(c, *target, abort);
  }
  return true;
}

// The poller borrows the connection's request settings, token included: once the connection
// logged in again, the poller gets the new token too.
void follow_renewed_token(const ConnectionCatalog& c) {
  NVAdbcInfoSchemaStore* store = c.store;
  if (!store->endpoint || store->endpoint->token == SessionToken(*c.connection).text()) return;
  store->endpoint = PollEndpoint::From(c.connection);
  const std::string key = cache_key_of(c.uri, c.username);
  if (!key.empty()) snapshot_cache_lend_endpoint(key, store->endpoint);
}

void refresh(const ConnectionCatalog& c, const std::atomic<bool>* abort) {
  NVAdbcInfoSchemaStore* store = c.store;
  const char* uri = c.uri;
  std::lock_guard<std::mutex> serial(store->refresh);
  follow_renewed_token(c);

  if (!store->load_attempted) {
    first_load(c, abort);
  } else if (!has_snapshot(store) && Clock::now() - store->load_attempted_at >= kReloadBackoff) {
    // A failed snapshot never fails a call; it is retried now and then, not on every call.
    first_load(c, abort);
  }
  // A write made before the load may be newer than a cached snapshot: it is checked below.
  if (!has_snapshot(store)) return;

  // A write of this connection, or of another one of the process, that the installed snapshot
  // may not include.
  const uint64_t generation = catalog_write_generation();
  const bool written = store->wrote.exchange(false) || generation != store->seen_write_generation;
  if (written) {
    // Another connection of the process fetched after every write counted so far.
    if (adopt_cached(c, [&](const CachedSnapshot& cached) {
          return cached.write_generation >= generation &&
                 cached.sequence >= installed_sequence(store);
        })) {
      store->seen_write_generation = generation;
      return;
    }
    bool has_tag;
    {
      std::shared_lock<std::shared_mutex> lock(store->lock);
      has_tag = !store->etag.empty();
    }
    const bool done = has_tag ? revalidate_by_tag(c, abort) : revalidate_by_version(c, abort);
    if (!done) {
      store->wrote = true;  // ask again on the next call
      return;
    }
    // Everything counted before the check is in what is installed now.
    if (store->seen_write_generation < generation) store->seen_write_generation = generation;
    return;
  }
  if (!non_empty(uri)) return;
  const std::optional<uint64_t> target = catalog_sequence_known(uri);
  if (!target || *target == installed_sequence(store)) return;
  move_to(c, *target, abort);
}

}  // namespace

std::shared_ptr<const CatalogIndex> catalog_index(NVAdbcInfoSchemaStore* store) {
  if (store == nullptr) return nullptr;
  SnapshotBatches batches;
  {
    std::shared_lock<std::shared_mutex> lock(store->lock);
    if (store->index && store->index->batches() == store->batches) return store->index;
    batches = store->batches;
  }
  auto index = CatalogIndex::Build(batches);
  std::unique_lock<std::shared_mutex> lock(store->lock);
  if (store->batches == batches) store->index = index;
  return index;
}

void refresh_catalog(const ConnectionCatalog& catalog, const std::atomic<bool>* abort) {
  if (catalog.connection == nullptr || catalog.store == nullptr) return;
  try {
    refresh(catalog, abort);
  } catch (const std::exception& e) {
    nv_log_emit(NV_LOG_ERROR, "info_schema", "catalog refresh failed: %s", e.what());
  }
}

void note_catalog_write(NVAdbcInfoSchemaStore* store) {
  if (store != nullptr) store->wrote = true;
  catalog_write_generation_bump();
}

void note_catalog_statement(NVAdbcInfoSchemaStore* store, std::string_view sql) {
  if (cells::sql_may_write_catalog(sql)) note_catalog_write(store);
}

}  // namespace norvale::adbc
