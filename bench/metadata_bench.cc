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

#include "adbc/state_internal.h"
#include "core/connection_internal.h"
#include "adbc/catalog_internal.h"
#include "metadata/snapshot_cache_internal.h"
#include "norvale_adbc.h"

namespace {

using namespace norvale::adbc;

constexpr int kColumnsPerTable = 20;
const char* const kTypes[] = {"integer", "bigint", "varchar", "numeric(10,2)", "date",
                              "timestamp", "boolean", "double precision", "text", "uuid"};

std::shared_ptr<arrow::Array> strings(const std::vector<std::string>& values) {
  arrow::StringBuilder b;
  (void)b.AppendValues(values);
  return b.Finish().ValueOrDie();
}

std::shared_ptr<arrow::Array> ints(const std::vector<int32_t>& values) {
  arrow::Int32Builder b;
  (void)b.AppendValues(values);
  return b.Finish().ValueOrDie();
}

SnapshotBatches make_snapshot(int tables) {
  std::vector<std::string> t_cat, t_sch, t_name, t_type;
  std::vector<std::string> c_cat, c_sch, c_table, c_name, c_type, c_null;
  std::vector<int32_t> c_ord, c_len;
  for (int t = 0; t < tables; ++t) {
    const std::string schema = "schema_" + std::to_string(t % 50);
    const std::string name = "table_" + std::to_string(t);
    t_cat.push_back("main");
    t_sch.push_back(schema);
    t_name.push_back(name);
    t_type.push_back(t % 10 == 0 ? "VIEW" : "BASE TABLE");
    for (int c = 0; c < kColumnsPerTable; ++c) {
      c_cat.push_back("main");
      c_sch.push_back(schema);
      c_table.push_back(name);
      c_name.push_back("column_" + std::to_string(c));
      c_ord.push_back(kColumnsPerTable - c);  // stored in reverse, so sorting has work to do
      c_type.push_back(kTypes[c % 10]);
      c_null.push_back(c % 3 == 0 ? "NO" : "YES");
      c_len.push_back(c % 10 == 2 ? 64 : -1);
    }
  }
  using arrow::field;
  auto tables_batch = arrow::RecordBatch::Make(
      arrow::schema({field("table_catalog", arrow::utf8()), field("table_schema", arrow::utf8()),
                     field("table_name", arrow::utf8()), field("table_type", arrow::utf8())}),
      tables, {strings(t_cat), strings(t_sch), strings(t_name), strings(t_type)});
  auto columns_batch = arrow::RecordBatch::Make(
      arrow::schema({field("table_catalog", arrow::utf8()), field("table_schema", arrow::utf8()),
                     field("table_name", arrow::utf8()), field("column_name", arrow::utf8()),
                     field("ordinal_position", arrow::int32()), field("data_type", arrow::utf8()),
                     field("is_nullable", arrow::utf8()),
                     field("character_maximum_length", arrow::int32())}),
      static_cast<int64_t>(c_name.size()),
      {strings(c_cat), strings(c_sch), strings(c_table), strings(c_name), ints(c_ord),
       strings(c_type), strings(c_null), ints(c_len)});
  SnapshotBatches batches;
  batches[kRsTables] = tables_batch;
  batches[kRsColumns] = columns_batch;
  return batches;
}

// A connection whose store holds a snapshot; its core connection never goes on the network.
struct BenchConnection {
  NVConnection core;
  NVAdbcConnectionState state{};
  AdbcConnection handle{};
  explicit BenchConnection(const SnapshotBatches* batches) {
    state.connection = &core;
    state.info_schema = info_schema_store_create();
    state.info_schema->load_attempted = true;  // holds what the benchmark gives it
    if (batches != nullptr) state.info_schema->batches = *batches;
    handle.private_data = &state;
  }
  ~BenchConnection() { info_schema_store_destroy(state.info_schema); }
};

// Arguments: tables, depth (0 with every column; 3 for comparison, tables only).
void BM_GetObjects(benchmark::State& st) {
  const int tables = static_cast<int>(st.range(0));
  const SnapshotBatches batches = make_snapshot(tables);
  BenchConnection conn(&batches);
  for (auto _ : st) {
    ArrowArrayStream stream{};
    AdbcError error{};
    if (nv_adbc_connection_get_objects(&conn.handle, static_cast<int>(st.range(1)), nullptr,
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
  BenchConnection conn(&batches);
  const std::string table = "table_" + std::to_string(tables / 2);
  const std::string schema = "schema_" + std::to_string((tables / 2) % 50);
  for (auto _ : st) {
    ArrowSchema out{};
    AdbcError error{};
    if (nv_adbc_connection_get_table_schema(&conn.handle, "main", schema.c_str(), table.c_str(),
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
    BenchConnection conn(nullptr);
    if (info_schema_snapshot_install(&conn.state, uri.c_str(), "bench") != 0) {
      st.SkipWithError("cache miss");
      break;
    }
  }
  snapshot_cache_clear();
}
BENCHMARK(BM_CachedInstallOnNewConnection)->Arg(10000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
