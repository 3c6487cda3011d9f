// The ingest protocol against the local service: every mode, the server's answers and
// failures, back-pressure and cancel.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "adbc/statement_ingest_internal.h"
#include "core/ingest/ingest_handle_internal.h"
#include "norvale/nv_ingest.h"
#include "support/sanitizer_build.h"
#include "tests/core/ingest/ingest_net_util.h"

namespace {

using nv_ingest_test::Connect;
using nv_ingest_test::ConnPtr;
using nv_ingest_test::IdNameBatch;
using nv_ingest_test::Rows;
using nv_ingest_test::SmallFrame;

struct HandleDeleter {
  void operator()(NVIngestHandle* h) const { nv_ingest_free(h); }
};
using HandlePtr = std::unique_ptr<NVIngestHandle, HandleDeleter>;

struct Outcome {
  int rc = 0;
  NVIngestSummary summary{};
  std::vector<std::string> landed;
};

class IngestNetTest : public nv_test::LocalSvcTest {
 protected:
  void SetUp() override {
    LocalSvcTest::SetUp();
    conn_ = Connect(svc());
    ASSERT_NE(conn_, nullptr);
  }

  void Sql(const std::string& sql) {
    std::string err;
    ASSERT_TRUE(svc().Sql(sql, &err)) << sql << ": " << err;
  }

  HandlePtr Begin(NVIngestConfig cfg, NVConnection* conn = nullptr) {
    NVIngestHandle* h = nullptr;
    char err[512] = "";
    EXPECT_EQ(nv_ingest_begin(conn ? conn : conn_.get(), &cfg, &h, err, sizeof err), 0) << err;
    return HandlePtr(h);
  }

  // Pushes the batches in the handle's format, then finishes.
  Outcome Run(NVIngestHandle* h, int32_t format,
              const std::vector<std::shared_ptr<arrow::RecordBatch>>& batches,
              std::shared_ptr<arrow::Schema> schema = nullptr) {
    Outcome out;
    if (schema == nullptr && !batches.empty()) schema = batches.front()->schema();
    if (format == NV_INGEST_FORMAT_ARROW_IPC && schema != nullptr) {
      auto bytes = *norvale::adbc::encode_schema_ipc(schema);
      EXPECT_EQ(nv_ingest_push_schema(h, bytes->data(), bytes->size()), 0);
    }
    for (const auto& b : batches) {
      auto bytes = format == NV_INGEST_FORMAT_PARQUET ? *norvale::adbc::encode_batch_parquet(b)
                                                      : *norvale::adbc::encode_batch_ipc(*b);
      EXPECT_EQ(nv_ingest_push_batch(h, bytes->data(), bytes->size()), 0)
          << nv_ingest_last_error(h);
    }
    out.rc = nv_ingest_finish(h, &out.summary);
    for (int32_t i = 0; i < out.summary.landed_path_count; ++i) {
      out.landed.emplace_back(out.summary.landed_paths[i]);
    }
    nv_ingest_summary_free(&out.summary);
    return out;
  }

