// Loading rows through bound parameters against the local service, side by side in one run:
//   (1) executemany: INSERT INTO t VALUES (?, ...) with every row bound, run through
//       ExecuteQuery without an output stream, as the driver chooses to run it;
//   (2) ADBC ingest (mode append) of the same batches into a table of the same columns;
//   (3) the multi-row VALUES path: the same executemany with
//       adbc.norvale.statement.bulk_bind_min_rows=0, which sends the rows as SQL text.
// Two row shapes: two BIGINT columns, and a mixed row (BIGINT, DOUBLE, VARCHAR, DATE,
// TIMESTAMP, DECIMAL(18,4)). For each load: rows per second, and the growth of this process's
// peak resident memory during the load over its resident memory before it (the bound batches
// are made beforehand and not counted).
//
// NV_BENCH_ROWS: comma-separated row counts (default 100000,1000000).
// NV_BENCH_VALUES=0: leave out (3), which takes minutes for a million rows.
// NV_BENCH_SWEEP=1: instead, small loads of 1 to 2,000 rows by (1) and (3), the median of
// several runs each, to find the row count from which (1) is faster: the default of
// adbc.norvale.statement.bulk_bind_min_rows.
#include <arrow/api.h>
#include <arrow/c/bridge.h>
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "norvale_adbc.h"
#include "support/localsvc_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;
using Batches = std::vector<std::shared_ptr<arrow::RecordBatch>>;
using DriverInit = AdbcStatusCode (*)(int, void*, AdbcError*);
using Options = std::vector<std::pair<const char*, const char*>>;

constexpr const char* kMinRowsKey = "adbc.norvale.statement.bulk_bind_min_rows";

struct Shape {
  const char* name;
  const char* columns;  // the table's column list
  int placeholders;
};
constexpr Shape kTwoBigints = {"two BIGINT", "(a BIGINT, b BIGINT)", 2};
constexpr Shape kMixed = {"mixed", "(id BIGINT, x DOUBLE, s VARCHAR, d DATE, ts TIMESTAMP, "
                                   "amount DECIMAL(18,4))",
                          6};

// Rows [0, total) of `shape` in batches of 16384, as a host converts its parameter rows.
Batches make_batches(const Shape& shape, int64_t total_rows) {
  constexpr int64_t kPerBatch = 16384;
  const bool mixed = shape.placeholders == kMixed.placeholders;
  const auto ts_type = arrow::timestamp(arrow::TimeUnit::MICRO);
  const auto dec_type = arrow::decimal128(18, 4);
  auto schema = mixed ? arrow::schema({arrow::field("id", arrow::int64()),
                                       arrow::field("x", arrow::float64()),
                                       arrow::field("s", arrow::utf8()),
                                       arrow::field("d", arrow::date32()),
                                       arrow::field("ts", ts_type),
                                       arrow::field("amount", dec_type)})
                      : arrow::schema({arrow::field("a", arrow::int64()),
                                       arrow::field("b", arrow::int64())});
  Batches out;
  char text[32];
  for (int64_t first = 0; first < total_rows; first += kPerBatch) {
    const int64_t n = std::min(kPerBatch, total_rows - first);
    arrow::Int64Builder ids, bs;
    arrow::DoubleBuilder xs;
    arrow::StringBuilder ss;
    arrow::Date32Builder ds;
    arrow::TimestampBuilder tss(ts_type, arrow::default_memory_pool());
    arrow::Decimal128Builder amounts(dec_type);
    for (int64_t i = first; i < first + n; ++i) {
      (void)ids.Append(i);
      if (!mixed) {
        (void)bs.Append(i * 7 - 3);
        continue;
      }
      (void)xs.Append(static_cast<double>(i) * 0.25 + 0.125);
      const int len = std::snprintf(text, sizeof text, "row-%010lld", static_cast<long long>(i));
      (void)ss.Append(std::string_view(text, static_cast<size_t>(len)));
      (void)ds.Append(static_cast<int32_t>(10957 + i % 20000));
      (void)tss.Append(946684800000000LL + i * 1000003LL);
      (void)amounts.Append(arrow::Decimal128(i * 10000 + i % 10000));
    }
    if (mixed) {
      out.push_back(arrow::RecordBatch::Make(
          schema, n,
          {*ids.Finish(), *xs.Finish(), *ss.Finish(), *ds.Finish(), *tss.Finish(),
           *amounts.Finish()}));
    } else {
      out.push_back(arrow::RecordBatch::Make(schema, n, {*ids.Finish(), *bs.Finish()}));
    }
  }
  return out;
}

