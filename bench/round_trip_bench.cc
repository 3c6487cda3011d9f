// Round trips, side by side in one run, in two parts.
//
// loopback: small statements against the local service, each way on one kept-alive
// connection:
//   (1) plain libcurl: one reused easy handle POSTs the driver's own request body to the
//       compute node and reads the framed answer to its end;
//   (2) the driver, loaded with dlopen as a host loads it: a statement per request,
//       ExecuteQuery read to the end of the stream, or ExecuteQuery without a stream (how
//       ADBC runs an update) for an INSERT.
// The ways take turns request by request, so that load from elsewhere falls on both alike.
// Prints median and 99th percentile per statement and the ratios (2)/(1).
// NV_BENCH_REQUESTS sets the requests per way and statement (default 1000).
//
// delayed: the steps of a host's session over a simulated wide-area link (a SOCKS proxy on
// loopback that delays everything it relays by half the round-trip time each way and charges
// one round trip per new TCP connection; TLS 1.3 to the local service), each step's time
// divided by the RTT, with the requests the service answered during it. Every run is a fresh
// process, so that its first connection is the process's first. With NV_BENCH_BASELINE_DRIVER
// naming another build of the library (an older commit, say), and NV_BENCH_BASELINE_LOCALSVC
// the local service of that commit (optional), its runs alternate with this build's and both
// columns are printed.
// NV_BENCH_RTTS lists the round-trip times in milliseconds (default "0,20,100"; 0 prints the
// steps' milliseconds without a delay), NV_BENCH_RUNS the runs per driver and RTT (default 5;
// the median is printed).
//
// Run: scripts/run ./build/bench/nv_round_trip_bench [loopback|delayed] (default: both)
#include <curl/curl.h>
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <arrow/api.h>
#include <arrow/c/bridge.h>
#include <nlohmann/json.hpp>

#include "core/query_internal.h"
#include "norvale_adbc.h"
#include "support/child_process.h"
#include "support/delay_proxy.h"
#include "support/localsvc_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;
using DriverInit = AdbcStatusCode (*)(int, void*, AdbcError*);

constexpr const char* kQuery = "SELECT 42 AS answer, 'small' AS label FROM range(1)";
constexpr const char* kInsert = "INSERT INTO bench_round_trip VALUES (1, 'one row')";

double millis_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

size_t count_bytes(char*, size_t size, size_t nmemb, void* user) {
  *static_cast<size_t*>(user) += size * nmemb;
  return size * nmemb;
}

// One easy handle, reused for every request so that libcurl keeps its connection alive.
class PlainClient {
 public:
  PlainClient(const std::string& node_url, const std::string& token) {
    url_ = node_url + "/api/v1/query/stream/binary";
    for (const std::string& h :
         {std::string("Content-Type: application/json"),
          std::string("Accept: application/vnd.norvale.stream.v1"),
          "Authorization: Bearer " + token, std::string("X-Norvale-Client: adbc")}) {
      headers_ = curl_slist_append(headers_, h.c_str());
    }
    curl_ = curl_easy_init();
    curl_easy_setopt(curl_, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers_);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, count_bytes);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &received_);
    curl_easy_setopt(curl_, CURLOPT_TCP_NODELAY, 1L);
    curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
  }
  ~PlainClient() {
    curl_easy_cleanup(curl_);
    curl_slist_free_all(headers_);
  }
  PlainClient(const PlainClient&) = delete;
  PlainClient& operator=(const PlainClient&) = delete;

  // Milliseconds for one request; negative on failure.
  double Run(const std::string& body) {
    received_ = 0;
    curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    const auto start = Clock::now();
    const CURLcode rc = curl_easy_perform(curl_);
    const double ms = millis_since(start);
    long status = 0;
    curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status);
    long connects = 0;
    curl_easy_getinfo(curl_, CURLINFO_NUM_CONNECTS, &connects);
    connects_ += connects;
    if (rc != CURLE_OK || status != 200) {
      std::fprintf(stderr, "plain request failed: %s (HTTP %ld)\n", curl_easy_strerror(rc),
                   status);
      return -1;
    }
    return ms;
  }
  long connects() const { return connects_; }

 private:
  std::string url_;
  curl_slist* headers_ = nullptr;
  CURL* curl_ = nullptr;
  size_t received_ = 0;
  long connects_ = 0;
};

