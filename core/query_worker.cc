// nv_execute and the query worker: the worker POSTs the statement to the compute node and
// feeds the framed response body to the frame decoder, whose handler fills the query's queue.
#include <curl/curl.h>

#include <cerrno>
#include <chrono>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/connection_internal.h"
#include "core/curl_handles_internal.h"
#include "core/query_internal.h"
#include "core/request_internal.h"
#include "core/session_cache_internal.h"
#include "norvale/nv_log.h"

namespace norvale {
namespace {

constexpr const char* kCategory = "transport";
constexpr size_t kMaxErrorBody = 16384;

// State of one transfer, handed to the body callback.
struct TransferContext {
  NVFrameDecoder* decoder = nullptr;
  NVQueryHandle* query = nullptr;
  CURL* curl = nullptr;
  IdleWatch* watch = nullptr;
  std::string error_body;
  bool error_mode = false;
  bool status_checked = false;
};

struct DecoderDeleter {
  void operator()(NVFrameDecoder* d) const { nv_frame_destroy(d); }
};

bool perf_on() { return nv_perf_is_enabled() != 0; }

size_t deliver(TransferContext* ctx, char* data, size_t n);

void note_http_status(NVQueryHandle* q, long status) {
  std::lock_guard<std::mutex> lock(q->mutex);
  if (q->http_status == 0) q->http_status = static_cast<int32_t>(status);
}

size_t curl_write_cb(char* data, size_t size, size_t nmemb, void* user) {
  auto* ctx = static_cast<TransferContext*>(user);
  const size_t taken = deliver(ctx, data, size * nmemb);
  // The time spent waiting for room in the queue is the host's, not the server's.
  ctx->watch->Touch();
  return taken;
}

size_t deliver(TransferContext* ctx, char* data, size_t n) {
  if (ctx->query->cancelled.load()) return 0;
  if (!ctx->status_checked) {
    ctx->status_checked = true;
    long status = 0;
    curl_easy_getinfo(ctx->curl, CURLINFO_RESPONSE_CODE, &status);
    ctx->error_mode = status >= 400;
    note_http_status(ctx->query, status);
  }
  if (ctx->error_mode) {
    try {
      const size_t room = kMaxErrorBody - std::min(kMaxErrorBody, ctx->error_body.size());
      ctx->error_body.append(data, std::min(room, n));
    } catch (...) {
      // The error body is a diagnostic; losing part of it does not change the outcome.
    }
    return n;
  }
  const int rc = nv_frame_feed(ctx->decoder, data, n);
  if (rc != 0) {
    if (rc == -1) {
      // The handler records why it stops; -1 comes from the decoder itself.
      try {
        set_query_error(ctx->query,
                        "malformed stream: a frame announces more than 268435456 bytes or "
                        "cannot be buffered",
                        "08S01");
      } catch (...) {
        // Out of memory: the transport error of the aborted transfer is recorded instead.
      }
    }
    return 0;
  }
  if (perf_on()) nv_perf_add_transport(0, n);
  return n;
}

// Aborts on cancel, and when the server has sent nothing for the query's time-out (or for the
// stall limit without one). Closing the transfer is how the server learns the query is over.
int curl_progress_cb(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* ctx = static_cast<TransferContext*>(user);
  if (ctx->query->cancelled.load()) return 1;
  if (!ctx->watch->Expired()) return 0;
  try {
    const std::string detail = "no data from the server for " +
                               std::to_string(ctx->watch->limit().count()) + " seconds";
    const QueryErrorInfo info =
        map_transport_error(CURLE_OPERATION_TIMEDOUT, detail, ctx->query->timeout_seconds);
    set_query_error(ctx->query, info.message, info.sqlstate, info.native);
  } catch (...) {
    set_query_error(ctx->query, "query timed out", "HYT00", CURLE_OPERATION_TIMEDOUT);
  }
  return 1;
}

bool token_is_clean(const std::string& token) {
  return token.find_first_of(std::string_view("\0\n\r", 3)) == std::string::npos;
}

std::string query_url(const NVConnection* conn) {
  std::string base = conn->query_base_url();
  while (!base.empty() && base.back() == '/') base.pop_back();
  return base + "/api/v1/query/stream/binary";
}

// The headers in the order the compute node expects them (the bearer header comes from the
// request builder, after these).
std::vector<std::string> query_headers(const NVConnection* conn) {
  return {"Content-Type: application/json", "Accept: application/vnd.norvale.stream.v1",
          "X-Norvale-Client: adbc",
          conn->compute_node.empty() ? std::string("x-norvale-node;")
                                     : "x-norvale-node: " + conn->compute_node};
}

// One POST of the statement with `token`. When `may_renew` and the service refused the token
// (before running anything), nothing is recorded on the query: the refusal goes to `refusal`
// and the result is true.
bool run_transfer(NVQueryHandle* q, const std::string& token, bool may_renew,
                  QueryErrorInfo* refusal) {
  NVConnection* conn = q->conn;
  const std::string url = query_url(conn);
  nv_log_emit(NV_LOG_INFO, kCategory, "run_query_worker(q=%p, conn=%p): POST %s (compute_url=%s)",
              static_cast<void*>(q), static_cast<void*>(conn), url.c_str(),
              conn->compute_url.empty() ? "(empty->control_plane)" : conn->compute_url.c_str());

  auto body = build_query_body(q->sql, q->max_inflight_bytes, q->max_inflight_batches);
  if (!body.ok()) {
    set_query_error(q, body.status().message());
    return false;
  }
  if (!token_is_clean(token)) {
    set_query_error(q, "session token contains forbidden control characters");
    return false;
  }
  NVConnExtras extras{};
  RequestSpec spec;
  spec.url = url;
  spec.post = true;
  spec.body = *body;
  spec.headers = query_headers(conn);
  spec.bearer_token = token;
  spec.accept_encoding = conn->query_accept_encoding;
  auto made = PreparedRequest::Make(connection_request_env(*conn, &extras), spec);
  if (!made.ok()) {
    if (made.status().IsOutOfMemory()) throw std::bad_alloc();
    set_query_error(q, made.status().message(), "08001");
    return false;
  }
  PreparedRequest& req = **made;

  std::unique_ptr<NVFrameDecoder, DecoderDeleter> decoder(nv_frame_create(on_frame, q));
  if (!decoder) {
    set_query_error(q, "nv_frame_create failed");
    return false;
  }
  q->decoder = decoder.get();
  IdleWatch watch(q->timeout_seconds != 0
                      ? std::chrono::seconds(static_cast<int64_t>(q->timeout_seconds))
                      : kDefaultStallLimit);
  TransferContext ctx;
  ctx.decoder = decoder.get();
  ctx.query = q;
  ctx.curl = req.handle();
  ctx.watch = &watch;

  CURL* h = req.handle();
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, curl_write_cb);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &ctx);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, curl_progress_cb);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, &ctx);
  curl_easy_setopt(h, CURLOPT_BUFFERSIZE, 524288L);
  curl_easy_setopt(h, CURLOPT_TCP_NODELAY, 1L);
  nv_log_emit(NV_LOG_TRACE, kCategory, "User-Agent=%s", req.user_agent().c_str());
  if (!conn->proxy_url.empty()) {
    nv_log_emit(NV_LOG_DEBUG, kCategory, "Routing via HTTP proxy %s (auth=%s)",
                conn->proxy_url.c_str(), conn->proxy_user.empty() ? "no" : "yes");
  }

  const bool perf = perf_on();
  const auto start = std::chrono::steady_clock::now();
  const CURLcode rc = req.Perform();
  if (perf) {
    const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now() - start);
    nv_perf_add_transport(static_cast<uint64_t>(nanos.count()), 0);
  }
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  if (status != 0) note_http_status(q, status);  // an answer without a body
  if (nv_log_level() >= NV_LOG_TRACE) {
    nv_log_emit(NV_LOG_TRACE, kCategory, "curl rc=%d status=%ld error_mode=%d body_len=%zu",
                static_cast<int>(rc), status, ctx.error_mode ? 1 : 0, ctx.error_body.size());
    // Every log line is redacted on its way out, server bodies included.
    if (!ctx.error_body.empty()) {
      nv_log_emit(NV_LOG_TRACE, kCategory, "curl error_body=%s", ctx.error_body.c_str());
    }
  }

  if (rc == CURLE_OK && status >= 400) {
    nv_log_emit(NV_LOG_WARN, kCategory, "HTTP %ld from compute (%zu byte body): %s", status,
                ctx.error_body.size(), ctx.error_body.c_str());
    const QueryErrorInfo info = map_http_error(status, ctx.error_body);
    if (info.sqlstate == "28000") {
      // A refused token must not be handed to the next connection.
      session_cache_forget_token(token);
      if (may_renew) {
        *refusal = info;
        q->decoder = nullptr;
        return true;
      }
    }
    set_query_error(q, info.message, info.sqlstate, info.native);
  } else if (rc == CURLE_OK) {
    if (nv_frame_at_clean_boundary(decoder.get()) != 0) {
      set_query_error(q, "stream ended mid-frame (truncated binary response)", "08006");
    }
  } else if (rc != CURLE_ABORTED_BY_CALLBACK) {
    const QueryErrorInfo info = map_transport_error(static_cast<int>(rc), req.ErrorText(rc),
                                                    q->timeout_seconds);
    set_query_error(q, info.message, info.sqlstate, info.native);
  }
  q->decoder = nullptr;
  return false;
}

