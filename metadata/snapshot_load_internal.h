// The steps shared by the first install of a connection's snapshot and its later refreshes.
#pragma once

#include <string>

#include "metadata/snapshot_cache_internal.h"

namespace norvale::adbc {

/// Fetches the snapshot over the state's core connection, decodes the nine result sets and
/// indexes them. `out` receives batches, index and epoch (sequence set to the epoch). False,
/// with the reason logged, when the fetch or a decode fails.
bool load_snapshot(NVAdbcConnectionState* state, CachedSnapshot* out);

/// Puts `snapshot` into the store under its exclusive lock.
void install_into_store(NVAdbcInfoSchemaStore* store, const CachedSnapshot& snapshot);

/// The cache key of the state's database options, or empty when uri or username is missing
/// (such connections neither read nor write the cache).
std::string cache_key_of(const char* uri, const char* username);

}  // namespace norvale::adbc
