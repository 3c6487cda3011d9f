// The exported ingest functions: configuration checks, the producer side of the frame queue,
// and the summary built from the server's answer.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <system_error>

#include "core/connection_internal.h"
#include "core/error_text_internal.h"
#include "core/ingest/ingest_frames_internal.h"
#include "core/ingest/ingest_handle_internal.h"
#include "core/ingest/ingest_manifest_internal.h"
#include "core/ingest/ingest_response_internal.h"
#include "norvale/nv_core.h"
#include "norvale/nv_ingest.h"
#include "norvale/nv_log.h"
#include "util/strings_internal.h"

namespace norvale::ingest {

void record_failure(NVIngestHandle* h, const std::string& message) {
  std::lock_guard lock(h->queue_mutex);
  if (!h->last_error.empty() && !h->last_error_is_call) return;
  h->last_error = message;
  h->last_error_is_call = false;
}

void record_call_error(NVIngestHandle* h, const std::string& message) {
  std::lock_guard lock(h->queue_mutex);
  h->last_error = message;
  h->last_error_is_call = true;
}

bool worker_ended(NVIngestHandle* h) {
  std::lock_guard lock(h->queue_mutex);
  return h->worker_done && !h->cancelled;
}

void request_cancel(NVIngestHandle* h) {
  {
    std::lock_guard lock(h->queue_mutex);
    h->cancelled = true;
  }
  h->abort_transfer = true;
  h->data.notify_all();
  h->space.notify_all();
}

namespace {

bool has_line_break(const char* text) {
  return text != nullptr && std::strpbrk(text, "\r\n") != nullptr;
}

// The checks of nv_ingest_begin, in order; null when the configuration is usable.
const char* begin_problem(NVConnection* conn, const NVIngestConfig* cfg, NVIngestHandle** out,
                          int32_t usable_keys) {
  if (conn == nullptr) return "nv_ingest_begin: conn is NULL";
  if (cfg == nullptr) return "nv_ingest_begin: cfg is NULL";
  if (out == nullptr) return "nv_ingest_begin: out is NULL";
  const norvale::SessionToken token(*conn);
  if (token.text().empty()) return "nv_ingest_begin: connection has no session token";
  // The token goes into a request header; a line break would end the header early.
  if (has_line_break(token.c_str_or_null())) {
    return "nv_ingest_begin: session token contains forbidden control characters";
  }
  const int32_t mode = cfg->mode;
  if ((mode == NV_INGEST_MODE_APPEND || mode == NV_INGEST_MODE_UPSERT ||
       mode == NV_INGEST_MODE_OVERWRITE) &&
      !non_empty(cfg->target_table)) {
    return "nv_ingest_begin: target_table required for append/upsert/overwrite";
  }
  if (mode == NV_INGEST_MODE_UPSERT && (cfg->key_column_count <= 0 || usable_keys == 0)) {
    return "nv_ingest_begin: key_columns required for upsert mode";
  }
  if (mode == NV_INGEST_MODE_LAND && !non_empty(cfg->target_location)) {
    return "nv_ingest_begin: target_location required for land mode";
  }
  if (mode == NV_INGEST_MODE_UPSERT && cfg->payload_format == NV_INGEST_FORMAT_PARQUET) {
    return "nv_ingest_begin: payload_format=parquet does not support mode=upsert";
  }
  if (mode_name(mode) == nullptr) {
    return "nv_ingest_begin: mode must be 0 (append), 1 (upsert), 2 (overwrite) or 3 (land)";
  }
  if (payload_format_name(cfg->payload_format) == nullptr) {
    return "nv_ingest_begin: payload_format must be 0 (arrow_ipc) or 1 (parquet)";
  }
  return nullptr;
}

int32_t count_usable_keys(const NVIngestConfig* cfg) {
  if (cfg == nullptr || cfg->key_columns == nullptr) return 0;
  int32_t n = 0;
  for (int32_t i = 0; i < cfg->key_column_count; ++i) {
    if (cfg->key_columns[i] != nullptr) ++n;
  }
  return n;
}

// Queues the INIT frame and starts the worker. Called once, by the first push or by finish;
// false when a cancel came first (nothing is started then).
bool start_streaming(NVIngestHandle* h) {
  std::vector<uint8_t> init = make_init_frame(build_manifest(*h));
  std::lock_guard worker_lock(h->worker_mutex);
  {
    std::lock_guard lock(h->queue_mutex);
    if (h->cancelled) return false;
    h->queue.push_back(std::move(init));
    h->started = true;
  }
  h->data.notify_one();
  note_compute_work(h->conn);  // a reservation confirm may go beside it
  try {
    h->worker = std::thread(ingest_worker_main, h);
    h->worker_running = true;
  } catch (const std::system_error& e) {
    // Without a worker nothing drains the queue: mark it ended so no producer waits on it.
    h->transport_result = kIngestNoWorker;
    h->transport_error = std::string("nv_ingest: cannot start the ingest worker: ") + e.what();
    record_failure(h, h->transport_error);
    std::lock_guard lock(h->queue_mutex);
    h->worker_done = true;
  }
  return true;
}

// Whoever comes first joins; a second caller (cancel during finish) waits for that join.
void join_worker(NVIngestHandle* h) {
  std::lock_guard worker_lock(h->worker_mutex);
  if (h->worker.joinable()) h->worker.join();
  h->worker_running = false;
}

bool is_cancelled(NVIngestHandle* h) {
  std::lock_guard lock(h->queue_mutex);
  return h->cancelled;
}

constexpr const char* kCancelledText = "Ingest cancelled by client";

void fill_summary_error(NVIngestSummary* out, const std::string& message, const char* sqlstate) {
  std::snprintf(out->error_message, sizeof out->error_message, "%s", message.c_str());
  std::snprintf(out->sqlstate, sizeof out->sqlstate, "%s", sqlstate);
}

std::string last_error_of(NVIngestHandle* h) {
  std::lock_guard lock(h->queue_mutex);
  return h->last_error;
}

// Fills the counts and the landed paths from the STATS JSON. False when the path list cannot be
// allocated.
bool read_stats(const std::string& json, NVIngestSummary* out) {
  out->rows_inserted = find_json_int64(json, "rows_inserted").value_or(0);
  out->rows_updated = find_json_int64(json, "rows_updated").value_or(0);
  out->rows_deleted = find_json_int64(json, "rows_deleted").value_or(0);
  out->commit_version = find_json_int64(json, "commit_version").value_or(-1);
  out->duration_ms = find_json_double(json, "duration_ms").value_or(0.0);
  out->idempotent_replay = find_json_true(json, "idempotent_replay") ? 1 : 0;
  const std::vector<std::string> paths = find_json_string_array(json, "landed_paths");
  if (paths.empty()) return true;
  auto** list = static_cast<char**>(std::calloc(paths.size(), sizeof(char*)));
  if (list == nullptr) return false;
  out->landed_paths = list;
  for (const std::string& path : paths) {
    char* copy = static_cast<char*>(std::malloc(path.size() + 1));
    if (copy == nullptr) {
      nv_ingest_summary_free(out);
      return false;
    }
    std::memcpy(copy, path.c_str(), path.size() + 1);
    list[out->landed_path_count++] = copy;
  }
  return true;
}

int push_batch(NVIngestHandle* h, const void* bytes, size_t len) {
  if (bytes == nullptr || len == 0) {
    record_call_error(h, "nv_ingest_push_batch: empty payload");
    return -1;
  }
  bool started = false;
  {
    std::lock_guard lock(h->queue_mutex);
    if (h->cancelled) {
      h->last_error = "nv_ingest_push_batch: ingest was cancelled";
      h->last_error_is_call = true;
      return -1;
    }
    if (h->finished) {
      h->last_error = "nv_ingest_push_batch: ingest already finished";
      h->last_error_is_call = true;
      return -1;
    }
    started = h->started;
  }
  if (len > kMaxBatchPayload) {
    record_call_error(h, "nv_ingest_push_batch: payload of " + std::to_string(len) +
                             " bytes exceeds the frame limit of " +
                             std::to_string(kMaxBatchPayload) + " bytes");
    return -1;
  }
  if (!started) {
    if (h->payload_format == NV_INGEST_FORMAT_ARROW_IPC && h->schema_bytes.empty()) {
      record_call_error(h, "nv_ingest_push_batch: arrow_ipc requires nv_ingest_push_schema first");
      return -1;
    }
    if (!start_streaming(h)) {
      record_call_error(h, "nv_ingest_push_batch: ingest was cancelled");
      return -1;
    }
  }
  std::vector<uint8_t> frame = make_batch_frame(bytes, len);
  std::unique_lock lock(h->queue_mutex);
  h->space.wait(
      lock, [h] { return h->queue.size() < kIngestQueueFrames || h->cancelled || h->worker_done; });
  if (!h->cancelled && !h->worker_done) {
    h->queue.push_back(std::move(frame));
    lock.unlock();
    h->data.notify_one();
    return 0;
  }
  if (h->cancelled) {
    h->last_error = "nv_ingest_push_batch: ingest was cancelled";
    h->last_error_is_call = true;
  } else if (h->last_error.empty()) {
    // Answers this push; the server's answer, read by finish, may say more.
    h->last_error = "nv_ingest_push_batch: worker terminated before frame accepted";
    h->last_error_is_call = true;
  }
  return -1;
}

int finish(NVIngestHandle* h, NVIngestSummary* out) {
  std::memset(out, 0, sizeof *out);
  out->commit_version = -1;
  bool started = false;
  {
    std::lock_guard lock(h->queue_mutex);
    if (h->cancelled) {
      fill_summary_error(out, kCancelledText, "HY008");
      return -1;
    }
    if (h->finished) {
      h->last_error = "nv_ingest_finish: ingest already finished";
      h->last_error_is_call = true;
      fill_summary_error(out, h->last_error, "HY010");
      return -1;
    }
    started = h->started;
  }
  if (!started) {
    if (h->payload_format == NV_INGEST_FORMAT_ARROW_IPC && h->schema_bytes.empty()) {
      const std::string message =
          "nv_ingest_finish: arrow_ipc ingest with no schema and no batches";
      record_call_error(h, message);
      fill_summary_error(out, message, "22023");
      return -1;
    }
    if (!start_streaming(h)) {
      fill_summary_error(out, kCancelledText, "HY008");
      return -1;
    }
  }
  std::vector<uint8_t> eos = make_eos_frame();
  {
    std::lock_guard lock(h->queue_mutex);
    h->queue.push_back(std::move(eos));
    h->finished = true;
  }
  h->data.notify_all();
  join_worker(h);

  if (h->transport_result != 0) {
    // A cancel from another thread aborted the upload: that is the outcome, not the transport
    // error the abort produced. (An upload the server answered stands, cancel or not.)
    if (is_cancelled(h)) {
      fill_summary_error(out, kCancelledText, "HY008");
      return -1;
    }
    fill_summary_error(out, h->transport_error, "08001");
    return -1;
  }
  if (h->http_status != 200) {
    record_failure(h, "ingest returned HTTP " + std::to_string(h->http_status));
    const char* sqlstate = h->http_status == 401   ? "28000"
                           : h->http_status == 503 ? "53000"
                                                   : "HY000";
    fill_summary_error(out, last_error_of(h), sqlstate);
    return -1;
  }
  IngestAnswer answer;
  {
    std::lock_guard lock(h->response_mutex);
    answer = walk_ingest_response(h->response);
  }
  switch (answer.kind) {
    case IngestAnswer::Kind::kNone: {
      const std::string message = "ingest: server response had no STATS or ERROR frame";
      record_failure(h, message);
      fill_summary_error(out, message, "08006");
      return -1;
    }
    case IngestAnswer::Kind::kError: {
      // An ERROR frame is a failure even when the server gave no text with it.
      const std::string message = answer.message.empty()
                                      ? "ingest: server reported an error without a message"
                                      : answer.message;
      record_failure(h, message);
      fill_summary_error(out, message, answer.sqlstate.empty() ? "HY000" : answer.sqlstate.c_str());
      return -1;
    }
    case IngestAnswer::Kind::kStats:
      if (!read_stats(answer.stats_json, out)) {
        const std::string message = "nv_ingest_finish: out of memory reading landed paths";
        record_failure(h, message);
        fill_summary_error(out, message, "HY001");
        return -1;
      }
      return 0;
  }
  return -1;
}

void cancel(NVIngestHandle* h) {
  request_cancel(h);
  join_worker(h);
  std::lock_guard lock(h->queue_mutex);
  if (h->last_error.empty()) h->last_error = kCancelledText;
}

}  // namespace
}  // namespace norvale::ingest

