// One upload through the ingest protocol, as the ADBC layer drives it: begun with a target,
// fed batch by batch as the caller reads them, finished with the server's counts or failure.
// An ingest statement and a bound INSERT loaded as one ingest both run through it.
#pragma once

#include <arrow/record_batch.h>
#include <arrow/result.h>
#include <arrow/status.h>

#include <cstdint>
#include <memory>

#include "adbc/cancel_registry_internal.h"
#include "norvale/nv_ingest.h"

namespace norvale::adbc {

/// What the server reports written.
struct IngestCounts {
  int64_t inserted = 0;
  int64_t updated = 0;
  int64_t deleted = 0;
};

/// One ingest. A cancel of the operation it was begun under stops the upload; an upload that
/// is not finished is cancelled when the object goes, so the server applies nothing of it.
class IngestUpload {
 public:
  /// The SQLSTATE to report for a failure the server answered with `server_sqlstate` (which
  /// may be empty).
  using ReportedSqlState = const char* (*)(const char* server_sqlstate);

  /// Begins the ingest (nothing is sent yet). A configuration the core refuses fails with its
  /// message, HY000.
  static arrow::Result<std::unique_ptr<IngestUpload>> Begin(
      NVConnection* connection, const NVIngestConfig& config,
      const std::shared_ptr<CancelOperation>& operation, ReportedSqlState reported);
  ~IngestUpload();
  IngestUpload(const IngestUpload&) = delete;
  IngestUpload& operator=(const IngestUpload&) = delete;

  /// The schema of the batches to come; sent with an Arrow IPC payload format only.
  arrow::Status PushSchema(const std::shared_ptr<arrow::Schema>& schema);
  /// Encodes `batch` on its own in the payload format and queues it (a batch without rows is
  /// never sent). Blocks while the upload is 8 frames ahead of the network. When the server
  /// ended the upload first, its answer is the failure.
  arrow::Status Push(const std::shared_ptr<arrow::RecordBatch>& batch);
  /// Ends the upload and waits for the server's answer: its counts, or its failure with the
  /// reported SQLSTATE and the status that the server's own SQLSTATE stands for.
  arrow::Result<IngestCounts> Finish();

 private:
  IngestUpload(NVIngestHandle* handle, int32_t payload_format, ReportedSqlState reported,
               const std::shared_ptr<CancelOperation>& operation);
  arrow::Status ServerFailure(NVIngestSummary* summary) const;
  arrow::Status PushFailure(const char* fallback);

  NVIngestHandle* handle_;
  int32_t payload_format_;
  ReportedSqlState reported_;
  bool finished_ = false;
  CancelTarget cancel_;  // detached (in the destructor) before the handle is freed
};

}  // namespace norvale::adbc
