// The ingest worker: one chunked HTTP POST whose body is read from the handle's frame queue and
// whose answer is kept whole for nv_ingest_finish.
#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <string>

#include "core/connection_internal.h"
#include "core/request_internal.h"
#include "core/ingest/ingest_handle_internal.h"
#include "norvale/nv_core.h"
#include "norvale/nv_log.h"

namespace norvale::ingest {
namespace {

constexpr const char* kCategory = "transport";
// An answer is one STATS or ERROR frame; anything near this size is not a sane answer.
constexpr size_t kMaxResponseBytes = 64 * 1024 * 1024;

// What the callbacks of one transfer share.
struct Transfer {
  NVIngestHandle* handle;
  IdleWatch watch{kDefaultStallLimit};
};

size_t fill_body(NVIngestHandle* h, char* buffer, size_t room);

size_t read_body(char* buffer, size_t size, size_t nitems, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const size_t n = fill_body(t->handle, buffer, size * nitems);
  // Waiting for the producer's next frame is the host's time, not the server's.
  t->watch.Touch();
  return n;
}

size_t fill_body(NVIngestHandle* h, char* buffer, size_t room) {
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

// Aborts on cancel, and when the server has taken and sent nothing for the stall limit.
int abort_if_cancelled(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* t = static_cast<Transfer*>(user);
  if (t->handle->abort_transfer.load()) return 1;
  if (!t->watch.Expired()) return 0;
  t->handle->stalled = true;
  return 1;
}

size_t write_response(char* data, size_t size, size_t nmemb, void* user) {
  auto* t = static_cast<Transfer*>(user);
  NVIngestHandle* h = t->handle;
  const size_t n = size * nmemb;
  t->watch.Touch();
  try {
    std::lock_guard lock(h->response_mutex);
    if (h->response.size() + n > kMaxResponseBytes) return 0;
    h->response.append(data, n);
  } catch (...) {
    return 0;  // libcurl ends the transfer with a write error
  }
  return n;
}

std::string ingest_url(const std::string& compute_url) {
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
  NVConnection* conn = h->conn;
  if (conn->compute_url.empty()) {
    fail(h, kIngestNoComputeUrl, "nv_ingest worker: connection has no compute URL");
    return;
  }
  const std::string url = ingest_url(conn->compute_url);
  NVConnExtras extras{};
  RequestSpec spec;
  spec.url = url;
  spec.post = true;
  spec.chunked_upload = true;
  spec.headers = {"Content-Type: application/vnd.norvale.stream.v1",
                  "Accept: application/vnd.norvale.stream.v1", "Transfer-Encoding: chunked",
                  "Expect:"};
  const SessionToken token(*conn);
  spec.bearer_token = token.text();
  auto made = PreparedRequest::Make(connection_request_env(*conn, &extras), spec);
  if (!made.ok()) {
    const arrow::Status& st = made.status();
    const int32_t code = st.IsOutOfMemory() ? CURLE_OUT_OF_MEMORY
                         : st.IsIOError()   ? kIngestNoCurlHandle
                                            : kIngestTlsConfigFailed;
    fail(h, code, "ingest transport: " + st.message());
    return;
  }
  PreparedRequest& req = **made;
  Transfer transfer{h};
  CURL* c = req.handle();
  curl_easy_setopt(c, CURLOPT_READFUNCTION, read_body);
  curl_easy_setopt(c, CURLOPT_READDATA, &transfer);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, write_response);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, abort_if_cancelled);
  curl_easy_setopt(c, CURLOPT_XFERINFODATA, &transfer);

  nv_log_emit(NV_LOG_INFO, kCategory, "ingest worker(h=%p): POST %s", static_cast<void*>(h),
              url.c_str());
  const CURLcode rc = req.Perform();
  if (rc != CURLE_OK) {
    const std::string text =
        h->stalled ? "no data exchanged with the server for " +
                         std::to_string(kDefaultStallLimit.count()) + " seconds"
                   : req.ErrorText(rc);
    fail(h, static_cast<int32_t>(rc), "ingest transport: " + text);
    nv_log_emit(NV_LOG_WARN, kCategory, "ingest worker(h=%p): transfer failed: %s",
                static_cast<void*>(h), text.c_str());
    return;
  }
  const long status = req.status();
  h->http_status = status;
  nv_log_emit(NV_LOG_DEBUG, kCategory, "ingest worker(h=%p): HTTP %ld", static_cast<void*>(h),
              status);
  // An upload that began cannot be sent again, so the refusal stands; the connection logs in
  // again so that its next request is not refused too.
  if (status == 401) renew_session_token(conn, token.text(), nullptr, 0);
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
