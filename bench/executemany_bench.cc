// Loading rows through bound parameters against the local service, measured side by side in
// one run with bulk ingest of the same rows: (1) "executemany", an INSERT INTO t VALUES (?, ?)
// with every row bound and run through ExecuteQuery without an output stream (the driver sends
// multi-row INSERTs), (2) ADBC ingest of the same batches. Both go through the driver as a host
// loads it. Prints rows per second, the ratio (2)/(1), the number of requests, and where the
// time of (1) goes: CPU seconds of this process (the driver) and of the service. (3) is the
// ceiling of any path that sends the rows as SQL text to this service: DuckDB alone, in this
// process, running the same multi-row INSERTs (the same literals, 10,000 rows per statement)
// with no network, no driver and no service in between.
// NV_BENCH_ROWS sets the row count (default 100000).
#include <arrow/api.h>
#include <arrow/c/bridge.h>
#include <dlfcn.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <duckdb.hpp>

#include "cells/sql_literal_internal.h"
#include "norvale_adbc.h"
#include "support/localsvc_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;
using Batches = std::vector<std::shared_ptr<arrow::RecordBatch>>;
using DriverInit = AdbcStatusCode (*)(int, void*, AdbcError*);

// Rows (id BIGINT, name VARCHAR) in batches of 16384, as a host converts its parameter rows.
Batches make_batches(int64_t total_rows) {
  constexpr int64_t kPerBatch = 16384;
  auto schema = arrow::schema({arrow::field("id", arrow::int64()),
                               arrow::field("name", arrow::utf8())});
  Batches out;
  char text[32];
  for (int64_t first = 0; first < total_rows; first += kPerBatch) {
    const int64_t n = std::min(kPerBatch, total_rows - first);
    arrow::Int64Builder ids;
    arrow::StringBuilder names;
    for (int64_t i = first; i < first + n; ++i) {
      (void)ids.Append(i);
      const int len = std::snprintf(text, sizeof text, "row-%010lld", static_cast<long long>(i));
      (void)names.Append(std::string_view(text, static_cast<size_t>(len)));
    }
    out.push_back(arrow::RecordBatch::Make(schema, n, {*ids.Finish(), *names.Finish()}));
  }
  return out;
}

