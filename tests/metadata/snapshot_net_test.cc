// The snapshot service against the local service: fetch and its failure messages (driven
// through the fault knobs), the process-wide cache and the poller, and metadata calls served
// without any request reaching a compute node.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <thread>

#include "adbc/catalog_internal.h"
#include "metadata/snapshot_cache_internal.h"
#include "norvale/nv_core.h"
#include "norvale/nv_snapshot.h"
#include "norvale/nv_stream.h"
#include "snapshot_fixture.h"
#include "sql/metadata_engine_internal.h"
#include "support/localsvc_fixture.h"

namespace {

using namespace norvale::adbc;

// ---- Scripted snapshot bodies ------------------------------------------------------------------
// Only bytes below 0x80 survive the JSON fault body, which is enough for every frame here: the
// payloads stay under 128 bytes and the BATCH contents are placeholders, never decoded by the
// fetch itself.

std::string frame(uint8_t type, const std::string& payload) {
  std::string out(8, '\0');
  out[0] = static_cast<char>(type);
  const uint32_t len = static_cast<uint32_t>(payload.size());
  for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<char>((len >> (8 * (3 - i))) & 0xff);
  return out + payload;
}

std::string batch_frame(uint32_t index, const std::string& data) {
  std::string payload(8, '\0');
  for (int i = 0; i < 4; ++i) payload[i] = static_cast<char>((index >> (8 * (3 - i))) & 0xff);
  return frame(NV_FRAME_BATCH, payload + data);
}

std::string init_frame(const std::string& json) { return frame(NV_FRAME_INIT, json); }
std::string eos_frame() { return frame(NV_FRAME_EOS, std::string(4, '\0')); }

std::string all_batches(std::set<uint32_t> skip = {}) {
  std::string out;
  for (uint32_t i = 0; i < 9; ++i) {
    if (skip.count(i) == 0) out += batch_frame(i, "rs" + std::to_string(i));
  }
  return out;
}

struct FetchResult {
  int rc;
  std::string err;
  NVInfoSchemaSnapshot snap;
};

class SnapshotNetTest : public nv_test::LocalSvcTest {
 protected:
  void SetUp() override {
    LocalSvcTest::SetUp();
    snapshot_cache_clear();
    token_ = svc().Login();
    ASSERT_FALSE(token_.empty());
  }
  void TearDown() override { snapshot_cache_clear(); }

  FetchResult fetch(const std::string& base) {
    FetchResult r{};
    char err[512] = "";
    r.rc = nv_route_fetch_info_schema_snapshot(base.c_str(), token_.c_str(), nullptr, nullptr,
                                               nullptr, &r.snap, err, sizeof(err));
    r.err = err;
    return r;
  }
  FetchResult fetch_scripted(const std::string& body, int status = 200) {
    svc().AddFault({{"endpoint", "snapshot"},
                    {"status", status},
                    {"body", body},
                    {"content_type", "application/vnd.norvale.stream.v1"}});
    return fetch(svc().control_plane_url());
  }
  uint64_t current_sequence() {
    NVCatalogVersion v{};
    char err[256] = "";
    EXPECT_EQ(nv_route_fetch_epoch((svc().control_plane_url() + "/").c_str(), token_.c_str(),
                                   nullptr, nullptr, nullptr, &v, err, sizeof(err)),
              0)
        << err;
    return v.sequence;
  }
  std::string token_;
};

// An ADBC connection set up as connection initialisation and a first metadata call do it: a
// core connection, the store and engine, then the snapshot install and baselines.
class NetConnection {
 public:
  NetConnection(const nv_test::LocalSvc& svc, const char* username, const char* password,
                const char* token) {
    db_.uri = strdup(svc.control_plane_url().c_str());
    db_.username = username != nullptr ? strdup(username) : nullptr;
    char err[1024] = "";
    state_.database = &db_;
    state_.connection = nv_connect(db_.uri, svc.node_url(0).c_str(), nullptr, token, username,
                                   password, nullptr, nullptr, err, sizeof(err));
    EXPECT_NE(state_.connection, nullptr) << err;
    info_schema_attach(&state_);
    info_schema_refresh(&state_);
    handle_.private_data = &state_;
  }
  ~NetConnection() {
    info_schema_detach(&state_);
    nv_disconnect(state_.connection);
    std::free(db_.uri);
    std::free(db_.username);
  }
  AdbcConnection* handle() { return &handle_; }
  NVAdbcConnectionState* state() { return &state_; }
  const nv_sql::MetadataEngine& engine() { return *state_.meta_engine; }

