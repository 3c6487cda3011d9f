// Driving one ingest: each batch is encoded on its own and pushed through the protocol's
// bounded queue as it comes; the server's STATS or ERROR answer becomes the counts or a failure.
#include "adbc/ingest_upload_internal.h"

#include <string>

#include "adbc/statement_ingest_internal.h"
#include "adbc/status_internal.h"
#include "core/ingest/ingest_handle_internal.h"
#include "util/strings_internal.h"

namespace norvale::adbc {
namespace {

// A failure of the local side after begin: encoding or a refused push.
arrow::Status local_failure(std::string message) {
  return adbc_failure(ADBC_STATUS_IO, "HY000", std::move(message));
}

std::string last_error_or(NVIngestHandle* h, const char* fallback) {
  const char* text = nv_ingest_last_error(h);
  return non_empty(text) ? std::string(text) : std::string(fallback);
}

}  // namespace

arrow::Result<std::unique_ptr<IngestUpload>> IngestUpload::Begin(
    NVConnection* connection, const NVIngestConfig& config,
    const std::shared_ptr<CancelOperation>& operation, ReportedSqlState reported) {
  NVIngestHandle* handle = nullptr;
  char begin_error[512] = {0};
  if (nv_ingest_begin(connection, &config, &handle, begin_error, sizeof begin_error) != 0) {
    return local_failure(non_empty(begin_error) ? begin_error : "nv_ingest_begin failed");
  }
  return std::unique_ptr<IngestUpload>(
      new IngestUpload(handle, config.payload_format, reported, operation));
}

IngestUpload::IngestUpload(NVIngestHandle* handle, int32_t payload_format,
                           ReportedSqlState reported,
                           const std::shared_ptr<CancelOperation>& operation)
    : handle_(handle),
      payload_format_(payload_format),
      reported_(reported),
      cancel_(operation, [handle] { norvale::ingest::request_cancel(handle); }) {}

IngestUpload::~IngestUpload() {
  cancel_.reset();
  if (!finished_) nv_ingest_cancel(handle_);
  nv_ingest_free(handle_);
}

arrow::Status IngestUpload::ServerFailure(NVIngestSummary* summary) const {
  const char* message =
      summary->error_message[0] != '\0' ? summary->error_message : "ingest failed";
  arrow::Status failure =
      adbc_failure(status_for_sqlstate(summary->sqlstate), reported_(summary->sqlstate), message);
  nv_ingest_summary_free(summary);
  return failure;
}

// A push was refused. When the worker had already ended on its own, the server's answer (or
// the transport failure) says why, and is reported as such; otherwise the push's own text.
arrow::Status IngestUpload::PushFailure(const char* fallback) {
  if (norvale::ingest::worker_ended(handle_)) {
    NVIngestSummary summary{};
    if (nv_ingest_finish(handle_, &summary) != 0 && summary.sqlstate[0] != '\0') {
      finished_ = true;
      return ServerFailure(&summary);
    }
    nv_ingest_summary_free(&summary);
  }
  return local_failure(last_error_or(handle_, fallback));
}

arrow::Status IngestUpload::PushSchema(const std::shared_ptr<arrow::Schema>& schema) {
  if (payload_format_ != NV_INGEST_FORMAT_ARROW_IPC) return arrow::Status::OK();
  auto bytes = encode_schema_ipc(schema);
  if (!bytes.ok()) return local_failure("encode_schema_ipc failed: " + bytes.status().ToString());
  if (nv_ingest_push_schema(handle_, (*bytes)->data(), static_cast<size_t>((*bytes)->size())) !=
      0) {
    return local_failure(last_error_or(handle_, "nv_ingest_push_schema failed"));
  }
  return arrow::Status::OK();
}

arrow::Status IngestUpload::Push(const std::shared_ptr<arrow::RecordBatch>& batch) {
  if (batch->num_rows() == 0) return arrow::Status::OK();
  const bool arrow_ipc = payload_format_ == NV_INGEST_FORMAT_ARROW_IPC;
  const arrow::Result<std::shared_ptr<arrow::Buffer>> payload =
      arrow_ipc ? encode_batch_ipc(*batch) : encode_batch_parquet(batch);
  if (!payload.ok()) {
    return local_failure((arrow_ipc ? "encode_batch_ipc failed: " : "") +
                         payload.status().ToString());
  }
  const arrow::Buffer& bytes = **payload;
  if (nv_ingest_push_batch(handle_, bytes.data(), static_cast<size_t>(bytes.size())) != 0) {
    return PushFailure("nv_ingest_push_batch failed");
  }
  return arrow::Status::OK();
}

arrow::Result<IngestCounts> IngestUpload::Finish() {
  NVIngestSummary summary{};
  const int rc = nv_ingest_finish(handle_, &summary);
  finished_ = true;
  if (rc != 0) return ServerFailure(&summary);
  const IngestCounts counts{summary.rows_inserted, summary.rows_updated, summary.rows_deleted};
  nv_ingest_summary_free(&summary);
  return counts;
}

}  // namespace norvale::adbc
