// Offline pieces of the snapshot service: the catalog version parser, result-set decoding, the
// store, the process-wide cache (aged through the test hook) and the engine baselines.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <atomic>
#include <thread>

#include "core/connection_internal.h"
#include "metadata/baselines_internal.h"
#include "adbc/catalog_internal.h"
#include "metadata/snapshot_cache_internal.h"
#include "metadata/snapshot_decode_internal.h"
#include "norvale/nv_snapshot.h"
#include "snapshot_fixture.h"
#include "sql/metadata_engine_internal.h"

namespace {

using namespace norvale::adbc;

TEST(CatalogVersion, ParseCases) {
  struct Case {
    const char* body;
    int rc;
    uint64_t sequence, tables_version, pipelines_version;
    const char* message_prefix;
  };
  const Case cases[] = {
      {R"({"sequence": 5, "tables_version": 1.5, "pipelines_version": 9})", 0, 5, 0, 9, ""},
      {R"({"sequence": 18446744073709551615})", 0, UINT64_MAX, 0, 0, ""},
      {R"({"sequence": "5", "tables_version": true, "pipelines_version": null})", 0, 0, 0, 0, ""},
      {R"({"sequence": [1], "other": 3})", 0, 0, 0, 0, ""},
      {R"({})", 0, 0, 0, 0, ""},
      {R"([1, 2])", -1, 0, 0, 0, "/api/v1/events/version response is not a JSON object"},
      {R"("text")", -1, 0, 0, 0, "/api/v1/events/version response is not a JSON object"},
      {R"({"sequence": )", -1, 0, 0, 0, "/api/v1/events/version response parse error: "},
      {"", -1, 0, 0, 0, "/api/v1/events/version response parse error: "},
  };
  for (const Case& c : cases) {
    NVCatalogVersion v;
    std::memset(&v, 0xAB, sizeof(v));
    char err[256] = "";
    EXPECT_EQ(nv_test_parse_catalog_version_response(c.body, std::strlen(c.body), &v, err,
                                                     sizeof(err)),
              c.rc)
        << c.body;
    EXPECT_EQ(v.sequence, c.sequence) << c.body;
    EXPECT_EQ(v.tables_version, c.tables_version) << c.body;
    EXPECT_EQ(v.pipelines_version, c.pipelines_version) << c.body;
    EXPECT_EQ(v.views_version, 0u) << c.body;  // zero-filled even on failure
    EXPECT_EQ(std::string(err).rfind(c.message_prefix, 0), 0u) << c.body << " -> " << err;
  }
  char err[8] = "";
  EXPECT_EQ(parse_catalog_version_response(nullptr, 0, nullptr, err, sizeof(err)), -1);
  EXPECT_STREQ(err, "parse_c");  // truncated to the buffer
}

TEST(ClientFunctions, NullArguments) {
  char err[128];
  NVInfoSchemaSnapshot snap{};
  NVCatalogVersion version{};
  EXPECT_EQ(nv_fetch_snapshot(nullptr, &snap, err, sizeof(err)), -1);
  EXPECT_STREQ(err, "nv_fetch_snapshot: NULL argument");
  EXPECT_EQ(nv_fetch_epoch(nullptr, &version, err, sizeof(err)), -1);
  EXPECT_STREQ(err, "nv_fetch_epoch: NULL argument");
  EXPECT_EQ(nv_route_fetch_info_schema_snapshot(nullptr, nullptr, nullptr, nullptr, nullptr,
                                                &snap, err, sizeof(err)),
            -1);
  EXPECT_STREQ(err, "nv_route_fetch_info_schema_snapshot: NULL argument");
  EXPECT_EQ(nv_route_fetch_epoch("http://127.0.0.1:1", nullptr, nullptr, nullptr, nullptr,
                                 nullptr, err, sizeof(err)),
            -1);
  EXPECT_STREQ(err, "nv_route_fetch_epoch: NULL argument");
  // Nothing is written for a null buffer, and a null record is ignored.
  EXPECT_EQ(nv_fetch_snapshot(nullptr, nullptr, nullptr, 0), -1);
  nv_info_schema_snapshot_free(nullptr);
}

TEST(ClientFunctions, SnapshotFreeZeroesTheRecord) {
  NVInfoSchemaSnapshot snap{};
  snap.epoch = 7;
  for (int i = 0; i < NV_SNAPSHOT_RESULT_SETS; ++i) {
    snap.result_set_data[i] = static_cast<uint8_t*>(std::malloc(4));
    snap.result_set_len[i] = 4;
  }
  nv_info_schema_snapshot_free(&snap);
  EXPECT_EQ(snap.epoch, 0u);
  for (int i = 0; i < NV_SNAPSHOT_RESULT_SETS; ++i) {
    EXPECT_EQ(snap.result_set_data[i], nullptr);
    EXPECT_EQ(snap.result_set_len[i], 0u);
  }
  nv_info_schema_snapshot_free(&snap);  // twice is harmless
}

uint8_t* malloc_copy(const std::string& bytes) {
  auto* block = static_cast<uint8_t*>(std::malloc(bytes.empty() ? 1 : bytes.size()));
  std::memcpy(block, bytes.data(), bytes.size());
  return block;
}

TEST(DecodeResultSet, FirstBatchSchemaOnlyAndFailures) {
  auto one = nvtest::make_batch({{"a", arrow::int32()}, {"b", arrow::utf8()}},
                                {{int64_t{1}, "x"}, {int64_t{2}, nullptr}});
  auto two = nvtest::make_batch({{"a", arrow::int32()}, {"b", arrow::utf8()}},
                                {{int64_t{3}, "y"}});
  const std::string both = nvtest::ipc_bytes(one->schema(), {one, two});
  auto decoded = decode_result_set(2, malloc_copy(both), both.size());
  ASSERT_TRUE(decoded.ok()) << decoded.status().ToString();
  EXPECT_TRUE((*decoded)->Equals(*one));  // later batches are not read

  const std::string schema_only = nvtest::ipc_bytes(one->schema(), {});
  decoded = decode_result_set(4, malloc_copy(schema_only), schema_only.size());
  ASSERT_TRUE(decoded.ok()) << decoded.status().ToString();
  EXPECT_EQ((*decoded)->num_rows(), 0);
  EXPECT_TRUE((*decoded)->schema()->Equals(*one->schema()));
  EXPECT_TRUE((*decoded)->ValidateFull().ok());

  decoded = decode_result_set(3, malloc_copy(""), 0);
  ASSERT_FALSE(decoded.ok());
  EXPECT_EQ(decoded.status().message(), "snapshot RS 3: empty IPC bytes");
  decoded = decode_result_set(5, nullptr, 0);
  EXPECT_EQ(decoded.status().message(), "snapshot RS 5: empty IPC bytes");

  decoded = decode_result_set(1, malloc_copy("not arrow at all"), 16);
  ASSERT_FALSE(decoded.ok());
  EXPECT_EQ(decoded.status().message().rfind("snapshot RS 1: IPC stream open failed: ", 0), 0u)
      << decoded.status().message();

  // A stream cut after its schema message: the schema opens, the first read fails.
  const std::string cut = both.substr(0, schema_only.size() - 8 + 16);
  decoded = decode_result_set(6, malloc_copy(cut), cut.size());
  ASSERT_FALSE(decoded.ok());
  EXPECT_EQ(decoded.status().message().rfind("snapshot RS 6: IPC ReadNext failed: ", 0), 0u)
      << decoded.status().message();
}

TEST(DecodeResultSet, BatchOutlivesTheBlockOwner) {
  // The decoded arrays view the block; it must stay valid after the decoder returns.
  auto one = nvtest::make_batch({{"name", arrow::utf8()}}, {{"a long enough text value"}});
  const std::string bytes = nvtest::ipc_bytes(one->schema(), {one});
  std::shared_ptr<arrow::RecordBatch> kept;
  {
    auto decoded = decode_result_set(0, malloc_copy(bytes), bytes.size());
    ASSERT_TRUE(decoded.ok());
    kept = *decoded;
  }
  EXPECT_TRUE(kept->Equals(*one));
}

TEST(InfoSchemaStore, BatchGetBoundsAndReferences) {
  nvtest::SnapshotConnection conn;
  auto batch = nvtest::tables_batch({{"c", "s", "t", "VIEW"}});
  conn.set(kRsTables, batch);
  EXPECT_EQ(info_schema_batch_get(conn.state(), kRsTables), batch);
  EXPECT_EQ(info_schema_batch_get(conn.state(), kRsColumns), nullptr);
  EXPECT_EQ(info_schema_batch_get(conn.state(), -1), nullptr);
  EXPECT_EQ(info_schema_batch_get(conn.state(), 9), nullptr);
  EXPECT_EQ(info_schema_batch_get(nullptr, kRsTables), nullptr);
  NVAdbcConnectionState no_store{};
  EXPECT_EQ(info_schema_batch_get(&no_store, kRsTables), nullptr);
  info_schema_store_destroy(nullptr);
}

SnapshotBatches full_snapshot(const std::string& marker) {
  SnapshotBatches batches;
  for (int i = 0; i < kSnapshotResultSets; ++i) {
    batches[static_cast<size_t>(i)] =
        nvtest::tables_batch({{marker, "s", "t" + std::to_string(i), "BASE TABLE"}});
  }
  return batches;
}

CachedSnapshot entry(const SnapshotBatches& batches, uint64_t epoch) {
  CachedSnapshot e;
  e.batches = batches;
  e.epoch = epoch;
  e.fetched_at = std::chrono::steady_clock::now();
  e.uri = "http://127.0.0.1:1";
  e.username = "alice";
  return e;
}

// Installs that would have to fetch reach a closed loopback port and fail, so a test can tell a
// cache hit (0) from a fetch (non-zero) without any server.
class SnapshotCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    snapshot_cache_clear();
    conn_.core()->control_plane_url = "http://127.0.0.1:1";
    conn_.core()->connect_timeout = 1;
  }
  void TearDown() override { snapshot_cache_clear(); }
  nvtest::SnapshotConnection conn_;
  const std::string key_ = snapshot_cache_key("http://127.0.0.1:1", "alice");
};

