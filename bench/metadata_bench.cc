// Metadata calls over synthetic snapshots of 1,000 and 10,000 tables with 20 columns each:
// GetObjects at depth 0 (the whole tree with every column), GetTableSchema for one table, and
// the install of a cached snapshot on a further connection. The complexity fit of each pair of
// sizes shows how the cost grows with the snapshot (GetObjects of the whole tree: linear;
// GetTableSchema of one table: constant, through the catalog index).
// Run: scripts/run ./build/bench/nv_metadata_bench
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include <arrow/api.h>
#include <arrow/c/bridge.h>

#include "adbc/catalog_internal.h"
#include "metadata/snapshot_cache_internal.h"
#include "norvale_adbc.h"
#include "support/snapshot_relations.h"

namespace {

using namespace norvale::adbc;
using nvtest::SnapshotConnection;

constexpr int kColumnsPerTable = nvtest::kGeneratedColumnsPerTable;

// Columns stored from the last ordinal to the first, so that sorting them has work to do.
SnapshotBatches make_snapshot(int tables) { return nvtest::generated_catalog(tables, true); }

// Arguments: tables, depth (0 with every column; 3 for comparison, tables only).
void BM_GetObjects(benchmark::State& st) {
  const int tables = static_cast<int>(st.range(0));
  const SnapshotBatches batches = make_snapshot(tables);
  SnapshotConnection conn(batches);
  for (auto _ : st) {
    ArrowArrayStream stream{};
    AdbcError error{};
    if (nv_adbc_connection_get_objects(conn.handle(), static_cast<int>(st.range(1)), nullptr,
                                       nullptr, nullptr, nullptr, nullptr, &stream,
                                       &error) != ADBC_STATUS_OK) {
      st.SkipWithError(error.message);
      break;
    }
    auto reader = arrow::ImportRecordBatchReader(&stream).ValueOrDie();
    std::shared_ptr<arrow::RecordBatch> batch;
    (void)reader->ReadNext(&batch);
    benchmark::DoNotOptimize(batch);
  }
  st.SetComplexityN(tables);
  st.counters["columns"] = static_cast<double>(tables * kColumnsPerTable);
}
BENCHMARK(BM_GetObjects)
    ->ArgNames({"tables", "depth"})
    ->Args({1000, 0})
    ->Args({10000, 0})
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);
BENCHMARK(BM_GetObjects)
    ->ArgNames({"tables", "depth"})
    ->Args({1000, 3})
    ->Args({10000, 3})
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

void BM_GetTableSchemaFiltered(benchmark::State& st) {
  const int tables = static_cast<int>(st.range(0));
  const SnapshotBatches batches = make_snapshot(tables);
  SnapshotConnection conn(batches);
  const std::string table = "t" + std::to_string(tables / 2);
  const std::string schema = "s" + std::to_string((tables / 2) % nvtest::kGeneratedSchemas);
  for (auto _ : st) {
    ArrowSchema out{};
    AdbcError error{};
    if (nv_adbc_connection_get_table_schema(conn.handle(), "db", schema.c_str(), table.c_str(),
                                            &out, &error) != ADBC_STATUS_OK) {
      st.SkipWithError(error.message);
      break;
    }
    out.release(&out);
  }
  st.SetComplexityN(tables);
}
BENCHMARK(BM_GetTableSchemaFiltered)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond)
    ->Complexity(benchmark::oN);

void BM_CachedInstallOnNewConnection(benchmark::State& st) {
  const SnapshotBatches batches = make_snapshot(static_cast<int>(st.range(0)));
  const std::string uri = "http://127.0.0.1:1";
  CachedSnapshot entry;
  entry.batches = batches;
  entry.epoch = 7;
  entry.fetched_at = std::chrono::steady_clock::now();
  entry.uri = uri;
  entry.username = "bench";
  snapshot_cache_store(snapshot_cache_key(uri, "bench"), entry);
  for (auto _ : st) {
    SnapshotConnection conn;
    if (info_schema_snapshot_install(conn.state(), uri.c_str(), "bench") != 0) {
      st.SkipWithError("cache miss");
      break;
    }
  }
  snapshot_cache_clear();
}
BENCHMARK(BM_CachedInstallOnNewConnection)->Arg(10000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