// A value in kB from /proc/self/status ("VmRSS", "VmHWM").
int64_t status_kb(const char* key) {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind(key, 0) == 0 && line.size() > std::strlen(key) && line[std::strlen(key)] == ':') {
      return std::atoll(line.c_str() + std::strlen(key) + 1);
    }
  }
  return -1;
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

  struct Outcome {
    double seconds = -1;  // negative on failure
    int64_t rows = -1;
    double rss_growth_mb = 0;
  };

  // Runs one statement: with `sql` and bound batches (executemany), with options only and
  // bound batches (ingest), or with `sql` alone.
  Outcome Run(const char* sql, const Options& options, const Batches* batches) {
    AdbcStatement stmt{};
    AdbcError e{};
    d_.StatementNew(&conn_, &stmt, &e);
    for (const auto& [k, v] : options) {
      if (d_.StatementSetOption(&stmt, k, v, &e) != ADBC_STATUS_OK) {
        std::fprintf(stderr, "option %s=%s refused: %s\n", k, v, e.message ? e.message : "");
        if (e.release != nullptr) e.release(&e);
        e = AdbcError{};
      }
    }
    if (sql != nullptr) d_.StatementSetSqlQuery(&stmt, sql, &e);
    if (batches != nullptr) {
      ArrowArrayStream stream{};
      (void)arrow::ExportRecordBatchReader(
          *arrow::RecordBatchReader::Make(*batches, batches->front()->schema()), &stream);
      d_.StatementBindStream(&stmt, &stream, &e);
    }
    // The peak from here on: clear_refs 5 resets it to the present resident size.
    std::ofstream("/proc/self/clear_refs") << "5";
    const int64_t rss_before = status_kb("VmRSS");
    Outcome out;
    const auto start = Clock::now();
    const AdbcStatusCode rc = d_.StatementExecuteQuery(&stmt, nullptr, &out.rows, &e);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    out.rss_growth_mb = static_cast<double>(status_kb("VmHWM") - rss_before) / 1024.0;
    if (rc != ADBC_STATUS_OK) std::fprintf(stderr, "failed: %s\n", e.message ? e.message : "");
    if (e.release != nullptr) e.release(&e);
    d_.StatementRelease(&stmt, &e);
    if (rc == ADBC_STATUS_OK) out.seconds = seconds;
    return out;
  }

  bool Sql(const std::string& sql) { return Run(sql.c_str(), {}, nullptr).seconds >= 0; }

 private:
  AdbcDriver d_{};
  AdbcDatabase db_{};
  AdbcConnection conn_{};
};

std::string insert_sql(const Shape& shape, const char* table) {
  std::string sql = std::string("INSERT INTO ") + table + " VALUES (";
  for (int i = 0; i < shape.placeholders; ++i) sql += i > 0 ? ", ?" : "?";
  return sql + ")";
}

// The best of `rounds` runs of one path, each into a freshly made table.
struct Best {
  Driver::Outcome best;
  double max_rss_growth_mb = 0;
  bool failed = false;
};

Best best_of(Driver& driver, int rounds, const Shape& shape, const char* table,
             const std::function<Driver::Outcome()>& run) {
  Best b;
  for (int r = 0; r < rounds; ++r) {
    if (!driver.Sql(std::string("CREATE OR REPLACE TABLE ") + table + " " + shape.columns)) {
      b.failed = true;
      return b;
    }
    const Driver::Outcome o = run();
    if (o.seconds < 0) {
      b.failed = true;
      return b;
    }
    if (b.best.seconds < 0 || o.seconds < b.best.seconds) b.best = o;
    b.max_rss_growth_mb = std::max(b.max_rss_growth_mb, o.rss_growth_mb);
  }
  return b;
}

std::string uptime_text() {
  std::ifstream f("/proc/loadavg");
  std::string a, b, c;
  f >> a >> b >> c;
  return a + " " + b + " " + c;
}

