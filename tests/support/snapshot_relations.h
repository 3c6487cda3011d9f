// The nine snapshot relations as tests and benchmarks build them: batches from rows, the small
// hand-made catalog of the SQL behaviour tests, a generated catalog of any size, a connection
// whose store holds a snapshot, and the registration of a snapshot with an engine the way a
// connection registers it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <arrow/api.h>

#include "adbc/catalog_internal.h"
#include "adbc/state_internal.h"
#include "metadata/catalog_index_internal.h"
#include "norvale_adbc.h"
#include "sql/metadata_engine_internal.h"

namespace nvtest {

using Cell = std::variant<std::nullptr_t, std::string, int64_t>;
using Fields = std::vector<std::pair<std::string, std::shared_ptr<arrow::DataType>>>;
using Rows = std::vector<std::vector<Cell>>;
using norvale::adbc::SnapshotBatches;

/// A batch with the given fields (all nullable) and rows; a string cell in an integer column or
/// the reverse fails the test.
std::shared_ptr<arrow::RecordBatch> make_batch(const Fields& fields, const Rows& rows);

/// The tables relation: rows of (catalog, schema, name, type).
std::shared_ptr<arrow::RecordBatch> tables_batch(const Rows& rows);

/// The small catalog "db" of the SQL behaviour tests: schemas public, sales and empty; tables
/// public.Orders, public.customers, sales.orders, the view sales.v_top and an orphan row without
/// schema; their columns, keys and one foreign key. Views and odbc_columns are left out.
SnapshotBatches small_catalog();

/// A generated catalog "db" of `tables` tables t0, t1, ... spread over the schemas s0 to s9;
/// every tenth table (t0, t10, ...) a view; 20 columns col0 to col19 per table. With
/// `reversed_ordinals` each table's columns are stored from the last ordinal to the first, so
/// that ordering them has work to do. Only tables and columns are present.
SnapshotBatches generated_catalog(int tables, bool reversed_ordinals = false);
inline constexpr int kGeneratedColumnsPerTable = 20;
inline constexpr int kGeneratedSchemas = 10;

/// Registers every present relation of `batches` with `engine` under its information_schema
/// name; with `indexed`, with the catalog index's name lookups, as a connection registers its
/// snapshot, and returns that index (null without). Fails the test when a registration is
/// refused.
std::shared_ptr<const norvale::adbc::CatalogIndex> register_snapshot(
    nv_sql::MetadataEngine* engine, const SnapshotBatches& batches, bool indexed);

/// An initialised ADBC connection (a core connection record that never goes on the network,
/// unless a test points it at a server) whose store holds the batches given.
class SnapshotConnection {
 public:
  explicit SnapshotConnection(const SnapshotBatches& batches = {});
  ~SnapshotConnection();
  SnapshotConnection(const SnapshotConnection&) = delete;
  SnapshotConnection& operator=(const SnapshotConnection&) = delete;

  void set(int index, std::shared_ptr<arrow::RecordBatch> batch);
  AdbcConnection* handle() { return &handle_; }
  NVAdbcConnectionState* state() { return &state_; }
  NVConnection* core() { return state_.connection; }

 private:
  NVAdbcConnectionState state_{};
  AdbcConnection handle_{};
};

}  // namespace nvtest