using namespace norvale::ingest;

extern "C" {

int nv_ingest_begin(NVConnection* conn, const NVIngestConfig* cfg, NVIngestHandle** out, char* err,
                    size_t err_size) {
  try {
    const int32_t usable_keys = count_usable_keys(cfg);
    if (const char* problem = begin_problem(conn, cfg, out, usable_keys)) {
      norvale::write_error(err, err_size, "%s", problem);
      return -1;
    }
    auto* h = new (std::nothrow) NVIngestHandle();
    if (h == nullptr) {
      norvale::write_error(err, err_size, "nv_ingest_begin: out of memory");
      return -1;
    }
    h->conn = conn;
    h->mode = cfg->mode;
    h->payload_format = cfg->payload_format;
    if (cfg->target_table != nullptr) h->target_table = cfg->target_table;
    if (cfg->target_location != nullptr) h->target_location = cfg->target_location;
    for (int32_t i = 0; cfg->key_columns != nullptr && i < cfg->key_column_count; ++i) {
      if (cfg->key_columns[i] != nullptr) h->key_columns.emplace_back(cfg->key_columns[i]);
    }
    if (cfg->idempotency_key != nullptr) h->idempotency_key = cfg->idempotency_key;
    h->coerce = cfg->coerce != 0;
    *out = h;
    return 0;
  } catch (const std::bad_alloc&) {
    norvale::write_error(err, err_size, "nv_ingest_begin: out of memory");
  } catch (const std::exception& e) {
    norvale::write_error(err, err_size, "nv_ingest_begin: %s", e.what());
  } catch (...) {
    norvale::write_error(err, err_size, "nv_ingest_begin: internal error");
  }
  return -1;
}

int nv_ingest_push_schema(NVIngestHandle* h, const void* bytes, size_t len) {
  if (h == nullptr) return -1;
  try {
    if (h->payload_format == NV_INGEST_FORMAT_PARQUET) return 0;
    if (bytes == nullptr || len == 0) {
      record_call_error(h, "nv_ingest_push_schema: empty schema");
      return -1;
    }
    bool started = false;
    {
      std::lock_guard lock(h->queue_mutex);
      started = h->started || h->cancelled;
    }
    if (started) {
      record_call_error(h, "nv_ingest_push_schema must be called before first push_batch");
      return -1;
    }
    const auto* p = static_cast<const uint8_t*>(bytes);
    h->schema_bytes.assign(p, p + len);
    return 0;
  } catch (...) {
    record_call_error(h, "nv_ingest_push_schema: out of memory");
    return -1;
  }
}

int nv_ingest_push_batch(NVIngestHandle* h, const void* bytes, size_t len) {
  if (h == nullptr) return -1;
  try {
    return push_batch(h, bytes, len);
  } catch (...) {
    record_failure(h, "nv_ingest_push_batch: out of memory");
  }
  return -1;
}

int nv_ingest_finish(NVIngestHandle* h, NVIngestSummary* out) {
  if (h == nullptr) return -1;
  if (out == nullptr) {
    try {
      record_call_error(h, "nv_ingest_finish: out summary is NULL");
    } catch (...) {
    }
    return -1;
  }
  try {
    return finish(h, out);
  } catch (const std::exception& e) {
    const std::string message = std::string("nv_ingest_finish: ") + e.what();
    try {
      record_failure(h, message);
    } catch (...) {
    }
    std::snprintf(out->error_message, sizeof out->error_message, "%s", message.c_str());
    std::snprintf(out->sqlstate, sizeof out->sqlstate, "HY000");
  } catch (...) {
    std::snprintf(out->error_message, sizeof out->error_message,
                  "nv_ingest_finish: internal error");
    std::snprintf(out->sqlstate, sizeof out->sqlstate, "HY000");
  }
  return -1;
}

int nv_ingest_cancel(NVIngestHandle* h) {
  if (h == nullptr) return -1;
  try {
    cancel(h);
    return 0;
  } catch (...) {
    return -1;
  }
}

const char* nv_ingest_last_error(NVIngestHandle* h) {
  if (h == nullptr) return nullptr;
  std::lock_guard lock(h->queue_mutex);
  return h->last_error.empty() ? nullptr : h->last_error.c_str();
}

void nv_ingest_summary_free(NVIngestSummary* s) {
  if (s == nullptr) return;
  if (s->landed_paths != nullptr) {
    for (int32_t i = 0; i < s->landed_path_count; ++i) std::free(s->landed_paths[i]);
    std::free(s->landed_paths);
  }
  s->landed_paths = nullptr;
  s->landed_path_count = 0;
}

void nv_ingest_free(NVIngestHandle* h) {
  if (h == nullptr) return;
  try {
    cancel(h);
  } catch (...) {
    return;  // a worker that could not be joined may still use the handle: leak it instead
  }
  delete h;
}

}  // extern "C"