 private:
  NVAdbcDatabaseState db_{};
  NVAdbcConnectionState state_{};
  AdbcConnection handle_{};
};

std::unique_ptr<NetConnection> alice(const nv_test::LocalSvc& svc) {
  return std::make_unique<NetConnection>(svc, nv_test::LocalSvc::kUser,
                                         nv_test::LocalSvc::kPassword, nullptr);
}

std::string cache_key(const nv_test::LocalSvc& svc) {
  return snapshot_cache_key(svc.control_plane_url(), nv_test::LocalSvc::kUser);
}

TEST_F(SnapshotNetTest, FetchGivesNineResultSetsAndTheCatalogSequence) {
  FetchResult r = fetch(svc().control_plane_url() + "///");  // trailing "/" are dropped
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(r.snap.epoch, current_sequence());
  for (int i = 0; i < NV_SNAPSHOT_RESULT_SETS; ++i) {
    EXPECT_NE(r.snap.result_set_data[i], nullptr) << i;
    EXPECT_GT(r.snap.result_set_len[i], 8u) << i;
  }
  nv_info_schema_snapshot_free(&r.snap);
  EXPECT_EQ(svc().Counter("requests.snapshot"), 1);
}

TEST_F(SnapshotNetTest, ScriptedFailuresGiveTheirMessages) {
  const std::string init = init_frame(R"({"epoch": 3})");
  struct Case {
    const char* what;
    std::string body;
    std::string message;  // a trailing '*' compares only the prefix
  };
  const Case cases[] = {
      {"result set 3 missing", init + all_batches({3}) + eos_frame(),
       "snapshot result_set 3 missing in stream"},
      {"0 and 3 missing", init + all_batches({0, 3}) + eos_frame(),
       "snapshot result_set 0 missing in stream"},
      {"index 9", init + batch_frame(9, "x") + all_batches(),
       "snapshot BATCH result_set_index 9 out of range"},
      {"short BATCH", init + frame(NV_FRAME_BATCH, std::string(7, '\0')) + all_batches(),
       "snapshot BATCH frame truncated (len=7)"},
      {"epoch as string", init_frame(R"({"epoch": "7"})") + all_batches(),
       "snapshot INIT frame missing 'epoch' field"},
      {"no epoch", init_frame(R"({"sequence": 7})") + all_batches(),
       "snapshot INIT frame missing 'epoch' field"},
      {"INIT not JSON", init_frame("{epoch") + all_batches(), "snapshot INIT frame parse: *"},
      {"no INIT", all_batches() + eos_frame(), "snapshot stream missing INIT frame"},
      {"ERROR with message", init + frame(NV_FRAME_ERROR, R"({"message": "catalog busy"})"),
       "snapshot server-side ERROR: catalog busy"},
      {"ERROR without message", init + frame(NV_FRAME_ERROR, R"({"code": "X"})"),
       "snapshot server-side ERROR: (unknown)"},
      {"ERROR not JSON", init + frame(NV_FRAME_ERROR, "plain text"),
       "snapshot server-side ERROR (malformed)"},
      {"ERROR message not text", init + frame(NV_FRAME_ERROR, R"({"message": 5})"),
       "snapshot server-side ERROR (malformed)"},
      {"body ends inside a header", init + all_batches() + std::string(3, '\x02'),
       "snapshot transfer ended mid-frame (truncated)"},
      {"body ends inside a payload", init + all_batches() + batch_frame(1, "abc").substr(0, 12),
       "snapshot transfer ended mid-frame (truncated)"},
  };
  for (const Case& c : cases) {
    FetchResult r = fetch_scripted(c.body);
    EXPECT_EQ(r.rc, -1) << c.what;
    if (!c.message.empty() && c.message.back() == '*') {
      EXPECT_EQ(r.err.rfind(c.message.substr(0, c.message.size() - 1), 0), 0u)
          << c.what << ": " << r.err;
    } else {
      EXPECT_EQ(r.err, c.message) << c.what;
    }
    for (int i = 0; i < NV_SNAPSHOT_RESULT_SETS; ++i) {
      EXPECT_EQ(r.snap.result_set_data[i], nullptr) << c.what;  // emptied on failure
    }
    EXPECT_EQ(r.snap.epoch, 0u) << c.what;
  }

  FetchResult r = fetch_scripted(R"({"message": "down"})", 503);
  EXPECT_EQ(r.err, "snapshot fetch returned HTTP 503");
}

TEST_F(SnapshotNetTest, ScriptedSuccesses) {
  // A floating epoch is truncated; unknown frame types are skipped; the last BATCH of an index
  // wins; a BATCH of exactly the 8-byte header counts as received with no bytes.
  const std::string body = init_frame(R"({"epoch": 7.9})") + frame(9, "ignored") +
                           all_batches() + batch_frame(2, "second") + batch_frame(5, "") +
                           frame(NV_FRAME_TRACE, "trace") + eos_frame();
  FetchResult r = fetch_scripted(body);
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(r.snap.epoch, 7u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(r.snap.result_set_data[2]),
                        r.snap.result_set_len[2]),
            "second");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(r.snap.result_set_data[0]),
                        r.snap.result_set_len[0]),
            "rs0");
  EXPECT_NE(r.snap.result_set_data[5], nullptr);
  EXPECT_EQ(r.snap.result_set_len[5], 0u);
  nv_info_schema_snapshot_free(&r.snap);

  r = fetch_scripted(init_frame(R"({"epoch": 1})") + init_frame(R"({"epoch": 12})") +
                     all_batches());
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(r.snap.epoch, 12u);  // a later INIT overwrites the epoch
  nv_info_schema_snapshot_free(&r.snap);
}

