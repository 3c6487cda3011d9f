// Query result throughput on loopback, measured side by side over the same batches served from
// memory: (1) a plain libcurl download of the framed body into a discarding callback, (2) the
// driver (nv_execute and the ADBC ArrowArrayStream), (3) Arrow Flight DoGet with one stream.
// Prints GB/s of each, the ratios (2)/(1) and (2)/(3), the time to the first batch of (1) and
// (2), and the peak resident memory of the driver run. The server cuts its batches at the
// request's stream_options.max_batch_bytes (4 MiB without one), as the compute node does; the
// plain download posts the driver's own request body. NV_BENCH_GB sets the result size
// (default 4); NV_BENCH_BATCH_BYTES makes the server cut at that size whatever is asked, to
// compare sizes; the connection's stream buffer is the ADBC default (256 MB) unless
// NV_BENCH_STREAM_BUFFER_MB says otherwise.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <arrow/api.h>
#include <arrow/c/bridge.h>
#include <arrow/io/memory.h>
#include <arrow/ipc/writer.h>
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <nlohmann/json.hpp>

#ifdef NV_HAVE_FLIGHT
#include <arrow/flight/api.h>
#endif

#include "adbc/result_stream_internal.h"
#include "core/query_internal.h"
#include "tests/core/query_test_util.h"
#include "util/base64_internal.h"
#include "norvale/nv_core.h"
#include "norvale/nv_global.h"
#include "norvale/nv_query.h"

namespace {

using Clock = std::chrono::steady_clock;

// ~4 MiB of int64, float64 and string columns.
std::shared_ptr<arrow::RecordBatch> make_batch() {
  constexpr int64_t kRows = 110000;
  arrow::Int64Builder ids;
  arrow::DoubleBuilder values;
  arrow::StringBuilder names;
  (void)ids.Reserve(kRows);
  (void)values.Reserve(kRows);
  (void)names.Reserve(kRows);
  (void)names.ReserveData(kRows * 16);
  char text[32];
  for (int64_t i = 0; i < kRows; ++i) {
    ids.UnsafeAppend(i);
    values.UnsafeAppend(static_cast<double>(i) * 0.5);
    std::snprintf(text, sizeof text, "row-%08lld-abc", static_cast<long long>(i));
    (void)names.Append(text);
  }
  auto schema = arrow::schema({arrow::field("id", arrow::int64()),
                               arrow::field("value", arrow::float64()),
                               arrow::field("name", arrow::utf8())});
  return arrow::RecordBatch::Make(schema, kRows, {ids.Finish().ValueOrDie(),
                                                  values.Finish().ValueOrDie(),
                                                  names.Finish().ValueOrDie()});
}

void put_u32(std::string& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(v >> shift));
}

std::string frame(uint8_t type, const std::string& payload) {
  std::string out;
  out.push_back(static_cast<char>(type));
  out.append(3, '\0');
  put_u32(out, static_cast<uint32_t>(payload.size()));
  return out + payload;
}

// The batch size a request asks for: stream_options.max_batch_bytes, 4 MiB without it (as
// the compute node does), or NV_BENCH_BATCH_BYTES when set.
int64_t requested_batch_bytes(const std::string& body) {
  if (const char* forced = std::getenv("NV_BENCH_BATCH_BYTES"); forced && std::atoll(forced) > 0) {
    return std::atoll(forced);
  }
  const auto doc = nlohmann::json::parse(body, nullptr, false);
  if (doc.is_object() && doc.contains("stream_options")) {
    const auto& m = doc["stream_options"]["max_batch_bytes"];
    if (m.is_number_integer() && m.get<int64_t>() > 0) return m.get<int64_t>();
  }
  return 4 * 1024 * 1024;
}

