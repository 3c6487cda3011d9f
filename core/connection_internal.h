// The core connection record, shared by the query, ingest and snapshot requests.
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/curl_handles_internal.h"
#include "norvale/nv_core.h"

/// One session with the service. Created by nv_connect. A running query holds the connection
/// too, so that a host may release its connection before the query's result stream: the
/// connection is freed (token zeroed, share handle cleaned up) when nv_disconnect and the last
/// query have both let go. Ingests hold a plain pointer and must be finished first. Not
/// copyable: the TLS view points into the owned texts.
/// An extras record borrowing the texts of `settings`: any record that holds the request
/// settings under the connection's field names (the connection itself, the poller's copy).
template <typename Settings>
NVConnExtras extras_view(const Settings& settings) {
  NVConnExtras view{};
  view.connect_timeout = settings.connect_timeout;
  view.application_name = settings.application_name.c_str();
  view.proxy_url = settings.proxy_url.c_str();
  view.proxy_user = settings.proxy_user.c_str();
  view.proxy_pass = settings.proxy_pass.c_str();
  view.max_stream_buffer_mb = settings.max_stream_buffer_mb;
  return view;
}

struct NVConnection {
  std::string control_plane_url;
  std::string compute_url;   // empty: requests go to the control-plane URL
  std::string compute_node;  // sent as "x-norvale-node"
  std::string session_token;
  std::string subject_id;  // empty with a caller-given or cached token

  // TLS settings copied from the caller; the text fields of `tls` point into the strings.
  NVTlsConfig tls{};
  std::string tls_hostname_in_certificate;
  std::string tls_ca_certificate;
  std::string tls_client_cert;
  std::string tls_client_key;

  int64_t connect_timeout = 0;       // seconds; 0: users apply 10 seconds
  int32_t max_stream_buffer_mb = 0;  // 0: the query default
  std::string application_name;
  std::string user_agent;
  std::string proxy_url;
  std::string proxy_user;
  std::string proxy_pass;

  std::string reservation;  // empty when routing reserved nothing
  bool reservation_confirmed = false;

  CURLSH* curl_share = nullptr;
  // Taken by libcurl through the share's lock callbacks. Held by pointer so that a share
  // handle leaked at teardown (a transfer still attached) keeps a live mutex.
  std::unique_ptr<std::recursive_mutex> share_mutex;

  std::atomic<int> holders{1};  // nv_connect's own, plus one per query that holds it

  NVConnection() = default;
  NVConnection(const NVConnection&) = delete;
  NVConnection& operator=(const NVConnection&) = delete;

  /// The request settings of this connection (connect time-out, application name, proxy,
  /// stream buffer size) as an extras record borrowing the connection's texts.
  NVConnExtras extras() const { return extras_view(*this); }

  /// Base URL for queries and ingests: the compute URL, or the control-plane URL when empty.
  const std::string& query_base_url() const {
    return compute_url.empty() ? control_plane_url : compute_url;
  }
};

namespace norvale {

/// Adds a holder (a query that will use the connection from its worker).
void retain_connection(NVConnection* conn);
/// Drops a holder; the last one frees the connection.
void release_connection(NVConnection* conn);

}  // namespace norvale
