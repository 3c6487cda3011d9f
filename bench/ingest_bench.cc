// Bulk ingest throughput against the local service, measured side by side in one run:
// (1) a plain libcurl chunked upload of already encoded frames (INIT, BATCH..., EOS) to
// "/api/v1/ingest/stream", and (2) the driver's ExecuteUpdate over the same batches, which
// encodes each batch itself; both for Arrow IPC and for Parquet payloads, both in overwrite
// mode into the same table. Prints rows per second and the ratio (2)/(1) per format.
// NV_BENCH_ROWS sets the row count (default 10 million).
#include <arrow/api.h>
#include <arrow/c/bridge.h>
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "adbc/state_internal.h"
#include "adbc/statement_ingest_internal.h"
#include "core/ingest/ingest_frames_internal.h"
#include "core/ingest/ingest_handle_internal.h"
#include "core/ingest/ingest_manifest_internal.h"
#include "core/ingest/ingest_response_internal.h"
#include "norvale/nv_core.h"
#include "norvale/nv_global.h"
#include "support/localsvc_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;
using Batches = std::vector<std::shared_ptr<arrow::RecordBatch>>;
constexpr const char* kTable = "bench_ingest";

Batches make_batches(int64_t total_rows, int64_t rows_per_batch) {
  auto schema =
      arrow::schema({arrow::field("id", arrow::int64()), arrow::field("value", arrow::float64()),
                     arrow::field("name", arrow::utf8()),
                     arrow::field("ts", arrow::timestamp(arrow::TimeUnit::MICRO))});
  Batches out;
  char text[32];
  for (int64_t first = 0; first < total_rows; first += rows_per_batch) {
    const int64_t n = std::min(rows_per_batch, total_rows - first);
    arrow::Int64Builder ids;
    arrow::DoubleBuilder values;
    arrow::StringBuilder names;
    arrow::TimestampBuilder stamps(arrow::timestamp(arrow::TimeUnit::MICRO),
                                   arrow::default_memory_pool());
    (void)ids.Reserve(n);
    (void)values.Reserve(n);
    (void)stamps.Reserve(n);
    (void)names.Reserve(n);
    (void)names.ReserveData(n * 16);
    for (int64_t i = first; i < first + n; ++i) {
      ids.UnsafeAppend(i);
      values.UnsafeAppend(static_cast<double>(i) * 0.25);
      const int len = std::snprintf(text, sizeof text, "row-%010lld", static_cast<long long>(i));
      names.UnsafeAppend(std::string_view(text, static_cast<size_t>(len)));
      stamps.UnsafeAppend(1700000000000000LL + i * 1000);
    }
    out.push_back(arrow::RecordBatch::Make(
        schema, n, {*ids.Finish(), *values.Finish(), *names.Finish(), *stamps.Finish()}));
  }
  return out;
}

// The frames the driver would send, encoded ahead of time.
std::vector<std::vector<uint8_t>> encode_frames(const Batches& batches, int32_t format) {
  NVIngestHandle h;
  h.target_table = kTable;
  h.mode = NV_INGEST_MODE_OVERWRITE;
  h.payload_format = format;
  if (format == NV_INGEST_FORMAT_ARROW_IPC) {
    auto schema = *norvale::adbc::encode_schema_ipc(batches.front()->schema());
    h.schema_bytes.assign(schema->data(), schema->data() + schema->size());
  }
  std::vector<std::vector<uint8_t>> frames;
  frames.push_back(norvale::ingest::make_init_frame(norvale::ingest::build_manifest(h)));
  for (const auto& b : batches) {
    auto bytes = format == NV_INGEST_FORMAT_ARROW_IPC ? *norvale::adbc::encode_batch_ipc(*b)
                                                      : *norvale::adbc::encode_batch_parquet(b);
    frames.push_back(norvale::ingest::make_batch_frame(bytes->data(), bytes->size()));
  }
  frames.push_back(norvale::ingest::make_eos_frame());
  return frames;
}

struct Upload {
  const std::vector<std::vector<uint8_t>>* frames = nullptr;
  size_t frame = 0;
  size_t pos = 0;
  std::string response;
};

size_t read_frames(char* buffer, size_t size, size_t nitems, void* user) {
  auto* u = static_cast<Upload*>(user);
  const size_t room = size * nitems;
  size_t copied = 0;
  while (copied < room && u->frame < u->frames->size()) {
    const auto& f = (*u->frames)[u->frame];
    const size_t n = std::min(room - copied, f.size() - u->pos);
    std::memcpy(buffer + copied, f.data() + u->pos, n);
    copied += n;
    u->pos += n;
    if (u->pos == f.size()) {
      ++u->frame;
      u->pos = 0;
    }
  }
  return copied;
}

size_t keep_response(char* data, size_t size, size_t nmemb, void* user) {
  static_cast<Upload*>(user)->response.append(data, size * nmemb);
  return size * nmemb;
}

