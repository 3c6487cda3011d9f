#include <curl/curl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/sanitizer_build.h"
#include "tests/localsvc/net_helpers.h"

namespace nv_test {
namespace {

// The client stops reading twice for a while; meanwhile the service must stay blocked on the
// socket instead of running ahead and buffering the result.
struct SlowReader {
  nv_localsvc::FrameReader frames;
  int64_t received = 0;
  int64_t rows = 0;
  bool eos = false;
  std::string error;
  std::vector<int64_t> pause_at = {48 << 20, 192 << 20};
  std::function<void()> on_pause;

  static size_t Write(char* data, size_t size, size_t n, void* user) {
    auto* r = static_cast<SlowReader*>(user);
    size_t len = size * n;
    r->received += static_cast<int64_t>(len);
    if (!r->pause_at.empty() && r->received >= r->pause_at.front()) {
      r->pause_at.erase(r->pause_at.begin());
      r->on_pause();
    }
    if (!r->frames.feed(data, len)) return 0;
    while (auto f = r->frames.next()) {
      if (f->type == 3) r->eos = true;
      if (f->type == 4) r->error = f->payload;
      if (f->type == 2) {
        auto t = DecodeIpc(f->payload.substr(8));
        if (!t.ok()) return 0;
        r->rows += (*t)->num_rows();
      }
    }
    return len;
  }
};

TEST(LocalSvcBigQuery, TenMillionRowsWithBoundedServerMemory) {
  std::string err;
  LocalSvcOptions o;
  o.seed_demo = false;
  auto svc = LocalSvc::Start(o, &err);
  ASSERT_NE(svc, nullptr) << err;
  std::string token = svc->Login();
  ASSERT_TRUE(svc->Sql("SELECT count(*) FROM range(1000)"));  // warm up DuckDB
  const int64_t baseline = svc->ResidentBytes();
  ASSERT_GT(baseline, 0);

  std::atomic<bool> done{false};
  std::atomic<int64_t> peak{baseline};
  std::thread sampler([&] {
    while (!done) {
      int64_t rss = svc->ResidentBytes();
      if (rss > peak) peak = rss;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });

  SlowReader reader;
  std::vector<int64_t> ahead;  // bytes the service had sent beyond what the client had read
  reader.on_pause = [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    ahead.push_back(svc->Counter("bytes_sent") - reader.received);
  };
  const std::string sql = R"js({"sql":"SELECT i, i * 3 AS j, i + 7 AS k, i % 1000 AS m FROM range(10000000) t(i)"})js";
  CURL* curl = curl_easy_init();
  ASSERT_NE(curl, nullptr);
  curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
  headers = curl_slist_append(headers, ("Authorization: Bearer " + token).c_str());
  std::string url = svc->node_url() + "/api/v1/query/stream/binary";
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, sql.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &SlowReader::Write);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reader);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 512L * 1024);
  CURLcode rc = curl_easy_perform(curl);
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  done = true;
  sampler.join();

  ASSERT_EQ(rc, CURLE_OK);
  EXPECT_TRUE(reader.error.empty()) << reader.error;
  EXPECT_TRUE(reader.eos);
  EXPECT_EQ(reader.rows, 10000000);
  EXPECT_GT(reader.received, 300 << 20);  // 32 bytes a row
  ASSERT_EQ(ahead.size(), 2u);
  // While the reader pauses, only the kernel's socket buffers (up to 32 MiB of receive buffer
  // on loopback here, 4 MiB of send buffer) and one batch lie between the two.
  for (int64_t a : ahead) EXPECT_LT(a, 48 << 20) << "service ran ahead of a paused reader";
  // Far below the 305 MiB result: allocator and DuckDB working memory only.
  if (!nv_test::kSanitizerAllocator) {
    EXPECT_LT(peak - baseline, 200 << 20) << "baseline " << baseline << " peak " << peak;
  }
  std::printf("10M rows: %lld MiB sent, server RSS baseline %lld MiB, peak %lld MiB, "
              "ahead while paused %lld/%lld KiB\n",
              static_cast<long long>(reader.received >> 20),
              static_cast<long long>(baseline >> 20), static_cast<long long>(peak.load() >> 20),
              static_cast<long long>(ahead[0] >> 10), static_cast<long long>(ahead[1] >> 10));
}

}  // namespace
}  // namespace nv_test
