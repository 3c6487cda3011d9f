#include "core/request_internal.h"

#include <cstring>
#include <new>
#include <string>

#include "core/connection_internal.h"
#include "core/global_internal.h"
#include "core/http_internal.h"
#include "norvale/nv_global.h"
#include "util/secure_zero_internal.h"
#include "util/strings_internal.h"

namespace norvale {
namespace {

void zero_list(curl_slist* list) {
  for (curl_slist* item = list; item != nullptr; item = item->next) {
    if (item->data != nullptr) secure_zero(item->data, std::strlen(item->data));
  }
}

arrow::Status append(CurlSlistPtr& list, const std::string& line) {
  if (has_line_break(line)) {
    return arrow::Status::Invalid("request header contains forbidden control characters");
  }
  if (!slist_append(list, line.c_str())) return arrow::Status::OutOfMemory("request headers");
  return arrow::Status::OK();
}

arrow::Status apply_proxy(CURL* curl, const NVConnExtras* extras) {
  if (extras == nullptr || !non_empty(extras->proxy_url)) return arrow::Status::OK();
  // A proxy the user asked for is never dropped: a value that cannot be applied fails the
  // request rather than letting it go out directly.
  const struct {
    const char* value;
    CURLoption option;
    const char* name;
  } settings[] = {{extras->proxy_url, CURLOPT_PROXY, "proxy_url"},
                  {extras->proxy_user, CURLOPT_PROXYUSERNAME, "proxy_user"},
                  {extras->proxy_pass, CURLOPT_PROXYPASSWORD, "proxy_pass"}};
  for (const auto& s : settings) {
    if (!non_empty(s.value)) continue;
    if (has_line_break(s.value)) {
      return arrow::Status::Invalid(s.name, " contains forbidden control characters");
    }
    if (curl_easy_setopt(curl, s.option, s.value) != CURLE_OK) {
      return arrow::Status::Invalid("libcurl rejected ", s.name);
    }
  }
  return arrow::Status::OK();
}

// libcurl calls it about once a second while the socket is quiet, and more often while data
// flow: a cancel is seen within a second.
int abort_when_flagged(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<const std::atomic<bool>*>(user)->load() ? 1 : 0;
}

}  // namespace

bool has_line_break(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

PreparedRequest::~PreparedRequest() {
  // The handle goes first: libcurl may still point at the lists until it is cleaned up.
  curl_.reset();
  zero_list(headers_.get());
}

long PreparedRequest::status() const {
  long status = 0;
  curl_easy_getinfo(curl_.get(), CURLINFO_RESPONSE_CODE, &status);
  return status;
}

std::string PreparedRequest::ErrorText(CURLcode code) const {
  return error_[0] != '\0' ? std::string(error_) : std::string(curl_easy_strerror(code));
}

arrow::Result<std::unique_ptr<PreparedRequest>> PreparedRequest::Make(const RequestEnv& env,
                                                                      const RequestSpec& spec) {
  std::unique_ptr<PreparedRequest> req(new PreparedRequest());
  req->curl_.reset(curl_easy_init());
  if (!req->curl_) return arrow::Status::IOError("curl_easy_init failed");
  CURL* curl = req->curl_.get();
  req->url_ = spec.url;

  for (const std::string& line : spec.headers) ARROW_RETURN_NOT_OK(append(req->headers_, line));
  if (!spec.bearer_token.empty()) {
    if (has_line_break(spec.bearer_token)) {
      return arrow::Status::Invalid("bearer token contains forbidden control characters");
    }
    std::string line = "Authorization: Bearer ";
    line.append(spec.bearer_token);
    const bool ok = slist_append(req->headers_, line.c_str());
    secure_zero(line);
    if (!ok) return arrow::Status::OutOfMemory("request headers");
  }
  req->user_agent_ = user_agent_from_extras(env.extras);

  curl_easy_setopt(curl, CURLOPT_URL, req->url_.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, req->headers_.get());
  curl_easy_setopt(curl, CURLOPT_USERAGENT, req->user_agent_.c_str());
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, req->error_);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  // Redirects are never followed. Every request carries a bearer token or a login body, and a
  // followed redirect could hand either to another host, or over plain http after the https
  // checks passed. A 3xx answer reaches the caller as its status, which it reports as a failure.
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, connect_timeout_from_extras(env.extras));
  if (spec.total_timeout_seconds > 0) {
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, spec.total_timeout_seconds);
  }
  nv_curl_apply_share_and_keepalive(curl, env.share);
  ARROW_RETURN_NOT_OK(apply_proxy(curl, env.extras));
  if (!spec.accept_encoding.empty()) {
    curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, spec.accept_encoding.c_str());
  }
  if (spec.abort != nullptr) {
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &abort_when_flagged);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, spec.abort);
  }

  if (spec.post) {
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    if (!spec.chunked_upload) {
      curl_easy_setopt(curl, CURLOPT_POSTFIELDS, spec.body.data() != nullptr ? spec.body.data()
                                                                             : "");
      curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                       static_cast<curl_off_t>(spec.body.size()));
    }
  } else {
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  }

  if (env.tls != nullptr) {
    char tls_error[512] = {0};
    curl_slist* connect_to = nullptr;
    const int rc = nv_tls_apply_to_curl(curl, env.tls, req->url_.c_str(), &connect_to,
                                        tls_error, sizeof(tls_error));
    req->connect_to_.reset(connect_to);
    if (rc != 0) return arrow::Status::Invalid("TLS configuration: ", tls_error);
  }
  return req;
}

const std::string& decodable_content_codings() {
  static const std::string codings = [] {
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    std::string list;
    if (info != nullptr && (info->features & CURL_VERSION_ZSTD) != 0) list = "zstd";
    if (info != nullptr && (info->features & CURL_VERSION_LIBZ) != 0) {
      list += list.empty() ? "gzip" : ", gzip";
    }
    return list;
  }();
  return codings;
}

RequestEnv connection_request_env(const NVConnection& conn, NVConnExtras* extras) {
  *extras = conn.extras();
  RequestEnv env;
  env.tls = &conn.tls;
  env.extras = extras;
  env.share = conn.share();
  return env;
}

}  // namespace norvale
