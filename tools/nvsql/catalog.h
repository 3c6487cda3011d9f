// Catalog browsing for the shell's meta-commands. Everything is read through the driver's ADBC
// metadata calls (GetObjects, GetTableSchema) and a query of information_schema.columns, which
// the driver answers from its local catalog snapshot, so browsing never runs a query on a
// compute node.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <arrow/result.h>

#include "tools/nvsql/adbc_host.h"

namespace nvsql {

struct TableRef {
  std::string catalog;
  std::string schema;
  std::string name;
  std::string type;  // "BASE TABLE", "VIEW", ...
};

struct ColumnInfo {
  std::string name;
  // The SQL type as the service reports it (the catalog's type text); where the driver gives
  // none, the ODBC type name, with precision and scale for decimals.
  std::string sql_type;
  std::string arrow_type;  // what GetTableSchema reports
  bool nullable = true;
  std::string default_value;
  std::string keys;  // constraint types the column takes part in, comma separated
};

struct ConstraintInfo {
  std::string name;
  std::string type;
  std::vector<std::string> columns;
};

struct TableInfo {
  TableRef table;
  std::vector<ColumnInfo> columns;
  std::vector<ConstraintInfo> constraints;
};

/// (catalog, schema) pairs of the schemas matching the LIKE pattern (empty: any), sorted.
arrow::Result<std::vector<std::pair<std::string, std::string>>> list_schemas(
    Session& session, const std::string& pattern);

/// Tables whose schema and name match the LIKE patterns (empty: any) and whose type is
/// `type` (null: any), sorted by schema and name.
arrow::Result<std::vector<TableRef>> list_tables(Session& session, const std::string& schema,
                                                 const std::string& table, const char* type);

/// Columns and constraints of every table named `table` exactly (in `schema` when given).
arrow::Result<std::vector<TableInfo>> describe_table(Session& session, const std::string& schema,
                                                     const std::string& table);

/// `text` as a LIKE pattern that matches only itself.
std::string like_literal(std::string_view text);

/// Splits "schema.name" at the first dot outside double quotes and removes the quotes:
/// {"", name} when there is no dot.
std::pair<std::string, std::string> split_qualified(std::string_view text);

}  // namespace nvsql
