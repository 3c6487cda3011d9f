#include <curl/curl.h>

#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "core/connection_internal.h"
#include "core/error_text_internal.h"
#include "core/global_internal.h"
#include "core/http_internal.h"
#include "core/request_internal.h"
#include "core/session_cache_internal.h"
#include "core/socket_pool_internal.h"
#include "norvale/nv_core.h"
#include "norvale/nv_log.h"
#include "util/secure_zero_internal.h"
#include "util/strings_internal.h"

namespace norvale {

namespace {

constexpr const char* kTransport = "transport";
constexpr const char* kAuth = "auth";

const char* or_auto(const char* text) { return non_empty(text) ? text : "(auto)"; }

const char* or_text(const std::string& text, const char* fallback) {
  return text.empty() ? fallback : text.c_str();
}

const char* null_if_empty(const std::string& text) {
  return text.empty() ? nullptr : text.c_str();
}

/// Zeroes the secrets and frees the connection (its sockets stay in the process's pool).
/// Abandons nothing.
void destroy_connection(NVConnection* conn) {
  secure_zero(conn->session_token);
  secure_zero(conn->proxy_pass);
  secure_zero(conn->reservation);
  secure_zero(conn->login_password);
  delete conn;
}

struct ConnectionDeleter {
  void operator()(NVConnection* conn) const { destroy_connection(conn); }
};
using ConnectionPtr = std::unique_ptr<NVConnection, ConnectionDeleter>;

void copy_text(const char* from, std::string* to, const char** view) {
  if (from == nullptr) {
    *view = nullptr;
    return;
  }
  *to = from;
  *view = to->c_str();
}

void copy_tls(const NVTlsConfig* tls, NVConnection* conn) {
  NVTlsConfig source;
  nv_tls_config_init(&source);
  if (tls != nullptr) source = *tls;
  conn->tls.encrypt = source.encrypt;
  conn->tls.trust_server_certificate = source.trust_server_certificate;
  conn->tls.min_tls_version = source.min_tls_version;
  copy_text(source.hostname_in_certificate, &conn->tls_hostname_in_certificate,
            &conn->tls.hostname_in_certificate);
  copy_text(source.ca_certificate, &conn->tls_ca_certificate, &conn->tls.ca_certificate);
  copy_text(source.client_cert, &conn->tls_client_cert, &conn->tls.client_cert);
  copy_text(source.client_key, &conn->tls_client_key, &conn->tls.client_key);
}

/// Stores a non-empty extras text unless it holds a line break, which would let it end a
/// header line; such a value is ignored and logged.
void store_filtered(const char* value, const char* name, std::string* to) {
  if (!non_empty(value)) return;
  if (std::strpbrk(value, "\r\n") != nullptr) {
    nv_log_emit(NV_LOG_WARN, kTransport, "%s contains forbidden control characters; ignored",
                name);
    return;
  }
  *to = value;
}

/// Copies the extras. A proxy setting with a line break fails the connection: dropping it
/// would send the requests directly, around the proxy the user required.
bool copy_extras(const NVConnExtras* extras, NVConnection* conn, char* err, size_t err_size) {
  if (extras == nullptr) return true;
  for (const auto& [value, name] : {std::pair{extras->proxy_url, "proxy_url"},
                                    std::pair{extras->proxy_user, "proxy_user"},
                                    std::pair{extras->proxy_pass, "proxy_pass"}}) {
    if (non_empty(value) && std::strpbrk(value, "\r\n") != nullptr) {
      write_error(err, err_size, "%s contains forbidden control characters", name);
      return false;
    }
  }
  if (extras->connect_timeout > 0) conn->connect_timeout = extras->connect_timeout;
  if (extras->max_stream_buffer_mb > 0) conn->max_stream_buffer_mb = extras->max_stream_buffer_mb;
  store_filtered(extras->application_name, "application_name", &conn->application_name);
  store_filtered(extras->proxy_url, "proxy_url", &conn->proxy_url);
  store_filtered(extras->proxy_user, "proxy_user", &conn->proxy_user);
  store_filtered(extras->proxy_pass, "proxy_pass", &conn->proxy_pass);
  return true;
}

enum class AuthOutcome { kFailed, kGiven, kLoggedIn, kFromCache };

/// Logs in, or (when `use_cache`) reuses a cached token. `cache_key` receives the cache key of
/// the credentials (empty when the cache does not apply).
AuthOutcome authenticate(NVConnection* conn, const char* session_token, const char* username,
                         const char* password, const NVConnExtras* extras, bool use_cache,
                         std::string* cache_key, char* err, size_t err_size) {
  if (session_token != nullptr) {
    conn->session_token = session_token;
    return AuthOutcome::kGiven;
  }
  if (!conn->control_plane_url.empty() && non_empty(username) && non_empty(password)) {
    *cache_key = session_cache_key(conn->control_plane_url, username, password);
    if (use_cache && !cache_key->empty() &&
        session_cache_lookup(*cache_key, &conn->session_token)) {
      nv_log_emit(NV_LOG_INFO, kAuth,
                  "Reusing cached session token for %s against %s (skipping /auth)", username,
                  conn->control_plane_url.c_str());
      return AuthOutcome::kFromCache;
    }
  }
  NVAuthResult result{};
  if (nv_auth_login_password(conn->control_plane_url.c_str(), username, password, &conn->tls,
                             extras, conn->share(), &result, err, err_size) != 0) {
    nv_log_emit(NV_LOG_ERROR, kTransport, "Connection failed during auth: %s",
                error_or_no_detail(err, err_size));
    return AuthOutcome::kFailed;
  }
  {
    std::lock_guard<std::mutex> lock(conn->token_mutex);
    secure_zero(conn->session_token);
    if (result.session_token != nullptr) conn->session_token = result.session_token;
    if (result.subject_id != nullptr) conn->subject_id = result.subject_id;
  }
  nv_auth_result_free(&result);
  const SessionToken token(*conn);
  if (token.text().empty()) {
    write_error(err, err_size, "auth succeeded but no session token issued");
    return AuthOutcome::kFailed;
  }
  if (!cache_key->empty()) session_cache_store(*cache_key, token.text());
  return AuthOutcome::kLoggedIn;
}

/// Chooses the compute node. False with a message (logged) on failure.
bool route(NVConnection* conn, const char* compute_url, const char* compute_node,
           const NVConnExtras* extras, char* err, size_t err_size) {
  NVNodeRoute node{};
  int rc = 0;
  if (non_empty(compute_url)) {
    if (nv_tls_validate(&conn->tls, compute_url, err, err_size) != 0) {
      nv_log_emit(NV_LOG_ERROR, kTransport, "ComputeServer URL fails TLS validation: %s",
                  error_or_no_detail(err, err_size));
      return false;
    }
    rc = nv_route_from_explicit_url(compute_url, &node, err, err_size);
  } else if (non_empty(compute_node)) {
    rc = nv_route_lookup_by_entity_ref(conn->control_plane_url.c_str(),
                                       conn->session_token.c_str(), compute_node, &conn->tls,
                                       extras, conn->share(), &node, err, err_size);
  } else {
    rc = nv_route_recommend(conn->control_plane_url.c_str(), conn->session_token.c_str(),
                            null_if_empty(conn->subject_id), &conn->tls, extras,
                            conn->share(), &node, err, err_size);
  }
  if (rc != 0) {
    nv_log_emit(NV_LOG_ERROR, kTransport, "Connection failed during compute routing: %s",
                error_or_no_detail(err, err_size));
    return false;
  }
  if (node.url != nullptr) conn->compute_url = node.url;
  if (node.node_id != nullptr) conn->compute_node = node.node_id;
  if (node.reservation_id != nullptr) conn->reservation = node.reservation_id;
  nv_node_route_free(&node);
  return true;
}

NVConnection* connect(const char* control_plane_url, const char* compute_url,
                      const char* compute_node, const char* session_token, const char* username,
                      const char* password, const NVTlsConfig* tls,
                      const NVConnExtras* caller_extras, char* err, size_t err_size) {
  if (control_plane_url == nullptr) {
    write_error(err, err_size, "nv_connect: control_plane_url is required");
    return nullptr;
  }
  if (session_token == nullptr && (username == nullptr || password == nullptr)) {
    write_error(err, err_size,
                "nv_connect: either session_token or (username + password) is required");
    return nullptr;
  }
  nv_log_emit(NV_LOG_INFO, kTransport,
              "Connecting to %s (auth=%s, compute_url=%s, compute_node=%s)", control_plane_url,
              session_token != nullptr ? "session_token" : "username/password",
              or_auto(compute_url), or_auto(compute_node));

  ConnectionPtr conn(new (std::nothrow) NVConnection());
  if (!conn) {
    write_error(err, err_size, "out of memory");
    return nullptr;
  }
  conn->control_plane_url = control_plane_url;
  copy_tls(tls, conn.get());
  if (!copy_extras(caller_extras, conn.get(), err, err_size)) return nullptr;
  conn->pool =
      socket_pool_for(conn->tls, conn->proxy_url, conn->proxy_user, conn->proxy_pass);

  // Login and routing requests use the filtered settings, so that a rejected value (a line
  // break in the application name, say) cannot reach a request header.
  const NVConnExtras extras = conn->extras();
  conn->user_agent = user_agent_from_extras(&extras);
  if (non_empty(username) && non_empty(password)) {
    conn->login_username = username;
    conn->login_password = password;
  }
  std::string cache_key;
  const AuthOutcome auth = authenticate(conn.get(), session_token, username, password, &extras,
                                        /*use_cache=*/true, &cache_key, err, err_size);
  if (auth == AuthOutcome::kFailed) return nullptr;
  if (!route(conn.get(), compute_url, compute_node, &extras, err, err_size)) {
    if (auth != AuthOutcome::kFromCache || !token_refused(err)) return nullptr;
    // The server expired or revoked the cached token: log in once more.
    const SessionToken refused(*conn);
    if (!renew_session_token(conn.get(), refused.text(), err, err_size) ||
        !route(conn.get(), compute_url, compute_node, &extras, err, err_size)) {
      return nullptr;
    }
  }

  if (!conn->reservation.empty()) start_confirm(conn.get());
  nv_log_emit(NV_LOG_INFO, kTransport,
              "Connection established (subject_id=%s, compute_url=%s, compute_node=%s, "
              "reservation=%s)",
              or_text(conn->subject_id, "(unknown)"), conn->compute_url.c_str(),
              or_text(conn->compute_node, "(none)"), or_text(conn->reservation, "(none)"));
  return conn.release();
}

}  // namespace

SessionToken::SessionToken(const NVConnection& conn) {
  std::lock_guard<std::mutex> lock(conn.token_mutex);
  text_ = conn.session_token;
}

SessionToken::~SessionToken() { secure_zero(text_); }

bool token_refused(const char* err) {
  return err != nullptr &&
         (std::strstr(err, "HTTP 401") != nullptr || std::strstr(err, "28000") != nullptr);
}

bool renew_session_token(NVConnection* conn, const std::string& refused, char* err,
                         size_t err_size) {
  std::lock_guard<std::mutex> renewing(conn->renew_mutex);
  if (SessionToken(*conn).text() != refused) return true;  // renewed by another request
  session_cache_forget_token(refused);
  if (conn->login_username.empty() || conn->login_password.empty()) {
    write_error(err, err_size,
                "the service refused the session token, and the connection has no password to "
                "log in again with");
    return false;
  }
  nv_log_emit(NV_LOG_INFO, kAuth, "Session token refused by the service; logging in again as %s",
              conn->login_username.c_str());
  const NVConnExtras extras = conn->extras();
  char login_err[1024] = "";
  std::string cache_key;
  const ControlPlaneUse control_plane(conn);
  if (authenticate(conn, nullptr, conn->login_username.c_str(), conn->login_password.c_str(),
                   &extras, /*use_cache=*/false, &cache_key, login_err,
                   sizeof login_err) == AuthOutcome::kFailed) {
    nv_log_emit(NV_LOG_WARN, kAuth, "Logging in again failed: %s", login_err);
    write_error(err, err_size, "%s", login_err);
    return false;
  }
  return true;
}

bool set_query_compression(NVConnection* conn, std::string_view mode) {
  const std::string& decodable = decodable_content_codings();
  std::string wanted;
  if (mode == "none") {
    wanted.clear();
  } else if (mode == "auto") {
    wanted = decodable;
  } else if (mode == "zstd" || mode == "gzip") {
    wanted = mode;
    if (decodable.find(wanted) == std::string::npos) {
      nv_log_emit(NV_LOG_WARN, kTransport,
                  "query compression %s is not available in this libcurl; results come "
                  "uncompressed",
                  wanted.c_str());
      wanted.clear();
    }
  } else {
    return false;
  }
  conn->query_accept_encoding = std::move(wanted);
  return true;
}

void retain_connection(NVConnection* conn) {
  conn->holders.fetch_add(1, std::memory_order_relaxed);
}

void release_connection(NVConnection* conn) {
  if (conn->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) destroy_connection(conn);
}

}  // namespace norvale

