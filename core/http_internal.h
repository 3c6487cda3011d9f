// Control-plane JSON requests and the settings shared by every request.
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <cstddef>
#include <string>

#include "core/curl_handles_internal.h"
#include "norvale/nv_core.h"

namespace norvale {

/// Largest response body the control-plane requests accept.
constexpr size_t kMaxControlPlaneResponseBytes = 1048576;
/// Total time-out of one control-plane request.
constexpr long kControlPlaneTotalTimeoutSeconds = 30;
/// Connect time-out used when the extras give none.
constexpr long kDefaultConnectTimeoutSeconds = 10;

/// The extras' connect time-out when it is at least 1, else 10 seconds.
long connect_timeout_from_extras(const NVConnExtras* extras);

/// One control-plane request. `method` "POST" posts `body`; any other method is a GET and the
/// body is ignored. A non-empty `bearer_token` adds the Authorization header. `tls`, `extras`
/// and `share` may be NULL. Returns the HTTP status (not judged), or -1 with a message. A
/// non-null `abort` stops the transfer once it holds true.
long do_http(const char* url, const char* method, const char* body, const char* bearer_token,
             const NVTlsConfig* tls, const NVConnExtras* extras, void* share,
             std::string* response, char* err, size_t err_size,
             const std::atomic<bool>* abort = nullptr);

/// Unauthenticated JSON POST (login). Returns the HTTP status or -1 with a message.
long do_json_post(const char* url, const char* body, const NVTlsConfig* tls,
                  const NVConnExtras* extras, void* share, std::string* response, char* err,
                  size_t err_size);

/// "<what> failed (HTTP <status>): <detail>", the detail being the body's JSON `error` text
/// or else the body's first 256 bytes.
void format_http_error(const char* what, long status, const std::string& body, char* err,
                       size_t err_size);

/// `url` without its trailing "/" characters.
std::string trim_trailing_slashes(std::string_view url);

}  // namespace norvale