// A loopback HTTP server that answers every POST with the same rows from memory: INIT, BATCH
// frames of as many rows as fit in the requested batch size (the last one holding the rest),
// EOS.
class BodyServer {
 public:
  BodyServer(std::shared_ptr<arrow::RecordBatch> rows, int64_t total_rows, std::string head,
             std::string tail)
      : rows_(std::move(rows)), total_rows_(total_rows), head_(std::move(head)),
        tail_(std::move(tail)) {
    const std::string one = nv_test::ipc_stream(rows_->schema(), rows_);
    bytes_per_row_ = std::max<int64_t>(1, static_cast<int64_t>(one.size()) / rows_->num_rows());
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    int one_flag = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one_flag, sizeof one_flag);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(fd_, 8);
    socklen_t len = sizeof addr;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~BodyServer() {
    stop_ = true;
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    thread_.join();
  }
  int port() const { return port_; }

  // The framing of the answer to a request asking for `batch_bytes`.
  struct Framing {
    int64_t rows_per_batch = 0;
    int64_t full_batches = 0;
    std::string full_frame;
    std::string last_frame;  // the remaining rows; empty when none remain
    int64_t body_bytes = 0;
  };
  const Framing& framing(int64_t batch_bytes) {
    std::lock_guard<std::mutex> lock(mu_);
    const int64_t rows = std::clamp<int64_t>(batch_bytes / bytes_per_row_, 1, total_rows_);
    auto [it, added] = framings_.try_emplace(rows);
    Framing& f = it->second;
    if (!added) return f;
    f.rows_per_batch = rows;
    f.full_batches = total_rows_ / rows;
    f.full_frame = batch_frame(rows);
    if (total_rows_ % rows != 0) f.last_frame = batch_frame(total_rows_ % rows);
    f.body_bytes = static_cast<int64_t>(head_.size() + tail_.size() + f.last_frame.size()) +
                   f.full_batches * static_cast<int64_t>(f.full_frame.size());
    return f;
  }

 private:
  // A BATCH frame of the first `n` rows of the template, repeated as often as needed.
  std::string batch_frame(int64_t n) const {
    arrow::RecordBatchVector copies;
    for (int64_t have = 0; have < n; have += rows_->num_rows()) copies.push_back(rows_);
    auto joined = arrow::ConcatenateRecordBatches(copies).ValueOrDie()->Slice(0, n);
    std::string payload;
    put_u32(payload, 0);
    put_u32(payload, 0);
    payload += nv_test::ipc_stream(joined->schema(), joined);
    return frame(2, payload);
  }

  static bool send_all(int fd, const std::string& data) {
    for (size_t off = 0; off < data.size();) {
      const ssize_t n = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
      if (n <= 0) return false;
      off += static_cast<size_t>(n);
    }
    return true;
  }

  void serve() {
    while (!stop_) {
      const int c = accept(fd_, nullptr, nullptr);
      if (c < 0) continue;
      int one = 1;
      setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      std::string request;
      char buf[65536];
      size_t header_end = std::string::npos;
      while (header_end == std::string::npos) {
        const ssize_t n = recv(c, buf, sizeof buf, 0);
        if (n <= 0) break;
        request.append(buf, static_cast<size_t>(n));
        header_end = request.find("\r\n\r\n");
      }
      // Read the request body, then answer with the framed body it asks for.
      size_t length = 0;
      if (const size_t at = request.find("Content-Length: "); at != std::string::npos) {
        length = std::strtoull(request.c_str() + at + 16, nullptr, 10);
      }
      while (header_end != std::string::npos && request.size() < header_end + 4 + length) {
        const ssize_t n = recv(c, buf, sizeof buf, 0);
        if (n <= 0) break;
        request.append(buf, static_cast<size_t>(n));
      }
      const std::string body =
          header_end == std::string::npos ? std::string() : request.substr(header_end + 4);
      const Framing& f = framing(requested_batch_bytes(body));
      const std::string headers =
          "HTTP/1.1 200 OK\r\nContent-Type: application/vnd.norvale.stream.v1\r\n"
          "Content-Length: " + std::to_string(f.body_bytes) + "\r\nConnection: close\r\n\r\n";
      bool ok = send_all(c, headers) && send_all(c, head_);
      for (int64_t i = 0; ok && i < f.full_batches; ++i) ok = send_all(c, f.full_frame);
      if (ok) ok = send_all(c, f.last_frame);
      if (ok) send_all(c, tail_);
      close(c);
    }
  }

