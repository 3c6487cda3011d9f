// The columns of the table a bound INSERT without column list writes to: the catalog snapshot's
// when it lists the table, else those a query of no rows of it returns.
#include <algorithm>
#include <utility>

#include "adbc/bulk_bind_internal.h"
#include "adbc/catalog_calls_internal.h"
#include "adbc/catalog_internal.h"
#include "adbc/statement_ingest_internal.h"
#include "adbc/status_internal.h"
#include "metadata/catalog_index_internal.h"
#include "metadata/snapshot_cells_internal.h"
#include "util/strings_internal.h"

namespace norvale::adbc {
namespace {

bool names(const cells::SqlIdentifier& id, std::string_view name) {
  return id.quoted ? id.name == name : ascii_eq_ci(id.name, name);
}

// The snapshot's rows of one table, and whose they are.
struct Owner {
  std::string_view catalog, schema, table;
  std::vector<std::pair<int64_t, std::string_view>> columns;  // (ordinal, name)
};

}  // namespace

SnapshotColumns snapshot_table_columns(
    const CatalogIndex& index, const std::vector<cells::SqlIdentifier>& table,
    const std::optional<std::string>& current_catalog,
    const std::optional<std::string>& current_schema) {
  const arrow::RecordBatch* columns = index.batches()[kRsColumns].get();
  if (columns == nullptr || table.empty()) return {};
  const TextColumn catalog_of(columns, "table_catalog");
  const TextColumn schema_of(columns, "table_schema");
  const TextColumn table_of(columns, "table_name");
  const TextColumn column_name(columns, "column_name");
  const IntColumn ordinal(columns, "ordinal_position");
  if (!table_of.present() || !column_name.present()) return {};
  const cells::SqlIdentifier* schema = table.size() >= 2 ? &table[table.size() - 2] : nullptr;
  const cells::SqlIdentifier* catalog = table.size() == 3 ? &table[0] : nullptr;

  std::vector<Owner> owners;
  for (int32_t row : index.rows(kRsColumns, table.back().name)) {
    const std::string_view name = table_of.get(row);
    const std::string_view sch = schema_of.get(row);
    const std::string_view cat = catalog_of.get(row);
    if (!names(table.back(), name) || (schema != nullptr && !names(*schema, sch)) ||
        (catalog != nullptr && !names(*catalog, cat))) {
      continue;
    }
    auto owner = std::find_if(owners.begin(), owners.end(), [&](const Owner& o) {
      return o.catalog == cat && o.schema == sch && o.table == name;
    });
    if (owner == owners.end()) owner = owners.insert(owners.end(), Owner{cat, sch, name, {}});
    owner->columns.emplace_back(ordinal.present() ? ordinal.get(row) : row, column_name.get(row));
  }
  if (owners.size() > 1 && schema == nullptr && current_schema) {
    // A name without schema means the table of the schema the service resolves names in.
    std::erase_if(owners, [&](const Owner& o) {
      return !ascii_eq_ci(o.schema, *current_schema) ||
             (current_catalog && !ascii_eq_ci(o.catalog, *current_catalog));
    });
  }
  if (owners.size() != 1) {
    return {owners.empty() ? SnapshotColumns::kUnlisted : SnapshotColumns::kAmbiguous, {}};
  }
  std::stable_sort(owners[0].columns.begin(), owners[0].columns.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  SnapshotColumns listed{SnapshotColumns::kListed, {}};
  for (const auto& [position, name] : owners[0].columns) listed.columns.emplace_back(name);
  return listed;
}

arrow::Result<std::optional<std::vector<std::string>>> table_columns(
    NVAdbcConnectionState* connection, const std::shared_ptr<CancelOperation>& operation,
    const std::vector<cells::SqlIdentifier>& table) {
  // A loaded snapshot is brought up to date and asked; none is loaded for this.
  if (const auto loaded = info_schema_index_get(connection);
      loaded != nullptr && loaded->batches()[kRsColumns] != nullptr) {
    info_schema_refresh(connection, operation->cancelled_flag());
    if (operation->cancelled()) return cancelled_by_client("AdbcStatementExecuteQuery");
    const auto index = info_schema_index_get(connection);
    SnapshotColumns listed = snapshot_table_columns(*index, table, std::nullopt, std::nullopt);
    if (listed.kind == SnapshotColumns::kAmbiguous && table.size() == 1) {
      listed = snapshot_table_columns(*index, table, current_catalog(connection),
                                      current_schema(connection));
    }
    if (listed.kind == SnapshotColumns::kListed) return std::move(listed.columns);
  }
  const TableProbe probe =
      probe_table(operation, connection->connection, target_table_text(table));
  if (operation->cancelled()) return cancelled_by_client("AdbcStatementExecuteQuery");
  if (probe.outcome != TableProbe::kExists || probe.schema == nullptr) return std::nullopt;
  std::vector<std::string> out;
  for (const auto& field : probe.schema->fields()) out.push_back(field->name());
  return out;
}

}  // namespace norvale::adbc
