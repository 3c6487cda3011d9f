// The ingest worker: one chunked HTTP POST whose body is read from the handle's frame queue and
// whose answer is kept whole for nv_ingest_finish.
#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <string>

#include "core/connection_internal.h"
#include "core/curl_handles_internal.h"
#include "core/ingest/ingest_handle_internal.h"
#include "norvale/nv_core.h"
#include "norvale/nv_global.h"
#include "norvale/nv_log.h"

namespace norvale::ingest {
namespace {

constexpr const char* kCategory = "transport";
constexpr long kDefaultConnectTimeout = 10;
// An answer is one STATS or ERROR frame; anything near this size is not a sane answer.
constexpr size_t kMaxResponseBytes = 64 * 1024 * 1024;

size_t read_body(char* buffer, size_t size, size_t nitems, void* user) {
  auto* h = static_cast<NVIngestHandle*>(user);
  const size_t room = size * nitems;
  size_t copied = 0;
  while (copied < room) {
    if (h->current_pos < h->current.size()) {
      const size_t n = std::min(room - copied, h->current.size() - h->current_pos);
      std::memcpy(buffer + copied, h->current.data() + h->current_pos, n);
      h->current_pos += n;
      copied += n;
      continue;
    }
    std::unique_lock lock(h->queue_mutex);
    if (h->queue.empty()) {
      if (h->cancelled) return CURL_READFUNC_ABORT;
      // Bytes already taken go out now rather than waiting for the next frame.
      if (h->finished || copied > 0) return copied;
      h->data.wait(lock, [h] { return !h->queue.empty() || h->cancelled; });
      if (h->cancelled) return CURL_READFUNC_ABORT;
    }
    h->current = std::move(h->queue.front());
    h->queue.pop_front();
    h->current_pos = 0;
    lock.unlock();
    h->space.notify_all();
  }
  return copied;
}

int abort_if_cancelled(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<NVIngestHandle*>(user)->abort_transfer.load() ? 1 : 0;
}

size_t write_response(char* data, size_t size, size_t nmemb, void* user) {
  auto* h = static_cast<NVIngestHandle*>(user);
  const size_t n = size * nmemb;
  try {
    std::lock_guard lock(h->response_mutex);
    if (h->response.size() + n > kMaxResponseBytes) return 0;
    h->response.append(data, n);
  } catch (...) {
    return 0;  // libcurl ends the transfer with a write error
  }
  return n;
}

std::string ingest_url(const char* compute_url) {
  std::string url = compute_url;
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url + "/api/v1/ingest/stream";
}

// A transfer aborted by nv_ingest_cancel is the cancel's doing: the cancel records its own text.
void fail(NVIngestHandle* h, int32_t transport_result, const std::string& message) {
  h->transport_result = transport_result;
  h->transport_error = message;
  bool cancelled = false;
  {
    std::lock_guard lock(h->queue_mutex);
    cancelled = h->cancelled;
  }
  if (!cancelled) record_failure(h, message);
}

void run_transfer(NVIngestHandle* h) {
  CurlEasyPtr curl(curl_easy_init());
  if (!curl) {
    fail(h, kIngestNoCurlHandle, "curl_easy_init returned NULL");
    return;
  }
  NVConnection* conn = h->conn;
  const char* compute_url = nv_connection_compute_url(conn);
  if (compute_url == nullptr) {
    fail(h, kIngestNoComputeUrl, "nv_ingest worker: connection has no compute URL");
    return;
  }
  const std::string url = ingest_url(compute_url);
  const char* token = nv_connection_session_token(conn);
  const std::string auth = std::string("Authorization: Bearer ") + (token ? token : "");
  CurlSlistPtr headers;
  if (!slist_append(headers, "Content-Type: application/vnd.norvale.stream.v1") ||
      !slist_append(headers, "Accept: application/vnd.norvale.stream.v1") ||
      !slist_append(headers, auth.c_str()) ||
      !slist_append(headers, "Transfer-Encoding: chunked") || !slist_append(headers, "Expect:")) {
    fail(h, CURLE_OUT_OF_MEMORY, "ingest transport: out of memory building request headers");
    return;
  }

  CURL* c = curl.get();
  char curl_error[CURL_ERROR_SIZE > 256 ? CURL_ERROR_SIZE : 256] = {0};
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_POST, 1L);
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(c, CURLOPT_READFUNCTION, read_body);
  curl_easy_setopt(c, CURLOPT_READDATA, h);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, write_response);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, h);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, abort_if_cancelled);
  curl_easy_setopt(c, CURLOPT_XFERINFODATA, h);
  const int64_t connect_timeout = nv_connection_connect_timeout(conn);
  curl_easy_setopt(
      c, CURLOPT_CONNECTTIMEOUT,
      connect_timeout > 0 ? static_cast<long>(connect_timeout) : kDefaultConnectTimeout);
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, 300L);
  nv_curl_apply_share_and_keepalive(c, nv_connection_curl_share(conn));
  if (const char* proxy = nv_connection_proxy_url(conn)) {
    curl_easy_setopt(c, CURLOPT_PROXY, proxy);
    if (const char* user = nv_connection_proxy_user(conn)) {
      curl_easy_setopt(c, CURLOPT_PROXYUSERNAME, user);
    }
    if (const char* pass = nv_connection_proxy_pass(conn)) {
      curl_easy_setopt(c, CURLOPT_PROXYPASSWORD, pass);
    }
  }
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, curl_error);

  // The same TLS settings as the connection's queries, so that an ingest never verifies the
  // server differently from a query on the same connection.
  curl_slist* resolve_raw = nullptr;
  char tls_error[512] = {0};
  const int tls_rc =
      nv_tls_apply_to_curl(c, &conn->tls, url.c_str(), &resolve_raw, tls_error, sizeof tls_error);
  CurlSlistPtr resolve(resolve_raw);
  if (tls_rc != 0) {
    fail(h, kIngestTlsConfigFailed,
         std::string("ingest transport: TLS configuration: ") + tls_error);
    return;
  }

  nv_log_emit(NV_LOG_INFO, kCategory, "ingest worker(h=%p): POST %s", static_cast<void*>(h),
              url.c_str());
  const CURLcode rc = curl_easy_perform(c);
  if (rc != CURLE_OK) {
    const char* text = curl_error[0] != '\0' ? curl_error : curl_easy_strerror(rc);
    fail(h, static_cast<int32_t>(rc), std::string("ingest transport: ") + text);
    nv_log_emit(NV_LOG_WARN, kCategory, "ingest worker(h=%p): transfer failed: %s",
                static_cast<void*>(h), text);
    return;
  }
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  h->http_status = status;
  nv_log_emit(NV_LOG_DEBUG, kCategory, "ingest worker(h=%p): HTTP %ld", static_cast<void*>(h),
              status);
}

}  // namespace

void ingest_worker_main(NVIngestHandle* h) {
  try {
    run_transfer(h);
  } catch (const std::exception& e) {
    fail(h, CURLE_OUT_OF_MEMORY, std::string("ingest transport: ") + e.what());
  } catch (...) {
    fail(h, CURLE_OUT_OF_MEMORY, "ingest transport: internal error");
  }
  {
    std::lock_guard lock(h->queue_mutex);
    h->worker_done = true;
  }
  h->space.notify_all();
}

}  // namespace norvale::ingest
