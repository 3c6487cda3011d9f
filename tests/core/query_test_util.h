// Arrow IPC payloads and query handles for the offline query tests.
#pragma once

#include <memory>
#include <string>

#include <arrow/api.h>
#include <arrow/io/memory.h>
#include <arrow/ipc/writer.h>

#include "core/query_internal.h"
#include "util/base64_internal.h"

namespace nv_test {

inline std::shared_ptr<arrow::Schema> int_schema() {
  return arrow::schema({arrow::field("x", arrow::int64())});
}

/// A batch of `rows` int64 values start, start + 1, ...
inline std::shared_ptr<arrow::RecordBatch> int_batch(int64_t rows, int64_t start = 0) {
  arrow::Int64Builder builder;
  for (int64_t i = 0; i < rows; ++i) (void)builder.Append(start + i);
  std::shared_ptr<arrow::Array> array = builder.Finish().ValueOrDie();
  return arrow::RecordBatch::Make(int_schema(), rows, {array});
}

/// An Arrow IPC stream holding the schema and, when given, one batch.
inline std::string ipc_stream(const std::shared_ptr<arrow::Schema>& schema,
                              const std::shared_ptr<arrow::RecordBatch>& batch) {
  auto sink = arrow::io::BufferOutputStream::Create().ValueOrDie();
  auto writer = arrow::ipc::MakeStreamWriter(sink, schema).ValueOrDie();
  if (batch) (void)writer->WriteRecordBatch(*batch);
  (void)writer->Close();
  return sink->Finish().ValueOrDie()->ToString();
}

/// A query handle as nv_execute makes it, without a worker.
inline NVQueryHandle* bare_query(uint64_t max_batches = 4, uint64_t max_bytes = 0) {
  auto* q = new NVQueryHandle;
  q->max_inflight_batches = max_batches;
  q->max_inflight_bytes = max_bytes;
  return q;
}

inline int feed(NVQueryHandle* q, uint8_t type, const std::string& payload) {
  return norvale::on_frame(type, 0, reinterpret_cast<const uint8_t*>(payload.data()),
                           payload.size(), q);
}

inline size_t queued(NVQueryHandle* q) {
  std::lock_guard<std::mutex> lock(q->mutex);
  return q->queue.size();
}

}  // namespace nv_test
