#include "core/socket_pool_internal.h"

#include <pthread.h>

#include <atomic>
#include <list>
#include <string>
#include <utility>

#include "core/keyed_digest_internal.h"
#include "norvale/nv_log.h"

namespace norvale {

void nv_share_lock_cb(CURL* /*handle*/, curl_lock_data /*data*/, curl_lock_access /*access*/,
                      void* user) {
  if (user != nullptr) static_cast<std::recursive_mutex*>(user)->lock();
}

void nv_share_unlock_cb(CURL* /*handle*/, curl_lock_data /*data*/, void* user) {
  if (user != nullptr) static_cast<std::recursive_mutex*>(user)->unlock();
}

namespace {

constexpr const char* kTransport = "transport";
// Distinct transport settings in one process are few; beyond this many, the least recently
// used pool is dropped (its connections keep it until they end).
constexpr size_t kMaxPools = 16;

// Counts the forks this process descends from; a pool made under an older count is not used.
std::atomic<uint64_t> g_fork_generation{0};

struct Registry {
  std::mutex mutex;
  std::list<std::pair<std::string, std::shared_ptr<SocketPool>>> pools;  // most recent last
};

void lock_for_fork();
void unlock_after_fork();
void reset_in_child();

Registry& registry() {
  // Never destroyed: connections may be torn down while the process exits.
  static Registry* instance = [] {
    auto* r = new Registry();
    pthread_atfork(&lock_for_fork, &unlock_after_fork, &reset_in_child);
    return r;
  }();
  return *instance;
}

// Held across fork(), so that the child's copy of the registry is consistent.
void lock_for_fork() { registry().mutex.lock(); }
void unlock_after_fork() { registry().mutex.unlock(); }

void reset_in_child() {
  g_fork_generation.fetch_add(1);
  Registry& r = registry();
  // The parent's pools are forgotten, not cleaned up: closing their sockets here would end
  // TLS sessions the parent still uses.
  r.pools.clear();
  r.mutex.unlock();
}

/// The share handle for connections, DNS and TLS sessions, or null (logged) when libcurl
/// cannot make or configure one.
CURLSH* make_share(std::recursive_mutex* mutex) {
  CURLSH* share = curl_share_init();
  if (share == nullptr) {
    nv_log_emit(NV_LOG_WARN, kTransport,
                "curl_share_init failed; per-query connection pooling disabled");
    return nullptr;
  }
  const char* step = "USERDATA";
  CURLSHcode rc = curl_share_setopt(share, CURLSHOPT_USERDATA, mutex);
  if (rc == CURLSHE_OK) {
    step = "LOCKFUNC";
    rc = curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &nv_share_lock_cb);
  }
  if (rc == CURLSHE_OK) {
    step = "UNLOCKFUNC";
    rc = curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &nv_share_unlock_cb);
  }
  if (rc == CURLSHE_OK) {
    step = "SHARE=CONNECT";
    rc = curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
  }
  if (rc == CURLSHE_OK) {
    step = "SHARE=DNS";
    rc = curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  }
  if (rc == CURLSHE_OK) {
    step = "SHARE=SSL_SESSION";
    rc = curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  }
  if (rc != CURLSHE_OK) {
    nv_log_emit(NV_LOG_WARN, kTransport,
                "curl_share_setopt(%s) failed: %s; per-query pooling disabled", step,
                curl_share_strerror(rc));
    curl_share_cleanup(share);
    return nullptr;
  }
  return share;
}

const char* text_or_empty(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

SocketPool::SocketPool()
    : mutex_(std::make_unique<std::recursive_mutex>()),
      fork_generation_(g_fork_generation.load()) {
  share_ = make_share(mutex_.get());
}

SocketPool::~SocketPool() {
  if (share_ == nullptr) return;
  if (fork_generation_ != g_fork_generation.load()) {
    (void)mutex_.release();  // a pool of the parent process: see reset_in_child
    return;
  }
  const CURLSHcode rc = curl_share_cleanup(share_);
  if (rc != CURLSHE_OK) {
    nv_log_emit(NV_LOG_ERROR, kTransport,
                "curl_share_cleanup returned %s; a transfer is still attached. Share handle is "
                "being leaked to avoid a worker-side use-after-free",
                curl_share_strerror(rc));
    (void)mutex_.release();
  }
}

CURLSH* SocketPool::share() const {
  return fork_generation_ == g_fork_generation.load(std::memory_order_relaxed) ? share_
                                                                                : nullptr;
}

std::shared_ptr<SocketPool> socket_pool_for(const NVTlsConfig& tls, const std::string& proxy_url,
                                            const std::string& proxy_user,
                                            const std::string& proxy_pass) {
  // A digest, so that the process keeps no proxy password beyond the connections using it.
  const std::string key = keyed_digest(
      {std::to_string(tls.encrypt), std::to_string(tls.trust_server_certificate),
       std::to_string(tls.min_tls_version), text_or_empty(tls.hostname_in_certificate),
       text_or_empty(tls.ca_certificate), text_or_empty(tls.client_cert),
       text_or_empty(tls.client_key), proxy_url, proxy_user, proxy_pass});
  if (key.empty()) return std::make_shared<SocketPool>();  // no key: a pool of its own
  Registry& r = registry();
  std::shared_ptr<SocketPool> dropped;  // cleaned up after the lock is released
  std::lock_guard<std::mutex> lock(r.mutex);
  for (auto it = r.pools.begin(); it != r.pools.end(); ++it) {
    if (it->first == key) {
      r.pools.splice(r.pools.end(), r.pools, it);
      return r.pools.back().second;
    }
  }
  auto pool = std::make_shared<SocketPool>();
  r.pools.emplace_back(key, pool);
  if (r.pools.size() > kMaxPools) {
    dropped = std::move(r.pools.front().second);
    r.pools.pop_front();
  }
  return pool;
}

size_t socket_pools_for_test() {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.pools.size();
}

}  // namespace norvale
