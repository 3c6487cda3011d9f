#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <string>

#include <nlohmann/json.hpp>

#include "core/curl_handles_internal.h"
#include "core/error_text_internal.h"
#include "core/global_internal.h"
#include "core/http_internal.h"
#include "core/secure_zero_internal.h"
#include "norvale/nv_core.h"

namespace norvale {
namespace {

constexpr size_t kErrorDetailBytes = 256;

struct ResponseSink {
  std::string* out;
};

// libcurl write callback: a short count aborts the transfer with CURLE_WRITE_ERROR.
size_t append_response(char* data, size_t size, size_t nmemb, void* user) {
  auto* sink = static_cast<ResponseSink*>(user);
  const size_t bytes = size * nmemb;
  if (bytes > kMaxControlPlaneResponseBytes - sink->out->size()) return 0;
  try {
    sink->out->append(data, bytes);
  } catch (...) {
    return 0;
  }
  return bytes;
}

bool non_empty(const char* text) { return text != nullptr && text[0] != '\0'; }

// A header list that may hold a bearer token: its texts are zeroed before they are freed.
struct SecretSlist {
  CurlSlistPtr list;
  ~SecretSlist() {
    for (curl_slist* item = list.get(); item != nullptr; item = item->next) {
      if (item->data != nullptr) secure_zero(item->data, std::strlen(item->data));
    }
  }
};

}  // namespace

long connect_timeout_from_extras(const NVConnExtras* extras) {
  if (extras == nullptr || extras->connect_timeout < 1) return kDefaultConnectTimeoutSeconds;
  return static_cast<long>(extras->connect_timeout);
}

void apply_proxy_from_extras(CURL* curl, const NVConnExtras* extras) {
  if (extras == nullptr || !non_empty(extras->proxy_url)) return;
  curl_easy_setopt(curl, CURLOPT_PROXY, extras->proxy_url);
  if (non_empty(extras->proxy_user)) {
    curl_easy_setopt(curl, CURLOPT_PROXYUSERNAME, extras->proxy_user);
  }
  if (non_empty(extras->proxy_pass)) {
    curl_easy_setopt(curl, CURLOPT_PROXYPASSWORD, extras->proxy_pass);
  }
}

std::string trim_trailing_slashes(std::string_view url) {
  while (!url.empty() && url.back() == '/') url.remove_suffix(1);
  return std::string(url);
}

long do_http(const char* url, const char* method, const char* body, const char* bearer_token,
             const NVTlsConfig* tls, const NVConnExtras* extras, void* share,
             std::string* response, char* err, size_t err_size) {
  if (url == nullptr || response == nullptr) {
    write_error(err, err_size, "do_http: NULL argument");
    return -1;
  }
  if (bearer_token != nullptr && std::strpbrk(bearer_token, "\r\n") != nullptr) {
    // A line break would end the Authorization header and start another.
    write_error(err, err_size, "HTTP transport error: bearer token contains forbidden control "
                "characters");
    return -1;
  }
  try {
    response->clear();
    // Declared before the easy handle so that they outlive it on every path.
    ResponseSink sink{response};
    char curl_error[CURL_ERROR_SIZE] = {0};
    const std::string user_agent = user_agent_from_extras(extras);
    CurlSlistPtr resolve;
    SecretSlist headers;
    CurlEasyPtr curl(curl_easy_init());
    if (!curl) {
      write_error(err, err_size, "curl_easy_init failed");
      return -1;
    }
    std::string authorization;
    if (non_empty(bearer_token)) {
      authorization = std::string("Authorization: Bearer ") + bearer_token;
    }
    const bool headers_ok =
        slist_append(headers.list, "Content-Type: application/json") &&
        slist_append(headers.list, "Accept: application/json") &&
        (authorization.empty() || slist_append(headers.list, authorization.c_str()));
    secure_zero(authorization);
    if (!headers_ok) {
      write_error(err, err_size, "HTTP transport error: %s",
                  curl_easy_strerror(CURLE_OUT_OF_MEMORY));
      return -1;
    }
    CURL* easy = curl.get();
    curl_easy_setopt(easy, CURLOPT_URL, url);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers.list.get());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &append_response);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT, kControlPlaneTotalTimeoutSeconds);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, connect_timeout_from_extras(extras));
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, curl_error);
    nv_curl_apply_share_and_keepalive(easy, share);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, user_agent.c_str());
    apply_proxy_from_extras(easy, extras);

    if (method != nullptr && std::strcmp(method, "POST") == 0) {
      const char* payload = body != nullptr ? body : "";
      curl_easy_setopt(easy, CURLOPT_POST, 1L);
      curl_easy_setopt(easy, CURLOPT_POSTFIELDS, payload);
      curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                       static_cast<curl_off_t>(std::strlen(payload)));
    } else {
      curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    }

    if (tls != nullptr) {
      char tls_error[512] = {0};
      curl_slist* resolve_list = nullptr;
      const int rc = nv_tls_apply_to_curl(easy, tls, url, &resolve_list, tls_error,
                                          sizeof(tls_error));
      resolve.reset(resolve_list);
      if (rc != 0) {
        write_error(err, err_size, "TLS configuration: %s", tls_error);
        return -1;
      }
    }

    const CURLcode code = curl_easy_perform(easy);
    if (code != CURLE_OK) {
      write_error(err, err_size, "HTTP transport error: %s",
                  curl_error[0] != '\0' ? curl_error : curl_easy_strerror(code));
      return -1;
    }
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    return status;
  } catch (const std::exception& e) {
    write_error(err, err_size, "HTTP transport error: %s", e.what());
    return -1;
  }
}

long do_json_post(const char* url, const char* body, const NVTlsConfig* tls,
                  const NVConnExtras* extras, void* share, std::string* response, char* err,
                  size_t err_size) {
  return do_http(url, "POST", body, nullptr, tls, extras, share, response, err, err_size);
}

void format_http_error(const char* what, long status, const std::string& body, char* err,
                       size_t err_size) {
  const nlohmann::json doc = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (doc.is_object()) {
    const auto it = doc.find("error");
    if (it != doc.end() && it->is_string()) {
      write_error(err, err_size, "%s failed (HTTP %ld): %s", what, status,
                  it->get_ref<const std::string&>().c_str());
      return;
    }
  }
  const int detail_len = static_cast<int>(std::min(body.size(), kErrorDetailBytes));
  write_error(err, err_size, "%s failed (HTTP %ld): %.*s", what, status, detail_len, body.data());
}

}  // namespace norvale
