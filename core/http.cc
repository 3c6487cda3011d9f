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
#include "core/request_internal.h"
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

}  // namespace

long connect_timeout_from_extras(const NVConnExtras* extras) {
  if (extras == nullptr || extras->connect_timeout < 1) return kDefaultConnectTimeoutSeconds;
  return static_cast<long>(extras->connect_timeout);
}

std::string trim_trailing_slashes(std::string_view url) {
  while (!url.empty() && url.back() == '/') url.remove_suffix(1);
  return std::string(url);
}

long do_http(const char* url, const char* method, const char* body, const char* bearer_token,
             const NVTlsConfig* tls, const NVConnExtras* extras, void* share,
             std::string* response, char* err, size_t err_size,
             const std::atomic<bool>* abort) {
  if (url == nullptr || response == nullptr) {
    write_error(err, err_size, "do_http: NULL argument");
    return -1;
  }
  try {
    response->clear();
    ResponseSink sink{response};
    RequestSpec spec;
    spec.url = url;
    spec.post = method != nullptr && std::strcmp(method, "POST") == 0;
    if (spec.post && body != nullptr) spec.body = body;
    spec.headers = {"Content-Type: application/json", "Accept: application/json"};
    if (bearer_token != nullptr) spec.bearer_token = bearer_token;
    spec.total_timeout_seconds = kControlPlaneTotalTimeoutSeconds;
    spec.accept_encoding = decodable_content_codings();
    spec.abort = abort;
    auto made = PreparedRequest::Make(RequestEnv{tls, extras, share}, spec);
    if (!made.ok()) {
      const arrow::Status& st = made.status();
      if (st.IsOutOfMemory()) {
        write_error(err, err_size, "HTTP transport error: %s",
                    curl_easy_strerror(CURLE_OUT_OF_MEMORY));
      } else if (st.message().rfind("TLS configuration: ", 0) == 0 ||
                 st.message() == "curl_easy_init failed") {
        write_error(err, err_size, "%s", st.message().c_str());
      } else {
        write_error(err, err_size, "HTTP transport error: %s", st.message().c_str());
      }
      return -1;
    }
    PreparedRequest& req = **made;
    curl_easy_setopt(req.handle(), CURLOPT_WRITEFUNCTION, &append_response);
    curl_easy_setopt(req.handle(), CURLOPT_WRITEDATA, &sink);
    const CURLcode code = req.Perform();
    if (code != CURLE_OK) {
      write_error(err, err_size, "HTTP transport error: %s", req.ErrorText(code).c_str());
      return -1;
    }
    return req.status();
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
