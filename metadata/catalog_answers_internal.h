// The answers of the ADBC catalog calls, as the metadata service builds them: from a catalog
// index (GetObjects, GetTableSchema's snapshot side) or from fixed content (GetInfo,
// GetTableTypes, GetStatisticNames). They take no handle state and report failures as Arrow
// statuses; the ADBC entry points (adbc/catalog_calls.cc) check the handles and report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <arrow/record_batch.h>
#include <arrow/result.h>
#include <arrow/type_fwd.h>

namespace norvale::adbc {

class CatalogIndex;

/// The ADBC GetObjects result schema (catalog, db-schema, table, column, constraint and usage
/// levels), built afresh on each call.
std::shared_ptr<arrow::Schema> build_get_objects_schema();

/// The ADBC GetInfo result schema: info_name uint32 and the info_value dense union.
std::shared_ptr<arrow::Schema> build_info_schema();

/// The GetTableTypes result schema: one non-null utf8 field, table_type.
std::shared_ptr<arrow::Schema> build_table_types_schema();

/// The GetStatisticNames result schema: statistic_name utf8 and statistic_key int16, not null.
std::shared_ptr<arrow::Schema> build_statistic_names_schema();

/// GetInfo's vendor and driver facts for the codes asked (null: all of them), in the content's
/// own order, each code once.
arrow::Result<std::shared_ptr<arrow::RecordBatch>> info_batch(const uint32_t* codes,
                                                              size_t length);

/// GetTableTypes' rows: "BASE TABLE", "VIEW". A failure names the builder step.
arrow::Result<std::shared_ptr<arrow::RecordBatch>> table_types_batch();

/// GetObjects' arguments (depth already limited to 0..3; patterns and the type list may be null).
struct ObjectsFilter {
  int depth;
  const char* catalog;
  const char* db_schema;
  const char* table_name;
  const char** table_type;
  const char* column_name;
};

/// The GetObjects tree of `index` (null: no snapshot, zero rows) under `filter`. A failure's
/// message names the builder step ("table_name.Append failed: ...").
arrow::Result<std::shared_ptr<arrow::RecordBatch>> objects_batch(const CatalogIndex* index,
                                                                 const ObjectsFilter& filter);

/// What the snapshot says about one table's columns (GetTableSchema): whole-name, ASCII
/// case-insensitive matches of table_name and, when given non-empty, db_schema and catalog.
struct SnapshotTableSchema {
  enum Kind { kNotDescribed, kFound, kAmbiguous } kind = kNotDescribed;
  std::string catalog, schema;  // kFound: of the table found
  /// kFound: the table's columns in ordinal order; null when a column's type text is not known
  /// here (the compute node is then asked, for the table the snapshot named).
  std::shared_ptr<arrow::Schema> columns;
  size_t column_count = 0;
  std::string candidates;  // kAmbiguous: "cat.schema, cat.schema"
};
SnapshotTableSchema snapshot_table_schema(const CatalogIndex* index, const char* catalog,
                                          const char* db_schema, const char* table_name);

}  // namespace norvale::adbc
