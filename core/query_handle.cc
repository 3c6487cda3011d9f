// The query handle's batch queue (producer and consumer sides), its error, cancellation,
// teardown and accessors, and queries wrapped around batches computed in the process.
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <arrow/array/util.h>
#include <arrow/memory_pool.h>
#include <arrow/record_batch.h>

#include "core/connection_internal.h"
#include "core/query_batch_internal.h"
#include "core/query_internal.h"
#include "norvale/nv_log.h"

NVQueryHandle::~NVQueryHandle() {
  for (NVArrowBatch* batch : queue) nv_batch_free(batch);
  if (holds_connection) norvale::release_connection(conn);
}

namespace norvale {
namespace {

uint64_t weight_of(const NVArrowBatch* batch) {
  const int64_t w = query_batch_weight(batch);
  return w > 0 ? static_cast<uint64_t>(w) : 0;
}

bool finished(const NVQueryHandle* q) {
  return q->cancelled.load() || q->done.load() || !q->error.empty();
}

// A batch of zero rows of `schema`, wrapped; null with a message in `err` on failure.
NVArrowBatch* empty_batch(const std::shared_ptr<arrow::Schema>& schema, char* err,
                          size_t err_size) {
  std::vector<std::shared_ptr<arrow::Array>> columns;
  columns.reserve(schema->num_fields());
  for (const auto& field : schema->fields()) {
    auto made = arrow::MakeArrayOfNull(field->type(), 0, arrow::default_memory_pool());
    if (!made.ok()) {
      copy_error(err, err_size, "failed to synthesise empty batch: " + made.status().ToString());
      return nullptr;
    }
    columns.push_back(std::move(made).ValueUnsafe());
  }
  NVArrowBatch* batch =
      query_batch_wrap(arrow::RecordBatch::Make(schema, 0, std::move(columns)), schema);
  if (batch == nullptr) copy_error(err, err_size, "out of memory");
  return batch;
}

NVArrowBatch* next_batch(NVQueryHandle* q, char* err, size_t err_size) {
  std::unique_lock<std::mutex> lock(q->mutex);
  while (q->queue.empty()) {
    if (q->done.load()) break;
    if (!q->error.empty()) {
      copy_error(err, err_size, q->error);
      return nullptr;
    }
    if (!q->data_delivered && q->schema != nullptr) break;
    q->cond.wait(lock);
  }
  if (!q->error.empty()) {
    copy_error(err, err_size, q->error);
    return nullptr;
  }
  if (!q->queue.empty()) {
    NVArrowBatch* batch = q->queue.front();
    q->queue.pop_front();
    q->data_delivered = true;
    const uint64_t w = weight_of(batch);
    q->inflight_bytes = q->inflight_bytes > w ? q->inflight_bytes - w : 0;
    lock.unlock();
    q->cond.notify_all();  // the producer may be waiting for room
    return batch;
  }

  // The queue is empty: at most one synthesized zero-row batch per query, either as a schema
  // prelude before any data or after the last batch.
  if (!q->data_delivered && q->schema == nullptr) return nullptr;
  if (!q->data_delivered && !q->done.load()) {
    q->schema_batch_emitted = true;
    q->data_delivered = true;
    nv_log_emit(NV_LOG_INFO, "transport",
                "nv_next_batch(q=%p): emitting zero-row SCHEMA PRELUDE from INIT frame (no "
                "data batch yet, stream_done=0)",
                static_cast<void*>(q));
  } else {
    if (q->schema_batch_emitted || q->schema == nullptr) return nullptr;
    q->schema_batch_emitted = true;
  }
  std::shared_ptr<arrow::Schema> schema = q->schema;
  lock.unlock();
  q->cond.notify_all();
  return empty_batch(schema, err, err_size);
}

}  // namespace

void set_query_error(NVQueryHandle* query, std::string_view message, std::string_view sqlstate,
                     int32_t native) {
  {
    std::lock_guard<std::mutex> lock(query->mutex);
    if (query->error.empty()) {
      query->error.assign(message.empty() ? std::string_view("unknown error") : message);
      if (!sqlstate.empty()) query->sqlstate.assign(sqlstate);
      if (native != 0) query->native_error = native;
    }
    query->done.store(true);
  }
  query->cond.notify_all();
}

void enqueue_batch(NVQueryHandle* q, NVArrowBatch* batch) {
  std::unique_lock<std::mutex> lock(q->mutex);
  const uint64_t w = weight_of(batch);
  if (q->max_inflight_batches != 0 || q->max_inflight_bytes != 0) {
    q->cond.wait(lock, [&] {
      if (finished(q)) return true;
      const bool count_full =
          q->max_inflight_batches != 0 && q->queue.size() >= q->max_inflight_batches;
      const bool bytes_full = q->max_inflight_bytes != 0 && !q->queue.empty() &&
                              q->inflight_bytes + w > q->max_inflight_bytes;
      return !count_full && !bytes_full;
    });
  }
  if (finished(q)) {
    lock.unlock();
    nv_batch_free(batch);
    return;
  }
  q->queue.push_back(batch);
  q->inflight_bytes += w;
  lock.unlock();
  q->cond.notify_one();
}

}  // namespace norvale

