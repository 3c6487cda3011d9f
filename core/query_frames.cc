// The query stream's frame handler: frames become query state (stream id, row count, schema),
// decoded batches in the query's queue, or the query's error.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include <arrow/buffer.h>
#include <arrow/io/memory.h>
#include <arrow/ipc/reader.h>
#include <arrow/memory_pool.h>
#include <arrow/type.h>
#include <arrow/type_traits.h>
#include <arrow/util/key_value_metadata.h>
#include <nlohmann/json.hpp>

#include "core/frame_decoder_internal.h"
#include "core/ipc_options_internal.h"
#include "core/query_batch_internal.h"
#include "core/query_internal.h"
#include "norvale/nv_log.h"
#include "util/base64_internal.h"
#include "util/json_number_internal.h"

namespace norvale {
namespace {

constexpr const char* kCategory = "transport";

const char* frame_name(uint8_t type) {
  switch (type) {
    case NV_FRAME_INIT: return "INIT";
    case NV_FRAME_BATCH: return "BATCH";
    case NV_FRAME_EOS: return "EOS";
    case NV_FRAME_ERROR: return "ERROR";
    case NV_FRAME_TRACE: return "TRACE";
    default: return "unknown";
  }
}

std::string_view as_text(const uint8_t* payload, size_t len) {
  return {reinterpret_cast<const char*>(payload), len};
}

// Tells the consumer that result set 0 is complete.
void mark_done(NVQueryHandle* q) {
  {
    std::lock_guard<std::mutex> lock(q->mutex);
    q->eos_received = true;
    q->done.store(true);
  }
  q->cond.notify_all();
}

int handle_error_frame(NVQueryHandle* q, const uint8_t* payload, size_t len) {
  const std::string_view text = as_text(payload, len);
  std::string message(text);
  std::string code;
  bool has_code = false;
  const auto doc = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (doc.is_object()) {
    const auto m = doc.find("message");
    const auto e = doc.find("error");
    if (m != doc.end() && m->is_string()) {
      message = m->get<std::string>();
    } else if (e != doc.end() && e->is_string()) {
      message = e->get<std::string>();
    }
    if (const auto c = doc.find("code"); c != doc.end() && c->is_string()) {
      code = c->get<std::string>();
      has_code = true;
    }
  }
  // The frame's code says what failed, as the code of an error answer does; without one that
  // says anything the error keeps no SQLSTATE.
  set_query_error(q, "compute reported error: " + message,
                  sqlstate_from_code(code, has_code, message), extract_native_code(message));
  return 1;
}

int handle_trace_frame(const uint8_t* payload, size_t len) {
  if (len == 0 || nv_log_level() < NV_LOG_TRACE) return 0;
  const std::string text(as_text(payload, len));
  nv_log_emit(NV_LOG_TRACE, kCategory, "TRACE frame: %s", text.c_str());
  return 0;
}

void take_init_schema(NVQueryHandle* q, const std::string& encoded) {
  const auto bytes = base64_decode_strict(encoded);
  if (!bytes || bytes->empty()) return;
  std::shared_ptr<arrow::RecordBatch> ignored;
  std::shared_ptr<arrow::Schema> schema;
  const arrow::Status st = decode_arrow_ipc_bytes(
      reinterpret_cast<const uint8_t*>(bytes->data()), bytes->size(), &ignored, &schema);
  if (!st.ok() || schema == nullptr) {
    nv_log_emit(NV_LOG_DEBUG, kCategory,
                "INIT schemaIpc decode produced no schema (%s); falling back to first-batch "
                "schema",
                st.ok() ? "empty stream" : st.ToString().c_str());
    return;
  }
  {
    std::lock_guard<std::mutex> lock(q->mutex);
    if (q->schema == nullptr) q->schema = std::move(schema);
  }
  q->cond.notify_all();
}

// Throws for invalid JSON or a result-set list that cannot be indexed; the caller reports it.
int handle_init_frame(NVQueryHandle* q, const uint8_t* payload, size_t len) {
  const nlohmann::json doc = nlohmann::json::parse(as_text(payload, len));
  if (!doc.is_object()) return 0;
  if (const auto id = doc.find("streamId"); id != doc.end() && id->is_string()) {
    std::lock_guard<std::mutex> lock(q->mutex);
    // Once: nv_query_stream_id hands out the text to other threads.
    if (q->stream_id.empty()) q->stream_id = id->get<std::string>();
  }
  const auto sets = doc.find("resultSets");
  if (sets == doc.end() || sets->is_null() || sets->empty()) return 0;
  if (sets->size() > 1 && !q->multi_result_warned) {
    q->multi_result_warned = true;
    std::fprintf(stderr,
                 "norvale-odbc: multi-statement script returned %zu result sets; v1 only "
                 "surfaces the first.\n",
                 sets->size());
  }
  const nlohmann::json& first = sets->at(0);
  if (!first.is_object()) return 0;
  if (const auto rows = first.find("rowsAffected"); rows != first.end()) {
    const auto v = json_integer_clamped(*rows, std::numeric_limits<int64_t>::min(),
                                        std::numeric_limits<int64_t>::max());
    if (v) q->rows_affected = *v;
  }
  if (const auto ipc = first.find("schemaIpc"); ipc != first.end() && ipc->is_string()) {
    take_init_schema(q, ipc->get_ref<const std::string&>());
  }
  return 0;
}

int handle_batch_frame(NVQueryHandle* q, const uint8_t* payload, size_t len) {
  if (len < 8) {
    set_query_error(q, "BATCH frame truncated (header < 8 bytes)");
    return 1;
  }
  const uint32_t result_set = frame_read_u32(payload);
  if (result_set != 0) {
    if (!q->multi_result_warned) {
      q->multi_result_warned = true;
      std::fprintf(stderr,
                   "norvale-odbc: dropped batch for resultSetIndex=%u (v1 only handles "
                   "index 0)\n",
                   result_set);
    }
    return 0;
  }
  if (len == 8) return 0;

  std::shared_ptr<arrow::RecordBatch> batch;
  std::shared_ptr<arrow::Schema> schema;
  arrow::Status st;
  if (auto owned = frame_decoder_take_payload(q->decoder, payload + 8, len - 8)) {
    st = decode_arrow_ipc_buffer(std::move(owned), &batch, &schema);
  } else {
    st = decode_arrow_ipc_bytes(payload + 8, len - 8, &batch, &schema);
  }
  if (!st.ok()) {
    set_query_error(q, "IPC decode (batch): " + st.ToString());
    return 1;
  }

  std::vector<NVStagingEntry> staging;
  {
    std::lock_guard<std::mutex> lock(q->mutex);
    if (q->schema == nullptr && schema != nullptr) q->schema = schema;
    staging = q->staging_signature;
  }
  if (batch == nullptr) {
    q->cond.notify_one();
    return 0;
  }

  NVArrowBatch* wrapped = query_batch_wrap(std::move(batch), std::move(schema));
  if (wrapped == nullptr) {
    set_query_error(q, "out of memory wrapping batch", "HY001");
    return 0;
  }
  // The decoded batch refers to (or was copied from) the IPC bytes: they measure what it holds.
  query_batch_set_weight(wrapped, static_cast<int64_t>(len - 8));
  for (const NVStagingEntry& entry : staging) {
    nv_batch_stage_column(wrapped, entry.column - 1, entry.c_type, entry.parameter);
  }
  enqueue_batch(q, wrapped);
  return 0;
}

int dispatch_frame(NVQueryHandle* q, uint8_t type, const uint8_t* payload, size_t len) {
  switch (type) {
    case NV_FRAME_INIT:
      try {
        return handle_init_frame(q, payload, len);
      } catch (const std::bad_alloc&) {
        throw;
      } catch (const std::exception& e) {
        set_query_error(q, std::string("frame parse failure: ") + e.what());
        return 1;
      }
    case NV_FRAME_BATCH: return handle_batch_frame(q, payload, len);
    case NV_FRAME_EOS:
      if (len < 4) {
        set_query_error(q, "EOS frame truncated (header < 4 bytes)");
        return 1;
      }
      if (frame_read_u32(payload) == 0) mark_done(q);
      return 0;
    case NV_FRAME_ERROR: return handle_error_frame(q, payload, len);
    case NV_FRAME_TRACE: return handle_trace_frame(payload, len);
    default:
      nv_log_emit(NV_LOG_DEBUG, kCategory, "skipping unknown frame type=0x%02x (%zu bytes)",
                  static_cast<unsigned>(type), len);
      return 0;
  }
}

}  // namespace

int on_frame(uint8_t type, uint16_t /*flags*/, const uint8_t* payload, size_t len, void* user) {
  auto* q = static_cast<NVQueryHandle*>(user);
  if (q->cancelled.load()) return 1;
  if (nv_log_level() >= NV_LOG_TRACE) {
    nv_log_emit(NV_LOG_TRACE, kCategory, "frame type=%s (%zu bytes)", frame_name(type), len);
  }
  int rc = 1;
  run_worker_step(q, [&] { rc = dispatch_frame(q, type, payload, len); });
  return rc;
}

namespace {

// The widest decimal holds 76 digits; a scale beyond that many places has no sensible value,
// and its text would be a run of zeros as long as the scale.
constexpr int32_t kMaxDecimalScale = 76;

arrow::Status check_decimal_scales(const arrow::DataType& type) {
  if (arrow::is_decimal(type.id())) {
    const int32_t scale = static_cast<const arrow::DecimalType&>(type).scale();
    if (scale < -kMaxDecimalScale || scale > kMaxDecimalScale) {
      return arrow::Status::Invalid("decimal scale ", scale, " is outside -",
                                    kMaxDecimalScale, "..", kMaxDecimalScale);
    }
  }
  for (const auto& field : type.fields()) {
    ARROW_RETURN_NOT_OK(check_decimal_scales(*field->type()));
  }
  return arrow::Status::OK();
}

arrow::Status read_ipc(std::shared_ptr<arrow::Buffer> buffer,
                       std::shared_ptr<arrow::RecordBatch>* out_batch,
                       std::shared_ptr<arrow::Schema>* out_schema) {
  auto input = std::make_shared<arrow::io::BufferReader>(std::move(buffer));
  ARROW_ASSIGN_OR_RAISE(auto reader, arrow::ipc::RecordBatchStreamReader::Open(
                                         input, server_ipc_read_options()));
  *out_schema = reader->schema();
  for (const auto& field : (*out_schema)->fields()) {
    ARROW_RETURN_NOT_OK(check_decimal_scales(*field->type()));
  }
  if (nv_log_level() >= NV_LOG_TRACE && *out_schema != nullptr &&
      (*out_schema)->metadata() != nullptr) {
    const auto codec = (*out_schema)->metadata()->Get("ARROW:experimental_compression");
    if (codec.ok()) {
      nv_log_emit(NV_LOG_TRACE, kCategory, "Compressed Arrow IPC frame: codec=%s",
                  codec->c_str());
    }
  }
  // Only the first record batch of a payload is read. Its structure (buffer sizes against the
  // lengths and offsets they must hold) is checked here, in time proportional to the columns;
  // the cell accessors check every value before they read any (ensure_column_cache).
  ARROW_RETURN_NOT_OK(reader->ReadNext(out_batch));
  if (*out_batch != nullptr) ARROW_RETURN_NOT_OK((*out_batch)->Validate());
  return arrow::Status::OK();
}

// Adds the time since `start` (and the rows decoded) to the decode counter.
void count_decode(std::chrono::steady_clock::time_point start,
                  const std::shared_ptr<arrow::RecordBatch>& batch) {
  const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::steady_clock::now() - start);
  nv_perf_add_decode(static_cast<uint64_t>(nanos.count()),
                     batch ? static_cast<uint64_t>(batch->num_rows()) : 0);
}

}  // namespace

