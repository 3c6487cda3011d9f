// Whether a table exists, from the connection's catalog when that is fresh: an ingest that
// creates its table then needs no question to the compute node.
#include <chrono>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "metadata/catalog_index_internal.h"
#include "metadata/info_schema_internal.h"
#include "metadata/snapshot_cache_internal.h"
#include "metadata/snapshot_cells_internal.h"
#include "util/strings_internal.h"

namespace norvale::adbc {
namespace {

// How long after the service last confirmed it the catalog answers for a table's existence. A
// table another client makes or drops meanwhile is not seen; an ingest that asks the compute
// node instead has the same window between its question and its upload, only shorter.
constexpr std::chrono::seconds kFreshFor{5};

// Whether the store's snapshot is fresh for this process; its index when it is.
std::shared_ptr<const CatalogIndex> fresh_index(const ConnectionCatalog& catalog) {
  NVAdbcInfoSchemaStore* store = catalog.store;
  if (store == nullptr || store->wrote.load() ||
      store->seen_write_generation.load() != catalog_write_generation()) {
    return nullptr;
  }
  uint64_t sequence;
  {
    std::shared_lock<std::shared_mutex> lock(store->lock);
    if (!store->batches[kRsTables] ||
        std::chrono::steady_clock::now() - store->validated_at > kFreshFor) {
      return nullptr;
    }
    sequence = store->sequence;
  }
  if (non_empty(catalog.uri)) {
    const std::optional<uint64_t> known = catalog_sequence_known(catalog.uri);
    if (known && *known > sequence) return nullptr;
  }
  return catalog_index(store);
}

}  // namespace

std::optional<bool> catalog_knows_table(const ConnectionCatalog& catalog,
                                        const std::vector<std::string>& parts) {
  if (parts.empty() || parts.size() > 3) return std::nullopt;
  const std::shared_ptr<const CatalogIndex> index = fresh_index(catalog);
  if (!index || !index->indexed(kRsTables)) return std::nullopt;
  const SnapshotBatches& batches = index->batches();
  const TextColumn catalog_column(batches[kRsTables].get(), "table_catalog");
  const TextColumn schema_column(batches[kRsTables].get(), "table_schema");
  if (!catalog_column.present() || !schema_column.present()) return std::nullopt;

  const std::string& table = parts.back();
  const std::string* schema = parts.size() >= 2 ? &parts[parts.size() - 2] : nullptr;
  const std::string* catalog_name = parts.size() == 3 ? &parts[0] : nullptr;
  bool found = false;
  for (int32_t row : index->rows(kRsTables, table)) {
    if (catalog_name != nullptr && !ascii_eq_ci(catalog_column.get(row), *catalog_name)) continue;
    if (schema != nullptr && !ascii_eq_ci(schema_column.get(row), *schema)) continue;
    found = true;
  }
  // In no schema (of that name) of any catalog: the name is free wherever it resolves.
  if (!found) return false;
  // Found: it is this table only when the name leaves no choice of schema and catalog. Where
  // unqualified names resolve is the service's to say; the compute node is asked instead.
  if (schema == nullptr) return std::nullopt;
  if (catalog_name != nullptr) return true;
  const TextColumn catalogs(batches[kRsCatalogs].get(), "catalog_name");
  const int64_t count = batches[kRsCatalogs] ? batches[kRsCatalogs]->num_rows() : 0;
  for (int64_t row = 1; row < count; ++row) {
    if (!ascii_eq_ci(catalogs.get(row), catalogs.get(0))) return std::nullopt;
  }
  return count > 0 ? std::optional<bool>(true) : std::nullopt;
}

}  // namespace norvale::adbc
