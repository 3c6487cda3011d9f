#include "metadata/catalog_index_internal.h"

#include "metadata/snapshot_cells_internal.h"
#include "util/strings_internal.h"

namespace norvale::adbc {
namespace {

// The name column rows() groups each relation by.
constexpr const char* kRowsColumn[kSnapshotResultSets] = {
    nullptr,            // catalogs: a handful of rows, scanned
    "schema_name",      // schemata
    "table_name",       // tables
    "table_name",       // columns
    nullptr,            // views
    "constraint_name",  // key_column_usage
    nullptr,            // odbc_columns
    "table_name",       // table_constraints
    "constraint_name",  // referential_constraints
};

constexpr std::string_view kNameColumns[] = {
    "catalog_name",       "schema_name",              "table_catalog",
    "table_schema",       "table_name",               "column_name",
    "constraint_catalog", "constraint_schema",        "constraint_name",
    "unique_constraint_catalog", "unique_constraint_schema", "unique_constraint_name",
    "table_cat",          "table_schem",
};

}  // namespace

bool is_catalog_name_column(std::string_view column) {
  for (std::string_view name : kNameColumns) {
    if (ascii_eq_ci(column, name)) return true;
  }
  return false;
}

std::shared_ptr<const CatalogIndex> CatalogIndex::Build(const SnapshotBatches& batches) {
  auto index = std::make_shared<CatalogIndex>();
  index->batches_ = batches;
  auto wanted = [](const std::string& column) { return is_catalog_name_column(column); };
  for (int rs = 0; rs < kSnapshotResultSets; ++rs) {
    const auto& batch = batches[static_cast<size_t>(rs)];
    if (batch == nullptr) continue;
    index->relations_[rs] = nv_sql::RelationIndex::Build(batch, wanted);
    if (kRowsColumn[rs] == nullptr) continue;
    const int col = snapshot_column_index(batch.get(), kRowsColumn[rs]);
    if (index->relations_[rs]->column(col) != nullptr) index->rows_column_[rs] = col;
  }
  return index;
}

bool CatalogIndex::indexed(int rs) const {
  return rs >= 0 && rs < kSnapshotResultSets && rows_column_[rs] >= 0;
}

std::vector<int32_t> CatalogIndex::rows(int rs, std::string_view name) const {
  std::vector<int32_t> out;
  if (!indexed(rs)) return out;
  relations_[rs]->column(rows_column_[rs])->equal(name, &out);
  return out;
}

size_t CatalogIndex::memory_bytes() const {
  size_t bytes = sizeof(*this);
  for (const auto& r : relations_) {
    if (r) bytes += r->memory_bytes();
  }
  return bytes;
}

std::shared_ptr<const nv_sql::RelationIndex> CatalogIndex::relation(int rs) const {
  if (rs < 0 || rs >= kSnapshotResultSets) return nullptr;
  return relations_[rs];
}

}  // namespace norvale::adbc
