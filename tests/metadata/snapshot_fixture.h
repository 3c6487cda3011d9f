// Metadata test helpers: Arrow IPC bytes of batches, readers for result streams and GetObjects
// results, a wait for the snapshot poller. The snapshot relations themselves and a connection
// holding them come from tests/support/snapshot_relations.h.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <arrow/api.h>

#include "norvale_adbc.h"
#include "support/snapshot_relations.h"

namespace nvtest {

/// Arrow IPC stream bytes of `batches` over `schema` (no batch: schema only).
std::string ipc_bytes(const std::shared_ptr<arrow::Schema>& schema,
                      const std::vector<std::shared_ptr<arrow::RecordBatch>>& batches);

/// Reads a whole result stream (releasing it) into one batch; fails the test on error.
std::shared_ptr<arrow::RecordBatch> read_stream(ArrowArrayStream* stream);

/// The GetObjects result as plain records.
struct ColumnOut {
  std::string name;
  std::optional<int64_t> ordinal, data_type, column_size, decimal_digits, radix, nullable,
      sql_data_type, datetime_sub, octet_length;
  std::optional<std::string> remarks, type_name, column_def, is_nullable, scope_catalog,
      scope_schema, scope_table;
  std::optional<bool> autoincrement, generated;
  /// "TYPE code size=.. digits=.. radix=.. octets=.. sub=.." with "-" for null.
  std::string xdbc() const;
};
struct ConstraintOut {
  std::optional<std::string> name;
  std::string type;
  std::vector<std::string> column_names;
  bool usage_null = false;
  std::vector<std::string> usage;  // "catalog.schema.table.column" per referenced column
};
struct TableOut {
  std::string name, type;
  bool columns_null = false;
  std::vector<ColumnOut> columns;
  bool constraints_null = false;
  std::vector<ConstraintOut> constraints;
};
struct SchemaOut {
  std::optional<std::string> name;
  bool tables_null = false;
  std::vector<TableOut> tables;
};
struct CatalogOut {
  std::optional<std::string> name;
  bool schemas_null = false;
  std::vector<SchemaOut> schemas;
};
std::vector<CatalogOut> parse_objects(const arrow::RecordBatch& batch);

/// "catalog.schema.table:TYPE" for every table of the tree, in result order.
std::vector<std::string> table_paths(const std::vector<CatalogOut>& tree);
/// The table at catalog.schema.table; fails the test when absent.
TableOut find_table(const std::vector<CatalogOut>& tree, const std::string& catalog,
                           const std::string& schema, const std::string& table);

/// Runs GetObjects and parses the result; fails the test on a non-OK status.
std::vector<CatalogOut> get_objects(AdbcConnection* conn, int depth, const char* catalog,
                                    const char* db_schema, const char* table_name,
                                    const char** table_types, const char* column_name);

/// Wakes the snapshot poller every 50 ms until `done` holds (true) or 15 seconds pass (false).
bool wait_for_poller(const std::function<bool()>& done);

}  // namespace nvtest
