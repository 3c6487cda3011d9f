// Lookups into an installed snapshot by name, built once per snapshot so that a metadata call
// with exact names costs what it returns instead of a scan of the catalog.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "metadata/info_schema_internal.h"

namespace norvale::adbc {

/// Row numbers of the snapshot relations grouped by one name column, compared ASCII
/// case-insensitively. Holds no text of its own: a group is found by the hash of the folded
/// name and its rows are checked against the batch, so hash collisions cost a comparison only.
class CatalogIndex {
 public:
  /// Indexes `batches`: tables and columns by table_name, table_constraints by table_name,
  /// key_column_usage and referential_constraints by constraint_name, schemata by schema_name.
  /// Relations without the name column are not indexed (their lookups find nothing).
  static std::shared_ptr<const CatalogIndex> Build(const SnapshotBatches& batches);

  /// Rows of result set `rs` whose indexed name equals `name` (ASCII case-insensitive), in row
  /// order. Empty for a relation that is not indexed.
  std::vector<int32_t> rows(int rs, std::string_view name) const;

  /// Whether result set `rs` was indexed.
  bool indexed(int rs) const;

  /// Bytes held by the index (its tables and row lists).
  size_t memory_bytes() const;

  /// The batches the index was built over.
  const SnapshotBatches& batches() const { return batches_; }

 private:
  struct ByName {
    int column = -1;  // the name column in the batch; -1 = not indexed
    std::unordered_map<uint64_t, std::vector<int32_t>> groups;
  };
  SnapshotBatches batches_;
  ByName by_name_[kSnapshotResultSets];
};

/// 64-bit FNV-1a of `text` with A to Z folded to lower case.
uint64_t folded_hash(std::string_view text);

}  // namespace norvale::adbc
