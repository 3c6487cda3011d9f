// The core connection record, shared by the query, ingest and snapshot requests.
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "core/curl_handles_internal.h"
#include "core/reservation_confirm_internal.h"
#include "core/socket_pool_internal.h"
#include "norvale/nv_core.h"

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

namespace norvale {
struct ReservationConfirm;
}

/// One session with the service. Created by nv_connect. A running query holds the connection
/// too, so that a host may release its connection before the query's result stream: the
/// connection is freed (token zeroed) when nv_disconnect, the last query and the reservation
/// confirm have all let go. Ingests hold a plain pointer and must be finished first. Not
/// copyable: the TLS view points into the owned texts.
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
  // The confirm of the reservation (reservation_confirm_internal.h); null without one.
  std::shared_ptr<norvale::ReservationConfirm> confirm;

  // Once connected, workers read the session token while a renewal may replace it: read it
  // through SessionToken, write it (and subject_id) under token_mutex.
  mutable std::mutex token_mutex;
  // Serialises renewals; held across the login request, so only renewals wait on it.
  std::mutex renew_mutex;
  // The credentials of the password login, kept to log in again when the service refuses the
  // token (empty without a password). Zeroed at teardown.
  std::string login_username;
  std::string login_password;

  // The process's sockets for connections with this connection's transport settings.
  std::shared_ptr<norvale::SocketPool> pool;
  // "Accept-Encoding" of query requests; empty: results come as the server sends them.
  std::string query_accept_encoding;

  std::atomic<int> holders{1};  // nv_connect's own, plus one per query or confirm that holds it

  NVConnection() = default;
  NVConnection(const NVConnection&) = delete;
  NVConnection& operator=(const NVConnection&) = delete;

  /// The request settings of this connection (connect time-out, application name, proxy,
  /// stream buffer size) as an extras record borrowing the connection's texts.
  NVConnExtras extras() const { return extras_view(*this); }

  /// The share handle to attach to the connection's requests (null: none).
  void* share() const { return pool ? pool->share() : nullptr; }

  /// Base URL for queries and ingests: the compute URL, or the control-plane URL when empty.
  const std::string& query_base_url() const {
    return compute_url.empty() ? control_plane_url : compute_url;
  }
};

namespace norvale {

/// A copy of the connection's session token, taken under its lock and zeroed when it goes.
class SessionToken {
 public:
  explicit SessionToken(const NVConnection& conn);
  ~SessionToken();
  SessionToken(const SessionToken&) = delete;
  SessionToken& operator=(const SessionToken&) = delete;
  const std::string& text() const { return text_; }
  /// NULL for an empty token.
  const char* c_str_or_null() const { return text_.empty() ? nullptr : text_.c_str(); }

 private:
  std::string text_;
};

/// Whether a failed request's message says the service refused the token (HTTP 401 or SQLSTATE
/// 28000).
bool token_refused(const char* err);

/// Logs in again with the connection's password login after the service refused `refused`,
/// once for every request that token failed: when the token differs already (another request
/// renewed it meanwhile) nothing is sent. The refused token leaves the process-wide cache and
/// the new one takes its place. False with a message (err may be NULL) when the connection has
/// no password to log in with or the login fails.
bool renew_session_token(NVConnection* conn, const std::string& refused, char* err,
                         size_t err_size);

/// Runs the control-plane request `request(token)` (0 for success, otherwise a message in
/// `err`) with the connection's session token; when the message says the service refused the
/// token and a renewal succeeds, runs it once more with the new token.
template <typename Request>
int with_session_token(NVConnection* conn, char* err, size_t err_size, Request request) {
  const ControlPlaneUse control_plane(conn);
  int rc;
  {
    const SessionToken token(*conn);
    rc = request(token);
    if (rc == 0 || !token_refused(err) || !renew_session_token(conn, token.text(), nullptr, 0)) {
      return rc;
    }
  }
  if (err != nullptr && err_size > 0) err[0] = '\0';
  const SessionToken renewed(*conn);
  return request(renewed);
}

/// Sets what the connection's query requests ask for: "none" (results as the server sends
/// them), "zstd", "gzip" or "auto" (either, as the server prefers). A coding this process's
/// libcurl cannot decode is not asked for (logged). False for any other mode.
bool set_query_compression(NVConnection* conn, std::string_view mode);

/// Adds a holder (a query that will use the connection from its worker).
void retain_connection(NVConnection* conn);
/// Drops a holder; the last one frees the connection.
void release_connection(NVConnection* conn);

}  // namespace norvale
