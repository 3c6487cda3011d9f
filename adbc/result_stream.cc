// One ArrowArrayStream implementation over any query handle: it holds back the first batch to
// learn the schema, skips the zero-row batches that carry the schema on the wire, and closes
// the query when the host releases the stream.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

#include <arrow/c/bridge.h>
#include <arrow/record_batch.h>
#include <arrow/type.h>

#include "adbc/entry_internal.h"
#include "adbc/result_stream_internal.h"
#include "core/query_batch_internal.h"
#include "norvale/nv_log.h"

namespace norvale::adbc {
namespace {

constexpr const char* kCategory = "stream";
constexpr int kEinval = EINVAL;

struct Profile {
  std::atomic<int64_t> batches{0};
  std::atomic<int64_t> rows{0};
  std::atomic<int64_t> next_ns{0};
  std::atomic<int64_t> export_ns{0};
  std::atomic<int64_t> free_ns{0};
};

Profile g_profile;

bool info_on() { return nv_log_level() >= NV_LOG_INFO; }

NVAdbcStreamState* state_of(ArrowArrayStream* stream) {
  if (stream == nullptr) return nullptr;
  auto* state = static_cast<NVAdbcStreamState*>(stream->private_data);
  return state != nullptr && state->query != nullptr ? state : nullptr;
}

// The errno value that says what happened to the stream.
int errno_for(AdbcStatusCode status) {
  switch (status) {
    case ADBC_STATUS_CANCELLED: return ECANCELED;
    case ADBC_STATUS_TIMEOUT: return ETIMEDOUT;
    default: return EIO;
  }
}

// Records a failure both ways: the ADBC error with its status, and its text for
// get_last_error.
int fail(NVAdbcStreamState* state, const arrow::Status& failure) {
  state->status = to_adbc(failure, &state->error);
  std::snprintf(state->last_error, sizeof state->last_error, "%s",
                state->error.message != nullptr ? state->error.message : "");
  return errno_for(state->status);
}

void release_empty_schema(ArrowSchema* schema) { schema->release = nullptr; }

void fill_empty_struct_schema(ArrowSchema* out) {
  std::memset(out, 0, sizeof *out);
  out->format = "+s";
  out->name = "";
  out->release = release_empty_schema;
}

// Keeps the first schema seen; later batches of the stream share it.
void remember_schema(NVAdbcStreamState* state, const std::shared_ptr<arrow::Schema>& schema) {
  if (state->schema == nullptr && schema != nullptr) {
    state->schema = new std::shared_ptr<arrow::Schema>(schema);
  }
}

int64_t elapsed_ns(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() -
                                                              since)
      .count();
}

int get_next(NVAdbcStreamState* state, ArrowArray* out) {
  NVQueryHandle* q = state->query;
  const bool profile = profile_enabled();
  if (info_on()) {
    nv_log_emit(NV_LOG_INFO, kCategory, "get_next(q=%p) entry (held_batch=%s)",
                static_cast<void*>(q), state->held_batch != nullptr ? "yes" : "no");
  }
  NVArrowBatch* batch = nullptr;
  for (;;) {
    char err[512] = "";
    if (state->held_batch != nullptr) {
      batch = state->held_batch;
      state->held_batch = nullptr;
    } else {
      const auto start = std::chrono::steady_clock::now();
      batch = nv_next_batch(q, err, sizeof err);
      if (profile) g_profile.next_ns += elapsed_ns(start);
    }
    if (batch == nullptr) {
      if (const char* query_error = nv_query_error(q); query_error != nullptr) {
        nv_log_emit(NV_LOG_INFO, kCategory, "get_next(q=%p): query error: %s",
                    static_cast<void*>(q), query_error);
        return fail(state, query_failure(q));
      }
      if (err[0] == '\0') {
        nv_log_emit(NV_LOG_INFO, kCategory,
                    "get_next(q=%p): clean end-of-stream (no more data batches)",
                    static_cast<void*>(q));
        std::memset(out, 0, sizeof *out);
        return 0;
      }
      nv_log_emit(NV_LOG_INFO, kCategory, "get_next(q=%p): nv_next_batch error: %s",
                  static_cast<void*>(q), err);
      return fail(state, transport_failure(err));
    }
    const auto& record = query_batch_record(batch);
    if (record == nullptr) {
      nv_batch_free(batch);
      return fail(state, internal_failure("NVArrowBatch had a null inner RecordBatch"));
    }
    if (record->num_rows() == 0) {
      remember_schema(state, record->schema());  // a carrier still shows the schema
      nv_log_emit(NV_LOG_INFO, kCategory, "get_next(q=%p): skipping zero-row carrier batch",
                  static_cast<void*>(q));
      nv_batch_free(batch);
      continue;
    }
    break;
  }

  std::shared_ptr<arrow::RecordBatch> record = query_batch_record(batch);
  remember_schema(state, record->schema());
  const int64_t rows = record->num_rows();
  nv_log_emit(NV_LOG_INFO, kCategory, "get_next(q=%p): returning data batch rows=%lld",
              static_cast<void*>(q), static_cast<long long>(rows));
  auto start = std::chrono::steady_clock::now();
  const arrow::Status st = arrow::ExportRecordBatch(*record, out);
  if (profile) g_profile.export_ns += elapsed_ns(start);
  record.reset();
  start = std::chrono::steady_clock::now();
  nv_batch_free(batch);
  if (profile) {
    g_profile.free_ns += elapsed_ns(start);
    g_profile.batches += 1;
    g_profile.rows += rows;
  }
  if (!st.ok()) return fail(state, internal_failure("arrow::ExportRecordBatch failed: " + st.ToString()));
  return 0;
}

int export_schema(NVAdbcStreamState* state, const arrow::Schema& schema, ArrowSchema* out) {
  const arrow::Status st = arrow::ExportSchema(schema, out);
  if (!st.ok()) return fail(state, internal_failure("arrow::ExportSchema failed: " + st.ToString()));
  state->schema_returned = 1;
  return 0;
}

int get_schema(NVAdbcStreamState* state, ArrowSchema* out) {
  NVQueryHandle* q = state->query;
  if (info_on()) {
    nv_log_emit(NV_LOG_INFO, kCategory, "get_schema(q=%p) entry (held_batch=%s)",
                static_cast<void*>(q), state->held_batch != nullptr ? "yes" : "no");
  }
  if (state->held_batch == nullptr && state->schema != nullptr && nv_query_error(q) == nullptr) {
    // Batches were handed out already (perhaps all of them): the stream's schema stands. A
    // failed query keeps reporting its error instead.
    return export_schema(state, **state->schema, out);
  }
  if (state->held_batch == nullptr) {
    char err[512] = "";
    state->held_batch = nv_next_batch(q, err, sizeof err);
    if (state->held_batch == nullptr) {
      if (nv_query_error(q) != nullptr) return fail(state, query_failure(q));
      if (err[0] != '\0') return fail(state, transport_failure(err));
      fill_empty_struct_schema(out);
      state->schema_returned = 1;
      nv_log_emit(NV_LOG_INFO, kCategory,
                  "get_schema(q=%p): clean end-of-stream before any batch -> synthesised empty "
                  "0-field struct schema (consumer will see zero columns)",
                  static_cast<void*>(q));
      return 0;
    }
  }
  std::shared_ptr<arrow::Schema> schema = query_batch_schema(state->held_batch);
  const auto& record = query_batch_record(state->held_batch);
  if (schema == nullptr && record != nullptr) schema = record->schema();
  if (schema == nullptr) return fail(state, internal_failure("NVArrowBatch has no schema"));
  remember_schema(state, schema);
  if (const int rc = export_schema(state, *schema, out); rc != 0) return rc;
  nv_log_emit(NV_LOG_INFO, kCategory,
              "get_schema(q=%p): returning schema (%d fields) from held batch (rows=%lld)",
              static_cast<void*>(q), schema->num_fields(),
              static_cast<long long>(record != nullptr ? record->num_rows() : -1));
  return 0;
}

}  // namespace