TEST_F(SnapshotCacheTest, KeyJoinsWithUnitSeparator) {
  EXPECT_EQ(snapshot_cache_key("u", "n"), std::string("u\x1fn"));
}

TEST_F(SnapshotCacheTest, FreshEntryIsInstalledWithoutFetch) {
  const auto batches = full_snapshot("cached");
  snapshot_cache_store(key_, entry(batches, 42));
  ASSERT_EQ(info_schema_snapshot_install(conn_.state(), "http://127.0.0.1:1", "alice"), 0);
  for (int i = 0; i < kSnapshotResultSets; ++i) {
    EXPECT_EQ(info_schema_batch_get(conn_.state(), i), batches[static_cast<size_t>(i)]);
  }
  EXPECT_EQ(conn_.state()->info_schema->epoch, 42u);
  EXPECT_TRUE(snapshot_cache_contains_for_test(key_));
}

TEST_F(SnapshotCacheTest, AgeDecidesReuse) {
  snapshot_cache_store(key_, entry(full_snapshot("x"), 3));
  ASSERT_TRUE(snapshot_cache_age_for_test(key_, std::chrono::seconds(299)));
  EXPECT_EQ(info_schema_snapshot_install(conn_.state(), "http://127.0.0.1:1", "alice"), 0);
  ASSERT_TRUE(snapshot_cache_age_for_test(key_, std::chrono::seconds(2)));  // 301 s old
  nvtest::SnapshotConnection second;
  second.core()->control_plane_url = "http://127.0.0.1:1";
  EXPECT_NE(info_schema_snapshot_install(second.state(), "http://127.0.0.1:1", "alice"), 0);
  EXPECT_FALSE(snapshot_cache_contains_for_test(key_));  // erased on lookup
  EXPECT_EQ(info_schema_batch_get(second.state(), kRsTables), nullptr);  // store unchanged
}

