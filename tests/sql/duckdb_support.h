// DuckDB beside the engine in the SQL tests: the relations loaded into a DuckDB schema, and
// DuckDB's answers read as Arrow, converted as the local service converts them for its clients.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <arrow/api.h>
#include <duckdb.h>

namespace nv_sql::testing {

/// An in-memory DuckDB database and a connection to it.
struct Duck {
  duckdb_database db = nullptr;
  duckdb_connection con = nullptr;
  Duck();
  ~Duck();
  Duck(const Duck&) = delete;
  Duck& operator=(const Duck&) = delete;
};

/// The result of one statement.
struct DuckResult {
  duckdb_result res{};
  bool ok = false;
  DuckResult(duckdb_connection con, const std::string& sql);
  ~DuckResult();
  DuckResult(const DuckResult&) = delete;
  DuckResult& operator=(const DuckResult&) = delete;
  std::string error();
};

/// Creates `schema`.`table` with the batch's columns (text, 32- and 64-bit integers) and rows.
arrow::Status load_table(duckdb_connection con, const std::string& schema,
                         const std::string& table, const arrow::RecordBatch& batch);

/// One cell as text, numbers to 9 significant digits: the same for the engine's rows and
/// DuckDB's, which may compute a double in another order.
std::string canonical_cell(const arrow::Array& array, int64_t row);
/// Every row of `batch`, cells separated by " | ".
std::vector<std::string> rows_of(const arrow::RecordBatch& batch);
/// "name type | name type ..." of a schema, for comparing and for messages.
std::string columns_of(const arrow::Schema& schema);

/// A DuckDB answer in Arrow: its columns (names and types) and its rows.
struct DuckAnswer {
  std::shared_ptr<arrow::Schema> schema;
  std::vector<std::string> rows;
};
arrow::Result<DuckAnswer> duck_answer(DuckResult& res);

}  // namespace nv_sql::testing
