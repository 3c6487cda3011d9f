// Query result throughput on loopback, measured side by side over the same batches served from
// memory: (1) a plain libcurl download of the framed body into a discarding callback, (2) the
// driver (nv_execute and the ADBC ArrowArrayStream), (3) Arrow Flight DoGet with one stream.
// Prints GB/s of each, the ratios (2)/(1) and (2)/(3), and the peak resident memory of the
// driver run. NV_BENCH_GB sets the result size (default 4).
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
#include <string>
#include <thread>
#include <vector>

#include <arrow/api.h>
#include <arrow/c/bridge.h>
#include <arrow/io/memory.h>
#include <arrow/ipc/writer.h>
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#ifdef NV_HAVE_FLIGHT
#include <arrow/flight/api.h>
#endif

#include "adbc/result_stream_internal.h"
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

std::string ipc_bytes(const std::shared_ptr<arrow::Schema>& schema,
                      const std::shared_ptr<arrow::RecordBatch>& batch) {
  auto sink = arrow::io::BufferOutputStream::Create().ValueOrDie();
  auto writer = arrow::ipc::MakeStreamWriter(sink, schema).ValueOrDie();
  if (batch) (void)writer->WriteRecordBatch(*batch);
  (void)writer->Close();
  return sink->Finish().ValueOrDie()->ToString();
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

std::string base64(const std::string& bytes) {
  static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t g = static_cast<uint8_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) g |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) g |= static_cast<uint8_t>(bytes[i + 2]);
    out += a[(g >> 18) & 63];
    out += a[(g >> 12) & 63];
    out += i + 1 < bytes.size() ? a[(g >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? a[g & 63] : '=';
  }
  return out;
}

// A loopback HTTP server that answers every POST with the same framed body from memory:
// INIT, `count` copies of one BATCH frame, EOS.
class BodyServer {
 public:
  BodyServer(std::string head, std::string batch_frame, std::string tail, int64_t count)
      : head_(std::move(head)), batch_(std::move(batch_frame)), tail_(std::move(tail)),
        count_(count) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
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
  int64_t body_bytes() const {
    return static_cast<int64_t>(head_.size() + tail_.size()) +
           count_ * static_cast<int64_t>(batch_.size());
  }

 private:
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
      std::string request;
      char buf[65536];
      size_t header_end = std::string::npos;
      while (header_end == std::string::npos) {
        const ssize_t n = recv(c, buf, sizeof buf, 0);
        if (n <= 0) break;
        request.append(buf, static_cast<size_t>(n));
        header_end = request.find("\r\n\r\n");
      }
      // Drain the request body, then answer with the whole framed body.
      size_t length = 0;
      if (const size_t at = request.find("Content-Length: "); at != std::string::npos) {
        length = std::strtoull(request.c_str() + at + 16, nullptr, 10);
      }
      while (header_end != std::string::npos && request.size() < header_end + 4 + length) {
        const ssize_t n = recv(c, buf, sizeof buf, 0);
        if (n <= 0) break;
        request.append(buf, static_cast<size_t>(n));
      }
      const std::string headers =
          "HTTP/1.1 200 OK\r\nContent-Type: application/vnd.norvale.stream.v1\r\n"
          "Content-Length: " + std::to_string(body_bytes()) + "\r\nConnection: close\r\n\r\n";
      bool ok = send_all(c, headers) && send_all(c, head_);
      for (int64_t i = 0; ok && i < count_; ++i) ok = send_all(c, batch_);
      if (ok) send_all(c, tail_);
      close(c);
    }
  }

  std::string head_, batch_, tail_;
  int64_t count_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

size_t discard(char*, size_t size, size_t nmemb, void* user) {
  *static_cast<int64_t*>(user) += static_cast<int64_t>(size * nmemb);
  return size * nmemb;
}

double run_plain_curl(const std::string& url, int64_t* bytes) {
  CURL* curl = curl_easy_init();
  curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
  headers = curl_slist_append(headers, "Accept: application/vnd.norvale.stream.v1");
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, "{\"sql\":\"SELECT bench\"}");
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, bytes);
  curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 524288L);
  curl_easy_setopt(curl, CURLOPT_TCP_NODELAY, 1L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  const auto start = Clock::now();
  const CURLcode rc = curl_easy_perform(curl);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (rc != CURLE_OK) std::fprintf(stderr, "plain curl failed: %s\n", curl_easy_strerror(rc));
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return seconds;
}