bool profile_enabled() {
  static const bool enabled = [] {
    const char* value = std::getenv("NV_ADBC_PROFILE");
    return value != nullptr && value[0] != '\0';
  }();
  return enabled;
}

// Runs one callback; an exception becomes the stream's failure.
template <typename Call>
int guarded(NVAdbcStreamState* state, std::string_view unknown_error, Call call) {
  try {
    return call();
  } catch (const std::exception& e) {
    return fail(state, internal_failure(e.what()));
  } catch (...) {
    return fail(state, internal_failure(std::string(unknown_error)));
  }
}

int nv_adbc_stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  NVAdbcStreamState* state = state_of(stream);
  if (state == nullptr || out == nullptr) return kEinval;
  return guarded(state, "unknown internal error in get_schema",
                 [&] { return get_schema(state, out); });
}

int nv_adbc_stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
  NVAdbcStreamState* state = state_of(stream);
  if (state == nullptr || out == nullptr) return kEinval;
  return guarded(state, "unknown internal error in get_next",
                 [&] { return get_next(state, out); });
}

const char* nv_adbc_stream_get_last_error(ArrowArrayStream* stream) {
  if (stream == nullptr) return nullptr;
  auto* state = static_cast<NVAdbcStreamState*>(stream->private_data);
  if (state == nullptr || state->last_error[0] == '\0') return nullptr;
  return state->last_error;
}

