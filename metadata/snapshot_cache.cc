// The process-wide snapshot cache, keyed by control-plane URI and user name. The mutex is held
// only for lookups, copies, insertions and clearing, never across I/O or decoding.
#include <atomic>
#include <mutex>
#include <unordered_map>

#include "metadata/snapshot_cache_internal.h"

namespace norvale::adbc {
namespace {

std::mutex g_snapshot_cache_mutex;
// Leaked on purpose: the poller may still read the cache while static destructors run.
auto& g_snapshot_cache = *new std::unordered_map<std::string, CachedSnapshot>();
// Control-plane URI to the largest catalog sequence seen; guarded by g_snapshot_cache_mutex.
auto& g_known_sequence = *new std::unordered_map<std::string, uint64_t>();

}  // namespace

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

void snapshot_cache_lend_endpoint(const std::string& key,
                                  const std::shared_ptr<const PollEndpoint>& endpoint) {
  if (!endpoint) return;
  std::lock_guard<std::mutex> guard(g_snapshot_cache_mutex);
  auto it = g_snapshot_cache.find(key);
  if (it != g_snapshot_cache.end() && it->second.endpoint.expired()) {
    it->second.endpoint = endpoint;
  }
}

std::shared_ptr<const PollEndpoint> snapshot_cache_poll_target() {
  std::lock_guard<std::mutex> guard(g_snapshot_cache_mutex);
  for (const auto& [key, entry] : g_snapshot_cache) {
    auto endpoint = entry.endpoint.lock();
    if (endpoint && !endpoint->url.empty() && !endpoint->token.empty()) return endpoint;
  }
  return nullptr;
}

namespace {
std::atomic<uint64_t> g_write_generation{0};
}  // namespace

uint64_t catalog_write_generation() { return g_write_generation.load(); }
void catalog_write_generation_bump() { g_write_generation.fetch_add(1); }

void catalog_sequence_note(const std::string& uri, uint64_t sequence) {
  std::lock_guard<std::mutex> guard(g_snapshot_cache_mutex);
  uint64_t& known = g_known_sequence[uri];
  if (sequence > known) known = sequence;
}

std::optional<uint64_t> catalog_sequence_known(const std::string& uri) {
  std::lock_guard<std::mutex> guard(g_snapshot_cache_mutex);
  auto it = g_known_sequence.find(uri);
  if (it == g_known_sequence.end()) return std::nullopt;
  return it->second;
}

void snapshot_cache_clear() {
  std::lock_guard<std::mutex> guard(g_snapshot_cache_mutex);
  g_snapshot_cache.clear();
}

void snapshot_cache_clear_uri(const std::string& uri) {
  std::lock_guard<std::mutex> guard(g_snapshot_cache_mutex);
  std::erase_if(g_snapshot_cache, [&](const auto& item) { return item.second.uri == uri; });
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
