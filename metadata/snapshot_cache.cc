// The process-wide snapshot cache, keyed by control-plane URI and user name. The mutex is held
// only for lookups, copies, insertions and clearing, never across I/O or decoding.
#include <mutex>
#include <unordered_map>

#include "core/secure_zero_internal.h"
#include "metadata/snapshot_cache_internal.h"

namespace norvale::adbc {
namespace {

std::mutex g_snapshot_cache_mutex;
// Leaked on purpose: the poller may still read the cache while static destructors run.
auto& g_snapshot_cache = *new std::unordered_map<std::string, CachedSnapshot>();

}  // namespace

CachedSnapshot::~CachedSnapshot() { secure_zero(token); }

std::string snapshot_cache_key(const std::string& uri, const std::string& username) {
  std::string key;
  key.reserve(uri.size() + 1 + username.size());
  key.append(uri).push_back('\x1f');
  key.append(username);
  return key;
}

std::optional<CachedSnapshot> snapshot_cache_lookup(const std::string& key) {
  std::lock_guard<std::mutex> guard(g_snapshot_cache_mutex);
  auto it = g_snapshot_cache.find(key);
  if (it == g_snapshot_cache.end()) return std::nullopt;
  if (std::chrono::steady_clock::now() - it->second.fetched_at > kSnapshotCacheMaxAge) {
    g_snapshot_cache.erase(it);
    return std::nullopt;
  }
  return it->second;
}

void snapshot_cache_store(const std::string& key, CachedSnapshot entry) {
  std::lock_guard<std::mutex> guard(g_snapshot_cache_mutex);
  g_snapshot_cache[key] = std::move(entry);
}

bool snapshot_cache_poll_target(std::string* uri, std::string* token) {
  std::lock_guard<std::mutex> guard(g_snapshot_cache_mutex);
  for (const auto& [key, entry] : g_snapshot_cache) {
    if (entry.uri.empty() || entry.token.empty()) continue;
    *uri = entry.uri;
    *token = entry.token;
    return true;
  }
  return false;
}

void snapshot_cache_clear() {
  std::lock_guard<std::mutex> guard(g_snapshot_cache_mutex);
  g_snapshot_cache.clear();
}

size_t snapshot_cache_size_for_test() {
  std::lock_guard<std::mutex> guard(g_snapshot_cache_mutex);
  return g_snapshot_cache.size();
}

bool snapshot_cache_contains_for_test(const std::string& key) {
  std::lock_guard<std::mutex> guard(g_snapshot_cache_mutex);
  return g_snapshot_cache.count(key) != 0;
}

bool snapshot_cache_age_for_test(const std::string& key, std::chrono::seconds by) {
  std::lock_guard<std::mutex> guard(g_snapshot_cache_mutex);
  auto it = g_snapshot_cache.find(key);
  if (it == g_snapshot_cache.end()) return false;
  it->second.fetched_at -= by;
  return true;
}

}  // namespace norvale::adbc