double run_driver(NVConnection* conn, int64_t* rows) {
  const auto start = Clock::now();
  char err[512] = "";
  NVQueryHandle* q = nv_execute(conn, "SELECT bench", 0, 0, err, sizeof err);
  if (q == nullptr) {
    std::fprintf(stderr, "nv_execute failed: %s\n", err);
    return 0;
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
    *rows += array.length;
    array.release(&array);
  }
  stream.release(&stream);
  return std::chrono::duration<double>(Clock::now() - start).count();
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

  const auto batch = make_batch();
  const std::string batch_ipc = ipc_bytes(batch->schema(), batch);
  std::string batch_payload;
  put_u32(batch_payload, 0);
  put_u32(batch_payload, 0);
  batch_payload += batch_ipc;
  const std::string batch_frame = frame(2, batch_payload);
  const double frames = gb * 1e9 / static_cast<double>(batch_frame.size());
  const int64_t count = std::max<int64_t>(1, static_cast<int64_t>(frames));
  const std::string init = frame(
      1, R"({"streamId":"bench","resultSets":[{"schemaIpc":")" +
             base64(ipc_bytes(batch->schema(), nullptr)) + "\"}]}");
  std::string eos_payload;
  put_u32(eos_payload, 0);
  BodyServer server(init, batch_frame, frame(3, eos_payload), count);
  const std::string base = "http://127.0.0.1:" + std::to_string(server.port());
  const double total_gb = static_cast<double>(server.body_bytes()) / 1e9;
  std::printf("result: %lld batches of %lld rows (int64, float64, string), %.2f GB framed, "
              "%zu bytes per frame\n",
              static_cast<long long>(count), static_cast<long long>(batch->num_rows()), total_gb,
              batch_frame.size());

  char err[512] = "";
  NVConnection* conn = nv_connect(base.c_str(), base.c_str(), nullptr, "bench-token", nullptr,
                                  nullptr, nullptr, nullptr, err, sizeof err);
  if (conn == nullptr) {
    std::fprintf(stderr, "nv_connect failed: %s\n", err);
    return 1;
  }
  // The ways take turns, three rounds, each keeping its fastest run: load from other processes
  // on the machine then falls on all of them alike, and no way pays alone for a cold start.
  int64_t curl_bytes = 0;
  int64_t driver_rows = 0;
  double t_curl = 1e9;
  double t_driver = 1e9;
  int64_t rss_growth = 0;  // largest rise of the resident peak during one driver run
  int64_t rss_peak = 0;
#ifdef NV_HAVE_FLIGHT
  int64_t flight_rows = 0;
  double t_flight = 1e9;
#endif
  for (int round = 0; round < 3; ++round) {
    curl_bytes = 0;
    t_curl = std::min(t_curl, run_plain_curl(base + "/api/v1/query/stream/binary", &curl_bytes));
    reset_peak_rss();
    const int64_t rss_start = peak_rss_bytes();
    driver_rows = 0;
    t_driver = std::min(t_driver, run_driver(conn, &driver_rows));
    const int64_t peak = peak_rss_bytes();
    if (peak - rss_start > rss_growth) {
      rss_growth = peak - rss_start;
      rss_peak = peak;
    }
#ifdef NV_HAVE_FLIGHT
    flight_rows = 0;
    t_flight = std::min(t_flight, run_flight(batch, count, &flight_rows));
#endif
  }
  nv_disconnect(conn);

  const double curl_gbs = static_cast<double>(curl_bytes) / 1e9 / t_curl;
  const double driver_gbs = total_gb / t_driver;
  std::printf("(1) plain libcurl, discarding callback: %7.3f GB/s  (%.2f s, %lld bytes)\n",
              curl_gbs, t_curl, static_cast<long long>(curl_bytes));
  std::printf("(2) driver, ArrowArrayStream:           %7.3f GB/s  (%.2f s, %lld rows)\n",
              driver_gbs, t_driver, static_cast<long long>(driver_rows));
#ifdef NV_HAVE_FLIGHT
  const double flight_gbs = total_gb / t_flight;
  std::printf("(3) Arrow Flight DoGet, one stream:     %7.3f GB/s  (%.2f s, %lld rows)\n",
              flight_gbs, t_flight, static_cast<long long>(flight_rows));
#endif
  std::printf("ratio (2)/(1): %.3f  (target >= 0.8)\n", driver_gbs / curl_gbs);
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
  benchmark::DoNotOptimize(driver_rows);
  return 0;
}