TEST_F(SnapshotCacheTest, EpochZeroIsNeverReused) {
  snapshot_cache_store(key_, entry(full_snapshot("zero"), 0));
  EXPECT_NE(info_schema_snapshot_install(conn_.state(), "http://127.0.0.1:1", "alice"), 0);
  EXPECT_EQ(info_schema_batch_get(conn_.state(), kRsTables), nullptr);
}

TEST_F(SnapshotCacheTest, NoKeyWithoutUriAndUser) {
  snapshot_cache_store(snapshot_cache_key("http://127.0.0.1:1", ""), entry(full_snapshot("e"), 9));
  EXPECT_NE(info_schema_snapshot_install(conn_.state(), "http://127.0.0.1:1", ""), 0);
  EXPECT_NE(info_schema_snapshot_install(conn_.state(), "http://127.0.0.1:1", nullptr), 0);
  EXPECT_NE(info_schema_snapshot_install(conn_.state(), nullptr, "alice"), 0);
  EXPECT_EQ(snapshot_cache_size_for_test(), 1u);
}

TEST_F(SnapshotCacheTest, MissingPiecesRefuseInstall) {
  snapshot_cache_store(key_, entry(full_snapshot("x"), 3));
  EXPECT_EQ(info_schema_snapshot_install(nullptr, "http://127.0.0.1:1", "alice"), -1);
  NVAdbcConnectionState no_core{};
  no_core.info_schema = conn_.state()->info_schema;
  EXPECT_EQ(info_schema_snapshot_install(&no_core, "http://127.0.0.1:1", "alice"), -1);
  NVAdbcConnectionState no_store{};
  no_store.connection = conn_.core();
  EXPECT_EQ(info_schema_snapshot_install(&no_store, "http://127.0.0.1:1", "alice"), -1);
}