extern "C" {

NVArrowBatch* nv_next_batch(NVQueryHandle* query, char* err, size_t err_size) {
  if (query == nullptr) {
    norvale::copy_error(err, err_size, "nv_next_batch: q is NULL");
    return nullptr;
  }
  try {
    return norvale::next_batch(query, err, err_size);
  } catch (const std::exception& e) {
    norvale::copy_error(err, err_size, std::string("nv_next_batch: ") + e.what());
  } catch (...) {
    norvale::copy_error(err, err_size, "nv_next_batch: unknown internal error");
  }
  return nullptr;
}

int nv_query_cancel(NVQueryHandle* query) {
  if (query == nullptr) return -1;
  nv_log_emit(NV_LOG_INFO, "transport", "Query cancelled by client");
  {
    std::lock_guard<std::mutex> lock(query->mutex);
    query->cancelled.store(true);
    if (query->error.empty()) {
      query->error = "Query cancelled by client";
      query->sqlstate = "HY008";
    }
    query->done.store(true);
  }
  query->cond.notify_all();
  return 0;
}

void nv_query_close(NVQueryHandle* query) {
  if (query == nullptr) return;
  nv_log_emit(NV_LOG_INFO, "transport",
              "nv_query_close(q=%p): closing query (worker_joinable=%d) -- this is the consumer "
              "releasing the result stream",
              static_cast<void*>(query), query->worker.joinable() ? 1 : 0);
  bool ended = false;
  {
    std::lock_guard<std::mutex> lock(query->mutex);
    ended = query->eos_received && query->error.empty();
  }
  // After the end of the result only the end of the body is still on its way: aborting the
  // transfer would close the connection that the next query could reuse.
  if (ended) query->worker.join_for(norvale::kEndOfBodyGrace);
  {
    // Under the mutex, so that a producer about to wait for room cannot miss the wake-up.
    std::lock_guard<std::mutex> lock(query->mutex);
    query->cancelled.store(true);
  }
  query->cond.notify_all();
  if (query->worker.joinable()) query->worker.join();
  delete query;  // frees what is still queued
}

const char* nv_query_error(NVQueryHandle* query) {
  if (query == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(query->mutex);
  return query->error.empty() ? nullptr : query->error.c_str();
}

const char* nv_query_sqlstate(NVQueryHandle* query) {
  if (query == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(query->mutex);
  return query->sqlstate.empty() ? nullptr : query->sqlstate.c_str();
}

int32_t nv_query_native_error(NVQueryHandle* query) {
  if (query == nullptr) return 0;
  std::lock_guard<std::mutex> lock(query->mutex);
  return query->native_error;
}

const char* nv_query_stream_id(NVQueryHandle* query) {
  if (query == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(query->mutex);
  return query->stream_id.empty() ? nullptr : query->stream_id.c_str();
}

int32_t nv_query_http_status(NVQueryHandle* query) {
  if (query == nullptr) return 0;
  std::lock_guard<std::mutex> lock(query->mutex);
  return query->http_status;
}

int nv_query_cancelled(NVQueryHandle* query) {
  return query != nullptr && query->cancelled.load() ? 1 : 0;
}

int64_t nv_query_rows_affected(NVQueryHandle* query) {
  if (query == nullptr) return -1;
  std::lock_guard<std::mutex> lock(query->mutex);
  return query->rows_affected;
}

void nv_query_set_staging_signature(NVQueryHandle* query, const NVStagingEntry* entries,
                                    size_t count) {
  if (query == nullptr) return;
  try {
    std::lock_guard<std::mutex> lock(query->mutex);
    query->staging_signature.clear();
    if (entries != nullptr && count != 0) {
      query->staging_signature.assign(entries, entries + count);
    }
  } catch (...) {
    // Out of memory: the signature stays empty and batches arrive unstaged.
  }
}

}  // extern "C"

NVQueryHandle* nv_make_local_query_handle(
    NVConnection* conn, std::shared_ptr<arrow::Schema> schema,
    std::vector<std::shared_ptr<arrow::RecordBatch>> batches) {
  auto* q = new (std::nothrow) NVQueryHandle;
  if (q == nullptr) return nullptr;
  q->conn = conn;
  q->schema = std::move(schema);
  try {
    for (auto& rb : batches) {
      if (rb == nullptr) continue;
      NVArrowBatch* wrapped = norvale::query_batch_wrap(std::move(rb), q->schema);
      if (wrapped == nullptr) {
        q->error = "out of memory wrapping engine result batch";
        q->sqlstate = "HY001";
        break;
      }
      q->queue.push_back(wrapped);
    }
  } catch (...) {
    if (q->error.empty()) {
      q->error = "out of memory wrapping engine result batch";
      q->sqlstate = "HY001";
    }
  }
  q->done.store(true);
  q->cond.notify_all();
  return q;
}
