// Catalog size against client cost, side by side in one run: the local service is filled with
// 1,000, 10,000 and 100,000 tables of 20 columns (and measured empty as the reference), then:
//   connect + SELECT 1            time and client RSS (a fresh process each time, driver via dlopen)
//   connect + information_schema  the first catalog query of a fresh process
//   snapshot install              fetch, decode and index on a connection (in this process)
//   bytes per column              snapshot buffers plus index, per catalog column
//   GetTableSchema                one table, with and without its schema
//   GetObjects exact table        depth 0, exact table-name filter
//   GetObjects full               depth 0, no filter
// With NV_BENCH_BASELINE_DRIVER naming another build of the library (and optionally
// NV_BENCH_BASELINE_LOCALSVC the local service of its commit), a second service is filled the
// same way and the first catalog query of a fresh process is measured through both, runs
// taking turns, with the bytes each service sent for it (the snapshot, mostly).
// Run: scripts/run ./build/bench/nv_catalog_scale_bench [max_tables] [largest]
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <arrow/api.h>
#include <arrow/c/bridge.h>
#include <arrow/util/byte_size.h>

#include "adbc/state_internal.h"
#include "metadata/catalog_index_internal.h"
#include "adbc/catalog_internal.h"
#include "metadata/snapshot_cache_internal.h"
#include "norvale/nv_core.h"
#include "norvale_adbc.h"
#include "support/child_process.h"
#include "support/localsvc_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kColumns = 20;
constexpr int kSchemas = 50;

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

int64_t status_kb(const char* key) {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind(key, 0) == 0) return std::atoll(line.c_str() + std::strlen(key));
  }
  return -1;
}

// ---- Child: one fresh process that connects through the driver and runs one statement ----

int child_main(const std::string& sql, const char* uri, const char* user, const char* pass,
               const char* library) {
  void* lib = dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) return 2;
  auto init = reinterpret_cast<AdbcDriverInitFunc>(dlsym(lib, "AdbcDriverInit"));
  AdbcDriver d{};
  if (init == nullptr || init(ADBC_VERSION_1_0_0, &d, nullptr) != ADBC_STATUS_OK) return 2;
  const auto start = Clock::now();
  AdbcDatabase db{};
  AdbcConnection conn{};
  AdbcStatement stmt{};
  d.DatabaseNew(&db, nullptr);
  d.DatabaseSetOption(&db, "uri", uri, nullptr);
  d.DatabaseSetOption(&db, "username", user, nullptr);
  d.DatabaseSetOption(&db, "password", pass, nullptr);
  if (d.DatabaseInit(&db, nullptr) != ADBC_STATUS_OK) return 3;
  d.ConnectionNew(&conn, nullptr);
  if (d.ConnectionInit(&conn, &db, nullptr) != ADBC_STATUS_OK) return 3;
  d.StatementNew(&conn, &stmt, nullptr);
  d.StatementSetSqlQuery(&stmt, sql.c_str(), nullptr);
  ArrowArrayStream stream{};
  if (d.StatementExecuteQuery(&stmt, &stream, nullptr, nullptr) != ADBC_STATUS_OK) return 4;
  auto reader = arrow::ImportRecordBatchReader(&stream).ValueOrDie();
  auto table = reader->ToTable().ValueOrDie();
  const double elapsed = ms_since(start);
  std::printf("%.3f %lld %lld %lld\n", elapsed, static_cast<long long>(status_kb("VmRSS:")),
              static_cast<long long>(status_kb("VmHWM:")),
              static_cast<long long>(table->num_rows()));
  std::fflush(stdout);
  d.StatementRelease(&stmt, nullptr);
  d.ConnectionRelease(&conn, nullptr);
  d.DatabaseRelease(&db, nullptr);
  return 0;
}

struct ChildResult {
  double ms = -1;
  double rss_mb = -1;
  double hwm_mb = -1;
};

