// One query on a compute node: runs the SQL in DuckDB and produces the framed result stream
// (INIT, BATCH per record batch of at most max_batch_bytes, EOS) while DuckDB produces rows.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <arrow/api.h>

#include "localsvc/disconnect_watch.h"
#include "localsvc/duck.h"
#include "localsvc/faults.h"
#include "localsvc/http_util.h"
#include "localsvc/service.h"

namespace nv_localsvc {

inline constexpr int64_t kDefaultMaxBatchBytes = 4 * 1024 * 1024;

class QueryJob : public BodyProducer {
 public:
  /// `client` holds the local and remote port of the request's connection: while the job runs,
  /// DuckDB is interrupted when that client goes away (counter "queries_interrupted").
  QueryJob(Service& svc, int64_t max_batch_bytes, std::optional<Fault> fault,
           std::pair<int, int> client);
  ~QueryJob() override;

  /// Prepares and starts the statements; a DuckDB error before any row comes back here
  /// (the caller answers it as an HTTP error).
  arrow::Status start(const std::string& sql);

  Step step(FaultWriter& out) override;

 private:
  arrow::Status run_statement(size_t index, size_t count);
  /// Moves the catalog version after a statement that changed the catalog (or may have), and
  /// after a transaction statement that followed such a change.
  void note_catalog_change(duckdb_statement_type t, CatalogChange kind);
  bool write_frame(FaultWriter& out, uint8_t type, const std::string& payload);
  bool write_error(FaultWriter& out, const std::string& duckdb_message);
  /// Writes the EOS frames; the body is then complete.
  Step end_stream(FaultWriter& out, int result_sets);
  /// Gathers chunks up to the byte budget; null at the end of the result.
  arrow::Result<std::shared_ptr<arrow::RecordBatch>> next_batch();

  Service& svc_;
  int64_t max_batch_bytes_;
  std::optional<Fault> fault_;
  std::pair<int, int> client_;
  std::unique_ptr<DuckConn> conn_;
  std::unique_ptr<DisconnectWatch> watch_;  // from start() until the result is complete
  duckdb_extracted_statements extracted_ = nullptr;
  duckdb_prepared_statement last_stmt_ = nullptr;
  std::unique_ptr<DuckResult> result_ = std::make_unique<DuckResult>();
  bool has_rows_ = false;
  int64_t rows_affected_ = -1;
  std::shared_ptr<arrow::Schema> schema_;
  std::shared_ptr<arrow::RecordBatch> carry_;  // a chunk read but not yet sent
  bool exhausted_ = false;  // DuckDB has no more rows: the last batch read was the last one
  bool init_sent_ = false;
  int64_t batches_sent_ = 0;
  std::string stream_id_;
  bool changed_catalog_ = false;  // a statement of this request changed the catalog
};

}  // namespace nv_localsvc
