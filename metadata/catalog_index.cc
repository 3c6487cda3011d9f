#include "metadata/catalog_index_internal.h"

#include "metadata/snapshot_cells_internal.h"

namespace norvale::adbc {
namespace {

// The name column each indexed relation is grouped by.
constexpr const char* kIndexedColumn[kSnapshotResultSets] = {
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

}  // namespace

uint64_t folded_hash(std::string_view text) {
  uint64_t h = 1469598103934665603ull;
  for (char c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    h ^= static_cast<unsigned char>(c);
    h *= 1099511628211ull;
  }
  return h;
}

std::shared_ptr<const CatalogIndex> CatalogIndex::Build(const SnapshotBatches& batches) {
  auto index = std::make_shared<CatalogIndex>();
  index->batches_ = batches;
  for (int rs = 0; rs < kSnapshotResultSets; ++rs) {
    const arrow::RecordBatch* batch = batches[static_cast<size_t>(rs)].get();
    if (kIndexedColumn[rs] == nullptr || batch == nullptr) continue;
    const TextColumn names(batch, kIndexedColumn[rs]);
    if (!names.present()) continue;
    ByName& by = index->by_name_[rs];
    by.column = snapshot_column_index(batch, kIndexedColumn[rs]);
    const int64_t n = batch->num_rows();
    by.groups.reserve(static_cast<size_t>(rs == kRsColumns ? n / 8 + 1 : n));
    // Rows of one name usually come together: reuse the previous group without hashing again.
    std::vector<int32_t>* last = nullptr;
    std::string_view last_name;
    for (int64_t row = 0; row < n; ++row) {
      const std::string_view name = names.get(row);
      if (last == nullptr || name != last_name) {
        last = &by.groups[folded_hash(name)];
        last_name = name;
      }
      last->push_back(static_cast<int32_t>(row));
    }
    for (auto& [hash, rows] : by.groups) rows.shrink_to_fit();
  }
  return index;
}

bool CatalogIndex::indexed(int rs) const {
  return rs >= 0 && rs < kSnapshotResultSets && by_name_[rs].column >= 0;
}

std::vector<int32_t> CatalogIndex::rows(int rs, std::string_view name) const {
  std::vector<int32_t> out;
  if (!indexed(rs)) return out;
  const ByName& by = by_name_[rs];
  const auto it = by.groups.find(folded_hash(name));
  if (it == by.groups.end()) return out;
  const arrow::RecordBatch* batch = batches_[static_cast<size_t>(rs)].get();
  const TextColumn names(batch, batch->schema()->field(by.column)->name());
  out.reserve(it->second.size());
  for (int32_t row : it->second) {
    if (ascii_eq_ci(names.get(row), name)) out.push_back(row);
  }
  return out;
}

size_t CatalogIndex::memory_bytes() const {
  size_t bytes = sizeof(*this);
  for (const ByName& by : by_name_) {
    bytes += by.groups.bucket_count() * sizeof(void*);
    for (const auto& [hash, rows] : by.groups) {
      // A node holds the key, the vector and the bucket chain pointer.
      bytes += sizeof(void*) + sizeof(hash) + sizeof(rows) + rows.capacity() * sizeof(int32_t);
    }
  }
  return bytes;
}

}  // namespace norvale::adbc
