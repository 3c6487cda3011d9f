#include <gtest/gtest.h>

#include <chrono>

#include "tests/localsvc/net_helpers.h"

namespace nv_test {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

class FaultTest : public LocalSvcTest {
 public:
  static void SetUpTestSuite() {
    LocalSvcOptions o;
    o.nodes = 2;
    StartShared(o);
  }

 protected:
  void SetUp() override {
    LocalSvcTest::SetUp();
    token_ = svc().Login();
    ASSERT_FALSE(token_.empty());
    svc().ClearFaults();
  }
  HttpReply Cp(const std::string& method, const std::string& path, const std::string& body = {}) {
    return svc().Http(method, svc().control_plane_url() + path, body, token_);
  }
  static double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
  }
  std::string token_;
};

constexpr const char* kManyRows = "SELECT i, 'value ' || i AS s FROM range(50000) t(i)";

TEST_F(FaultTest, ScriptedStatusForTheNextRequests) {
  svc().AddFault({{"endpoint", "auth"}, {"count", 2}, {"status", 503},
                  {"body", R"({"message":"maintenance","error":"unavailable"})"}});
  for (int i = 0; i < 2; ++i) {
    HttpReply r = svc().Http("POST", svc().control_plane_url() + "/api/v1/auth/token",
                             json({{"grant_type", "password"}, {"username", LocalSvc::kUser},
                                   {"password", LocalSvc::kPassword}}).dump());
    EXPECT_EQ(r.status, 503);
    EXPECT_EQ(json::parse(r.body)["message"], "maintenance");
  }
  EXPECT_FALSE(svc().Login().empty());
  EXPECT_EQ(svc().Counter("requests.auth"), 3);
  EXPECT_EQ(svc().Counter("logins"), 1);
}

TEST_F(FaultTest, DelayBeforeFirstByte) {
  svc().AddFault({{"endpoint", "version"}, {"delay_ms", 400}});
  auto t0 = Clock::now();
  EXPECT_EQ(Cp("GET", "/api/v1/events/version").status, 200);
  EXPECT_GE(Seconds(t0), 0.39);
  t0 = Clock::now();
  EXPECT_EQ(Cp("GET", "/api/v1/events/version").status, 200);
  EXPECT_LT(Seconds(t0), 0.3);
}

TEST_F(FaultTest, TrickleLimitsTheRate) {
  HttpReply plain = PostQuery(svc(), token_, "SELECT i FROM range(300) t(i)");
  ASSERT_EQ(plain.status, 200);
  const double bps = 8000;
  svc().AddFault({{"endpoint", "query"}, {"trickle_bps", bps}});
  auto t0 = Clock::now();
  HttpReply slow = PostQuery(svc(), token_, "SELECT i FROM range(300) t(i)");
  double took = Seconds(t0);
  EXPECT_EQ(slow.status, 200);
  EXPECT_EQ(slow.body.size(), plain.body.size());
  EXPECT_GE(took, 0.8 * static_cast<double>(plain.body.size()) / bps) << plain.body.size();
  EXPECT_TRUE(DecodeQueryStream(slow.body).eos);
}

TEST_F(FaultTest, CutBodyEndsMidFrameButCleanly) {
  svc().AddFault({{"endpoint", "query"}, {"cut_after_bytes", 21}});
  HttpReply r = PostQuery(svc(), token_, kManyRows);
  EXPECT_EQ(r.curl_code, 0) << r.error;
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body.size(), 21u);
  std::vector<WireFrame> frames;
  EXPECT_FALSE(SplitFrames(r.body, &frames));

  svc().AddFault({{"endpoint", "snapshot"}, {"cut_after_bytes", 1000}});
  HttpReply s = Cp("GET", "/api/v1/odbc/info_schema/snapshot");
  EXPECT_EQ(s.status, 200);
  EXPECT_EQ(s.body.size(), 1000u);
}

TEST_F(FaultTest, ResetDropsTheConnectionMidBody) {
  svc().AddFault({{"endpoint", "query"}, {"reset_after_bytes", 5000}});
  HttpReply r = PostQuery(svc(), token_, kManyRows, 16 * 1024);
  EXPECT_NE(r.curl_code, 0);
  EXPECT_LE(r.body.size(), 5000u);
}

TEST_F(FaultTest, CloseWithoutReply) {
  svc().AddFault({{"endpoint", "query"}, {"close", true}});
  HttpReply r = PostQuery(svc(), token_, "SELECT 1");
  EXPECT_NE(r.curl_code, 0);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.body.empty());
  // The next request is served normally.
  EXPECT_EQ(PostQuery(svc(), token_, "SELECT 1").status, 200);
}

TEST_F(FaultTest, ErrorFrameAfterSomeBatches) {
  svc().AddFault({{"endpoint", "query"}, {"error_after_batches", 2},
                  {"error_message", "node lost its disk (code: 77)"}, {"error_code", "IO"}});
  HttpReply r = PostQuery(svc(), token_, kManyRows, 16 * 1024);
  ASSERT_EQ(r.status, 200);
  QueryStream q = DecodeQueryStream(r.body);
  EXPECT_EQ(q.batches.size(), 2u);
  EXPECT_FALSE(q.eos);
  EXPECT_EQ(json::parse(q.error)["message"], "node lost its disk (code: 77)");
  EXPECT_EQ(q.types.back(), 4);

  svc().AddFault({{"endpoint", "query"}, {"error_after_batches", 0}});
  QueryStream q0 = DecodeQueryStream(PostQuery(svc(), token_, kManyRows).body);
  EXPECT_EQ(q0.types, (std::vector<uint8_t>{1, 4}));
}