int compare_loads(Driver& driver, const std::vector<int64_t>& row_counts, bool with_values) {
  const Options bulk = {};
  const Options values_path = {{kMinRowsKey, "0"}};
  const Options ingest = {{"adbc.ingest.target_table", "em_ingest"},
                          {"adbc.ingest.mode", "append"}};
  for (const Shape* shape : {&kTwoBigints, &kMixed}) {
    for (int64_t rows : row_counts) {
      const Batches batches = make_batches(*shape, rows);
      const std::string sql = insert_sql(*shape, "em_rows");
      // The SQL-text path takes minutes for a million rows: one run there.
      const int rounds = 2;
      const int values_rounds = rows > 200000 ? 1 : 2;
      std::printf("%s, %lld rows in %zu batches (load %s)\n", shape->name,
                  static_cast<long long>(rows), batches.size(), uptime_text().c_str());
      const Best many = best_of(driver, rounds, *shape, "em_rows",
                                [&] { return driver.Run(sql.c_str(), bulk, &batches); });
      const Best ing = best_of(driver, rounds, *shape, "em_ingest",
                               [&] { return driver.Run(nullptr, ingest, &batches); });
      const Best text =
          with_values ? best_of(driver, values_rounds, *shape, "em_rows",
                                [&] { return driver.Run(sql.c_str(), values_path, &batches); })
                      : Best{};
      if (many.failed || ing.failed || text.failed) return 1;
      const auto line = [&](const char* what, const Best& b) {
        std::printf("  %-34s %12.0f rows/s  %8.3f s  rows affected %lld  peak RSS growth %.1f MB\n",
                    what, static_cast<double>(rows) / b.best.seconds, b.best.seconds,
                    static_cast<long long>(b.best.rows), b.max_rss_growth_mb);
      };
      line("(1) executemany", many);
      line("(2) ADBC ingest, mode append", ing);
      std::printf("  (1)/(2) %.2f (target >= 0.5)\n", ing.best.seconds / many.best.seconds);
      if (with_values) {
        line("(3) executemany, multi-row VALUES", text);
        std::printf("  (1)/(3) %.1f\n", text.best.seconds / many.best.seconds);
      }
    }
  }
  return 0;
}

// Median seconds of `runs` loads of `batches` with the given options.
double median_load(Driver& driver, const Shape& shape, const std::string& sql,
                   const Options& options, const Batches& batches, int runs) {
  std::vector<double> seconds;
  for (int r = 0; r < runs; ++r) {
    if (!driver.Sql(std::string("CREATE OR REPLACE TABLE em_rows ") + shape.columns)) return -1;
    const Driver::Outcome o = driver.Run(sql.c_str(), options, &batches);
    if (o.seconds < 0) return -1;
    seconds.push_back(o.seconds);
  }
  std::sort(seconds.begin(), seconds.end());
  return seconds[seconds.size() / 2];
}

int sweep(Driver& driver) {
  const Options bulk = {{kMinRowsKey, "1"}};
  const Options values_path = {{kMinRowsKey, "0"}};
  for (const Shape* shape : {&kTwoBigints, &kMixed}) {
    std::printf("%s (load %s): rows, bulk ms, multi-row VALUES ms, VALUES/bulk\n", shape->name,
                uptime_text().c_str());
    const std::string sql = insert_sql(*shape, "em_rows");
    for (int64_t rows : {1, 2, 5, 10, 20, 30, 50, 75, 100, 150, 200, 500, 1000, 2000}) {
      const Batches batches = make_batches(*shape, rows);
      const double b = median_load(driver, *shape, sql, bulk, batches, 9);
      const double v = median_load(driver, *shape, sql, values_path, batches, 9);
      if (b < 0 || v < 0) return 1;
      std::printf("  %6lld %9.2f %9.2f %6.2f\n", static_cast<long long>(rows), b * 1e3, v * 1e3,
                  v / b);
    }
  }
  return 0;
}

std::vector<int64_t> row_counts_from(const char* text) {
  std::vector<int64_t> out;
  std::stringstream in(text);
  std::string piece;
  while (std::getline(in, piece, ',')) {
    if (std::atoll(piece.c_str()) > 0) out.push_back(std::atoll(piece.c_str()));
  }
  return out;
}

}  // namespace

int main() {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const char* rows_env = std::getenv("NV_BENCH_ROWS");
  const char* sweep_env = std::getenv("NV_BENCH_SWEEP");
  const char* values_env = std::getenv("NV_BENCH_VALUES");
  std::string err;
  nv_test::LocalSvcOptions opts;
  opts.seed_demo = false;
  auto svc = nv_test::LocalSvc::Start(opts, &err);
  Driver driver;
  if (svc == nullptr || !driver.Open(*svc)) {
    std::fprintf(stderr, "cannot start the local service or connect: %s\n", err.c_str());
    return 1;
  }
  if (sweep_env != nullptr && sweep_env[0] == '1') return sweep(driver);
  return compare_loads(driver,
                       row_counts_from(rows_env != nullptr ? rows_env : "100000,1000000"),
                       values_env == nullptr || std::strcmp(values_env, "0") != 0);
}