ChildResult run_child(const std::string& mode, const std::string& uri,
                      const std::string& library) {
  const std::string out = nv_test::run_self(
      {"--child", mode, uri, nv_test::LocalSvc::kUser, nv_test::LocalSvc::kPassword, library},
      nullptr);
  ChildResult r;
  long long rss = 0, hwm = 0, rows = 0;
  if (std::sscanf(out.c_str(), "%lf %lld %lld %lld", &r.ms, &rss, &hwm, &rows) != 4) return {};
  r.rss_mb = static_cast<double>(rss) / 1024.0;
  r.hwm_mb = static_cast<double>(hwm) / 1024.0;
  return r;
}

// Median of `runs` children (by time; RSS from the same run).
ChildResult median_child(const std::string& mode, const std::string& uri, int runs,
                         const std::string& library = NV_DRIVER_PATH) {
  std::vector<ChildResult> all;
  for (int i = 0; i < runs; ++i) all.push_back(run_child(mode, uri, library));
  std::sort(all.begin(), all.end(),
            [](const ChildResult& a, const ChildResult& b) { return a.ms < b.ms; });
  return all[all.size() / 2];
}

// ---- Parent ------------------------------------------------------------------------------------

// The first catalog query of fresh processes through each way, runs taking turns: median time
// and the mean of the bytes the way's service sent per run.
struct Way {
  const char* name;
  std::string library;
  const nv_test::LocalSvc* svc;
  std::vector<double> ms;
  int64_t bytes = 0;
};

void compare_first_catalog_query(std::vector<Way>& ways, int runs) {
  for (int i = 0; i < runs; ++i) {
    for (Way& w : ways) {
      const int64_t before = w.svc->Counter("bytes_sent");
      w.ms.push_back(run_child("catalog", w.svc->control_plane_url(), w.library).ms);
      w.bytes += w.svc->Counter("bytes_sent") - before;
    }
  }
  std::printf("         first catalog query of a fresh process:");
  for (Way& w : ways) {
    std::sort(w.ms.begin(), w.ms.end());
    std::printf("  %s %.0fms, %.2f MB sent", w.name, w.ms[w.ms.size() / 2],
                static_cast<double>(w.bytes) / runs / 1e6);
  }
  if (ways.size() == 2) {
    std::printf("  (this build / baseline: time %.2f, bytes %.3f)",
                ways[1].ms[ways[1].ms.size() / 2] / ways[0].ms[ways[0].ms.size() / 2],
                static_cast<double>(ways[1].bytes) / static_cast<double>(ways[0].bytes));
  }
  std::printf("\n");
}

bool fill(const nv_test::LocalSvc& svc, int tables) {
  std::string sql;
  for (int s = 0; s < kSchemas && tables > 0; ++s) sql += "CREATE SCHEMA s" + std::to_string(s) + ";";
  std::string err;
  if (!sql.empty() && !svc.Sql(sql, &err)) {
    std::fprintf(stderr, "schemas: %s\n", err.c_str());
    return false;
  }
  const char* types[] = {"INTEGER", "BIGINT", "VARCHAR", "DECIMAL(18,3)", "DATE",
                         "TIMESTAMP", "BOOLEAN", "DOUBLE", "VARCHAR", "UUID"};
  std::string columns;
  for (int c = 0; c < kColumns; ++c) {
    columns += (c ? ", c" : "c") + std::to_string(c) + " " + types[c % 10];
  }
  sql.clear();
  for (int t = 0; t < tables; ++t) {
    sql += "CREATE TABLE s" + std::to_string(t % kSchemas) + ".t" + std::to_string(t) + " (" +
           columns + ");";
    if ((t + 1) % 500 == 0 || t + 1 == tables) {
      if (!svc.Sql(sql, &err)) {
        std::fprintf(stderr, "tables: %s\n", err.c_str());
        return false;
      }
      sql.clear();
    }
  }
  return true;
}