void nv_adbc_stream_release(ArrowArrayStream* stream) {
  if (stream == nullptr) return;
  if (auto* state = static_cast<NVAdbcStreamState*>(stream->private_data); state != nullptr) {
    nv_log_emit(NV_LOG_INFO, kCategory,
                "stream_release(q=%p): consumer released the result stream; closing query",
                static_cast<void*>(state->query));
    nv_batch_free(state->held_batch);
    delete state->cancel_target;  // before the query goes: no cancel may reach it then
    nv_query_close(state->query);
    delete state->schema;
    // Python releases the error it was handed, although it belongs to the stream.
    if (state->error.release != nullptr) state->error.release(&state->error);
    std::free(state);
  }
  stream->get_schema = nullptr;
  stream->get_next = nullptr;
  stream->get_last_error = nullptr;
  stream->release = nullptr;
  stream->private_data = nullptr;
}

arrow::Status stream_init(ArrowArrayStream* out, NVQueryHandle* query, CancelTarget target) {
  if (out == nullptr) return invalid_argument("nv_adbc_stream_init: null output stream");
  if (query == nullptr) return invalid_argument("nv_adbc_stream_init: null query handle");
  auto* state = static_cast<NVAdbcStreamState*>(std::calloc(1, sizeof(NVAdbcStreamState)));
  if (state != nullptr) {
    state->cancel_target = new (std::nothrow) CancelTarget(std::move(target));
    if (state->cancel_target == nullptr) {
      std::free(state);
      state = nullptr;
    }
  }
  if (state == nullptr) return out_of_memory("nv_adbc_stream_init: out of memory");
  state->query = query;
  // The stream's own error is an ADBC 1.1 one: its details are what hosts ask the stream for.
  state->error.vendor_code = ADBC_ERROR_VENDOR_CODE_PRIVATE_DATA;
  out->get_schema = nv_adbc_stream_get_schema;
  out->get_next = nv_adbc_stream_get_next;
  out->get_last_error = nv_adbc_stream_get_last_error;
  out->release = nv_adbc_stream_release;
  out->private_data = state;
  return arrow::Status::OK();
}

arrow::Status export_single_batch(std::shared_ptr<arrow::RecordBatch> batch,
                                  ArrowArrayStream* out) {
  if (batch == nullptr) return internal_failure("metadata: null record batch");
  std::shared_ptr<arrow::Schema> schema = batch->schema();
  auto reader = arrow::RecordBatchReader::Make({std::move(batch)}, std::move(schema));
  if (!reader.ok()) {
    char msg[256];
    std::snprintf(msg, sizeof msg, "metadata: RecordBatchReader::Make failed: %s",
                  reader.status().ToString().c_str());
    return internal_failure(msg);
  }
  const arrow::Status st = arrow::ExportRecordBatchReader(*reader, out);
  if (!st.ok()) return internal_failure("metadata: ExportRecordBatchReader failed: " + st.ToString());
  return arrow::Status::OK();
}

}  // namespace norvale::adbc

extern "C" {

AdbcStatusCode nv_adbc_stream_init(ArrowArrayStream* out, NVQueryHandle* query,
                                   AdbcError* error) {
  return norvale::adbc::call_entry(norvale::adbc::Entry{"nv_adbc_stream_init", nullptr}, error,
                                   [&] { return norvale::adbc::stream_init(out, query, {}); });
}

const AdbcError* nv_adbc_error_from_array_stream(ArrowArrayStream* stream,
                                                 AdbcStatusCode* status) {
  // Only this driver's streams: another producer's private data means something else.
  if (stream == nullptr || stream->release != norvale::adbc::nv_adbc_stream_release) {
    return nullptr;
  }
  auto* state = static_cast<NVAdbcStreamState*>(stream->private_data);
  // Nothing failed yet, or the host released the error it was given earlier.
  if (state == nullptr || state->status == ADBC_STATUS_OK || state->error.release == nullptr) {
    return nullptr;
  }
  if (status != nullptr) *status = state->status;
  return &state->error;
}

void nv_adbc_profile_reset_and_dump(const char* label) {
  using norvale::adbc::g_profile;
  if (!norvale::adbc::profile_enabled()) return;
  const int64_t batches = g_profile.batches.exchange(0);
  const int64_t rows = g_profile.rows.exchange(0);
  const int64_t next_ns = g_profile.next_ns.exchange(0);
  const int64_t export_ns = g_profile.export_ns.exchange(0);
  const int64_t free_ns = g_profile.free_ns.exchange(0);
  if (batches <= 0) return;
  const double n = static_cast<double>(batches);
  std::fprintf(stderr,
               "[adbc-bridge-profile %s] batches=%lld rows=%lld next_batch=%.3fs export=%.3fs "
               "batch_free=%.3fs (avg per batch: next=%.2fms export=%.2fms free=%.2fms)\n",
               label != nullptr ? label : "", static_cast<long long>(batches),
               static_cast<long long>(rows), next_ns / 1e9, export_ns / 1e9, free_ns / 1e9,
               next_ns / 1e6 / n, export_ns / 1e6 / n, free_ns / 1e6 / n);
}

}  // extern "C"