std::string take_message(AdbcError* e) {
  std::string m = e->message != nullptr ? e->message : "(no message)";
  if (e->release != nullptr) e->release(e);
  *e = AdbcError{};
  return m;
}

using Options = std::vector<std::pair<std::string, std::string>>;

Options login_options(const std::string& uri) {
  return {{"uri", uri},
          {"username", nv_test::LocalSvc::kUser},
          {"password", nv_test::LocalSvc::kPassword}};
}

// A database and a connection of a driver library, loaded with dlopen.
class DriverClient {
 public:
  // Loads the library and sets up the database (AdbcDatabaseInit not yet called).
  bool Load(const char* library, const Options& options, std::string* err) {
    library_ = dlopen(library, RTLD_NOW | RTLD_LOCAL);
    if (library_ == nullptr) {
      *err = dlerror();
      return false;
    }
    auto init = reinterpret_cast<DriverInit>(dlsym(library_, "AdbcDriverInit"));
    AdbcError e{};
    if (init == nullptr || init(ADBC_VERSION_1_0_0, &driver_, &e) != ADBC_STATUS_OK) {
      *err = "AdbcDriverInit failed";
      return false;
    }
    if (driver_.DatabaseNew(&db_, &e) != ADBC_STATUS_OK) return Fail(&e, err);
    for (const auto& [key, value] : options) {
      if (driver_.DatabaseSetOption(&db_, key.c_str(), value.c_str(), &e) != ADBC_STATUS_OK) {
        return Fail(&e, err);
      }
    }
    return true;
  }
  // AdbcDatabaseInit, then a connection.
  bool Open(std::string* err) {
    AdbcError e{};
    if (driver_.DatabaseInit(&db_, &e) != ADBC_STATUS_OK) return Fail(&e, err);
    return Reconnect(err);
  }
  bool Open(const std::string& uri, std::string* err) {
    return Load(NV_DRIVER_PATH, login_options(uri), err) && Open(err);
  }
  // Releases the connection (when there is one) and opens a new one on the same database.
  bool Reconnect(std::string* err) {
    AdbcError e{};
    if (conn_.private_data != nullptr) driver_.ConnectionRelease(&conn_, &e);
    conn_ = AdbcConnection{};
    if (driver_.ConnectionNew(&conn_, &e) != ADBC_STATUS_OK ||
        driver_.ConnectionInit(&conn_, &db_, &e) != ADBC_STATUS_OK) {
      return Fail(&e, err);
    }
    return true;
  }
  ~DriverClient() {
    AdbcError e{};
    if (conn_.private_data != nullptr) driver_.ConnectionRelease(&conn_, &e);
    if (db_.private_data != nullptr) driver_.DatabaseRelease(&db_, &e);
  }

