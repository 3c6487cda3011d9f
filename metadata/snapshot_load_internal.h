// The steps shared by the first install of a connection's snapshot and its later refreshes.
#pragma once

#include <atomic>
#include <string>

#include "metadata/snapshot_cache_internal.h"
#include "norvale/nv_snapshot.h"

namespace norvale::adbc {

/// Fetches the snapshot over the core connection, decodes the nine result sets and indexes
/// them. `out` receives batches, index and epoch (sequence set to the epoch). False, with the
/// reason logged, when the fetch or a decode fails. A non-null `abort` stops the fetch once it
/// holds true.
bool load_snapshot(NVConnection* connection, CachedSnapshot* out,
                   const std::atomic<bool>* abort = nullptr);

/// install_catalog_snapshot without its catch-all; a non-null `abort` stops the fetch once it
/// holds true.
int install_snapshot(const ConnectionCatalog& catalog, const std::atomic<bool>* abort);

/// nv_fetch_snapshot and nv_fetch_epoch, stopped once `abort` holds true (null: never).
int fetch_connection_snapshot(NVConnection* conn, NVInfoSchemaSnapshot* out, char* err,
                              size_t err_size, const std::atomic<bool>* abort);
int fetch_connection_catalog_version(NVConnection* conn, NVCatalogVersion* out, char* err,
                                     size_t err_size, const std::atomic<bool>* abort);

/// Puts `snapshot` into the store under its exclusive lock.
void install_into_store(NVAdbcInfoSchemaStore* store, const CachedSnapshot& snapshot);

/// The cache key of a connection's uri and user name, or empty when uri or username is missing
/// (such connections neither read nor write the cache).
std::string cache_key_of(const char* uri, const char* username);

}  // namespace norvale::adbc
