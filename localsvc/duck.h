// Owners for DuckDB C handles and the conversion of DuckDB results into Arrow batches.
#pragma once

#include <duckdb.h>

#include <memory>
#include <string>
#include <vector>

#include <arrow/api.h>

namespace nv_localsvc {

/// One DuckDB connection; closed on destruction.
class DuckConn {
 public:
  explicit DuckConn(duckdb_database db);
  ~DuckConn();
  DuckConn(const DuckConn&) = delete;
  DuckConn& operator=(const DuckConn&) = delete;
  bool ok() const { return conn_ != nullptr; }
  duckdb_connection get() const { return conn_; }

  /// Runs statements for their effect; the error text on failure.
  arrow::Status exec(const std::string& sql);

 private:
  duckdb_connection conn_ = nullptr;
};

/// A DuckDB result that owns its handle, read chunk by chunk and converted to Arrow.
class DuckResult {
 public:
  DuckResult() = default;
  ~DuckResult();
  DuckResult(const DuckResult&) = delete;
  DuckResult& operator=(const DuckResult&) = delete;

  duckdb_result* raw() { return &result_; }
  void mark_valid() { valid_ = true; }
  bool valid() const { return valid_; }

  /// Arrow schema of the result, built on first use.
  arrow::Result<std::shared_ptr<arrow::Schema>> schema();
  /// The next chunk as a record batch, or null at the end. A DuckDB error mid-stream comes
  /// back as an error status holding DuckDB's message.
  arrow::Result<std::shared_ptr<arrow::RecordBatch>> next();
  duckdb_result_type return_type();

 private:
  duckdb_result result_{};
  bool valid_ = false;
  duckdb_arrow_options options_ = nullptr;
  std::shared_ptr<arrow::Schema> schema_;
};

/// A DuckDB error: its message and its DuckDB error type.
struct DuckError {
  std::string message;
  duckdb_error_type type = DUCKDB_ERROR_INVALID;
};

/// Runs a query to completion and returns all rows as one record batch (an empty batch of the
/// result's schema when there are none). For small catalog queries only.
arrow::Result<std::shared_ptr<arrow::RecordBatch>> query_batch(duckdb_connection conn,
                                                               const std::string& sql);

/// An in-memory catalog attached at start-up where ingests register their Arrow payloads
/// (DuckDB creates those views in the connection's default catalog; see ingest.cc).
constexpr const char* kScratchCatalog = "nv_scratch";

/// Quotes an identifier for DuckDB SQL.
std::string quote_ident(const std::string& name);
/// Quotes a string literal for DuckDB SQL.
std::string quote_literal(const std::string& text);

}  // namespace nv_localsvc
