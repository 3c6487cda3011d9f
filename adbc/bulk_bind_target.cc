// The columns of the table a bound INSERT without column list writes to: the catalog snapshot's
// when it lists the table, else those a query of no rows of it returns.
#include <utility>

#include "adbc/bulk_bind_internal.h"
#include "adbc/catalog_calls_internal.h"
#include "adbc/catalog_internal.h"
#include "adbc/statement_ingest_internal.h"
#include "adbc/status_internal.h"
#include "metadata/catalog_answers_internal.h"
#include "metadata/catalog_index_internal.h"

namespace norvale::adbc {
namespace {

SnapshotName name_of(const cells::SqlIdentifier& id) { return {id.name, id.quoted}; }

}  // namespace

SnapshotColumns snapshot_table_columns(
    const CatalogIndex& index, const std::vector<cells::SqlIdentifier>& table,
    const std::optional<std::string>& current_catalog,
    const std::optional<std::string>& current_schema) {
  if (table.empty() || table.size() > 3) return {};
  std::optional<SnapshotName> catalog, schema;
  if (table.size() == 3) catalog = name_of(table[0]);
  if (table.size() >= 2) schema = name_of(table[table.size() - 2]);
  const SnapshotName name = name_of(table.back());
  SnapshotTableSchema found = snapshot_table_schema(&index, catalog ? &*catalog : nullptr,
                                                    schema ? &*schema : nullptr, name);
  if (found.kind == SnapshotTableSchema::kAmbiguous && !schema && current_schema) {
    // A name without schema means the table of the schema the service resolves names in.
    const SnapshotName in_schema{*current_schema};
    const std::optional<SnapshotName> in_catalog =
        current_catalog ? std::optional<SnapshotName>(SnapshotName{*current_catalog})
                        : std::nullopt;
    found = snapshot_table_schema(&index, in_catalog ? &*in_catalog : nullptr, &in_schema, name);
  }
  switch (found.kind) {
    case SnapshotTableSchema::kFound:
      return {SnapshotColumns::kListed, std::move(found.column_names)};
    case SnapshotTableSchema::kAmbiguous:
      return {SnapshotColumns::kAmbiguous, {}};
    case SnapshotTableSchema::kNotDescribed:
      break;
  }
  return {};
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
