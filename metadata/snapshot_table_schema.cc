// GetTableSchema's snapshot side: the columns of one table as the snapshot's columns relation
// (found through the catalog index) describes them.
#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <arrow/type.h>

#include "metadata/catalog_answers_internal.h"
#include "metadata/catalog_index_internal.h"
#include "metadata/snapshot_cells_internal.h"
#include "metadata/type_text_internal.h"
#include "util/strings_internal.h"

namespace norvale::adbc {
namespace {

struct Row {
  int64_t ordinal;
  std::string_view name;
  std::shared_ptr<arrow::DataType> type;  // null: the type text is not known here
  bool nullable;
};

bool matches(const SnapshotName& name, std::string_view cell) {
  return name.exact ? cell == name.text : ascii_eq_ci(cell, name.text);
}

}  // namespace

// The columns rows of the requested table, found through the index. Without a db_schema, a
// table name present in several schemas is ambiguous: its columns are never merged.
SnapshotTableSchema snapshot_table_schema(const CatalogIndex* index, const SnapshotName* catalog,
                                          const SnapshotName* db_schema,
                                          const SnapshotName& table_name) {
  SnapshotTableSchema answer;
  if (index == nullptr) return answer;
  const arrow::RecordBatch* columns = index->batches()[kRsColumns].get();
  if (columns == nullptr || columns->num_rows() == 0) return answer;
  for (const char* required : {"table_name", "column_name", "data_type"}) {
    if (snapshot_column_index(columns, required) < 0) return answer;
  }
  const TextColumn table_catalog(columns, "table_catalog");
  const TextColumn table_schema(columns, "table_schema");
  const TextColumn table(columns, "table_name");
  const TextColumn column_name(columns, "column_name");
  const TextColumn data_type(columns, "data_type");
  const IntColumn ordinal(columns, "ordinal_position");
  const TextColumn is_nullable(columns, "is_nullable");

  struct Owner {
    std::string_view catalog, schema, table;
    bool operator==(const Owner&) const = default;
  };
  std::vector<Owner> owners;
  std::vector<int32_t> matched;
  for (int32_t row : index->rows(kRsColumns, table_name.text)) {
    const Owner owner{table_catalog.get(row), table_schema.get(row), table.get(row)};
    if (!matches(table_name, owner.table)) continue;
    if (db_schema != nullptr && !matches(*db_schema, owner.schema)) continue;
    if (catalog != nullptr && !matches(*catalog, owner.catalog)) continue;
    if (std::find(owners.begin(), owners.end(), owner) == owners.end()) owners.push_back(owner);
    matched.push_back(row);
  }
  if (owners.empty()) return answer;
  if (owners.size() > 1) {
    answer.kind = SnapshotTableSchema::kAmbiguous;
    for (const Owner& o : owners) {
      if (!answer.candidates.empty()) answer.candidates += ", ";
      answer.candidates.append(o.catalog).append(".").append(o.schema);
    }
    return answer;
  }
  answer.kind = SnapshotTableSchema::kFound;
  answer.catalog = std::string(owners[0].catalog);
  answer.schema = std::string(owners[0].schema);
  std::vector<Row> rows;
  bool all_types_known = true;
  for (int32_t row : matched) {
    const std::string_view nullable = is_nullable.get(row);
    rows.push_back(
        {ordinal.present() ? ordinal.get(row) : static_cast<int64_t>(rows.size()) + 1,
         column_name.get(row), arrow_type_from_text(data_type.get(row)),
         nullable.empty() || ascii_eq_ci(nullable, "YES")});
    all_types_known = all_types_known && rows.back().type != nullptr;
  }
  std::stable_sort(rows.begin(), rows.end(),
                   [](const Row& a, const Row& b) { return a.ordinal < b.ordinal; });
  for (const Row& row : rows) answer.column_names.emplace_back(row.name);
  if (all_types_known) {
    arrow::FieldVector fields;
    fields.reserve(rows.size());
    for (const Row& row : rows) {
      fields.push_back(arrow::field(std::string(row.name), row.type, row.nullable));
    }
    answer.columns = arrow::schema(std::move(fields));
  }
  return answer;
}

SnapshotTableSchema snapshot_table_schema(const CatalogIndex* index, const char* catalog,
                                          const char* db_schema, const char* table_name) {
  const SnapshotName catalog_name{non_empty(catalog) ? catalog : ""};
  const SnapshotName schema_name{non_empty(db_schema) ? db_schema : ""};
  return snapshot_table_schema(index, non_empty(catalog) ? &catalog_name : nullptr,
                               non_empty(db_schema) ? &schema_name : nullptr,
                               SnapshotName{table_name != nullptr ? table_name : ""});
}

}  // namespace norvale::adbc