TEST_F(SnapshotNetTest, TransportFaults) {
  svc().AddFault({{"endpoint", "snapshot"}, {"cut_after_bytes", 300}});
  FetchResult r = fetch(svc().control_plane_url());
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.err, "snapshot transfer ended mid-frame (truncated)");

  svc().AddFault({{"endpoint", "snapshot"}, {"close", true}});
  r = fetch(svc().control_plane_url());
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.err.rfind("snapshot HTTP error: ", 0), 0u) << r.err;

  char err[256] = "";
  NVInfoSchemaSnapshot snap{};
  EXPECT_EQ(nv_route_fetch_info_schema_snapshot(svc().control_plane_url().c_str(), nullptr,
                                                nullptr, nullptr, nullptr, &snap, err,
                                                sizeof(err)),
            -1);
  EXPECT_STREQ(err, "snapshot fetch returned HTTP 401");
}

TEST_F(SnapshotNetTest, EpochFetchThroughConnection) {
  auto conn = alice(svc());
  NVCatalogVersion v{};
  char err[256] = "";
  ASSERT_EQ(nv_fetch_epoch(conn->state()->connection, &v, err, sizeof(err)), 0) << err;
  EXPECT_EQ(v.sequence, current_sequence());
  svc().AddFault({{"endpoint", "version"}, {"status", 500}, {"body", R"({"error": "boom"})"}});
  EXPECT_EQ(nv_fetch_epoch(conn->state()->connection, &v, err, sizeof(err)), -1);
  EXPECT_STREQ(err, "catalog version fetch failed (HTTP 500): boom");
}

