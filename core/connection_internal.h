// The core connection record, shared by the query, ingest and snapshot requests.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/curl_handles_internal.h"
#include "norvale/nv_core.h"

/// One session with the service. Created by nv_connect, freed by nv_disconnect; queries and
/// ingests hold a plain pointer and must be closed first. Not copyable: the TLS view points
/// into the owned texts.
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

  NVConnection() = default;
  NVConnection(const NVConnection&) = delete;
  NVConnection& operator=(const NVConnection&) = delete;

  /// The request settings of this connection (connect time-out, application name, proxy,
  /// stream buffer size) as an extras record borrowing the connection's texts.
  NVConnExtras extras() const;

  /// Base URL for queries and ingests: the compute URL, or the control-plane URL when empty.
  const std::string& query_base_url() const {
    return compute_url.empty() ? control_plane_url : compute_url;
  }
};

namespace norvale {

/// Applies what every request of a connection shares to an easy handle: the URL, no signals,
/// the connect time-out, the share handle with keep-alive, the User-Agent, the proxy and the
/// TLS settings (host-name override included, its list stored in `resolve`, which must outlive
/// the transfer). Returns 0, or -1 with "TLS configuration: ..." in err.
int apply_connection_settings(CURL* curl, NVConnection* conn, const char* url,
                              CurlSlistPtr* resolve, char* err, size_t err_size);

}  // namespace norvale
