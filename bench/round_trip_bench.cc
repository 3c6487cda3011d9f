// Round trips of small statements against the local service, side by side in one run, each way
// on one kept-alive connection:
//   (1) plain libcurl: one reused easy handle POSTs the driver's own request body to the
//       compute node and reads the framed answer to its end;
//   (2) the driver, loaded with dlopen as a host loads it: a statement per request,
//       ExecuteQuery read to the end of the stream, or ExecuteQuery without a stream (how
//       ADBC runs an update) for an INSERT.
// The ways take turns request by request, so that load from elsewhere falls on both alike.
// Prints median and 99th percentile per statement and the ratios (2)/(1).
// NV_BENCH_REQUESTS sets the requests per way and statement (default 1000).
#include <curl/curl.h>
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/query_internal.h"
#include "norvale_adbc.h"
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

// A database and a connection of the driver.
class DriverClient {
 public:
  bool Open(const std::string& uri, std::string* err) {
    library_ = dlopen(NV_DRIVER_PATH, RTLD_NOW | RTLD_LOCAL);
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
    const std::pair<const char*, std::string> options[] = {
        {"uri", uri},
        {"username", nv_test::LocalSvc::kUser},
        {"password", nv_test::LocalSvc::kPassword}};
    if (driver_.DatabaseNew(&db_, &e) != ADBC_STATUS_OK) return Fail(&e, err);
    for (const auto& [key, value] : options) {
      if (driver_.DatabaseSetOption(&db_, key, value.c_str(), &e) != ADBC_STATUS_OK) {
        return Fail(&e, err);
      }
    }
    if (driver_.DatabaseInit(&db_, &e) != ADBC_STATUS_OK ||
        driver_.ConnectionNew(&conn_, &e) != ADBC_STATUS_OK ||
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

}  // namespace

int main() {
  curl_global_init(CURL_GLOBAL_DEFAULT);
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