  ConnPtr conn_;
};

NVIngestConfig Config(const char* table, int32_t mode, int32_t format) {
  NVIngestConfig cfg{};
  cfg.target_table = table;
  cfg.mode = mode;
  cfg.payload_format = format;
  cfg.coerce = 1;
  return cfg;
}

TEST_F(IngestNetTest, AppendInBothFormats) {
  for (int32_t format : {NV_INGEST_FORMAT_ARROW_IPC, NV_INGEST_FORMAT_PARQUET}) {
    SCOPED_TRACE(format);
    Sql("CREATE OR REPLACE TABLE ing_append (id BIGINT, name VARCHAR)");
    Sql("INSERT INTO ing_append VALUES (100, 'old')");
    HandlePtr h = Begin(Config("ing_append", NV_INGEST_MODE_APPEND, format));
    Outcome o = Run(h.get(), format, {IdNameBatch(0, 3), IdNameBatch(3, 2)});
    ASSERT_EQ(o.rc, 0) << o.summary.error_message;
    EXPECT_EQ(o.summary.rows_inserted, 5);
    EXPECT_EQ(o.summary.rows_updated, 0);
    EXPECT_EQ(o.summary.idempotent_replay, 0);
    EXPECT_STREQ(o.summary.error_message, "");
    EXPECT_EQ(Rows(svc(), "SELECT id, name FROM ing_append ORDER BY id"),
              (std::vector<std::string>{"0|n0", "1|n1", "2|n2", "3|n3", "4|n4", "100|old"}));
  }
}

TEST_F(IngestNetTest, OverwriteUpsertAndSchemaOnly) {
  Sql("CREATE OR REPLACE TABLE ing_modes (id BIGINT PRIMARY KEY, name VARCHAR)");
  Sql("INSERT INTO ing_modes VALUES (1, 'gone')");
  {
    HandlePtr h = Begin(Config("ing_modes", NV_INGEST_MODE_OVERWRITE, NV_INGEST_FORMAT_PARQUET));
    Outcome o = Run(h.get(), NV_INGEST_FORMAT_PARQUET, {IdNameBatch(0, 4)});
    ASSERT_EQ(o.rc, 0) << o.summary.error_message;
    EXPECT_EQ(o.summary.rows_inserted, 4);
  }
  EXPECT_EQ(Rows(svc(), "SELECT count(*), min(name) FROM ing_modes"),
            (std::vector<std::string>{"4|n0"}));
  {
    const char* keys[] = {"id"};
    NVIngestConfig cfg = Config("ing_modes", NV_INGEST_MODE_UPSERT, NV_INGEST_FORMAT_ARROW_IPC);
    cfg.key_columns = keys;
    cfg.key_column_count = 1;
    HandlePtr h = Begin(cfg);
    Outcome o = Run(h.get(), NV_INGEST_FORMAT_ARROW_IPC, {IdNameBatch(2, 4, "u")});
    ASSERT_EQ(o.rc, 0) << o.summary.error_message;
    EXPECT_EQ(o.summary.rows_updated, 2);
    EXPECT_EQ(o.summary.rows_inserted, 2);
  }
  EXPECT_EQ(Rows(svc(), "SELECT id, name FROM ing_modes ORDER BY id"),
            (std::vector<std::string>{"0|n0", "1|n1", "2|u2", "3|u3", "4|u4", "5|u5"}));
  {
    // A schema and no batches: INIT (with the schema) and EOS, and the server's counts.
    HandlePtr h = Begin(Config("ing_modes", NV_INGEST_MODE_APPEND, NV_INGEST_FORMAT_ARROW_IPC));
    Outcome o = Run(h.get(), NV_INGEST_FORMAT_ARROW_IPC, {}, IdNameBatch(0, 0)->schema());
    ASSERT_EQ(o.rc, 0) << o.summary.error_message;
    EXPECT_EQ(o.summary.rows_inserted, 0);
  }
  EXPECT_EQ(Rows(svc(), "SELECT count(*) FROM ing_modes"), (std::vector<std::string>{"6"}));
}

TEST_F(IngestNetTest, LandReportsItsFiles) {
  NVIngestConfig cfg = Config(nullptr, NV_INGEST_MODE_LAND, NV_INGEST_FORMAT_PARQUET);
  cfg.target_location = "landing/day=1";
  HandlePtr h = Begin(cfg);
  Outcome o = Run(h.get(), NV_INGEST_FORMAT_PARQUET, {IdNameBatch(0, 3), IdNameBatch(3, 3)});
  ASSERT_EQ(o.rc, 0) << o.summary.error_message;
  ASSERT_FALSE(o.landed.empty());
  for (const std::string& path : o.landed) {
    const std::filesystem::path full =
        std::filesystem::path(path).is_absolute() ? path : svc().land_dir() + "/" + path;
    EXPECT_TRUE(std::filesystem::exists(full)) << full;
  }
}

TEST_F(IngestNetTest, IdempotencyKeyReplaysChangeNothing) {
  Sql("CREATE OR REPLACE TABLE ing_idem (id BIGINT, name VARCHAR)");
  NVIngestConfig cfg = Config("ing_idem", NV_INGEST_MODE_APPEND, NV_INGEST_FORMAT_ARROW_IPC);
  const std::string key = "job-" + std::to_string(::getpid()) + "-idem";
  cfg.idempotency_key = key.c_str();
  Outcome first, second;
  {
    HandlePtr h = Begin(cfg);
    first = Run(h.get(), NV_INGEST_FORMAT_ARROW_IPC, {IdNameBatch(0, 3)});
  }
  {
    HandlePtr h = Begin(cfg);
    second = Run(h.get(), NV_INGEST_FORMAT_ARROW_IPC, {IdNameBatch(0, 3)});
  }
  ASSERT_EQ(first.rc, 0) << first.summary.error_message;
  ASSERT_EQ(second.rc, 0) << second.summary.error_message;
  EXPECT_EQ(first.summary.idempotent_replay, 0);
  EXPECT_EQ(second.summary.idempotent_replay, 1);
  EXPECT_EQ(second.summary.rows_inserted, first.summary.rows_inserted);
  EXPECT_EQ(Rows(svc(), "SELECT count(*) FROM ing_idem"), (std::vector<std::string>{"3"}));
}

TEST_F(IngestNetTest, ServerErrorsKeepTheirSqlstate) {
  Sql("CREATE OR REPLACE TABLE ing_err (id BIGINT PRIMARY KEY, name VARCHAR)");
  Sql("INSERT INTO ing_err VALUES (1, 'one')");
  arrow::Int32Builder narrow;
  ASSERT_TRUE(narrow.Append(5).ok());
  auto int32_batch = arrow::RecordBatch::Make(arrow::schema({arrow::field("id", arrow::int32())}),
                                              1, {*narrow.Finish()});
  struct Case {
    const char* name;
    const char* table;
    int32_t coerce;
    std::shared_ptr<arrow::RecordBatch> batch;
    const char* sqlstate;
  };
  const Case cases[] = {
      {"missing table", "no_such_table_x", 1, IdNameBatch(0, 1), "42S02"},
      {"wrong column type", "ing_err", 0, int32_batch, "22018"},
      {"key violation", "ing_err", 1, IdNameBatch(1, 1), "23000"},
  };
  for (const Case& c : cases) {
    NVIngestConfig cfg = Config(c.table, NV_INGEST_MODE_APPEND, NV_INGEST_FORMAT_ARROW_IPC);
    cfg.coerce = c.coerce;
    HandlePtr h = Begin(cfg);
    Outcome o = Run(h.get(), NV_INGEST_FORMAT_ARROW_IPC, {c.batch});
    EXPECT_EQ(o.rc, -1) << c.name;
    EXPECT_STREQ(o.summary.sqlstate, c.sqlstate) << c.name << ": " << o.summary.error_message;
    EXPECT_STRNE(o.summary.error_message, "") << c.name;
  }
  EXPECT_EQ(Rows(svc(), "SELECT id, name FROM ing_err"), (std::vector<std::string>{"1|one"}));
}

TEST_F(IngestNetTest, HttpAndAnswerFailures) {
  Sql("CREATE OR REPLACE TABLE ing_http (id BIGINT, name VARCHAR)");
  const std::string media = "application/vnd.norvale.stream.v1";
  struct Case {
    const char* name;
    nlohmann::json fault;
    const char* sqlstate;
    std::string message;
  };
  const Case cases[] = {
      {"503",
       {{"endpoint", "ingest"}, {"status", 503}, {"body", "busy"}},
       "53000",
       "ingest returned HTTP 503"},
      {"500",
       {{"endpoint", "ingest"}, {"status", 500}, {"body", "boom"}},
       "HY000",
       "ingest returned HTTP 500"},
      {"401",
       {{"endpoint", "ingest"}, {"status", 401}, {"body", "no"}},
       "28000",
       "ingest returned HTTP 401"},
      {"no answer frame",
       {{"endpoint", "ingest"},
        {"status", 200},
        {"content_type", media},
        {"body", SmallFrame(5, "trace only")}},
       "08006",
       "ingest: server response had no STATS or ERROR frame"},
      {"error without sqlstate",
       {{"endpoint", "ingest"},
        {"status", 200},
        {"content_type", media},
        {"body", SmallFrame(4, R"({"message":"odd"})")}},
       "HY000",
       "odd"},
      {"error without message",
       {{"endpoint", "ingest"},
        {"status", 200},
        {"content_type", media},
        {"body", SmallFrame(4, R"({"sqlstate":"40001"})")}},
       "40001",
       "ingest: server reported an error without a message"},
  };
  for (const Case& c : cases) {
    svc().AddFault(c.fault);
    HandlePtr h = Begin(Config("ing_http", NV_INGEST_MODE_APPEND, NV_INGEST_FORMAT_PARQUET));
    Outcome o = Run(h.get(), NV_INGEST_FORMAT_PARQUET, {IdNameBatch(0, 2)});
    EXPECT_EQ(o.rc, -1) << c.name;
    EXPECT_STREQ(o.summary.sqlstate, c.sqlstate) << c.name;
    EXPECT_EQ(o.summary.error_message, c.message) << c.name;
  }
  EXPECT_EQ(Rows(svc(), "SELECT count(*) FROM ing_http"), (std::vector<std::string>{"0"}));
}

TEST_F(IngestNetTest, UnknownTokenIsUnauthenticated) {
  char err[512] = "";
  NVConnection* raw =
      nv_connect(svc().control_plane_url().c_str(), svc().node_url(0).c_str(), nullptr,
                 "not-a-token", nullptr, nullptr, nullptr, nullptr, err, sizeof err);
  ASSERT_NE(raw, nullptr) << err;
  ConnPtr bogus(raw);
  HandlePtr h =
      Begin(Config("ing_any", NV_INGEST_MODE_APPEND, NV_INGEST_FORMAT_PARQUET), bogus.get());
  Outcome o = Run(h.get(), NV_INGEST_FORMAT_PARQUET, {IdNameBatch(0, 1)});
  EXPECT_EQ(o.rc, -1);
  EXPECT_STREQ(o.summary.sqlstate, "28000") << o.summary.error_message;
}

TEST_F(IngestNetTest, ConnectionDroppedMidUploadLeavesTableUnchanged) {
  Sql("CREATE OR REPLACE TABLE ing_cut (id BIGINT, name VARCHAR)");
  svc().AddFault({{"endpoint", "ingest"}, {"delay_ms", 300}, {"close", true}});
  HandlePtr h = Begin(Config("ing_cut", NV_INGEST_MODE_APPEND, NV_INGEST_FORMAT_ARROW_IPC));
  auto schema = *norvale::adbc::encode_schema_ipc(IdNameBatch(0, 0)->schema());
  ASSERT_EQ(nv_ingest_push_schema(h.get(), schema->data(), schema->size()), 0);
  auto bytes = *norvale::adbc::encode_batch_ipc(*IdNameBatch(0, 50000));
  int refused = 0;
  for (int i = 0; i < 40 && refused == 0; ++i) {
    if (nv_ingest_push_batch(h.get(), bytes->data(), bytes->size()) != 0) ++refused;
  }
  NVIngestSummary s{};
  EXPECT_EQ(nv_ingest_finish(h.get(), &s), -1);
  EXPECT_STREQ(s.sqlstate, "08001") << s.error_message;
  EXPECT_EQ(std::string(s.error_message).rfind("ingest transport: ", 0), 0u) << s.error_message;
  EXPECT_EQ(Rows(svc(), "SELECT count(*) FROM ing_cut"), (std::vector<std::string>{"0"}));
}

TEST_F(IngestNetTest, ProducerBlocksAtEightFramesAndCancelReleasesIt) {
  Sql("CREATE OR REPLACE TABLE ing_slow (id BIGINT, name VARCHAR)");
  // The service reads nothing for a while; the kernel's socket buffers fill, then the queue.
  svc().AddFault({{"endpoint", "ingest"}, {"delay_ms", 20000}});
  HandlePtr h = Begin(Config("ing_slow", NV_INGEST_MODE_APPEND, NV_INGEST_FORMAT_PARQUET));
  const std::vector<uint8_t> payload(1 << 20, 0x42);
  std::atomic<int> accepted{0};
  std::atomic<int> last_rc{0};
  std::string last_message;
  std::thread producer([&] {
    for (int i = 0; i < 1000; ++i) {
      const int rc = nv_ingest_push_batch(h.get(), payload.data(), payload.size());
      if (rc != 0) {
        last_rc = rc;
        last_message = nv_ingest_last_error(h.get());
        return;
      }
      ++accepted;
    }
  });
  // Wait until the producer stops making progress.
  int seen = -1;
  for (int i = 0; i < 100 && seen != accepted.load(); ++i) {
    seen = accepted.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  EXPECT_LT(accepted.load(), 1000);
  {
    std::lock_guard lock(h->queue_mutex);
    EXPECT_EQ(h->queue.size(), kIngestQueueFrames);
  }
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(nv_ingest_cancel(h.get()), 0);
  producer.join();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
  EXPECT_EQ(last_rc.load(), -1);
  EXPECT_EQ(last_message, "nv_ingest_push_batch: ingest was cancelled");
  NVIngestSummary s{};
  EXPECT_EQ(nv_ingest_finish(h.get(), &s), -1);
  EXPECT_STREQ(s.sqlstate, "HY008");
}

TEST_F(IngestNetTest, ClientMemoryStaysBoundedByTheQueue) {
  Sql("CREATE OR REPLACE TABLE ing_mem (id BIGINT, name VARCHAR)");
  // Land mode keeps the service's side small: each payload goes to a file.
  NVIngestConfig cfg = Config(nullptr, NV_INGEST_MODE_LAND, NV_INGEST_FORMAT_PARQUET);
  cfg.target_location = "mem";
  HandlePtr h = Begin(cfg);
  auto bytes = *norvale::adbc::encode_batch_parquet(IdNameBatch(0, 200000));
  const int64_t before = nv_ingest_test::SelfResidentBytes();
  int64_t peak = before;
  const int pushes = 64;
  for (int i = 0; i < pushes; ++i) {
    ASSERT_EQ(nv_ingest_push_batch(h.get(), bytes->data(), bytes->size()), 0)
        << nv_ingest_last_error(h.get());
    peak = std::max(peak, nv_ingest_test::SelfResidentBytes());
  }
  NVIngestSummary s{};
  ASSERT_EQ(nv_ingest_finish(h.get(), &s), 0) << s.error_message;
  nv_ingest_summary_free(&s);
  const int64_t total = pushes * bytes->size();
  const int64_t bound = (kIngestQueueFrames + 4) * bytes->size() + (16 << 20);
  std::printf("payload %lld bytes x %d = %lld; resident growth %lld (bound %lld)\n",
              static_cast<long long>(bytes->size()), pushes, static_cast<long long>(total),
              static_cast<long long>(peak - before), static_cast<long long>(bound));
  if (!nv_test::kSanitizerAllocator) {
    EXPECT_LT(peak - before, bound);
  }
  EXPECT_LT(bound, total / 2);  // the test means something only if the stream is far larger
}

}  // namespace

namespace {

TEST_F(IngestNetTest, CancelFromAnotherThreadWhileFinishWaits) {
  Sql("CREATE OR REPLACE TABLE ing_cancel (id BIGINT, name VARCHAR)");
  // The service sits on the request, so finish waits for an answer that does not come.
  svc().AddFault({{"endpoint", "ingest"}, {"delay_ms", 20000}});
  HandlePtr h = Begin(Config("ing_cancel", NV_INGEST_MODE_APPEND, NV_INGEST_FORMAT_PARQUET));
  const auto bytes = *norvale::adbc::encode_batch_parquet(nv_ingest_test::IdNameBatch(0, 10));
  ASSERT_EQ(nv_ingest_push_batch(h.get(), bytes->data(), bytes->size()), 0);
  NVIngestSummary s{};
  std::atomic<int> rc{1};
  std::thread finisher([&] { rc = nv_ingest_finish(h.get(), &s); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(nv_ingest_cancel(h.get()), 0);
  finisher.join();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
  EXPECT_EQ(rc.load(), -1);
  EXPECT_STREQ(s.sqlstate, "HY008");
  EXPECT_STREQ(s.error_message, "Ingest cancelled by client");
  EXPECT_STREQ(nv_ingest_last_error(h.get()), "Ingest cancelled by client");
  // The request carried the library's User-Agent like every other request.
  EXPECT_EQ(svc().Counters()["last_headers"]["ingest"].value("user-agent", ""),
            "Norvale-ODBC/1.0.0-alpha");
}

TEST_F(IngestNetTest, CancelAtAnyMomentEndsCleanly) {
  Sql("CREATE OR REPLACE TABLE ing_race (id BIGINT, name VARCHAR)");
  const auto bytes = *norvale::adbc::encode_batch_parquet(nv_ingest_test::IdNameBatch(0, 100));
  std::mt19937 rng(20261208);
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    HandlePtr h = Begin(Config("ing_race", NV_INGEST_MODE_APPEND, NV_INGEST_FORMAT_PARQUET));
    const auto pause = std::chrono::microseconds(rng() % 20000);
    NVIngestSummary s{};
    int rc = 1;
    std::thread producer([&] {
      for (int i = 0; i < 3; ++i) {
        if (nv_ingest_push_batch(h.get(), bytes->data(), bytes->size()) != 0) break;
      }
      rc = nv_ingest_finish(h.get(), &s);
    });
    std::this_thread::sleep_for(pause);
    EXPECT_EQ(nv_ingest_cancel(h.get()), 0);
    producer.join();
    // Either the server's answer came first (and stands) or the cancel did.
    if (rc == 0) {
      EXPECT_STREQ(s.sqlstate, "");
    } else {
      EXPECT_STREQ(s.sqlstate, "HY008") << s.error_message;
    }
    nv_ingest_summary_free(&s);
  }
}

}  // namespace
