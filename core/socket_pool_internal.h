// The process's socket pools. Each is a libcurl share handle (TCP and TLS connections, TLS
// sessions, DNS results) used by every core connection whose transport settings are the same,
// so that a connection reuses the sockets a released or parallel one opened. Requests share
// sockets only: each carries its own headers, and no cookie or authentication state is shared.
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "norvale/nv_core.h"

namespace norvale {

/// libcurl takes the mutex given as the share's user data for every kind of shared data
/// (nothing when it is null).
void nv_share_lock_cb(CURL* handle, curl_lock_data data, curl_lock_access access, void* user);
void nv_share_unlock_cb(CURL* handle, curl_lock_data data, void* user);

class SocketPool {
 public:
  /// A pool with a new share handle; a pool without one (logged) when libcurl cannot make or
  /// configure it, whose requests then open sockets of their own.
  SocketPool();
  ~SocketPool();
  SocketPool(const SocketPool&) = delete;
  SocketPool& operator=(const SocketPool&) = delete;

  /// The share handle to attach to a request, or null: without one, or in a child of fork()
  /// for a pool made before the fork (its sockets and TLS states are the parent's, and a
  /// second user would corrupt them).
  CURLSH* share() const;

 private:
  CURLSH* share_ = nullptr;
  // Taken by libcurl through the lock callbacks. Held by pointer so that a pool inherited
  // across fork(), whose mutex a thread of the parent may have held, is left alone.
  std::unique_ptr<std::recursive_mutex> mutex_;
  uint64_t fork_generation_ = 0;
};

/// The pool for connections with these TLS settings and this proxy (URL, user and password),
/// made on first use and kept for the process. Two settings share a pool only when every field
/// is equal. Never null.
std::shared_ptr<SocketPool> socket_pool_for(const NVTlsConfig& tls, const std::string& proxy_url,
                                            const std::string& proxy_user,
                                            const std::string& proxy_pass);

/// Pools kept right now (for tests).
size_t socket_pools_for_test();

}  // namespace norvale