extern "C" {

NVConnection* nv_connect(const char* control_plane_url, const char* compute_url,
                         const char* compute_node, const char* session_token,
                         const char* username, const char* password, const NVTlsConfig* tls,
                         const NVConnExtras* extras, char* err, size_t err_size) {
  try {
    return norvale::connect(control_plane_url, compute_url, compute_node, session_token,
                            username, password, tls, extras, err, err_size);
  } catch (const std::bad_alloc&) {
    norvale::write_error(err, err_size, "out of memory");
  } catch (const std::exception& e) {
    norvale::write_error(err, err_size, "nv_connect: %s", e.what());
  } catch (...) {
    norvale::write_error(err, err_size, "nv_connect: unknown error");
  }
  return nullptr;
}

void nv_disconnect(NVConnection* conn) {
  if (conn == nullptr) return;
  try {
    nv_log_emit(NV_LOG_INFO, norvale::kTransport,
                "nv_disconnect(conn=%p): tearing down connection (session token is zeroed and "
                "the object freed once no result stream uses it).",
                static_cast<void*>(conn));
    if (!conn->reservation.empty() && !norvale::finish_confirm(conn)) {
      // The connection's own request settings, so that a proxy-only network can still reach
      // the control plane.
      const NVConnExtras extras = conn->extras();
      if (nv_route_abandon(conn->control_plane_url.c_str(), conn->session_token.c_str(),
                           conn->reservation.c_str(), &conn->tls, &extras,
                           conn->share()) != 0) {
        nv_log_emit(NV_LOG_WARN, norvale::kTransport,
                    "nv_route_abandon failed for reservation %s; slot will expire after TTL",
                    "[REDACTED]");
      }
    }
  } catch (...) {
    // Teardown goes on whatever the abandon did.
  }
  norvale::release_connection(conn);
}

// The pointer stays valid until the connection renews its token (see renew_session_token) or
// is torn down.
const char* nv_connection_session_token(const NVConnection* conn) {
  if (conn == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(conn->token_mutex);
  return norvale::null_if_empty(conn->session_token);
}

const char* nv_connection_subject_id(const NVConnection* conn) {
  return conn != nullptr ? norvale::null_if_empty(conn->subject_id) : nullptr;
}

const char* nv_connection_compute_url(const NVConnection* conn) {
  return conn != nullptr ? norvale::null_if_empty(conn->compute_url) : nullptr;
}

int64_t nv_connection_connect_timeout(const NVConnection* conn) {
  return conn != nullptr ? conn->connect_timeout : 0;
}

const char* nv_connection_application_name(const NVConnection* conn) {
  return conn != nullptr ? norvale::null_if_empty(conn->application_name) : nullptr;
}

const char* nv_connection_user_agent(NVConnection* conn) {
  if (conn == nullptr) return nullptr;
  try {
    if (conn->user_agent.empty()) {
      const NVConnExtras view = conn->extras();
      conn->user_agent = norvale::user_agent_from_extras(&view);
    }
  } catch (...) {
    return nullptr;
  }
  return norvale::null_if_empty(conn->user_agent);
}

const char* nv_connection_proxy_url(const NVConnection* conn) {
  return conn != nullptr ? norvale::null_if_empty(conn->proxy_url) : nullptr;
}

const char* nv_connection_proxy_user(const NVConnection* conn) {
  return conn != nullptr ? norvale::null_if_empty(conn->proxy_user) : nullptr;
}

const char* nv_connection_proxy_pass(const NVConnection* conn) {
  return conn != nullptr ? norvale::null_if_empty(conn->proxy_pass) : nullptr;
}

void* nv_connection_curl_share(const NVConnection* conn) {
  return conn != nullptr ? conn->share() : nullptr;
}

}  // extern "C"
