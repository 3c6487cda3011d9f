/* Process-wide set-up of the core client and the request settings shared by every request. */
#ifndef NORVALE_NV_GLOBAL_H
#define NORVALE_NV_GLOBAL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/** Per-connection request settings; every string is borrowed and may be NULL. */
typedef struct NVConnExtras {
  int64_t connect_timeout;     /* seconds; 0 or negative: the request's default (10 s) */
  const char* application_name; /* appended to the User-Agent */
  const char* proxy_url;        /* HTTP proxy; empty or NULL: none */
  const char* proxy_user;       /* used when non-empty */
  const char* proxy_pass;       /* used when non-empty */
  int32_t max_stream_buffer_mb; /* per-query stream buffer; 0 or negative: default */
  int32_t reserved;             /* set to 0 by callers; not read */
} NVConnExtras;

/** Initialises libcurl once per process; 0, or -1 when libcurl failed to initialise. */
int nv_global_init(void);
/** Decrements the reference count; libcurl is never de-initialised. */
void nv_global_cleanup(void);
/** The library version text. */
const char* nv_version(void);
/** Attaches `share` (when not NULL) and enables TCP keep-alive (30 s idle, 30 s interval) on a
 *  libcurl easy handle; returns the last setting's CURLcode, or 0 for a NULL handle. */
int nv_curl_apply_share_and_keepalive(void* curl, void* share);

#ifdef __cplusplus
}
#endif

#endif /* NORVALE_NV_GLOBAL_H */