// Every failure leaves an open connection whose metadata calls still answer.
TEST_F(SnapshotNetTest, ConnectionSurvivesSnapshotFailures) {
  const std::string init = init_frame(R"({"epoch": 3})");
  const nlohmann::json faults[] = {
      {{"endpoint", "snapshot"}, {"status", 200}, {"body", init + all_batches({3})}},
      {{"endpoint", "snapshot"}, {"status", 200}, {"body", init + batch_frame(9, "x")}},
      {{"endpoint", "snapshot"},
       {"status", 200},
       {"body", init + all_batches() + frame(NV_FRAME_BATCH, std::string(8, '\0'))}},
      {{"endpoint", "snapshot"}, {"status", 200}, {"body", init + all_batches()}},  // bad IPC
      {{"endpoint", "snapshot"}, {"status", 200}, {"body", init + frame(NV_FRAME_ERROR, "{}")}},
      {{"endpoint", "snapshot"}, {"cut_after_bytes", 100}},
      {{"endpoint", "snapshot"}, {"status", 500}, {"body", "{}"}},
  };
  for (const auto& fault : faults) {
    snapshot_cache_clear();
    svc().AddFault(fault);
    auto conn = alice(svc());
    ASSERT_NE(conn->state()->connection, nullptr);
    for (int i = 0; i < kSnapshotResultSets; ++i) {
      EXPECT_EQ(info_schema_batch_get(conn->state(), i), nullptr) << fault.dump();
    }
    EXPECT_FALSE(snapshot_cache_contains_for_test(cache_key(svc())));
    EXPECT_TRUE(nvtest::get_objects(conn->handle(), 0, nullptr, nullptr, nullptr, nullptr,
                                    nullptr)
                    .empty());
    auto stub = conn->engine().try_execute("SELECT * FROM information_schema.routines");
    ASSERT_EQ(stub.status, nv_sql::ExecuteStatus::Ok) << fault.dump();
    EXPECT_EQ(stub.batches.at(0)->num_rows(), 0);
    EXPECT_EQ(stub.schema->num_fields(), 19);
    EXPECT_EQ(conn->engine().try_execute("SELECT * FROM information_schema.tables").status,
              nv_sql::ExecuteStatus::Declined);
  }
}

TEST_F(SnapshotNetTest, TwoConnectionsOfOneUserFetchOnce) {
  auto first = alice(svc());
  auto second = alice(svc());
  EXPECT_EQ(svc().Counter("requests.snapshot"), 1);
  for (int i = 0; i < kSnapshotResultSets; ++i) {
    auto a = info_schema_batch_get(first->state(), i);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, info_schema_batch_get(second->state(), i));  // shared, not copied
  }
  EXPECT_EQ(first->state()->info_schema->epoch, second->state()->info_schema->epoch);
  EXPECT_TRUE(snapshot_poller_started_for_test());
}

TEST_F(SnapshotNetTest, SessionTokenWithoutUserNeverTouchesTheCache) {
  NetConnection first(svc(), nullptr, nullptr, token_.c_str());
  NetConnection second(svc(), nullptr, nullptr, token_.c_str());
  EXPECT_NE(info_schema_batch_get(first.state(), kRsTables), nullptr);
  EXPECT_EQ(svc().Counter("requests.snapshot"), 2);
  EXPECT_EQ(snapshot_cache_size_for_test(), 0u);
  EXPECT_TRUE(snapshot_poller_started_for_test());
}

TEST_F(SnapshotNetTest, AgedEntryIsFetchedAgain) {
  auto first = alice(svc());
  ASSERT_TRUE(snapshot_cache_age_for_test(cache_key(svc()), std::chrono::seconds(299)));
  auto second = alice(svc());
  EXPECT_EQ(svc().Counter("requests.snapshot"), 1);
  ASSERT_TRUE(snapshot_cache_age_for_test(cache_key(svc()), std::chrono::seconds(2)));
  auto third = alice(svc());
  EXPECT_EQ(svc().Counter("requests.snapshot"), 2);
  EXPECT_TRUE(snapshot_cache_contains_for_test(cache_key(svc())));  // stored afresh
}

