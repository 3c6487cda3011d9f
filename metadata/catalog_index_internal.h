// Lookups into an installed snapshot by name, built once per snapshot so that a metadata call
// or a catalog query with exact names or name prefixes costs what it returns instead of a scan
// of the catalog. The metadata engine answers from the same lookups (relation()).
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "metadata/info_schema_internal.h"
#include "sql/name_index_internal.h"

namespace norvale::adbc {

/// The name lookups of the nine snapshot relations. Holds no text of its own: the runs it keeps
/// point into the snapshot batches.
class CatalogIndex {
 public:
  /// Indexes every catalog name column (is_catalog_name_column) of `batches`. Relations without
  /// the column rows() groups by are not indexed for rows() (their lookups find nothing).
  static std::shared_ptr<const CatalogIndex> Build(const SnapshotBatches& batches);

  /// Rows of result set `rs` whose name equals `name` (ASCII case-insensitive), in row order:
  /// tables, columns and table_constraints by table_name, key_column_usage and
  /// referential_constraints by constraint_name, schemata by schema_name. Empty for a relation
  /// that is not indexed.
  std::vector<int32_t> rows(int rs, std::string_view name) const;

  /// Whether result set `rs` was indexed for rows().
  bool indexed(int rs) const;

  /// Bytes held by the index (its lookups, not the batches).
  size_t memory_bytes() const;

  /// The batches the index was built over.
  const SnapshotBatches& batches() const { return batches_; }

  /// The lookups over result set `rs` for the metadata engine (they keep this index alive);
  /// null for an empty slot or an index outside 0..8.
  std::shared_ptr<const nv_sql::RelationIndex> relation(int rs) const;

 private:
  SnapshotBatches batches_;
  std::shared_ptr<const nv_sql::RelationIndex> relations_[kSnapshotResultSets];
  int rows_column_[kSnapshotResultSets] = {-1, -1, -1, -1, -1, -1, -1, -1, -1};
};

/// Whether a snapshot column holds catalog, schema, table, column or constraint names (ASCII
/// case-insensitive: the ODBC relation spells them TABLE_CAT, TABLE_SCHEM, ...).
bool is_catalog_name_column(std::string_view column);

}  // namespace norvale::adbc