  std::shared_ptr<arrow::RecordBatch> rows_;
  int64_t total_rows_;
  std::string head_, tail_;
  int64_t bytes_per_row_ = 1;
  std::mutex mu_;
  std::map<int64_t, Framing> framings_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A plain download: counts the bytes and notes when the first ones arrived and when the first
// BATCH frame was complete.
struct Download {
  Clock::time_point start;
  int64_t bytes = 0;
  double first_bytes = -1;  // seconds from the start
  double first_batch = -1;
  int64_t frame_start = 0;  // offset of the frame being received
  std::string header;       // its first bytes, up to 8
};

size_t receive(char* data, size_t size, size_t nmemb, void* user) {
  auto* d = static_cast<Download*>(user);
  const int64_t n = static_cast<int64_t>(size * nmemb);
  if (d->first_bytes < 0) d->first_bytes = seconds_since(d->start);
  int64_t pos = 0;  // within this chunk
  while (d->first_batch < 0 && pos < n) {
    if (d->header.size() < 8) {
      const int64_t take = std::min<int64_t>(n - pos, 8 - static_cast<int64_t>(d->header.size()));
      d->header.append(data + pos, static_cast<size_t>(take));
      pos += take;
      continue;
    }
    uint32_t len = 0;
    for (int i = 4; i < 8; ++i) len = (len << 8) | static_cast<uint8_t>(d->header[i]);
    const int64_t end = d->frame_start + 8 + len;
    if (end > d->bytes + n) break;  // the frame ends in a later chunk
    if (d->header[0] == 2) {
      d->first_batch = seconds_since(d->start);
    } else {
      d->frame_start = end;
      d->header.clear();
      pos = end - d->bytes;
    }
  }
  d->bytes += n;
  return size * nmemb;
}

Download run_plain_curl(const std::string& url, const std::string& body) {
  Download d;
  CURL* curl = curl_easy_init();
  curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
  headers = curl_slist_append(headers, "Accept: application/vnd.norvale.stream.v1");
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, receive);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &d);
  curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 524288L);
  curl_easy_setopt(curl, CURLOPT_TCP_NODELAY, 1L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  d.start = Clock::now();
  const CURLcode rc = curl_easy_perform(curl);
  if (rc != CURLE_OK) std::fprintf(stderr, "plain curl failed: %s\n", curl_easy_strerror(rc));
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return d;
}

struct DriverRun {
  double seconds = 0;
  double first_batch = -1;  // seconds until the first batch with rows
  int64_t rows = 0;
};

DriverRun run_driver(NVConnection* conn) {
  DriverRun r;
  const auto start = Clock::now();
  char err[512] = "";
  NVQueryHandle* q = nv_execute(conn, "SELECT bench", 0, 0, err, sizeof err);
  if (q == nullptr) {
    std::fprintf(stderr, "nv_execute failed: %s\n", err);
    return r;
  }
  ArrowArrayStream stream{};
  AdbcError error{};
  nv_adbc_stream_init(&stream, q, &error);
  for (;;) {
    ArrowArray array{};
    if (stream.get_next(&stream, &array) != 0) {
      std::fprintf(stderr, "get_next failed: %s\n", stream.get_last_error(&stream));
      break;
    }
    if (array.release == nullptr) break;
    if (r.first_batch < 0 && array.length > 0) r.first_batch = seconds_since(start);
    r.rows += array.length;
    array.release(&array);
  }
  stream.release(&stream);
  r.seconds = seconds_since(start);
  return r;
}

// Resets the peak resident set (VmHWM) so that the next phase reports its own peak.
void reset_peak_rss() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
}

int64_t peak_rss_bytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtoll(line.c_str() + 6, nullptr, 10) * 1024;
  }
  return -1;
}

#ifdef NV_HAVE_FLIGHT
// Yields the same batch `count` times.
class RepeatReader : public arrow::RecordBatchReader {
 public:
  RepeatReader(std::shared_ptr<arrow::RecordBatch> batch, int64_t count)
      : batch_(std::move(batch)), left_(count) {}
  std::shared_ptr<arrow::Schema> schema() const override { return batch_->schema(); }
  arrow::Status ReadNext(std::shared_ptr<arrow::RecordBatch>* out) override {
    *out = left_-- > 0 ? batch_ : nullptr;
    return arrow::Status::OK();
  }