TEST_F(SnapshotNetTest, CatalogChangeEvictsOnNextPoll) {
  // The poller catches up with changes of earlier tests (it polls with a live connection's
  // settings, so one stays open).
  auto warm = alice(svc());
  const uint64_t before = current_sequence();
  ASSERT_TRUE(nvtest::wait_for_poller([&] { return snapshot_poller_last_sequence_for_test() == before; }));
  snapshot_cache_clear();
  svc().ClearFaults();
  auto first = alice(svc());
  // A poll that finds the sequence unchanged keeps the entry.
  const uint64_t rounds = snapshot_poller_rounds_for_test();
  ASSERT_TRUE(nvtest::wait_for_poller([&] { return snapshot_poller_rounds_for_test() >= rounds + 2; }));
  ASSERT_TRUE(snapshot_cache_contains_for_test(cache_key(svc())));
  EXPECT_EQ(svc().Counter("requests.snapshot"), 1);

  std::string err;
  ASSERT_TRUE(svc().Sql("CREATE TABLE sales.added_later (x INTEGER)", &err)) << err;
  ASSERT_GT(current_sequence(), before);
  ASSERT_TRUE(nvtest::wait_for_poller([] { return snapshot_cache_size_for_test() == 0; }));
  EXPECT_EQ(snapshot_poller_last_sequence_for_test(), current_sequence());
  // The first connection keeps what it installed until its next metadata call.
  EXPECT_NE(info_schema_batch_get(first->state(), kRsTables), nullptr);

  auto second = alice(svc());
  EXPECT_EQ(svc().Counter("requests.snapshot"), 2);
  auto paths = nvtest::table_paths(
      nvtest::get_objects(second->handle(), 3, nullptr, "sales", "added_later", nullptr, nullptr));
  EXPECT_EQ(paths.size(), 1u);
  // The first connection picks up the change the poller saw, adopting the second's snapshot.
  EXPECT_EQ(nvtest::table_paths(nvtest::get_objects(first->handle(), 3, nullptr, "sales",
                                                    "added_later", nullptr, nullptr))
                .size(),
            1u);
  EXPECT_EQ(svc().Counter("requests.snapshot"), 2);
  ASSERT_TRUE(svc().Sql("DROP TABLE sales.added_later", &err)) << err;
  // Let the poller see the drop now, so that no later test meets an eviction it did not cause.
  const uint64_t dropped = current_sequence();
  EXPECT_TRUE(nvtest::wait_for_poller([&] { return snapshot_poller_last_sequence_for_test() == dropped; }));
}

TEST_F(SnapshotNetTest, PollerWithEmptyCacheSendsNothing) {
  { auto conn = alice(svc()); }  // makes sure the poller runs
  snapshot_cache_clear();
  svc().ClearFaults();  // resets the counters
  const uint64_t rounds = snapshot_poller_rounds_for_test();
  ASSERT_TRUE(nvtest::wait_for_poller([&] { return snapshot_poller_rounds_for_test() >= rounds + 3; }));
  EXPECT_EQ(svc().Counter("requests.version"), 0);
}

TEST_F(SnapshotNetTest, FailedPollKeepsTheCache) {
  // First let the poller catch up with the current sequence (an earlier test changed it, and
  // that change alone empties the cache), then cache a snapshot afresh.
  auto warm = alice(svc());
  const uint64_t before = current_sequence();
  ASSERT_TRUE(nvtest::wait_for_poller([&] { return snapshot_poller_last_sequence_for_test() == before; }));
  auto conn = alice(svc());
  ASSERT_TRUE(snapshot_cache_contains_for_test(cache_key(svc())));
  svc().AddFault({{"endpoint", "version"}, {"count", -1}, {"status", 503}, {"body", "{}"}});
  const int64_t polls = svc().Counter("requests.version");
  const uint64_t rounds = snapshot_poller_rounds_for_test();
  ASSERT_TRUE(nvtest::wait_for_poller([&] { return svc().Counter("requests.version") >= polls + 2; }))
      << "rounds " << rounds << " -> " << snapshot_poller_rounds_for_test() << ", polls "
      << polls << " -> " << svc().Counter("requests.version") << ", cache "
      << snapshot_cache_size_for_test() << " " << svc().Counters().dump();
  EXPECT_TRUE(snapshot_cache_contains_for_test(cache_key(svc())));
  svc().ClearFaults();
}

}  // namespace