struct InProcess {
  double install_ms = 0, index_ms = 0, bytes_per_column = 0, rss_per_column = 0;
  double schema_us = 0, schema_noschema_us = 0, objects_exact_us = 0, objects_full_ms = 0;
};

InProcess measure_in_process(const nv_test::LocalSvc& svc, int tables) {
  using namespace norvale::adbc;
  InProcess m;
  snapshot_cache_clear();
  NVAdbcDatabaseState db{};
  db.uri = strdup(svc.control_plane_url().c_str());
  db.username = strdup(nv_test::LocalSvc::kUser);
  NVAdbcConnectionState state{};
  state.database = &db;
  char err[1024] = "";
  state.connection = nv_connect(db.uri, svc.node_url(0).c_str(), nullptr, nullptr, db.username,
                                nv_test::LocalSvc::kPassword, nullptr, nullptr, err, sizeof err);
  if (state.connection == nullptr) {
    std::fprintf(stderr, "connect: %s\n", err);
    return m;
  }
  info_schema_attach(&state);
  AdbcConnection handle{};
  handle.private_data = &state;

  const int64_t rss_before = status_kb("VmRSS:");
  auto start = Clock::now();
  info_schema_refresh(&state);
  m.install_ms = ms_since(start);
  const int64_t rss_after = status_kb("VmRSS:");
  const auto index = info_schema_index_get(&state);
  start = Clock::now();
  auto rebuilt = CatalogIndex::Build(index->batches());
  m.index_ms = ms_since(start);
  int64_t bytes = static_cast<int64_t>(index->memory_bytes());
  for (const auto& batch : index->batches()) {
    if (batch) bytes += arrow::util::TotalBufferSize(*batch);
  }
  const double columns = std::max(1, tables * kColumns);
  m.bytes_per_column = static_cast<double>(bytes) / columns;
  m.rss_per_column = static_cast<double>(rss_after - rss_before) * 1024.0 / columns;

  std::mt19937 rng(42);
  if (tables > 0) {
    const int calls = 2000;
    std::vector<int> picks(calls);
    for (int& p : picks) p = static_cast<int>(rng() % static_cast<unsigned>(tables));
    for (bool with_schema : {true, false}) {
      start = Clock::now();
      for (int t : picks) {
        const std::string schema = "s" + std::to_string(t % kSchemas);
        const std::string name = "t" + std::to_string(t);
        ArrowSchema out{};
        AdbcError e{};
        if (nv_adbc_connection_get_table_schema(&handle, nullptr,
                                                with_schema ? schema.c_str() : nullptr,
                                                name.c_str(), &out, &e) != ADBC_STATUS_OK) {
          std::fprintf(stderr, "GetTableSchema: %s\n", e.message);
          if (e.release) e.release(&e);
          break;
        }
        out.release(&out);
      }
      (with_schema ? m.schema_us : m.schema_noschema_us) = ms_since(start) * 1000.0 / calls;
    }
    const int object_calls = 500;
    start = Clock::now();
    for (int i = 0; i < object_calls; ++i) {
      const std::string name = "t" + std::to_string(picks[static_cast<size_t>(i)]);
      ArrowArrayStream stream{};
      AdbcError e{};
      if (nv_adbc_connection_get_objects(&handle, 0, nullptr, nullptr, name.c_str(), nullptr,
                                         nullptr, &stream, &e) != ADBC_STATUS_OK) {
        std::fprintf(stderr, "GetObjects: %s\n", e.message);
        break;
      }
      stream.release(&stream);
    }
    m.objects_exact_us = ms_since(start) * 1000.0 / object_calls;
  }
  start = Clock::now();
  ArrowArrayStream stream{};
  AdbcError e{};
  if (nv_adbc_connection_get_objects(&handle, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     &stream, &e) == ADBC_STATUS_OK) {
    auto reader = arrow::ImportRecordBatchReader(&stream).ValueOrDie();
    auto table = reader->ToTable().ValueOrDie();
    m.objects_full_ms = ms_since(start);
  }
  rebuilt.reset();
  info_schema_detach(&state);
  nv_disconnect(state.connection);
  std::free(db.uri);
  std::free(db.username);
  snapshot_cache_clear();
  return m;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 7 && std::strcmp(argv[1], "--child") == 0) {
    const std::string sql = std::strcmp(argv[2], "catalog") == 0
                                ? "SELECT table_name FROM information_schema.tables WHERE "
                                  "table_name = 't1'"
                                : "SELECT 1";
    return child_main(sql, argv[3], argv[4], argv[5], argv[6]);
  }
  const int max_tables = argc > 1 ? std::atoi(argv[1]) : 100000;
  // "largest": the empty reference and the largest size only.
  const bool largest_only = argc > 2 && std::strcmp(argv[2], "largest") == 0;
  std::printf("%8s %10s %9s %9s %10s %9s %9s %9s %8s %8s %9s %9s %10s\n", "tables",
              "conn+sel1", "ratio", "rss_MB", "rss_ratio", "conn+IS", "IS_rss", "install",
              "index", "B/col", "GTS_us", "GTS_ns_us", "GO_exact");
  double base_ms = 0, base_rss = 0;
  for (int tables : {0, 1000, 10000, 100000}) {
    if (tables > max_tables) break;
    if (largest_only && tables != 0 && tables != max_tables) continue;
    nv_test::LocalSvcOptions opts;
    opts.seed_demo = false;
    std::string err;
    auto svc = nv_test::LocalSvc::Start(opts, &err);
    if (!svc) {
      std::fprintf(stderr, "local service: %s\n", err.c_str());
      return 1;
    }
    const auto fill_start = Clock::now();
    if (!fill(*svc, tables)) return 1;
    std::fprintf(stderr, "filled %d tables in %.1f s\n", tables, ms_since(fill_start) / 1000);
    const ChildResult connect = median_child("connect", svc->control_plane_url(), 5);
    const ChildResult catalog =
        median_child("catalog", svc->control_plane_url(), tables >= 100000 ? 1 : 3);
    const InProcess m = measure_in_process(*svc, tables);
    if (tables == 0) {
      base_ms = connect.ms;
      base_rss = connect.rss_mb;
    }
    std::printf("%8d %9.1fms %9.2f %9.1f %10.2f %8.0fms %8.0fMB %7.0fms %6.0fms %8.0f %9.1f "
                "%9.1f %8.1fus   GO_full %.0fms  RSS/col %.0fB\n",
                tables, connect.ms, base_ms > 0 ? connect.ms / base_ms : 0, connect.rss_mb,
                base_rss > 0 ? connect.rss_mb / base_rss : 0, catalog.ms, catalog.rss_mb,
                m.install_ms, m.index_ms, m.bytes_per_column, m.schema_us, m.schema_noschema_us,
                m.objects_exact_us, m.objects_full_ms, m.rss_per_column);
    std::vector<Way> ways;
    std::unique_ptr<nv_test::LocalSvc> baseline_svc;
    const char* baseline = std::getenv("NV_BENCH_BASELINE_DRIVER");
    if (baseline != nullptr && baseline[0] != '\0') {
      const char* service = std::getenv("NV_BENCH_BASELINE_LOCALSVC");
      if (service != nullptr) opts.binary = service;
      baseline_svc = nv_test::LocalSvc::Start(opts, &err);
      if (!baseline_svc || !fill(*baseline_svc, tables)) {
        std::fprintf(stderr, "baseline service: %s\n", err.c_str());
        return 1;
      }
      ways.push_back({"baseline", baseline, baseline_svc.get(), {}, 0});
    }
    ways.push_back({"this build", NV_DRIVER_PATH, svc.get(), {}, 0});
    compare_first_catalog_query(ways, tables >= 100000 ? 1 : 5);
    std::fflush(stdout);
  }
  return 0;
}