 private:
  std::shared_ptr<arrow::RecordBatch> batch_;
  int64_t left_;
};

class RepeatServer : public arrow::flight::FlightServerBase {
 public:
  RepeatServer(std::shared_ptr<arrow::RecordBatch> batch, int64_t count)
      : batch_(std::move(batch)), count_(count) {}
  arrow::Status DoGet(const arrow::flight::ServerCallContext&, const arrow::flight::Ticket&,
                      std::unique_ptr<arrow::flight::FlightDataStream>* stream) override {
    *stream = std::make_unique<arrow::flight::RecordBatchStream>(
        std::make_shared<RepeatReader>(batch_, count_));
    return arrow::Status::OK();
  }

 private:
  std::shared_ptr<arrow::RecordBatch> batch_;
  int64_t count_;
};

double run_flight(const std::shared_ptr<arrow::RecordBatch>& batch, int64_t count,
                  int64_t* rows) {
  RepeatServer server(batch, count);
  auto location = arrow::flight::Location::ForGrpcTcp("127.0.0.1", 0).ValueOrDie();
  if (!server.Init(arrow::flight::FlightServerOptions(location)).ok()) return 0;
  auto client_location =
      arrow::flight::Location::ForGrpcTcp("127.0.0.1", server.port()).ValueOrDie();
  auto client = arrow::flight::FlightClient::Connect(client_location).ValueOrDie();
  const auto start = Clock::now();
  auto reader = client->DoGet(arrow::flight::Ticket{"bench"}).ValueOrDie();
  for (;;) {
    auto chunk = reader->Next().ValueOrDie();
    if (chunk.data == nullptr) break;
    *rows += chunk.data->num_rows();
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  (void)server.Shutdown();
  return seconds;
}
#endif

}  // namespace

int main() {
  nv_global_init();
  const char* gb_env = std::getenv("NV_BENCH_GB");
  const double gb = gb_env != nullptr ? std::atof(gb_env) : 4.0;
  const char* buffer_env = std::getenv("NV_BENCH_STREAM_BUFFER_MB");
  const int32_t buffer_mb = buffer_env != nullptr ? std::atoi(buffer_env) : 256;

  const auto batch = make_batch();
  const int64_t row_bytes =
      static_cast<int64_t>(nv_test::ipc_stream(batch->schema(), batch).size()) / batch->num_rows();
  const int64_t total_rows = std::max<int64_t>(1, static_cast<int64_t>(gb * 1e9) / row_bytes);
  const std::string init = frame(
      1, R"({"streamId":"bench","resultSets":[{"schemaIpc":")" +
             norvale::base64_encode(nv_test::ipc_stream(batch->schema(), nullptr)) + "\"}]}");
  std::string eos_payload;
  put_u32(eos_payload, 0);
  BodyServer server(batch, total_rows, init, frame(3, eos_payload));
  const std::string base = "http://127.0.0.1:" + std::to_string(server.port());

  // The plain download posts what the driver posts for this connection.
  const std::string body = *norvale::build_query_body(
      "SELECT bench", static_cast<uint64_t>(buffer_mb) * 1048576u,
      norvale::env_max_inflight_batches());
  const BodyServer::Framing& framing = server.framing(requested_batch_bytes(body));
  const double total_gb = static_cast<double>(framing.body_bytes) / 1e9;
  std::printf("result: %lld rows (int64, float64, string), %.2f GB framed; batches of %lld rows, "
              "%zu bytes per frame (asked for %lld bytes per batch)\n",
              static_cast<long long>(total_rows), total_gb,
              static_cast<long long>(framing.rows_per_batch), framing.full_frame.size(),
              static_cast<long long>(requested_batch_bytes(body)));

  NVConnExtras extras{};
  extras.max_stream_buffer_mb = buffer_mb;
  char err[512] = "";
  NVConnection* conn = nv_connect(base.c_str(), base.c_str(), nullptr, "bench-token", nullptr,
                                  nullptr, nullptr, &extras, err, sizeof err);
  if (conn == nullptr) {
    std::fprintf(stderr, "nv_connect failed: %s\n", err);
    return 1;
  }
  // The ways take turns, three rounds, each keeping its fastest run (and its earliest first
  // batch): load from other processes on the machine then falls on all of them alike, and no
  // way pays alone for a cold start.
  Download plain;
  double t_plain = 1e9, plain_first_bytes = 1e9, plain_first_batch = 1e9;
  DriverRun driver;
  double t_driver = 1e9, driver_first_batch = 1e9;
  int64_t rss_growth = 0;  // largest rise of the resident peak during one driver run
  int64_t rss_peak = 0;
