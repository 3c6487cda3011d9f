#include "localsvc/duck.h"

#include <arrow/c/bridge.h>

namespace nv_localsvc {

DuckConn::DuckConn(duckdb_database db) {
  if (duckdb_connect(db, &conn_) != DuckDBSuccess) conn_ = nullptr;
}

DuckConn::~DuckConn() {
  if (conn_ != nullptr) duckdb_disconnect(&conn_);
}

arrow::Status DuckConn::exec(const std::string& sql) {
  duckdb_result res;
  if (duckdb_query(conn_, sql.c_str(), &res) != DuckDBSuccess) {
    const char* msg = duckdb_result_error(&res);
    std::string text = msg != nullptr ? msg : "query failed";
    duckdb_destroy_result(&res);
    return arrow::Status::Invalid(text);
  }
  duckdb_destroy_result(&res);
  return arrow::Status::OK();
}

DuckResult::~DuckResult() {
  if (options_ != nullptr) duckdb_destroy_arrow_options(&options_);
  if (valid_) duckdb_destroy_result(&result_);
}

duckdb_result_type DuckResult::return_type() {
  return valid_ ? duckdb_result_return_type(result_) : DUCKDB_RESULT_TYPE_INVALID;
}

arrow::Result<std::shared_ptr<arrow::Schema>> DuckResult::schema() {
  if (schema_) return schema_;
  if (!valid_) return arrow::Status::Invalid("no result");
  if (options_ == nullptr) options_ = duckdb_result_get_arrow_options(&result_);
  idx_t n = duckdb_column_count(&result_);
  std::vector<duckdb_logical_type> types(n);
  std::vector<const char*> names(n);
  for (idx_t i = 0; i < n; ++i) {
    types[i] = duckdb_column_logical_type(&result_, i);
    names[i] = duckdb_column_name(&result_, i);
  }
  ArrowSchema c_schema{};
  duckdb_error_data err = duckdb_to_arrow_schema(options_, types.data(), names.data(), n,
                                                 &c_schema);
  for (auto& t : types) duckdb_destroy_logical_type(&t);
  if (duckdb_error_data_has_error(err)) {
    std::string msg = duckdb_error_data_message(err);
    duckdb_destroy_error_data(&err);
    return arrow::Status::Invalid("schema conversion: ", msg);
  }
  duckdb_destroy_error_data(&err);
  ARROW_ASSIGN_OR_RAISE(schema_, arrow::ImportSchema(&c_schema));
  return schema_;
}

arrow::Result<std::shared_ptr<arrow::RecordBatch>> DuckResult::next() {
  ARROW_ASSIGN_OR_RAISE(auto sch, schema());
  duckdb_data_chunk chunk = duckdb_fetch_chunk(result_);
  if (chunk == nullptr) {
    const char* msg = duckdb_result_error(&result_);
    if (msg != nullptr && *msg != '\0') return arrow::Status::ExecutionError(msg);
    return std::shared_ptr<arrow::RecordBatch>();
  }
  ArrowArray c_array{};
  duckdb_error_data err = duckdb_data_chunk_to_arrow(options_, chunk, &c_array);
  duckdb_destroy_data_chunk(&chunk);
  if (duckdb_error_data_has_error(err)) {
    std::string msg = duckdb_error_data_message(err);
    duckdb_destroy_error_data(&err);
    return arrow::Status::Invalid("chunk conversion: ", msg);
  }
  duckdb_destroy_error_data(&err);
  return arrow::ImportRecordBatch(&c_array, sch);
}

arrow::Result<std::shared_ptr<arrow::RecordBatch>> query_batch(duckdb_connection conn,
                                                               const std::string& sql) {
  DuckResult res;
  if (duckdb_query(conn, sql.c_str(), res.raw()) != DuckDBSuccess) {
    const char* msg = duckdb_result_error(res.raw());
    std::string text = msg != nullptr ? msg : "query failed";
    duckdb_destroy_result(res.raw());
    return arrow::Status::Invalid(text);
  }
  res.mark_valid();
  ARROW_ASSIGN_OR_RAISE(auto sch, res.schema());
  arrow::RecordBatchVector parts;
  while (true) {
    ARROW_ASSIGN_OR_RAISE(auto b, res.next());
    if (!b) break;
    parts.push_back(std::move(b));
  }
  if (parts.empty()) return arrow::RecordBatch::MakeEmpty(sch);
  if (parts.size() == 1) return parts[0];
  return arrow::ConcatenateRecordBatches(parts);
}

std::string quote_ident(const std::string& name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

std::string quote_literal(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out.push_back('\'');
    out.push_back(c);
  }
  out.push_back('\'');
  return out;
}

}  // namespace nv_localsvc