// Seconds for one plain chunked upload; negative when the service did not answer with STATS.
double run_plain(const std::string& url, const std::string& token,
                 const std::vector<std::vector<uint8_t>>& frames) {
  CURL* c = curl_easy_init();
  Upload u;
  u.frames = &frames;
  const std::string auth = "Authorization: Bearer " + token;
  curl_slist* headers = nullptr;
  for (const char* h : {"Content-Type: application/vnd.norvale.stream.v1",
                        "Accept: application/vnd.norvale.stream.v1", auth.c_str(),
                        "Transfer-Encoding: chunked", "Expect:"}) {
    headers = curl_slist_append(headers, h);
  }
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_POST, 1L);
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(c, CURLOPT_READFUNCTION, read_frames);
  curl_easy_setopt(c, CURLOPT_READDATA, &u);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, keep_response);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &u);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  const auto start = Clock::now();
  const CURLcode rc = curl_easy_perform(c);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  curl_slist_free_all(headers);
  curl_easy_cleanup(c);
  const auto answer = norvale::ingest::walk_ingest_response(u.response);
  if (rc != CURLE_OK || answer.kind != norvale::ingest::IngestAnswer::Kind::kStats) {
    std::fprintf(stderr, "plain upload failed: %s %s\n", curl_easy_strerror(rc),
                 answer.message.c_str());
    return -1;
  }
  return seconds;
}

// Seconds for one ExecuteUpdate over the batches; negative on failure.
double run_driver(NVConnection* conn, const Batches& batches, int32_t format, int64_t* rows) {
  NVAdbcConnectionState parent{};
  parent.connection = conn;
  AdbcConnection connection{};
  connection.private_data = &parent;
  AdbcStatement stmt{};
  AdbcError error{};
  if (nv_adbc_statement_new(&connection, &stmt, &error) != ADBC_STATUS_OK) return -1;
  nv_adbc_statement_set_option(&stmt, "adbc.ingest.target_table", kTable, &error);
  nv_adbc_statement_set_option(&stmt, "adbc.ingest.mode", "replace", &error);
  nv_adbc_statement_set_option(&stmt, "nv.ingest.payload_format",
                               format == NV_INGEST_FORMAT_PARQUET ? "parquet" : "arrow_ipc",
                               &error);
  ArrowArrayStream stream{};
  (void)arrow::ExportRecordBatchReader(
      *arrow::RecordBatchReader::Make(batches, batches.front()->schema()), &stream);
  nv_adbc_statement_bind_stream(&stmt, &stream, &error);
  const auto start = Clock::now();
  const AdbcStatusCode rc = nv_adbc_statement_execute_update(&stmt, rows, &error);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (rc != ADBC_STATUS_OK) {
    std::fprintf(stderr, "driver ingest failed: %s\n", error.message ? error.message : "");
  }
  if (error.release != nullptr) error.release(&error);
  nv_adbc_statement_release(&stmt, &error);
  return rc == ADBC_STATUS_OK ? seconds : -1;
}

}  // namespace

int main() {
  nv_global_init();
  const char* rows_env = std::getenv("NV_BENCH_ROWS");
  const int64_t total_rows = rows_env != nullptr ? std::atoll(rows_env) : 10000000;

  auto svc = nv_test::LocalSvc::StartEmpty();
  if (svc == nullptr) return 1;
  const std::string token = svc->Login();
  char cerr[512] = "";
  NVConnection* conn =
      nv_connect(svc->control_plane_url().c_str(), svc->node_url(0).c_str(), nullptr, token.c_str(),
                 nullptr, nullptr, nullptr, nullptr, cerr, sizeof cerr);
  if (conn == nullptr) {
    std::fprintf(stderr, "nv_connect failed: %s\n", cerr);
    return 1;
  }
  const std::string url = svc->node_url(0) + "/api/v1/ingest/stream";

  const Batches batches = make_batches(total_rows, 131072);
  std::printf("ingest of %lld rows (int64, float64, string, timestamp) in %zu batches\n",
              static_cast<long long>(total_rows), batches.size());
  struct Format {
    const char* name;
    int32_t code;
  };
  for (const Format f : {Format{"Arrow IPC", NV_INGEST_FORMAT_ARROW_IPC},
                         Format{"Parquet", NV_INGEST_FORMAT_PARQUET}}) {
    const auto frames = encode_frames(batches, f.code);
    size_t bytes = 0;
    for (const auto& fr : frames) bytes += fr.size();
    // The two ways take turns, keeping each one's fastest of two runs.
    double t_plain = 1e9, t_driver = 1e9;
    int64_t rows = 0;
    for (int round = 0; round < 2; ++round) {
      const double p = run_plain(url, token, frames);
      const double d = run_driver(conn, batches, f.code, &rows);
      if (p < 0 || d < 0) return 1;
      t_plain = std::min(t_plain, p);
      t_driver = std::min(t_driver, d);
    }
    const double plain_rps = static_cast<double>(total_rows) / t_plain;
    const double driver_rps = static_cast<double>(total_rows) / t_driver;
    std::printf("%s: %.1f MB framed\n", f.name, static_cast<double>(bytes) / 1e6);
    std::printf("  (1) plain libcurl upload of the encoded frames: %12.0f rows/s (%.2f s)\n",
                plain_rps, t_plain);
    std::printf(
        "  (2) driver ExecuteUpdate, encoding included:    %12.0f rows/s (%.2f s, %lld "
        "rows affected)\n",
        driver_rps, t_driver, static_cast<long long>(rows));
    std::printf("  ratio (2)/(1): %.3f%s\n", driver_rps / plain_rps,
                f.code == NV_INGEST_FORMAT_ARROW_IPC ? "  (target >= 0.8)" : "");
  }
  nv_disconnect(conn);
  return 0;
}
