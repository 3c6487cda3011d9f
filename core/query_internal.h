// The query handle shared by the worker (producer), the frame handler and the consumer.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include <arrow/buffer.h>
#include <arrow/record_batch.h>
#include <arrow/result.h>
#include <arrow/type_fwd.h>

#include "core/worker_pool_internal.h"
#include "norvale/nv_query.h"
#include "norvale/nv_stream.h"

struct NVQueryHandle {
  NVConnection* conn = nullptr;
  bool holds_connection = false;  // remote queries hold conn until they are freed
  std::string sql;
  int32_t reserved = 0;
  uint64_t timeout_seconds = 0;
  norvale::PooledThread worker;  // not joinable for local queries

  std::atomic<bool> cancelled{false};
  std::atomic<bool> done{false};

  // Everything below is guarded by `mutex`.
  std::mutex mutex;
  std::condition_variable cond;  // wakes the consumer and the producer alike
  bool schema_batch_emitted = false;
  bool data_delivered = false;
  std::deque<NVArrowBatch*> queue;  // owned
  std::shared_ptr<arrow::Schema> schema;
  std::vector<NVStagingEntry> staging_signature;
  uint64_t max_inflight_batches = 0;  // 0: no count limit
  uint64_t max_inflight_bytes = 0;    // 0: no byte limit
  uint64_t inflight_bytes = 0;
  std::string error;
  std::string sqlstate;
  int32_t native_error = 0;
  std::string stream_id;     // set once, from the INIT frame
  int32_t http_status = 0;   // set once the answer's status is known

  // Written by the worker only (INIT handling comes before any batch is queued).
  bool multi_result_warned = false;
  int64_t rows_affected = -1;
  // The worker's decoder, so that the frame handler can keep an assembled frame without a copy.
  NVFrameDecoder* decoder = nullptr;

  // Guarded by `mutex`: result set 0 has ended (its EOS arrived). Close lets an ended stream
  // finish its transfer instead of aborting it, so that the connection stays open for the next
  // query.
  bool eos_received = false;

  ~NVQueryHandle();
};

namespace norvale {

/// How long closing a query whose result has ended waits for the rest of its body (the end of
/// the chunked encoding, the frames of further result sets) before it aborts the transfer.
constexpr std::chrono::milliseconds kEndOfBodyGrace{200};

/// Records the first error (later ones are dropped), marks the query done and wakes everyone.
/// An empty `sqlstate` or a zero `native` leaves that part unset.
void set_query_error(NVQueryHandle* query, std::string_view message,
                     std::string_view sqlstate = {}, int32_t native = 0);

/// Runs one step of the query worker (a frame, the whole statement) where nothing may escape, a
/// libcurl callback or the worker thread: whatever it throws becomes the query's error.
template <typename Step>
void run_worker_step(NVQueryHandle* query, Step&& step) noexcept {
  try {
    step();
  } catch (const std::bad_alloc&) {
    set_query_error(query, "out of memory in query worker");
  } catch (const std::exception& e) {
    set_query_error(query, std::string("internal error in query worker: ") + e.what());
  } catch (...) {
    set_query_error(query, "unknown internal error in query worker");
  }
}

/// Producer side of the queue: waits for room under the query's limits, then queues `batch`;
/// frees it instead when the query was cancelled, finished or failed meanwhile.
void enqueue_batch(NVQueryHandle* query, NVArrowBatch* batch);

/// The frame handler of the query stream; `user` is the query. 0 to go on, 1 to stop.
int on_frame(uint8_t type, uint16_t flags, const uint8_t* payload, size_t len, void* user);

/// Reads an Arrow IPC stream: its schema, and its first record batch (null when the stream
/// carries a schema only). The bytes are copied, so the result does not refer to them.
arrow::Status decode_arrow_ipc_bytes(const uint8_t* bytes, size_t len,
                                     std::shared_ptr<arrow::RecordBatch>* out_batch,
                                     std::shared_ptr<arrow::Schema>* out_schema);
/// As above over a buffer that the result may keep referring to (no copy).
arrow::Status decode_arrow_ipc_buffer(std::shared_ptr<arrow::Buffer> buffer,
                                      std::shared_ptr<arrow::RecordBatch>* out_batch,
                                      std::shared_ptr<arrow::Schema>* out_schema);

/// The number after the first of "(code: ", "code: ", "code=" that is followed (after spaces)
/// by a digit; at most 9 digits are read. 0 when there is none.
int32_t extract_native_code(std::string_view message);

/// The SQLSTATE that a server error's code selects (for QUERY_ERROR or no code: its message's
/// wording); empty when neither says anything, so that a caller's fallback stands.
std::string sqlstate_from_code(std::string_view code, bool has_code, std::string_view message);

/// Removes the engine's wrapper prefixes from the start of a server message.
std::string strip_engine_noise(std::string message);

/// What an error response or a failed transfer turns into.
struct QueryErrorInfo {
  std::string message;
  std::string sqlstate;
  int32_t native = 0;
};

/// Message, SQLSTATE and native code for an HTTP status of 400 or more and its (possibly
/// empty) body.
QueryErrorInfo map_http_error(long status, std::string_view body);

/// Message, SQLSTATE and native code for a failed transfer (curl code other than 42).
/// `curl_text` is the curl error buffer (may be empty).
QueryErrorInfo map_transport_error(int curl_code, std::string_view curl_text,
                                   uint64_t timeout_seconds);

/// The process-wide queue limits, each read once from the environment.
uint64_t env_max_inflight_batches();
uint64_t env_max_inflight_bytes();
/// Parsers behind them, exposed for tests: nullopt-like `fallback` when the text is rejected.
uint64_t parse_max_inflight_batches(const char* text, uint64_t fallback);
uint64_t parse_max_inflight_bytes(const char* text, uint64_t fallback);

/// Request body for the query endpoint; fails for SQL that is not valid UTF-8.
arrow::Result<std::string> build_query_body(const std::string& sql, uint64_t max_inflight_bytes,
                                            uint64_t max_inflight_batches);

/// Copies `text` into a caller's error buffer, truncated and NUL-terminated.
void copy_error(char* err, size_t err_size, std::string_view text);

}  // namespace norvale