arrow::Status decode_arrow_ipc_buffer(std::shared_ptr<arrow::Buffer> buffer,
                                      std::shared_ptr<arrow::RecordBatch>* out_batch,
                                      std::shared_ptr<arrow::Schema>* out_schema) {
  const bool perf = nv_perf_is_enabled() != 0;
  const auto start =
      perf ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};
  ARROW_RETURN_NOT_OK(read_ipc(std::move(buffer), out_batch, out_schema));
  if (perf) count_decode(start, *out_batch);
  return arrow::Status::OK();
}

arrow::Status decode_arrow_ipc_bytes(const uint8_t* bytes, size_t len,
                                     std::shared_ptr<arrow::RecordBatch>* out_batch,
                                     std::shared_ptr<arrow::Schema>* out_schema) {
  const bool perf = nv_perf_is_enabled() != 0;
  const auto start =
      perf ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};
  // A copy, so that the decoded batch does not refer to the network chunk.
  ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::Buffer> copy,
                        arrow::AllocateBuffer(static_cast<int64_t>(len)));
  if (len > 0) std::memcpy(copy->mutable_data(), bytes, len);
  ARROW_RETURN_NOT_OK(read_ipc(std::move(copy), out_batch, out_schema));
  if (perf) count_decode(start, *out_batch);
  return arrow::Status::OK();
}

}  // namespace norvale