  // An ingest in mode create of a new two-column table; false (with a message) on failure.
  bool IngestCreate(const std::string& table, std::string* err) {
    arrow::Int64Builder ids;
    arrow::StringBuilder labels;
    std::shared_ptr<arrow::Array> id_array, label_array;
    if (!ids.AppendValues({1, 2}).ok() || !labels.AppendValues({"one", "two"}).ok() ||
        !ids.Finish(&id_array).ok() || !labels.Finish(&label_array).ok()) {
      *err = "cannot build the batch";
      return false;
    }
    const auto batch = arrow::RecordBatch::Make(
        arrow::schema({arrow::field("id", arrow::int64()), arrow::field("label", arrow::utf8())}),
        2, {id_array, label_array});
    ArrowArray array{};
    ArrowSchema schema{};
    if (!arrow::ExportRecordBatch(*batch, &array, &schema).ok()) {
      *err = "export failed";
      return false;
    }
    AdbcError e{};
    AdbcStatement stmt{};
    int64_t rows = -1;
    bool ok = driver_.StatementNew(&conn_, &stmt, &e) == ADBC_STATUS_OK &&
              driver_.StatementSetOption(&stmt, "adbc.ingest.target_table", table.c_str(), &e) ==
                  ADBC_STATUS_OK &&
              driver_.StatementSetOption(&stmt, "adbc.ingest.mode", "adbc.ingest.mode.create",
                                         &e) == ADBC_STATUS_OK &&
              driver_.StatementBind(&stmt, &array, &schema, &e) == ADBC_STATUS_OK &&
              driver_.StatementExecuteQuery(&stmt, nullptr, &rows, &e) == ADBC_STATUS_OK &&
              rows == 2;
    if (array.release != nullptr) array.release(&array);
    if (schema.release != nullptr) schema.release(&schema);
    if (!ok) *err = take_message(&e);
    driver_.StatementRelease(&stmt, &e);
    return ok;
  }

  // GetTableSchema of `table`; false (with a message) on failure.
  bool TableSchema(const std::string& table, std::string* err) {
    AdbcError e{};
    ArrowSchema schema{};
    if (driver_.ConnectionGetTableSchema(&conn_, nullptr, nullptr, table.c_str(), &schema,
                                         &e) != ADBC_STATUS_OK) {
      *err = take_message(&e);
      return false;
    }
    schema.release(&schema);
    return true;
  }

  // Milliseconds for one statement (read to the end of its stream when `stream` is set);
  // negative on failure.
  double Run(const char* sql, bool stream) {
    AdbcError e{};
    AdbcStatement stmt{};
    const auto start = Clock::now();
    bool ok = driver_.StatementNew(&conn_, &stmt, &e) == ADBC_STATUS_OK &&
              driver_.StatementSetSqlQuery(&stmt, sql, &e) == ADBC_STATUS_OK;
    int64_t rows = -1;
    if (ok && stream) {
      ArrowArrayStream out{};
      ok = driver_.StatementExecuteQuery(&stmt, &out, &rows, &e) == ADBC_STATUS_OK;
      while (ok) {
        ArrowArray array{};
        ok = out.get_next(&out, &array) == 0;
        if (array.release == nullptr) break;
        array.release(&array);
      }
      if (out.release != nullptr) out.release(&out);
    } else if (ok) {
      ok = driver_.StatementExecuteQuery(&stmt, nullptr, &rows, &e) == ADBC_STATUS_OK &&
           rows == 1;
    }
    driver_.StatementRelease(&stmt, &e);
    const double ms = millis_since(start);
    if (!ok) {
      std::fprintf(stderr, "driver statement failed: %s\n", take_message(&e).c_str());
      return -1;
    }
    return ms;
  }

 private:
  bool Fail(AdbcError* e, std::string* err) {
    *err = take_message(e);
    return false;
  }

  void* library_ = nullptr;  // kept loaded until the process ends, as hosts do
  AdbcDriver driver_{};
  AdbcDatabase db_{};
  AdbcConnection conn_{};
};

struct Summary {
  double median = 0;
  double p99 = 0;
};

Summary summarise(std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  const auto at = [&](double q) {
    return ms[std::min(ms.size() - 1, static_cast<size_t>(q * static_cast<double>(ms.size())))];
  };
  return {at(0.5), at(0.99)};
}