// Runs the statement. When the service refuses the session token (expired or revoked), it
// refused the request before running anything: the connection logs in again and the statement
// is sent once more; a second refusal is reported.
void run_statement(NVQueryHandle* q) {
  QueryErrorInfo refusal;
  {
    const SessionToken token(*q->conn);
    if (!run_transfer(q, token.text(), /*may_renew=*/true, &refusal)) return;
    if (q->cancelled.load() || !renew_session_token(q->conn, token.text(), nullptr, 0)) {
      set_query_error(q, refusal.message, refusal.sqlstate, refusal.native);
      return;
    }
  }
  const SessionToken renewed(*q->conn);
  run_transfer(q, renewed.text(), /*may_renew=*/false, &refusal);
}

void finish(NVQueryHandle* q) {
  {
    std::lock_guard<std::mutex> lock(q->mutex);
    q->done.store(true);
  }
  q->cond.notify_all();
}

void run_query_worker(NVQueryHandle* q) {
  run_worker_step(q, [&] { run_statement(q); });
  q->decoder = nullptr;
  finish(q);
}

NVQueryHandle* execute(NVConnection* conn, const char* sql, int32_t reserved,
                       uint64_t timeout_seconds, char* err, size_t err_size) {
  if (conn == nullptr) {
    copy_error(err, err_size, "nv_execute: conn is NULL");
    return nullptr;
  }
  if (sql == nullptr) {
    copy_error(err, err_size, "nv_execute: sql is NULL");
    return nullptr;
  }
  if (SessionToken(*conn).text().empty()) {
    copy_error(err, err_size, "nv_execute: connection has no session token");
    return nullptr;
  }

  // ODBC escape sequences ({fn ...}, {d '...'}) reach the compute node as they stand.
  std::unique_ptr<NVQueryHandle> q(new (std::nothrow) NVQueryHandle);
  if (!q) {
    copy_error(err, err_size, "out of memory");
    return nullptr;
  }
  q->conn = conn;
  retain_connection(conn);
  q->holds_connection = true;
  q->sql = sql;
  q->reserved = reserved;
  q->timeout_seconds = timeout_seconds;
  q->max_inflight_batches = env_max_inflight_batches();
  q->max_inflight_bytes = conn->max_stream_buffer_mb >= 1
                              ? static_cast<uint64_t>(conn->max_stream_buffer_mb) * 1048576u
                              : env_max_inflight_bytes();

  nv_sql_trace(nv_sql_caller_get(), q->sql.c_str());
  note_compute_work(conn);  // a reservation confirm may go beside it

  try {
    NVQueryHandle* raw = q.get();
    q->worker = PooledThread([raw] { run_query_worker(raw); });
  } catch (const std::system_error& e) {
    copy_error(err, err_size,
               std::string("failed to spawn query worker thread: ") + e.what() +
                   " (errno=" + std::to_string(e.code().value()) + ")");
    return nullptr;
  } catch (const std::exception& e) {
    copy_error(err, err_size, std::string("failed to spawn query worker thread: ") + e.what());
    return nullptr;
  } catch (...) {
    copy_error(err, err_size, "failed to spawn query worker thread (unknown exception)");
    return nullptr;
  }
  return q.release();
}

}  // namespace

}  // namespace norvale

extern "C" {

NVQueryHandle* nv_execute(NVConnection* conn, const char* sql, int32_t reserved,
                          uint64_t timeout_seconds, char* err, size_t err_size) {
  try {
    return norvale::execute(conn, sql, reserved, timeout_seconds, err, err_size);
  } catch (const std::bad_alloc&) {
    norvale::copy_error(err, err_size, "out of memory");
  } catch (const std::exception& e) {
    norvale::copy_error(err, err_size, std::string("nv_execute: ") + e.what());
  } catch (...) {
    norvale::copy_error(err, err_size, "nv_execute: unknown internal error");
  }
  return nullptr;
}

}  // extern "C"
