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

/// One part of a table name as the snapshot is searched for it: exactly as written (a quoted
/// SQL identifier) or as a whole-name ASCII case-insensitive match.
struct SnapshotName {
  std::string_view text;
  bool exact = false;
};

/// What the snapshot says about one table's columns (GetTableSchema, the table of a bound
/// INSERT): matches of table_name and, when given, db_schema and catalog.
struct SnapshotTableSchema {
  enum Kind { kNotDescribed, kFound, kAmbiguous } kind = kNotDescribed;
  std::string catalog, schema;  // kFound: of the table found
  /// kFound: the table's column names in ordinal order.
  std::vector<std::string> column_names;
  /// kFound: the table's columns in ordinal order; null when a column's type text is not known
  /// here (the compute node is then asked, for the table the snapshot named).
  std::shared_ptr<arrow::Schema> columns;
  std::string candidates;  // kAmbiguous: "cat.schema, cat.schema"
};
/// A null catalog or db_schema matches any.
SnapshotTableSchema snapshot_table_schema(const CatalogIndex* index, const SnapshotName* catalog,
                                          const SnapshotName* db_schema,
                                          const SnapshotName& table_name);
/// The ADBC arguments: every part case-insensitive, an empty catalog or db_schema any.
SnapshotTableSchema snapshot_table_schema(const CatalogIndex* index, const char* catalog,
                                          const char* db_schema, const char* table_name);

}  // namespace norvale::adbc