// The poller borrows the settings of a live connection only: an entry whose connections are
// all released (or that never had one) is not polled.
TEST_F(SnapshotCacheTest, PollTargetIsALiveConnectionsSettings) {
  auto e = entry(full_snapshot("x"), 3);
  snapshot_cache_store("k1", e);  // no connection lent its settings
  EXPECT_EQ(snapshot_cache_poll_target(), nullptr);
  auto live = std::make_shared<PollEndpoint>();
  live->url = "http://127.0.0.1:1";
  live->token = "tok";
  live->ca_certificate = "/ca.pem";
  live->proxy_url = "http://proxy:3128";
  snapshot_cache_lend_endpoint("k1", live);
  auto target = snapshot_cache_poll_target();
  ASSERT_NE(target, nullptr);
  EXPECT_EQ(target->token, "tok");
  EXPECT_STREQ(target->tls().ca_certificate, "/ca.pem");
  EXPECT_STREQ(target->extras().proxy_url, "http://proxy:3128");
  target.reset();
  live.reset();  // the connection is released
  EXPECT_EQ(snapshot_cache_poll_target(), nullptr);
}

// Installs from the cache on many connections at once while other threads read their stores
// and the entry is overwritten: every read sees either nothing or a whole snapshot.
TEST_F(SnapshotCacheTest, ConcurrentInstallsAndReads) {
  const auto batches = full_snapshot("shared");
  snapshot_cache_store(key_, entry(batches, 11));
  constexpr int kThreads = 6;
  constexpr int kRounds = 300;
  std::atomic<int> installed{0};
  std::atomic<bool> torn{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        nvtest::SnapshotConnection conn;
        conn.core()->control_plane_url = "http://127.0.0.1:1";
        std::thread reader([&] {
          for (int k = 0; k < 20; ++k) {
            auto first = info_schema_batch_get(conn.state(), 0);
            auto last = info_schema_batch_get(conn.state(), 8);
            if (first != nullptr && last == nullptr) torn = true;
          }
        });
        if (info_schema_snapshot_install(conn.state(), "http://127.0.0.1:1", "alice") == 0) {
          ++installed;
          if (info_schema_batch_get(conn.state(), 8) != batches[8]) torn = true;
        }
        reader.join();
      }
    });
  }
  std::thread churn([&] {
    for (int i = 0; i < 50; ++i) {
      snapshot_cache_store(key_, entry(batches, 11));
      std::this_thread::yield();
    }
  });
  for (auto& t : threads) t.join();
  churn.join();
  EXPECT_FALSE(torn.load());
  EXPECT_EQ(installed.load(), kThreads * kRounds);  // never cleared: every install hits
}