// Runs `requests` turns of both ways (after a short warm-up); false when a request failed.
bool compare(const char* title, int requests, PlainClient& plain, DriverClient& driver,
             const char* sql, bool stream) {
  const std::string body =
      *norvale::build_query_body(sql, norvale::env_max_inflight_bytes(),
                                 norvale::env_max_inflight_batches());
  std::vector<double> plain_ms, driver_ms;
  for (int i = -20; i < requests; ++i) {
    const double p = plain.Run(body);
    const double d = driver.Run(sql, stream);
    if (p < 0 || d < 0) return false;
    if (i < 0) continue;
    plain_ms.push_back(p);
    driver_ms.push_back(d);
  }
  const Summary ps = summarise(plain_ms), ds = summarise(driver_ms);
  std::printf("%s (%d requests each)\n", title, requests);
  std::printf("  (1) plain libcurl:  median %7.3f ms   p99 %7.3f ms\n", ps.median, ps.p99);
  std::printf("  (2) driver:         median %7.3f ms   p99 %7.3f ms\n", ds.median, ds.p99);
  std::printf("  ratio (2)/(1): median %.3f  p99 %.3f  (target <= 1.2, driver median < 5 ms)\n",
              ds.median / ps.median, ds.p99 / ps.p99);
  return true;
}

int loopback_main() {
  const char* n_env = std::getenv("NV_BENCH_REQUESTS");
  const int requests = std::max(1, n_env != nullptr ? std::atoi(n_env) : 1000);

  auto svc = nv_test::LocalSvc::StartEmpty();
  if (svc == nullptr) return 1;
  std::string err;
  if (!svc->Sql("CREATE TABLE bench_round_trip (id BIGINT, label VARCHAR)", &err)) {
    std::fprintf(stderr, "cannot create the table: %s\n", err.c_str());
    return 1;
  }
  DriverClient driver;
  if (!driver.Open(svc->control_plane_url(), &err)) {
    std::fprintf(stderr, "driver connection failed: %s\n", err.c_str());
    return 1;
  }
  PlainClient plain(svc->node_url(0), svc->Login());

  const bool ok =
      compare("small query, ExecuteQuery to the end of the stream", requests, plain, driver,
              kQuery, true) &&
      compare("small INSERT, ExecuteUpdate", requests, plain, driver, kInsert, false);
  if (!ok) return 1;
  std::printf("connections: plain libcurl opened %ld; the service saw %lld query requests on "
              "%lld connections\n",
              plain.connects(), static_cast<long long>(svc->Counter("requests.query")),
              static_cast<long long>(svc->Counter("connections")));
  return 0;
}

// ---- delayed: one fresh process per run ------------------------------------------------------

// The steps of one run, in order, with their targets in round trips (0: none).
struct Step {
  const char* key;
  const char* title;
  double target_rtt;
};
constexpr Step kSteps[] = {
    {"connect_first", "first connection of the process", 4},
    {"query_first", "  its first query (new connection to the node)", 0},
    {"connect_later", "later connection, same user", 2},
    {"query_later", "  its first query", 1},
    {"ingest_unknown", "  ingest mode create, new table, catalog not loaded", 2},
    {"catalog_after_write", "  first catalog call, after that ingest", 1},
    {"ingest_fresh", "  ingest mode create, new table, catalog just loaded", 2},
    {"connect_third", "third connection, same user", 2},
    {"catalog_new_connection", "  first catalog call, after the process changed the catalog", 1},
    {"queries_10", "  10 sequential small queries", 10},
};

double time_ms(const std::function<bool()>& step) {
  const auto start = Clock::now();
  return step() ? millis_since(start) : -1;
}

// Requests the service has answered so far (every endpoint), read over a connection of its
// own outside the timed steps.
int64_t service_requests(const std::string& uri, const std::string& admin_token) {
  const std::string url = uri + "/api/v1/admin/faults";
  std::string body;
  CURL* curl = curl_easy_init();
  curl_slist* headers = curl_slist_append(nullptr, ("Authorization: Bearer " + admin_token).c_str());
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, +[](char* d, size_t size, size_t n, void* u) {
    static_cast<std::string*>(u)->append(d, size * n);
    return size * n;
  });
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  const CURLcode rc = curl_easy_perform(curl);
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  if (rc != CURLE_OK) return -1;
  const nlohmann::json doc = nlohmann::json::parse(body, nullptr, false);
  if (!doc.is_object() || !doc.contains("counters")) return -1;
  int64_t total = 0;
  for (const auto& [name, value] : doc["counters"].items()) {
    if (name.rfind("requests.", 0) == 0 && value.is_number_integer()) total += value.get<int64_t>();
  }
  return total;
}