TEST_F(FaultTest, InterleavedTraceAndUnknownFrames) {
  svc().AddFault({{"endpoint", "query"}, {"interleave_trace", true},
                  {"interleave_unknown", true}});
  QueryStream q = DecodeQueryStream(PostQuery(svc(), token_, kManyRows, 64 * 1024).body);
  EXPECT_TRUE(q.eos);
  EXPECT_EQ(TotalRows(q), 50000);
  EXPECT_NE(std::find(q.types.begin(), q.types.end(), 5), q.types.end());
  EXPECT_NE(std::find(q.types.begin(), q.types.end(), 9), q.types.end());
}

TEST_F(FaultTest, SeveralResultSets) {
  svc().AddFault({{"endpoint", "query"}, {"result_sets", 3}});
  HttpReply r = PostQuery(svc(), token_, "SELECT 7 AS x");
  std::vector<WireFrame> frames;
  ASSERT_TRUE(SplitFrames(r.body, &frames));
  QueryStream q = DecodeQueryStream(r.body);
  EXPECT_EQ(q.init["resultSets"].size(), 3u);
  std::vector<uint32_t> batch_sets, eos_sets;
  for (const auto& f : frames) {
    if (f.type == 2) batch_sets.push_back(be32(f.payload));
    if (f.type == 3) eos_sets.push_back(be32(f.payload));
  }
  EXPECT_EQ(batch_sets, (std::vector<uint32_t>{0, 1, 2}));
  EXPECT_EQ(eos_sets, (std::vector<uint32_t>{0, 1, 2}));
  EXPECT_EQ(TotalRows(q), 1);
}

TEST_F(FaultTest, RoutingKnobs) {
  const std::string ref = svc().nodes()[0].entity_ref;
  svc().AddFault({{"endpoint", "lookup"}, {"node_status", "draining"}});
  auto lookup = [&] {
    return json::parse(Cp("GET", "/api/v1/admin/compute-nodes/by-ref/" + ref).body)["status"];
  };
  EXPECT_EQ(lookup(), "draining");
  EXPECT_EQ(lookup(), "active");

  svc().AddFault({{"endpoint", "recommend"}, {"omit_reservation_id", true}});
  json rec = json::parse(Cp("POST", "/api/v1/nodes/recommend", "{}").body);
  EXPECT_TRUE(rec.contains("hostname"));
  EXPECT_FALSE(rec.contains("reservationId"));

  std::string rsv = json::parse(Cp("POST", "/api/v1/nodes/recommend", "{}").body)["reservationId"];
  svc().AddFault({{"endpoint", "confirm"}, {"status", 500}, {"body", R"({"error":"boom"})"}});
  EXPECT_EQ(Cp("POST", "/api/v1/nodes/recommend/" + rsv + "/confirm", "{}").status, 500);
  EXPECT_EQ(svc().Counter("confirms"), 0);
  EXPECT_EQ(Cp("POST", "/api/v1/nodes/recommend/" + rsv + "/confirm", "{}").status, 200);
  EXPECT_EQ(svc().Counter("confirms"), 1);
  EXPECT_EQ(svc().Counter("requests.confirm"), 2);
}

TEST_F(FaultTest, NodeScopedFaultsAndCounters) {
  svc().AddFault({{"endpoint", "query"}, {"node", "node-2"}, {"count", -1}, {"status", 503},
                  {"body", R"({"message":"busy","code":"RATE_LIMITED"})"}});
  EXPECT_EQ(PostQuery(svc(), token_, "SELECT 1", 0, 0).status, 200);
  EXPECT_EQ(PostQuery(svc(), token_, "SELECT 1", 0, 1).status, 503);
  EXPECT_EQ(PostQuery(svc(), token_, "SELECT 1", 0, 1).status, 503);
  json c = svc().Counters();
  EXPECT_EQ(c["requests.query"], 3);
  EXPECT_EQ(c["node.node-1.query"], 1);
  EXPECT_EQ(c["node.node-2.query"], 2);
  EXPECT_EQ(c["requests.ingest"], 0);
  EXPECT_EQ(c["requests.auth"], 0);
  EXPECT_GT(c["bytes_sent"].get<int64_t>(), 0);
  EXPECT_EQ(c["last_headers"]["query"]["x-norvale-client"], "adbc");
  EXPECT_FALSE(c["last_headers"]["query"].contains("authorization"));
}

TEST_F(FaultTest, AdminEndpointGuardsItself) {
  const std::string url = svc().control_plane_url() + "/api/v1/admin/faults";
  EXPECT_EQ(svc().Http("GET", url, {}, token_).status, 401);  // a user token is not enough
  EXPECT_EQ(svc().Http("GET", url, {}, {}).status, 401);
  struct Case {
    std::string body;
    const char* fragment;
  };
  const Case bad[] = {{R"({"endpoint":"nowhere"})", "endpoint"},
                      {R"({"endpoint":"query","colour":"red"})", "colour"},
                      {R"({"endpoint":"query","delay_ms":"soon"})", "delay_ms"},
                      {R"({"endpoint":"query","count":0})", "count"},
                      {"not json", "JSON object"}};
  for (const Case& c : bad) {
    HttpReply r = svc().Http("POST", url, c.body, svc().admin_token());
    EXPECT_EQ(r.status, 400) << c.body;
    EXPECT_NE(r.body.find(c.fragment), std::string::npos) << r.body;
  }
  svc().AddFault(json::array({{{"endpoint", "query"}}, {{"endpoint", "ingest"}, {"count", 3}}}));
  json listed = json::parse(svc().Http("GET", url, {}, svc().admin_token()).body)["faults"];
  EXPECT_EQ(listed.size(), 2u);
}

}  // namespace
}  // namespace nv_test