std::shared_ptr<arrow::RecordBatch> query(const nv_sql::MetadataEngine& engine,
                                          const std::string& sql, nv_sql::ExecuteStatus expect) {
  auto r = engine.try_execute(sql);
  EXPECT_EQ(r.status, expect) << sql << ": " << r.error_message << r.decline_reason;
  if (r.status != nv_sql::ExecuteStatus::Ok || r.batches.empty()) return nullptr;
  return r.batches[0];
}

TEST(Baselines, FullSnapshotAndStubs) {
  nvtest::SnapshotConnection conn;
  for (int i = 0; i < kSnapshotResultSets; ++i) {
    conn.set(i, nvtest::tables_batch({{"cat" + std::to_string(i), "s", "t", "VIEW"}}));
  }
  nv_sql::MetadataEngine engine;
  conn.state()->meta_engine = &engine;
  populate_meta_engine_baselines(conn.state());
  conn.state()->meta_engine = nullptr;

  for (int i = 0; i < kSnapshotResultSets; ++i) {
    auto batch = query(engine, std::string("SELECT table_catalog FROM ") + kBaselineNames[i],
                       nv_sql::ExecuteStatus::Ok);
    ASSERT_NE(batch, nullptr) << kBaselineNames[i];
    EXPECT_EQ(static_cast<const arrow::StringArray&>(*batch->column(0)).GetString(0),
              "cat" + std::to_string(i));
  }
  struct Stub {
    const char* name;
    int fields;
  };
  const Stub stubs[] = {{"routines", 19}, {"parameters", 10}, {"table_privileges", 8},
                        {"column_privileges", 8}, {"usage_privileges", 8}, {"triggers", 17},
                        {"sequences", 12}, {"domains", 8}, {"check_constraints", 4}};
  ASSERT_EQ(empty_stub_count(), std::size(stubs));
  for (const Stub& s : stubs) {
    auto batch = query(engine, std::string("SELECT * FROM information_schema.") + s.name,
                       nv_sql::ExecuteStatus::Ok);
    ASSERT_NE(batch, nullptr) << s.name;
    EXPECT_EQ(batch->num_rows(), 0) << s.name;
    EXPECT_EQ(batch->num_columns(), s.fields) << s.name;
  }
  auto triggers = query(engine, "SELECT * FROM information_schema.triggers",
                        nv_sql::ExecuteStatus::Ok);
  ASSERT_NE(triggers, nullptr);
  for (const auto& f : triggers->schema()->fields()) {
    EXPECT_EQ(f->type()->id(), f->name() == "action_order" ? arrow::Type::INT32
                                                           : arrow::Type::STRING)
        << f->name();
    EXPECT_TRUE(f->nullable());
  }
}

TEST(Baselines, EmptyStoreRegistersOnlyStubsAndNoStoreNothing) {
  nvtest::SnapshotConnection conn;
  nv_sql::MetadataEngine engine;
  conn.state()->meta_engine = &engine;
  populate_meta_engine_baselines(conn.state());
  conn.state()->meta_engine = nullptr;
  query(engine, "SELECT * FROM information_schema.tables", nv_sql::ExecuteStatus::Declined);
  query(engine, "SELECT * FROM information_schema.routines", nv_sql::ExecuteStatus::Ok);

  nv_sql::MetadataEngine bare;
  NVAdbcConnectionState no_store{};
  no_store.meta_engine = &bare;
  populate_meta_engine_baselines(&no_store);
  query(bare, "SELECT * FROM information_schema.routines", nv_sql::ExecuteStatus::Declined);
  populate_meta_engine_baselines(nullptr);
}

}  // namespace