// One run through a driver library: for each step its milliseconds and the requests the
// service answered during it, on standard output, one "key ms requests" line per step. `tag`
// keeps the run's tables apart from other runs'.
int child_main(const char* library, const std::string& uri, const std::string& ca_bundle,
               const std::string& proxy, const std::string& admin_token, const std::string& tag) {
  Options options = login_options(uri);
  options.emplace_back("adbc.norvale.tls.ca_bundle", ca_bundle);
  options.emplace_back("adbc.norvale.proxy_url", proxy);
  DriverClient driver;
  std::string err;
  if (!driver.Load(library, options, &err)) {
    std::fprintf(stderr, "load: %s\n", err.c_str());
    return 2;
  }
  const std::string first = "rt_" + tag + "_a", second = "rt_" + tag + "_b";
  const std::pair<const char*, std::function<bool()>> steps[] = {
      {"connect_first", [&] { return driver.Open(&err); }},
      {"query_first", [&] { return driver.Run(kQuery, true) >= 0; }},
      {"connect_later", [&] { return driver.Reconnect(&err); }},
      {"query_later", [&] { return driver.Run(kQuery, true) >= 0; }},
      {"ingest_unknown", [&] { return driver.IngestCreate(first, &err); }},
      {"catalog_after_write", [&] { return driver.TableSchema(first, &err); }},
      {"ingest_fresh", [&] { return driver.IngestCreate(second, &err); }},
      {"connect_third", [&] { return driver.Reconnect(&err); }},
      {"catalog_new_connection", [&] { return driver.TableSchema(second, &err); }},
      {"queries_10",
       [&] {
         for (int i = 0; i < 10; ++i) {
           if (driver.Run(kQuery, true) < 0) return false;
         }
         return true;
       }},
  };
  for (const auto& [key, step] : steps) {
    const int64_t before = service_requests(uri, admin_token);
    const double ms = time_ms(step);
    if (ms < 0) {
      std::fprintf(stderr, "%s failed: %s\n", key, err.c_str());
      return 3;
    }
    // A reservation confirm that runs beside the step may be counted with the next one.
    std::printf("%s %.3f %lld\n", key, ms,
                static_cast<long long>(service_requests(uri, admin_token) - before));
  }
  std::fflush(stdout);
  return 0;
}

struct StepResult {
  double ms = 0;
  double requests = 0;
};

// Runs one child; its step results by key (empty on failure).
std::map<std::string, StepResult> run_child(const std::string& library,
                                            const nv_test::LocalSvc& svc,
                                            const nv_test::DelayProxy& proxy,
                                            const std::string& tag) {
  int status = -1;
  const std::string out =
      nv_test::run_self({"--child", library, svc.control_plane_url(), svc.tls_files().ca_cert,
                         proxy.url(), svc.admin_token(), tag},
                        &status);
  if (status != 0) return {};
  std::map<std::string, StepResult> results;
  std::istringstream lines(out);
  std::string key;
  StepResult r;
  while (lines >> key >> r.ms >> r.requests) results[key] = r;
  return results;
}

double median(std::vector<double> v) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::vector<int> rtts_from_env() {
  const char* text = std::getenv("NV_BENCH_RTTS");
  std::vector<int> out;
  std::istringstream in(text != nullptr && text[0] != '\0' ? text : "0,20,100");
  std::string item;
  while (std::getline(in, item, ',')) {
    const int ms = std::atoi(item.c_str());
    if (ms >= 0) out.push_back(ms);
  }
  return out;
}

const char* env_or_null(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0' ? value : nullptr;
}

