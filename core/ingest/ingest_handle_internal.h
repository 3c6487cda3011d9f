// The state of one ingest: the copied configuration, the bounded frame queue shared by the
// producer (the caller's thread) and the worker (the HTTP transfer), and the server's answer.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "norvale/nv_ingest.h"

/// Frames the producer may queue ahead of the network before it blocks.
inline constexpr size_t kIngestQueueFrames = 8;

/// Transport results that are not libcurl codes.
inline constexpr int32_t kIngestNoCurlHandle = 2;
inline constexpr int32_t kIngestNoComputeUrl = 3;
/// The connection's TLS settings could not be applied to the transfer.
inline constexpr int32_t kIngestTlsConfigFailed = 4;
/// The worker thread could not be started.
inline constexpr int32_t kIngestNoWorker = 5;

struct NVIngestHandle {
  NVConnection* conn = nullptr;  // borrowed; outlives the handle
  int32_t mode = 0;
  int32_t payload_format = 0;
  std::string target_table;
  std::string target_location;
  std::vector<std::string> key_columns;
  std::string idempotency_key;
  bool coerce = true;
  std::vector<uint8_t> schema_bytes;

  std::mutex queue_mutex;
  std::condition_variable space;  // producer: room in the queue, or the worker ended
  std::condition_variable data;   // worker: a frame, the end, or a cancel
  std::deque<std::vector<uint8_t>> queue;
  std::vector<uint8_t> current;  // the frame being uploaded (worker only)
  size_t current_pos = 0;
  bool started = false;
  bool finished = false;
  bool cancelled = false;
  // Mirrors `cancelled` for libcurl's progress callback, which must abort a transfer that is
  // waiting on the socket rather than on the queue.
  std::atomic<bool> abort_transfer{false};

  std::mutex response_mutex;
  std::string response;

  // Starting and joining the worker happen under worker_mutex, so that a cancel from another
  // thread never reads `worker` while the producer assigns it, and exactly one caller joins.
  std::mutex worker_mutex;
  std::thread worker;
  bool worker_running = false;
  // Written by the worker before it sets worker_done under queue_mutex; read after the join.
  bool worker_done = false;
  bool stalled = false;  // the worker aborted because the server went quiet
  int64_t http_status = 0;
  int32_t transport_result = 0;
  std::string transport_error;  // the worker's own failure text
  // Guarded by queue_mutex while the worker runs. `last_error_is_call` marks a message that
  // answers one call (bad argument, wrong order, cancelled) rather than a failure of the
  // ingest itself; a later failure replaces it.
  std::string last_error;
  bool last_error_is_call = false;
};

namespace norvale::ingest {

/// Body of the worker thread: performs the upload and marks the worker done.
void ingest_worker_main(NVIngestHandle* h);

/// Records a failure of the ingest unless one is already recorded (first failure wins). Takes
/// the queue mutex.
void record_failure(NVIngestHandle* h, const std::string& message);
/// True when the worker has ended without a cancel (the server answered or the transfer
/// failed): nv_ingest_finish can then tell why a push was refused.
bool worker_ended(NVIngestHandle* h);
/// Asks the ingest to stop, from any thread, without waiting: a producer blocked on the queue
/// and the worker's transfer both end soon after, and the caller's nv_ingest_cancel (or
/// finish) then joins the worker. Takes the queue mutex only briefly.
void request_cancel(NVIngestHandle* h);
/// Records the answer to one call (always replaces the text). Takes the queue mutex.
void record_call_error(NVIngestHandle* h, const std::string& message);

}  // namespace norvale::ingest
