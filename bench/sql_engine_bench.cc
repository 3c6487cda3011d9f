// Metadata engine latency beside DuckDB's for the same statements over the same data, in one
// run: 10,000 tables of 20 columns (a columns relation of 200,000 rows), or as many tables as
// the first argument after the benchmark flags says. The relations are registered as a
// connection registers its snapshot, with the catalog index. After the runs a table of engine /
// DuckDB time ratios is printed, and the index's memory beside the snapshot's.
//   scripts/run ./build/bench/nv_sql_engine_bench [--benchmark_filter=...] [tables]

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <arrow/util/byte_size.h>
#include <duckdb.h>

#include "sql/metadata_engine_internal.h"
#include "support/snapshot_relations.h"

namespace {

struct Query {
  const char* name;
  const char* sql;  // {IS} stands for the schema holding the relations
};

const Query kQueries[] = {
    {"column_lookup",
     "SELECT column_name, data_type, ordinal_position FROM {IS}.columns WHERE table_schema = 's7' "
     "AND table_name = 't3457' ORDER BY ordinal_position"},
    {"like_table_listing",
     "SELECT table_schema, table_name, table_type FROM {IS}.tables WHERE table_name LIKE 't12%' "
     "ORDER BY table_schema, table_name"},
    {"join_tables_columns",
     "SELECT t.table_name, c.column_name, c.data_type FROM {IS}.tables t JOIN {IS}.columns c ON "
     "t.table_schema = c.table_schema AND t.table_name = c.table_name WHERE t.table_type = 'VIEW'"},
    {"group_by_schema",
     "SELECT table_schema, count(*) AS n FROM {IS}.columns GROUP BY table_schema"},
    {"exists_semi_join",
     "SELECT t.table_schema, t.table_name FROM {IS}.tables t WHERE EXISTS (SELECT 1 FROM "
     "{IS}.columns c WHERE c.table_schema = t.table_schema AND c.table_name = t.table_name) AND "
     "t.table_type = 'VIEW'"},
    {"order_by_unselected",
     "SELECT column_name FROM {IS}.columns WHERE table_schema = 's7' AND table_name = 't3457' "
     "ORDER BY ordinal_position DESC"},
    {"having",
     "SELECT table_name, count(*) AS n FROM {IS}.columns WHERE table_schema = 's1' GROUP BY "
     "table_name HAVING count(*) > 19"},
    {"count_distinct",
     "SELECT table_schema, count(DISTINCT data_type) AS n FROM {IS}.columns GROUP BY table_schema"},
    {"aggregate_expressions",
     "SELECT table_schema, sum(ordinal_position + 1) AS s, CAST(count(*) AS varchar) AS n FROM "
     "{IS}.columns GROUP BY table_schema"},
    {"between_nullif_distinct",
     "SELECT table_name, NULLIF(remarks, '') AS r FROM {IS}.tables WHERE table_name BETWEEN "
     "'t100' AND 't200' AND table_type IS DISTINCT FROM 'VIEW'"},
    {"exists_residual",
     "SELECT t.table_name FROM {IS}.tables t WHERE EXISTS (SELECT 1 FROM {IS}.columns c WHERE "
     "c.table_schema = t.table_schema AND c.table_name = t.table_name AND c.data_type = 'date' "
     "AND c.ordinal_position > 18)"},
    {"correlated_in",
     "SELECT t.table_name FROM {IS}.tables t WHERE t.table_name IN (SELECT c.table_name FROM "
     "{IS}.columns c WHERE c.table_schema = t.table_schema AND c.column_name = 'col7' AND "
     "c.data_type = 'date')"},
    {"scalar_subquery_count",
     "SELECT t.table_name, (SELECT count(*) FROM {IS}.columns c WHERE c.table_schema = "
     "t.table_schema AND c.table_name = t.table_name AND c.is_nullable = 'YES') AS n FROM "
     "{IS}.tables t WHERE t.table_schema = 's2'"},
    {"union_all",
     "SELECT table_schema AS name FROM {IS}.tables WHERE table_type = 'VIEW' UNION ALL SELECT "
     "table_name FROM {IS}.tables WHERE table_name LIKE 't99%'"},
    {"union_distinct",
     "SELECT table_schema FROM {IS}.tables UNION SELECT table_schema FROM {IS}.columns"},
    {"intersect_except",
     "SELECT table_name FROM {IS}.tables WHERE table_type = 'VIEW' EXCEPT SELECT table_name FROM "
     "{IS}.columns WHERE data_type = 'date' AND ordinal_position = 1"},
    {"with_cte",
     "WITH c AS (SELECT table_name, count(*) AS n FROM {IS}.columns WHERE table_schema = 's0' "
     "GROUP BY table_name) SELECT t.table_name, c.n FROM {IS}.tables t JOIN c ON c.table_name = "
     "t.table_name WHERE t.table_type = 'VIEW'"},
    {"string_agg_ordered",
     "SELECT table_name, string_agg(column_name, ',' ORDER BY ordinal_position) AS cols FROM "
     "{IS}.columns WHERE table_schema = 's4' GROUP BY table_name"},
};

std::string with_schema(const std::string& sql, const std::string& schema) {
  std::string out = sql;
  for (size_t p = out.find("{IS}"); p != std::string::npos; p = out.find("{IS}")) {
    out.replace(p, 4, schema);
  }
  return out;
}

struct Duck {
  duckdb_database db = nullptr;
  duckdb_connection con = nullptr;
  Duck() {
    duckdb_open(nullptr, &db);
    duckdb_connect(db, &con);
  }
  ~Duck() {
    duckdb_disconnect(&con);
    duckdb_close(&db);
  }
  bool exec(const std::string& sql) {
    duckdb_result r;
    bool ok = duckdb_query(con, sql.c_str(), &r) == DuckDBSuccess;
    if (!ok) std::fprintf(stderr, "duckdb: %s\n", duckdb_result_error(&r));
    duckdb_destroy_result(&r);
    return ok;
  }
};

void load(Duck& duck, const std::string& table, const arrow::RecordBatch& batch) {
  std::string ddl = "CREATE TABLE nvis." + table + " (";
  for (int c = 0; c < batch.num_columns(); ++c) {
    const auto& f = batch.schema()->field(c);
    const char* type = f->type()->id() == arrow::Type::STRING  ? "VARCHAR"
                       : f->type()->id() == arrow::Type::INT32 ? "INTEGER"
                                                               : "BIGINT";
    ddl += (c ? ", " : "") + f->name() + " " + type;
  }
  duck.exec(ddl + ")");
  duckdb_appender app;
  duckdb_appender_create(duck.con, "nvis", table.c_str(), &app);
  for (int64_t r = 0; r < batch.num_rows(); ++r) {
    for (int c = 0; c < batch.num_columns(); ++c) {
      const auto& col = *batch.column(c);
      if (col.IsNull(r)) {
        duckdb_append_null(app);
      } else if (col.type_id() == arrow::Type::STRING) {
        const auto& text = static_cast<const arrow::StringArray&>(col);
        duckdb_append_varchar(app, text.GetString(r).c_str());
      } else if (col.type_id() == arrow::Type::INT32) {
        duckdb_append_int32(app, static_cast<const arrow::Int32Array&>(col).Value(r));
      } else {
        duckdb_append_int64(app, static_cast<const arrow::Int64Array&>(col).Value(r));
      }
    }
    duckdb_appender_end_row(app);
  }
  duckdb_appender_destroy(&app);
}

// Keeps each run's time per iteration so the ratios can be printed afterwards.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs) {
      if (r.run_type == Run::RT_Iteration) times[r.benchmark_name()] = r.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const int tables = argc > 1 ? std::atoi(argv[1]) : 10'000;
  if (tables <= 0) {
    std::fprintf(stderr, "usage: %s [benchmark flags] [tables]\n", argv[0]);
    return 2;
  }
  nv_sql::MetadataEngine engine;
  Duck duck;
  size_t snapshot_bytes = 0, index_bytes = 0;
  {
    using namespace norvale::adbc;
    const SnapshotBatches batches = nvtest::generated_catalog(tables);
    index_bytes = nvtest::register_snapshot(&engine, batches, true)->memory_bytes();
    for (int rs : {kRsTables, kRsColumns}) {
      snapshot_bytes += static_cast<size_t>(arrow::util::TotalBufferSize(*batches[rs]));
    }
    duck.exec("CREATE SCHEMA nvis");
    load(duck, "tables", *batches[kRsTables]);
    load(duck, "columns", *batches[kRsColumns]);
  }
  for (const auto& q : kQueries) {
    const std::string esql = with_schema(q.sql, "information_schema");
    const std::string dsql = with_schema(q.sql, "nvis");
    auto run_engine = [&engine, esql](benchmark::State& st) {
      auto first = engine.try_execute(esql);
      if (first.status != nv_sql::ExecuteStatus::Ok) {
        st.SkipWithError((first.decline_reason + first.error_message).c_str());
        return;
      }
      st.counters["rows"] = static_cast<double>(first.batches[0]->num_rows());
      for (auto _ : st) {
        auto r = engine.try_execute(esql);
        benchmark::DoNotOptimize(r);
      }
    };
    auto run_duck = [&duck, dsql](benchmark::State& st) {
      for (auto _ : st) {
        duckdb_result r;
        duckdb_query(duck.con, dsql.c_str(), &r);
        duckdb_destroy_result(&r);
      }
    };
    benchmark::RegisterBenchmark(std::string("engine/") + q.name, run_engine)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(std::string("duckdb/") + q.name, run_duck)
        ->Unit(benchmark::kMicrosecond);
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n%-24s %12s %12s %8s\n", "query", "engine us", "duckdb us", "ratio");
  for (const auto& q : kQueries) {
    auto e = reporter.times.find(std::string("engine/") + q.name);
    auto d = reporter.times.find(std::string("duckdb/") + q.name);
    if (e == reporter.times.end() || d == reporter.times.end()) continue;
    std::printf("%-24s %12.1f %12.1f %8.2f\n", q.name, e->second, d->second, e->second / d->second);
  }
  std::printf("\n%d tables: snapshot %.1f MB, index %.2f MB (%.1f%% of the snapshot)\n", tables,
              static_cast<double>(snapshot_bytes) / 1e6, static_cast<double>(index_bytes) / 1e6,
              100.0 * static_cast<double>(index_bytes) / static_cast<double>(snapshot_bytes));
  benchmark::Shutdown();
  return 0;
}
