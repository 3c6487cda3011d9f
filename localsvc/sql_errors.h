// Turns a DuckDB error message into the HTTP status, error code and message that the compute
// node answers with, chosen so that clients derive the matching SQLSTATE family from them.
#pragma once

#include <string>

namespace nv_localsvc {

struct HttpSqlError {
  int status;
  std::string code;
  std::string message;
};

HttpSqlError map_sql_error(const std::string& duckdb_message);

/// The SQLSTATE for an ingest failure that DuckDB reported (23000, 22018, 42S22, ...).
std::string ingest_sqlstate_for(const std::string& duckdb_message);

}  // namespace nv_localsvc