int delayed_main() {
  const char* runs_env = std::getenv("NV_BENCH_RUNS");
  const int runs = std::max(1, runs_env != nullptr ? std::atoi(runs_env) : 5);
  // A way is a driver library with a service of its own: an older build of the library runs
  // against the local service of its own commit, which behaves as the service did then.
  struct Way {
    const char* name;
    std::string library;
    std::unique_ptr<nv_test::LocalSvc> svc;
  };
  std::vector<Way> ways;
  auto start = [](const char* binary) {
    nv_test::LocalSvcOptions opts;
    opts.seed_demo = false;
    opts.tls = true;
    if (binary != nullptr) opts.binary = binary;
    std::string err;
    auto svc = nv_test::LocalSvc::Start(opts, &err);
    if (svc == nullptr) std::fprintf(stderr, "local service: %s\n", err.c_str());
    return svc;
  };
  if (const char* baseline = env_or_null("NV_BENCH_BASELINE_DRIVER")) {
    ways.push_back({"baseline", baseline, start(env_or_null("NV_BENCH_BASELINE_LOCALSVC"))});
  }
  ways.push_back({"this build", NV_DRIVER_PATH, start(nullptr)});
  for (const Way& w : ways) {
    if (w.svc == nullptr) return 1;
  }
  int tag = 0;
  for (const int rtt_ms : rtts_from_env()) {
    nv_test::DelayProxy proxy{std::chrono::milliseconds(rtt_ms)};
    if (!proxy.ok()) {
      std::fprintf(stderr, "no proxy\n");
      return 1;
    }
    // Step times, requests and TCP connections per way, run by run; the ways take turns.
    std::vector<std::map<std::string, std::vector<double>>> ms(ways.size()), requests(ways.size());
    std::vector<std::vector<double>> connections(ways.size());
    for (int run = 0; run < runs; ++run) {
      for (size_t w = 0; w < ways.size(); ++w) {
        const int before = proxy.connections();
        const auto t = run_child(ways[w].library, *ways[w].svc, proxy, std::to_string(++tag));
        if (t.empty()) {
          std::fprintf(stderr, "%s: a run failed\n", ways[w].name);
          return 1;
        }
        for (const auto& [key, r] : t) {
          ms[w][key].push_back(r.ms);
          requests[w][key].push_back(r.requests);
        }
        connections[w].push_back(proxy.connections() - before);
      }
    }
    // Without a delay the times are milliseconds: what the steps cost besides round trips.
    const double unit = rtt_ms > 0 ? rtt_ms : 1.0;
    std::printf("\nRTT %d ms, TLS 1.3, %d runs each (median): time in %s (requests the "
                "service answered)\n",
                rtt_ms, runs, rtt_ms > 0 ? "round trips" : "milliseconds");
    std::printf("  %-62s %6s", "step", "target");
    for (const Way& w : ways) std::printf(" %16s", w.name);
    std::printf("\n");
    for (const Step& step : kSteps) {
      std::printf("  %-62s ", step.title);
      const std::string target =
          step.target_rtt > 0 ? "<=" + std::to_string(static_cast<int>(step.target_rtt)) : "";
      std::printf("%6s", target.c_str());
      for (size_t w = 0; w < ways.size(); ++w) {
        std::printf("   %7.2f (%4.0f)", median(ms[w][step.key]) / unit,
                    median(requests[w][step.key]));
      }
      std::printf("\n");
    }
    std::printf("  %-62s %6s", "TCP connections opened per run", "");
    for (size_t w = 0; w < ways.size(); ++w) std::printf(" %16.0f", median(connections[w]));
    std::printf("\n");
    std::fflush(stdout);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  if (argc == 8 && std::strcmp(argv[1], "--child") == 0) {
    return child_main(argv[2], argv[3], argv[4], argv[5], argv[6], argv[7]);
  }
  const std::string part = argc > 1 ? argv[1] : "";
  if (part != "" && part != "loopback" && part != "delayed") {
    std::fprintf(stderr, "usage: %s [loopback|delayed]\n", argv[0]);
    return 2;
  }
  if (part != "delayed" && loopback_main() != 0) return 1;
  if (part != "loopback" && delayed_main() != 0) return 1;
  return 0;
}