double cpu_seconds_self() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// User and system CPU seconds of another process, from /proc/<pid>/stat.
double cpu_seconds_of(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  // Fields after the name: state is field 3; utime and stime are fields 14 and 15.
  std::vector<std::string> fields;
  size_t at = close + 2;
  while (at < stat.size()) {
    const size_t space = stat.find(' ', at);
    fields.push_back(stat.substr(at, space - at));
    if (space == std::string::npos) break;
    at = space + 1;
  }
  if (fields.size() < 13) return 0;
  return static_cast<double>(std::atoll(fields[11].c_str()) + std::atoll(fields[12].c_str())) /
         static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The multi-row INSERTs of the rows, 10,000 rows each, with the literals the driver writes.
std::vector<std::string> insert_statements(const Batches& batches, const std::string& table) {
  constexpr int64_t kRowsPerStatement = 10000;
  std::vector<std::string> out;
  std::string sql;
  int64_t rows = 0;
  for (const auto& batch : batches) {
    std::vector<norvale::cells::SqlLiteralColumn> columns;
    for (const auto& column : batch->columns()) {
      columns.push_back(*norvale::cells::SqlLiteralColumn::Make(column));
    }
    for (int64_t row = 0; row < batch->num_rows(); ++row) {
      sql += rows == 0 ? "INSERT INTO " + table + " VALUES (" : ", (";
      for (size_t c = 0; c < columns.size(); ++c) {
        if (c > 0) sql += ", ";
        columns[c].Append(row, &sql);
      }
      sql += ')';
      if (++rows == kRowsPerStatement) {
        out.push_back(std::move(sql));
        sql.clear();
        rows = 0;
      }
    }
  }
  if (rows > 0) out.push_back(std::move(sql));
  return out;
}

// Seconds DuckDB takes, in this process, to run the statements; negative on failure.
double run_in_duckdb(const std::vector<std::string>& statements) {
  duckdb::DuckDB db(nullptr);
  duckdb::Connection con(db);
  con.Query("CREATE TABLE em_rows (id BIGINT, name VARCHAR)");
  const auto start = Clock::now();
  for (const std::string& sql : statements) {
    auto result = con.Query(sql);
    if (result->HasError()) {
      std::fprintf(stderr, "DuckDB: %s\n", result->GetError().c_str());
      return -1;
    }
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class Driver {
 public:
  bool Open(const nv_test::LocalSvc& svc) {
    void* lib = dlopen(NV_DRIVER_PATH, RTLD_NOW | RTLD_LOCAL);
    auto init = lib ? reinterpret_cast<DriverInit>(dlsym(lib, "AdbcDriverInit")) : nullptr;
    if (init == nullptr || init(ADBC_VERSION_1_0_0, &d_, nullptr) != ADBC_STATUS_OK) return false;
    d_.DatabaseNew(&db_, nullptr);
    d_.DatabaseSetOption(&db_, "uri", svc.control_plane_url().c_str(), nullptr);
    d_.DatabaseSetOption(&db_, "username", nv_test::LocalSvc::kUser, nullptr);
    d_.DatabaseSetOption(&db_, "password", nv_test::LocalSvc::kPassword, nullptr);
    if (d_.DatabaseInit(&db_, nullptr) != ADBC_STATUS_OK) return false;
    d_.ConnectionNew(&conn_, nullptr);
    return d_.ConnectionInit(&conn_, &db_, nullptr) == ADBC_STATUS_OK;
  }

  // Runs one statement: with `sql` and bound batches (executemany), with options only and
  // bound batches (ingest), or with `sql` alone. Seconds, or negative on failure.
  double Run(const char* sql, const std::vector<std::pair<const char*, const char*>>& options,
             const Batches* batches, int64_t* rows) {
    AdbcStatement stmt{};
    AdbcError e{};
    d_.StatementNew(&conn_, &stmt, &e);
    for (const auto& [k, v] : options) d_.StatementSetOption(&stmt, k, v, &e);
    if (sql != nullptr) d_.StatementSetSqlQuery(&stmt, sql, &e);
    if (batches != nullptr) {
      ArrowArrayStream stream{};
      (void)arrow::ExportRecordBatchReader(
          *arrow::RecordBatchReader::Make(*batches, batches->front()->schema()), &stream);
      d_.StatementBindStream(&stmt, &stream, &e);
    }
    const auto start = Clock::now();
    const AdbcStatusCode rc = d_.StatementExecuteQuery(&stmt, nullptr, rows, &e);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (rc != ADBC_STATUS_OK) std::fprintf(stderr, "failed: %s\n", e.message ? e.message : "");
    if (e.release != nullptr) e.release(&e);
    d_.StatementRelease(&stmt, &e);
    return rc == ADBC_STATUS_OK ? seconds : -1;
  }

 private:
  AdbcDriver d_{};
  AdbcDatabase db_{};
  AdbcConnection conn_{};
};

}  // namespace

int main() {
  const char* rows_env = std::getenv("NV_BENCH_ROWS");
  const int64_t total_rows = rows_env != nullptr ? std::atoll(rows_env) : 100000;
  std::string err;
  nv_test::LocalSvcOptions opts;
  opts.seed_demo = false;
  auto svc = nv_test::LocalSvc::Start(opts, &err);
  Driver driver;
  if (svc == nullptr || !driver.Open(*svc)) {
    std::fprintf(stderr, "cannot start the local service or connect: %s\n", err.c_str());
    return 1;
  }
  const Batches batches = make_batches(total_rows);
  std::printf("%lld rows (BIGINT, VARCHAR) in %zu batches\n", static_cast<long long>(total_rows),
              batches.size());

  // The three take turns, keeping each one's fastest of two runs.
  const std::vector<std::string> statements = insert_statements(batches, "em_rows");
  double t_many = 1e9, t_ingest = 1e9, t_duckdb = 1e9, cpu_driver = 0, cpu_service = 0;
  int64_t requests = 0, rows_many = 0, rows_ingest = 0;
  for (int round = 0; round < 2; ++round) {
    if (driver.Run("CREATE OR REPLACE TABLE em_rows (id BIGINT, name VARCHAR)", {}, nullptr,
                   nullptr) < 0) {
      return 1;
    }
    const int64_t requests_before = svc->Counter("requests.query");
    const double self_before = cpu_seconds_self(), svc_before = cpu_seconds_of(svc->pid());
    const double many =
        driver.Run("INSERT INTO em_rows VALUES (?, ?)", {}, &batches, &rows_many);
    if (many < 0) return 1;
    if (many < t_many) {
      t_many = many;
      cpu_driver = cpu_seconds_self() - self_before;
      cpu_service = cpu_seconds_of(svc->pid()) - svc_before;
      requests = svc->Counter("requests.query") - requests_before;
    }
    const double ingest = driver.Run(
        nullptr, {{"adbc.ingest.target_table", "em_ingest"}, {"adbc.ingest.mode", "replace"}},
        &batches, &rows_ingest);
    if (ingest < 0) return 1;
    t_ingest = std::min(t_ingest, ingest);
    const double alone = run_in_duckdb(statements);
    if (alone < 0) return 1;
    t_duckdb = std::min(t_duckdb, alone);
  }
  const double many_rps = static_cast<double>(total_rows) / t_many;
  const double ingest_rps = static_cast<double>(total_rows) / t_ingest;
  std::printf("  (1) executemany INSERT ... VALUES (?, ?): %12.0f rows/s (%.3f s, %lld rows, "
              "%lld requests)\n",
              many_rps, t_many, static_cast<long long>(rows_many),
              static_cast<long long>(requests));
  std::printf("      CPU: driver process %.3f s, service %.3f s\n", cpu_driver, cpu_service);
  std::printf("  (2) ADBC ingest of the same batches:       %12.0f rows/s (%.3f s, %lld rows)\n",
              ingest_rps, t_ingest, static_cast<long long>(rows_ingest));
  const double duckdb_rps = static_cast<double>(total_rows) / t_duckdb;
  std::printf("  (3) DuckDB alone, the same INSERT texts:   %12.0f rows/s (%.3f s, %zu "
              "statements)\n",
              duckdb_rps, t_duckdb, statements.size());
  std::printf("  ratio (2)/(1): %.1f  (targets: (1) >= 100000 rows/s, ratio <= 5)\n",
              ingest_rps / many_rps);
  std::printf("  ratio (1)/(3): %.2f  (the share of the SQL-text ceiling that (1) reaches)\n",
              many_rps / duckdb_rps);
  return 0;
}
