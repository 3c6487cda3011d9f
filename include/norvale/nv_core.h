/* Core client: TLS settings, authentication, compute routing and the core connection.
 *
 * Conventions: functions return 0 or -1 (or a pointer or NULL), accept NULL handles, and write
 * error text into a caller-provided buffer (NULL or size 0 means none; always truncated to fit
 * and NUL-terminated). */
#ifndef NORVALE_NV_CORE_H
#define NORVALE_NV_CORE_H

#include <stddef.h>
#include <stdint.h>

#include "norvale/nv_global.h"

#ifdef __cplusplus
extern "C" {
#endif

struct curl_slist;

/* ---- TLS settings ---------------------------------------------------------------------- */

/** TLS settings of a request; caller-owned, texts borrowed and may be NULL. */
typedef struct NVTlsConfig {
  int32_t encrypt;                     /* 0 No, 1 Optional, 2 Mandatory, 3 Strict */
  int32_t trust_server_certificate;    /* non-zero: no certificate or host name check */
  int32_t min_tls_version;             /* 0 default, 10..13 TLS 1.0..1.3 */
  const char* hostname_in_certificate; /* name expected in the server certificate */
  const char* ca_certificate;          /* PEM CA bundle path */
  const char* client_cert;             /* PEM client certificate path (mutual TLS) */
  const char* client_key;              /* PEM client key path (mutual TLS) */
} NVTlsConfig;

/** Resets to the defaults: encrypt 1, no trust override, library default version, no texts. */
void nv_tls_config_init(NVTlsConfig* cfg);
/** 0 when the settings are usable for `url`, -1 with a message otherwise. */
int nv_tls_validate(const NVTlsConfig* cfg, const char* url, char* err, size_t err_size);
/** Applies the settings to a libcurl easy handle whose URL is `url`. `resolve_out` receives a
 *  list the caller frees with curl_slist_free_all after the transfer (NULL when no host-name
 *  override applies); it may be NULL only without a host name in certificate. */
int nv_tls_apply_to_curl(void* curl, const NVTlsConfig* cfg, const char* url,
                         struct curl_slist** resolve_out, char* err, size_t err_size);

/* ---- Authentication -------------------------------------------------------------------- */

/** Token response of the control plane; strings are malloc'ed, release with
 *  nv_auth_result_free. */
typedef struct NVAuthResult {
  char* session_token;
  char* access_token;
  char* subject_id;
  char* principal_type;
  char* name;
  int64_t expires_in;
  char* session_expires_at;
} NVAuthResult;

int nv_auth_login_password(const char* control_plane_url, const char* username,
                           const char* password, const NVTlsConfig* tls,
                           const NVConnExtras* extras, void* share, NVAuthResult* result,
                           char* err, size_t err_size);
int nv_auth_login_client_credentials(const char* control_plane_url, const char* client_id,
                                     const char* client_secret, const NVTlsConfig* tls,
                                     const NVConnExtras* extras, void* share,
                                     NVAuthResult* result, char* err, size_t err_size);
/** Frees every text (zeroing the tokens first); NULL and repeated calls are harmless. */
void nv_auth_result_free(NVAuthResult* result);

/* ---- Compute routing ------------------------------------------------------------------- */

/** A route to one compute node; strings are malloc'ed (NULL when absent), release with
 *  nv_node_route_free. */
typedef struct NVNodeRoute {
  char* url;             /* scheme://host:port, no trailing "/" */
  char* node_id;
  char* node_entity_ref; /* sent as "x-norvale-node" */
  char* reservation_id;  /* recommend only */
} NVNodeRoute;

int nv_route_from_explicit_url(const char* url, NVNodeRoute* route, char* err, size_t err_size);
int nv_route_lookup_by_entity_ref(const char* control_plane_url, const char* session_token,
                                  const char* entity_ref, const NVTlsConfig* tls,
                                  const NVConnExtras* extras, void* share, NVNodeRoute* route,
                                  char* err, size_t err_size);
int nv_route_recommend(const char* control_plane_url, const char* session_token,
                       const char* session_id, const NVTlsConfig* tls,
                       const NVConnExtras* extras, void* share, NVNodeRoute* route, char* err,
                       size_t err_size);
int nv_route_confirm(const char* control_plane_url, const char* session_token,
                     const char* reservation_id, const NVTlsConfig* tls,
                     const NVConnExtras* extras, void* share);
int nv_route_abandon(const char* control_plane_url, const char* session_token,
                     const char* reservation_id, const NVTlsConfig* tls,
                     const NVConnExtras* extras, void* share);
void nv_node_route_free(NVNodeRoute* route);

/* ---- Core connection ------------------------------------------------------------------- */

typedef struct NVConnection NVConnection;

/** Authenticates (or reuses a cached session token), routes to a compute node and confirms
 *  its reservation. tls and extras may be NULL; compute_url and compute_node may be NULL or
 *  empty. Returns NULL with a message on failure. */
NVConnection* nv_connect(const char* control_plane_url, const char* compute_url,
                         const char* compute_node, const char* session_token,
                         const char* username, const char* password, const NVTlsConfig* tls,
                         const NVConnExtras* extras, char* err, size_t err_size);
/** Abandons an unconfirmed reservation, zeroes the secrets and frees the connection. Queries
 *  and ingests of the connection must be closed first. NULL is accepted. */
void nv_disconnect(NVConnection* conn);

/* Accessors: NULL (or 0) for a NULL connection, NULL for an empty text. Texts belong to the
 * connection. */
const char* nv_connection_session_token(const NVConnection* conn);
const char* nv_connection_subject_id(const NVConnection* conn);
const char* nv_connection_compute_url(const NVConnection* conn);
int64_t nv_connection_connect_timeout(const NVConnection* conn);
const char* nv_connection_application_name(const NVConnection* conn);
const char* nv_connection_user_agent(NVConnection* conn);
const char* nv_connection_proxy_url(const NVConnection* conn);
const char* nv_connection_proxy_user(const NVConnection* conn);
const char* nv_connection_proxy_pass(const NVConnection* conn);
void* nv_connection_curl_share(const NVConnection* conn);

#ifdef __cplusplus
}
#endif

#endif /* NORVALE_NV_CORE_H */