#ifdef NV_HAVE_FLIGHT
  int64_t flight_rows = 0;
  double t_flight = 1e9;
#endif
  for (int round = 0; round < 3; ++round) {
    plain = run_plain_curl(base + "/api/v1/query/stream/binary", body);
    t_plain = std::min(t_plain, seconds_since(plain.start));
    plain_first_bytes = std::min(plain_first_bytes, plain.first_bytes);
    plain_first_batch = std::min(plain_first_batch, plain.first_batch);
    reset_peak_rss();
    const int64_t rss_start = peak_rss_bytes();
    driver = run_driver(conn);
    t_driver = std::min(t_driver, driver.seconds);
    driver_first_batch = std::min(driver_first_batch, driver.first_batch);
    const int64_t peak = peak_rss_bytes();
    if (peak - rss_start > rss_growth) {
      rss_growth = peak - rss_start;
      rss_peak = peak;
    }
#ifdef NV_HAVE_FLIGHT
    flight_rows = 0;
    t_flight =
        std::min(t_flight, run_flight(batch, total_rows / batch->num_rows(), &flight_rows));
#endif
  }
  nv_disconnect(conn);

  const double curl_gbs = static_cast<double>(plain.bytes) / 1e9 / t_plain;
  const double driver_gbs = total_gb / t_driver;
  std::printf("(1) plain libcurl, discarding callback: %7.3f GB/s  (%.2f s, %lld bytes)\n",
              curl_gbs, t_plain, static_cast<long long>(plain.bytes));
  std::printf("(2) driver, ArrowArrayStream:           %7.3f GB/s  (%.2f s, %lld rows)\n",
              driver_gbs, t_driver, static_cast<long long>(driver.rows));
#ifdef NV_HAVE_FLIGHT
  const double flight_gbs = total_gb / t_flight;
  std::printf("(3) Arrow Flight DoGet, one stream:     %7.3f GB/s  (%.2f s, %lld rows)\n",
              flight_gbs, t_flight, static_cast<long long>(flight_rows));
#endif
  std::printf("ratio (2)/(1): %.3f  (target >= 0.8)\n", driver_gbs / curl_gbs);
  std::printf("first batch: (1) first bytes %.2f ms, first BATCH frame received %.2f ms; "
              "(2) first batch %.2f ms, %.2f ms after (1)'s first bytes (target <= 5 ms)\n",
              plain_first_bytes * 1e3, plain_first_batch * 1e3, driver_first_batch * 1e3,
              (driver_first_batch - plain_first_bytes) * 1e3);
#ifdef NV_HAVE_FLIGHT
  std::printf("ratio (2)/(3): %.3f  (target >= 1.0)\n", driver_gbs / flight_gbs);
#else
  std::printf("ratio (2)/(3): not measured (built without Arrow Flight)\n");
#endif
  std::printf("driver run: peak resident memory %.1f MB, %.1f MB above its start, while "
              "streaming %.2f GB (queue: %s batches of at most one frame each)\n",
              static_cast<double>(rss_peak) / 1048576.0,
              static_cast<double>(rss_growth) / 1048576.0, total_gb,
              std::getenv("NV_MAX_INFLIGHT_BATCHES") ? std::getenv("NV_MAX_INFLIGHT_BATCHES")
                                                      : "4");
  benchmark::DoNotOptimize(driver.rows);
  return 0;
}
