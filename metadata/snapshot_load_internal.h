// The steps shared by the first install of a connection's snapshot and its later refreshes.
#pragma once

#include <atomic>
#include <string>

#include "metadata/snapshot_cache_internal.h"
#include "norvale/nv_snapshot.h"

namespace norvale::adbc {

/// A conditional snapshot request: the entity tag of a snapshot the caller holds, answered
/// "not modified" while the catalog is still at that snapshot; and the tag of the answer.
struct SnapshotValidator {
  std::string if_none_match;  // empty: an unconditional request
  std::string etag;           // of the answer; empty when the server sends none
  bool not_modified = false;  // the server answered 304: nothing was fetched
};

/// What loading a snapshot found.
enum class LoadResult { kLoaded, kNotModified, kFailed };

/// Fetches the snapshot over the core connection, decodes the nine result sets and
/// indexes them. `out` receives batches, index, epoch (sequence set to the epoch), entity tag,
/// and the process's write generation read before the request. kFailed, with the reason
/// logged, when the fetch or a decode fails. With a non-empty `if_none_match`, kNotModified
/// (and `out` untouched) when the catalog is still at the snapshot of that tag. A non-null
/// `abort` stops the fetch once it holds true.
LoadResult load_snapshot(NVConnection* connection, CachedSnapshot* out,
                         const std::atomic<bool>* abort = nullptr,
                         const std::string& if_none_match = std::string());

/// install_catalog_snapshot without its catch-all; a non-null `abort` stops the fetch once it
/// holds true.
int install_snapshot(const ConnectionCatalog& catalog, const std::atomic<bool>* abort);

/// nv_fetch_snapshot and nv_fetch_epoch, stopped once `abort` holds true (null: never). With a
/// validator the snapshot request is conditional (see SnapshotValidator); a "not modified"
/// answer returns 0 with `out` empty.
int fetch_connection_snapshot(NVConnection* conn, NVInfoSchemaSnapshot* out, char* err,
                              size_t err_size, const std::atomic<bool>* abort,
                              SnapshotValidator* validator = nullptr);
int fetch_connection_catalog_version(NVConnection* conn, NVCatalogVersion* out, char* err,
                                     size_t err_size, const std::atomic<bool>* abort);

/// Puts `snapshot` into the store under its exclusive lock.
void install_into_store(NVAdbcInfoSchemaStore* store, const CachedSnapshot& snapshot);

/// The cache key of a connection's uri and user name, or empty when uri or username is missing
/// (such connections neither read nor write the cache).
std::string cache_key_of(const char* uri, const char* username);

}  // namespace norvale::adbc
