// The request settings of a live connection (control-plane URL, token, TLS, proxy and the other
// extras), copied so that the snapshot poller can send its catalog version request exactly as
// that connection would, and so that it can outlive nothing it borrows.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/socket_pool_internal.h"
#include "norvale/nv_core.h"

struct NVConnection;

namespace norvale::adbc {

struct PollEndpoint {
  std::string url;    // control-plane URL
  std::string token;  // bearer token
  int32_t encrypt = 1;
  int32_t trust_server_certificate = 0;
  int32_t min_tls_version = 0;
  std::string hostname_in_certificate, ca_certificate, client_cert, client_key;
  int64_t connect_timeout = 0;
  int32_t max_stream_buffer_mb = 0;
  std::string application_name, proxy_url, proxy_user, proxy_pass;
  // The connection's socket pool: the poll reuses the connection's sockets to the control plane.
  std::shared_ptr<norvale::SocketPool> pool;

  PollEndpoint() = default;
  PollEndpoint(const PollEndpoint&) = delete;
  PollEndpoint& operator=(const PollEndpoint&) = delete;
  ~PollEndpoint();  // zeroes the token and the proxy password

  /// A copy of `conn`'s settings; null for a null connection.
  static std::shared_ptr<const PollEndpoint> From(const NVConnection* conn);

  /// Views borrowing this record's texts (valid while it lives).
  NVTlsConfig tls() const;
  NVConnExtras extras() const;
  /// The share handle to attach to the poll (null: none).
  void* share() const { return pool ? pool->share() : nullptr; }
};

}  // namespace norvale::adbc
