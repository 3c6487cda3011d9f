// Login, token cache, routing and reservations against the local service.
#include <gtest/gtest.h>

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core/connection_internal.h"
#include "core/request_internal.h"
#include "core/curl_handles_internal.h"
#include "core/session_cache_internal.h"
#include "norvale/nv_cells.h"
#include "norvale/nv_core.h"
#include "norvale/nv_log.h"
#include "norvale/nv_query.h"
#include "norvale/nv_snapshot.h"
#include "support/localsvc_fixture.h"
#include "support/test_files.h"

namespace {

using nv_test::LocalSvc;

/// Owns an NVConnection for a test.
struct Conn {
  NVConnection* c = nullptr;
  ~Conn() { nv_disconnect(c); }
};

class ConnectNet : public nv_test::LocalSvcTest {
 protected:
  void SetUp() override {
    LocalSvcTest::SetUp();
    norvale::session_cache_clear_for_test();
    log_path_ = log_dir_.path() + "/engine.log";
    nv_log_init(log_path_.c_str(), NV_LOG_INFO);
    // Unless a test says otherwise, a confirm starts at once, as if work had begun.
    grace_ = norvale::set_confirm_grace_for_test(std::chrono::milliseconds(0));
  }
  void TearDown() override {
    norvale::set_confirm_grace_for_test(grace_);
    nv_log_init(nullptr, 0);
  }

  NVConnection* connect(const char* compute_url = nullptr, const char* compute_node = nullptr,
                        const char* token = nullptr, const char* user = LocalSvc::kUser,
                        const char* pass = LocalSvc::kPassword,
                        const NVConnExtras* extras = nullptr) {
    err_[0] = '\0';
    return nv_connect(cp().c_str(), compute_url, compute_node, token, user, pass, nullptr,
                      extras, err_, sizeof(err_));
  }
  const std::string& cp() { return svc().control_plane_url(); }
  std::string log() { return nv_test::read_file(log_path_); }

  nv_test::TempDir log_dir_;
  std::string log_path_;
  char err_[1024] = "";
  std::chrono::milliseconds grace_{0};
};

TEST_F(ConnectNet, PasswordLoginThenCachedTokenWithinLifetime) {
  Conn first{connect()};
  ASSERT_NE(first.c, nullptr) << err_;
  EXPECT_EQ(svc().Counter("logins"), 1);
  ASSERT_NE(nv_connection_session_token(first.c), nullptr);
  EXPECT_NE(nv_connection_subject_id(first.c), nullptr);

  Conn second{connect()};
  ASSERT_NE(second.c, nullptr) << err_;
  EXPECT_EQ(svc().Counter("logins"), 1);
  EXPECT_STREQ(nv_connection_session_token(second.c), nv_connection_session_token(first.c));
  EXPECT_EQ(nv_connection_subject_id(second.c), nullptr);  // no login response seen
  EXPECT_NE(log().find("Reusing cached session token for alice against " + cp() +
                       " (skipping /auth)"),
            std::string::npos);

  // Past the lifetime the entry is replaced by a fresh login.
  norvale::session_cache_age_for_test(norvale::kSessionTokenLifetime + std::chrono::seconds(1));
  Conn third{connect()};
  ASSERT_NE(third.c, nullptr) << err_;
  EXPECT_EQ(svc().Counter("logins"), 2);
  EXPECT_STRNE(nv_connection_session_token(third.c), nv_connection_session_token(first.c));
  Conn fourth{connect()};
  EXPECT_EQ(svc().Counter("logins"), 2);
  EXPECT_STREQ(nv_connection_session_token(fourth.c), nv_connection_session_token(third.c));
}

TEST_F(ConnectNet, DifferentPasswordIsNotServedFromTheCache) {
  Conn ok{connect()};
  ASSERT_NE(ok.c, nullptr) << err_;
  Conn wrong{connect(nullptr, nullptr, nullptr, LocalSvc::kUser, "not-the-password")};
  EXPECT_EQ(wrong.c, nullptr);
  EXPECT_EQ(svc().Counter("logins_failed"), 1);
}

TEST_F(ConnectNet, SessionTokenSkipsLogin) {
  const std::string token = svc().Login();
  svc().ClearFaults();  // resets the counters
  Conn conn{connect(nullptr, nullptr, token.c_str())};
  ASSERT_NE(conn.c, nullptr) << err_;
  EXPECT_EQ(svc().Counter("requests.auth"), 0);
  EXPECT_STREQ(nv_connection_session_token(conn.c), token.c_str());
  EXPECT_EQ(svc().AwaitCounter("confirms", 1), 1);
}

TEST_F(ConnectNet, WrongPasswordCarriesTheControlPlaneMessage) {
  Conn conn{connect(nullptr, nullptr, nullptr, LocalSvc::kUser, "nope")};
  EXPECT_EQ(conn.c, nullptr);
  EXPECT_STREQ(err_,
               "control plane auth failed (HTTP 401): invalid user name or password "
               "[invalid_grant] (user 'alice' could not be authenticated)");
  EXPECT_NE(log().find("Connection failed during auth: control plane auth failed"),
            std::string::npos);
  EXPECT_EQ(log().find("nope"), std::string::npos);
}

TEST_F(ConnectNet, ExplicitComputeUrlIsTrimmedAndNotRouted) {
  const std::string url = svc().node_url() + "///";
  Conn conn{connect(url.c_str())};
  ASSERT_NE(conn.c, nullptr) << err_;
  EXPECT_STREQ(nv_connection_compute_url(conn.c), svc().node_url().c_str());
  EXPECT_EQ(svc().Counter("requests.recommend"), 0);
  EXPECT_EQ(svc().Counter("requests.lookup"), 0);
}

TEST_F(ConnectNet, EntityReferenceLookup) {
  const auto& node = svc().nodes().at(0);
  Conn conn{connect(nullptr, node.entity_ref.c_str())};
  ASSERT_NE(conn.c, nullptr) << err_;
  EXPECT_STREQ(nv_connection_compute_url(conn.c), node.url.c_str());
  EXPECT_EQ(svc().Counter("requests.lookup"), 1);
  EXPECT_EQ(svc().Counter("requests.recommend"), 0);
  EXPECT_EQ(svc().Counter("requests.confirm"), 0);
  EXPECT_NE(log().find("Pinned to compute node " + node.entity_ref + " at " + node.url),
            std::string::npos);
}

TEST_F(ConnectNet, EntityReferenceFailures) {
  Conn missing{connect(nullptr, "no/such node")};
  EXPECT_EQ(missing.c, nullptr);
  EXPECT_STREQ(err_, "compute node not found: ComputeNode='no/such node' is not registered");
  EXPECT_NE(log().find("Connection failed during compute routing: compute node not found"),
            std::string::npos);

  const std::string ref = svc().nodes().at(0).entity_ref;
  svc().AddFault({{"endpoint", "lookup"}, {"node_status", "draining"}});
  Conn draining{connect(nullptr, ref.c_str())};
  EXPECT_EQ(draining.c, nullptr);
  EXPECT_EQ(std::string(err_),
            "compute node '" + ref + "' is not active (status='draining')");
}

TEST_F(ConnectNet, LookupAnswerShapes) {
  const std::string token = svc().Login();
  struct Case {
    const char* body;
    std::string expected;  // route URL, or the error text
    bool ok;
  } cases[] = {
      {R"({"status":"active","hostname":"h","port":9443,"id":"n1","entityRef":"e1"})",
       "http://h:9443", true},
      {R"({"status":"active","ipAddress":"10.0.0.7","hostname":"h","port":9443})",
       "http://10.0.0.7:9443", true},
      {R"({"status":"active","ipAddress":7,"hostname":"h","port":1})", "http://h:1", true},
      {R"({"status":"active","ipAddress":"","hostname":"h","port":9443})",
       "compute node 'ref' has neither ipAddress nor hostname set", false},
      {R"({"status":"active","hostname":"h","port":"9443"})", "compute node 'ref' has no port",
       false},
      {R"({"status":"active","hostname":"h"})", "compute node 'ref' has no port", false},
      {R"({"hostname":"h","port":1})", "compute node 'ref' is not active (status='unknown')",
       false},
      {R"({"status":5})", "lookup response parse error: ", false},
      {"not json", "lookup response parse error: ", false},
  };
  for (const Case& c : cases) {
    svc().AddFault({{"endpoint", "lookup"}, {"status", 200}, {"body", c.body}});
    NVNodeRoute route{};
    char err[512] = "";
    const int rc = nv_route_lookup_by_entity_ref(cp().c_str(), token.c_str(), "ref", nullptr,
                                                 nullptr, nullptr, &route, err, sizeof(err));
    if (c.ok) {
      ASSERT_EQ(rc, 0) << c.body << ": " << err;
      EXPECT_EQ(std::string(route.url), c.expected) << c.body;
    } else {
      EXPECT_EQ(rc, -1) << c.body;
      EXPECT_EQ(std::string(err).rfind(c.expected, 0), 0u) << c.body << ": " << err;
      EXPECT_EQ(route.url, nullptr);
    }
    nv_node_route_free(&route);
  }
  // The node's identifiers come from `id` and `entityRef`.
  svc().AddFault({{"endpoint", "lookup"}, {"status", 200}, {"body", cases[0].body}});
  NVNodeRoute route{};
  char err[512];
  ASSERT_EQ(nv_route_lookup_by_entity_ref((cp() + "//").c_str(), token.c_str(), "ref", nullptr,
                                          nullptr, nullptr, &route, err, sizeof(err)),
            0);
  EXPECT_STREQ(route.node_id, "n1");
  EXPECT_STREQ(route.node_entity_ref, "e1");
  EXPECT_EQ(route.reservation_id, nullptr);
  nv_node_route_free(&route);
}

TEST_F(ConnectNet, LookupOtherStatusUsesTheErrorMember) {
  const std::string token = svc().Login();
  svc().AddFault({{"endpoint", "lookup"}, {"status", 503}, {"body", R"({"error":"busy"})"}});
  NVNodeRoute route{};
  char err[512];
  EXPECT_EQ(nv_route_lookup_by_entity_ref(cp().c_str(), token.c_str(), "ref", nullptr, nullptr,
                                          nullptr, &route, err, sizeof(err)),
            -1);
  EXPECT_STREQ(err, "compute node lookup failed (HTTP 503): busy");
}

TEST_F(ConnectNet, RecommendWithReservationIsConfirmedAndNotAbandoned) {
  NVConnection* conn = connect();
  ASSERT_NE(conn, nullptr) << err_;
  EXPECT_EQ(svc().Counter("requests.recommend"), 1);
  EXPECT_EQ(svc().AwaitCounter("confirms", 1), 1);
  EXPECT_NE(log().find("Connection established (subject_id="), std::string::npos);
  EXPECT_EQ(log().find("reservation=(none))"), std::string::npos);
  nv_disconnect(conn);
  EXPECT_EQ(svc().Counter("requests.abandon"), 0);
}

TEST_F(ConnectNet, RecommendWithoutReservationMakesNoConfirm) {
  svc().AddFault({{"endpoint", "recommend"}, {"omit_reservation_id", true}});
  NVConnection* conn = connect();
  ASSERT_NE(conn, nullptr) << err_;
  EXPECT_EQ(svc().Counter("requests.confirm"), 0);
  // Reservation values never reach the log, not even the placeholder.
  EXPECT_NE(log().find("(reservation=[REDACTED]"), std::string::npos);
  nv_disconnect(conn);
  EXPECT_EQ(svc().Counter("requests.abandon"), 0);
}

TEST_F(ConnectNet, FailedConfirmStillConnectsAndAbandonsAtDisconnect) {
  svc().AddFault({{"endpoint", "confirm"}, {"status", 500}, {"body", "{}"}});
  NVConnection* conn = connect();
  ASSERT_NE(conn, nullptr) << err_;
  svc().AwaitCounter("requests.confirm", 1);
  nv_disconnect(conn);
  EXPECT_EQ(svc().Counter("confirms"), 0);
  EXPECT_NE(log().find("nv_route_confirm failed for reservation "), std::string::npos);
  EXPECT_EQ(svc().Counter("abandons"), 1);
}

// The confirm runs beside the connection's first work: connecting does not wait for it, and
// disconnecting does, for a while, so that a reservation confirmed late is not abandoned.
TEST_F(ConnectNet, ConfirmDoesNotHoldUpConnect) {
  norvale::set_confirm_grace_for_test(std::chrono::seconds(5));
  svc().AddFault({{"endpoint", "confirm"}, {"delay_ms", 800}});
  const auto start = std::chrono::steady_clock::now();
  NVConnection* conn = connect();
  ASSERT_NE(conn, nullptr) << err_;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(700));
  EXPECT_EQ(svc().Counter("requests.confirm"), 0);  // no work yet
  char err[256];
  NVQueryHandle* q = nv_execute(conn, "SELECT 1", 0, 30, err, sizeof(err));
  ASSERT_NE(q, nullptr) << err;
  while (NVArrowBatch* b = nv_next_batch(q, err, sizeof(err))) nv_batch_free(b);
  nv_query_close(q);
  EXPECT_EQ(svc().AwaitCounter("requests.confirm", 1), 1);  // sent beside the query
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(700));
  nv_disconnect(conn);  // waits for its answer
  EXPECT_EQ(svc().Counter("confirms"), 1);
  EXPECT_EQ(svc().Counter("requests.abandon"), 0);
}

// A connection that did nothing before it was closed is not confirmed: its reservation is
// abandoned. One left idle is confirmed after the grace period.
TEST_F(ConnectNet, IdleConnectionsAreConfirmedAfterAGraceOrAbandoned) {
  norvale::set_confirm_grace_for_test(std::chrono::seconds(5));
  nv_disconnect(connect());
  EXPECT_EQ(svc().Counter("requests.confirm"), 0);
  EXPECT_EQ(svc().Counter("abandons"), 1);

  norvale::set_confirm_grace_for_test(std::chrono::milliseconds(100));
  NVConnection* conn = connect();
  ASSERT_NE(conn, nullptr) << err_;
  EXPECT_EQ(svc().AwaitCounter("confirms", 1, 5), 1);
  nv_disconnect(conn);
  EXPECT_EQ(svc().Counter("abandons"), 1);
}

// A control-plane request right after connecting goes first, on the socket the connect used;
// the confirm follows it on the same socket instead of opening another one beside it.
TEST(ConfirmOrder, TheFirstControlPlaneRequestGoesFirst) {
  std::string err;
  nv_test::LocalSvcOptions opts;
  opts.seed_demo = false;
  auto svc = LocalSvc::Start(opts, &err);  // a service of its own: no pooled sockets to it yet
  ASSERT_NE(svc, nullptr) << err;
  const auto grace = norvale::set_confirm_grace_for_test(std::chrono::seconds(5));
  svc->AddFault({{"endpoint", "version"}, {"delay_ms", 300}});
  char buf[512] = "";
  NVConnection* conn = nv_connect(svc->control_plane_url().c_str(), nullptr, nullptr, nullptr,
                                  LocalSvc::kUser, LocalSvc::kPassword, nullptr, nullptr, buf,
                                  sizeof(buf));
  ASSERT_NE(conn, nullptr) << buf;
  NVCatalogVersion version{};
  EXPECT_EQ(nv_fetch_epoch(conn, &version, buf, sizeof(buf)), 0) << buf;
  EXPECT_EQ(svc->AwaitCounter("confirms", 1, 5), 1);
  nv_disconnect(conn);
  norvale::set_confirm_grace_for_test(grace);
  EXPECT_EQ(svc->Counter("connections"), 1);
  EXPECT_EQ(svc->Counter("requests.abandon"), 0);
}

// A confirm that has not answered by the end of the wait counts as failed: the reservation is
// abandoned, and the late confirm finds it abandoned.
TEST_F(ConnectNet, ConfirmOutstandingPastTheWaitIsAbandoned) {
  const auto previous = norvale::set_confirm_wait_for_test(std::chrono::milliseconds(200));
  svc().AddFault({{"endpoint", "confirm"}, {"delay_ms", 700}});
  NVConnection* conn = connect();
  ASSERT_NE(conn, nullptr) << err_;
  svc().AwaitCounter("requests.confirm", 1);
  const auto start = std::chrono::steady_clock::now();
  nv_disconnect(conn);
  const auto waited = std::chrono::steady_clock::now() - start;
  norvale::set_confirm_wait_for_test(previous);
  EXPECT_GE(waited, std::chrono::milliseconds(150));
  EXPECT_LT(waited, std::chrono::milliseconds(650));
  EXPECT_EQ(svc().Counter("abandons"), 1);
  // The confirm ends on its own (refused: the reservation is abandoned) and says so.
  for (int i = 0; i < 100 && log().find("nv_route_confirm failed") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_NE(log().find("nv_route_confirm failed"), std::string::npos);
  EXPECT_EQ(svc().Counter("confirms"), 0);
}

TEST_F(ConnectNet, FailedAbandonIsOnlyLogged) {
  svc().AddFault({{"endpoint", "confirm"}, {"status", 500}, {"body", "{}"}});
  svc().AddFault({{"endpoint", "abandon"}, {"status", 500}, {"body", "{}"}});
  NVConnection* conn = connect();
  ASSERT_NE(conn, nullptr) << err_;
  svc().AwaitCounter("requests.confirm", 1);
  nv_disconnect(conn);
  EXPECT_NE(log().find("nv_route_abandon failed for reservation "), std::string::npos);
}

TEST_F(ConnectNet, RecommendAnswerShapes) {
  const std::string token = svc().Login();
  struct Case {
    const char* body;
    const char* expected;
  } cases[] = {
      {R"({"port":1})", "recommend response missing hostname/port"},
      {R"({"hostname":"h"})", "recommend response missing hostname/port"},
      {"[1]", "recommend response missing hostname/port"},
      {R"({"hostname":5,"port":1})", "recommend response parse error: "},
      {R"({"hostname":"h","port":"1"})", "recommend response parse error: "},
      {"", "recommend response parse error: "},
  };
  for (const Case& c : cases) {
    svc().AddFault({{"endpoint", "recommend"}, {"status", 200}, {"body", c.body}});
    NVNodeRoute route{};
    char err[512] = "";
    EXPECT_EQ(nv_route_recommend(cp().c_str(), token.c_str(), nullptr, nullptr, nullptr, nullptr,
                                 &route, err, sizeof(err)),
              -1);
    EXPECT_EQ(std::string(err).rfind(c.expected, 0), 0u) << c.body << ": " << err;
  }
  svc().AddFault({{"endpoint", "recommend"}, {"status", 503}, {"body", "<html>down</html>"}});
  NVNodeRoute route{};
  char err[512];
  EXPECT_EQ(nv_route_recommend(cp().c_str(), token.c_str(), "", nullptr, nullptr, nullptr,
                               &route, err, sizeof(err)),
            -1);
  EXPECT_STREQ(err, "compute node recommend failed (HTTP 503): <html>down</html>");
}

TEST_F(ConnectNet, ClientCredentialsLogin) {
  NVAuthResult result{};
  char err[512];
  ASSERT_EQ(nv_auth_login_client_credentials((cp() + "/").c_str(), LocalSvc::kClientId,
                                             LocalSvc::kClientSecret, nullptr, nullptr, nullptr,
                                             &result, err, sizeof(err)),
            0)
      << err;
  EXPECT_NE(result.session_token, nullptr);
  EXPECT_NE(result.access_token, nullptr);
  EXPECT_GT(result.expires_in, 0);
  nv_auth_result_free(&result);
  EXPECT_EQ(nv_auth_login_client_credentials(cp().c_str(), LocalSvc::kClientId, "bad", nullptr,
                                             nullptr, nullptr, &result, err, sizeof(err)),
            -1);
  EXPECT_EQ(std::string(err).rfind("control plane auth failed (HTTP 401): invalid client "
                                   "credentials [invalid_client]",
                                   0),
            0u)
      << err;
}

TEST_F(ConnectNet, LoginAnswerFailures) {
  struct Case {
    int status;
    const char* body;
    const char* expected;
  } cases[] = {
      {204, "", "auth response is not valid JSON: "},
      {200, R"({"access_token":"a"})", "auth response did not include a session_token"},
      {200, "{\"session_token\":\"a\\rb\"}",
       "auth response session_token contains forbidden control characters"},
  };
  for (const Case& c : cases) {
    svc().AddFault({{"endpoint", "auth"}, {"status", c.status}, {"body", c.body}});
    NVAuthResult result{};
    char err[512] = "";
    EXPECT_EQ(nv_auth_login_password(cp().c_str(), LocalSvc::kUser, LocalSvc::kPassword,
                                     nullptr, nullptr, nullptr, &result, err, sizeof(err)),
              -1);
    EXPECT_EQ(std::string(err).rfind(c.expected, 0), 0u) << c.body << ": " << err;
    EXPECT_EQ(result.session_token, nullptr);
  }
}

TEST_F(ConnectNet, OversizedResponseIsATransportError) {
  const std::string token = svc().Login();
  const std::string big = "{\"error\":\"" + std::string(1100000, 'x') + "\"}";
  svc().AddFault({{"endpoint", "recommend"}, {"status", 200}, {"body", big}});
  NVNodeRoute route{};
  char err[512];
  EXPECT_EQ(nv_route_recommend(cp().c_str(), token.c_str(), nullptr, nullptr, nullptr, nullptr,
                               &route, err, sizeof(err)),
            -1);
  EXPECT_EQ(std::string(err).rfind("HTTP transport error: ", 0), 0u) << err;
}

TEST_F(ConnectNet, UserAgentAndJsonHeadersReachTheService) {
  NVConnExtras extras{};
  extras.application_name = "BI";
  extras.connect_timeout = 3;
  Conn conn{connect(nullptr, nullptr, nullptr, LocalSvc::kUser, LocalSvc::kPassword, &extras)};
  ASSERT_NE(conn.c, nullptr) << err_;
  svc().AwaitCounter("confirms", 1);
  const auto headers = svc().Counters()["last_headers"];
  for (const char* endpoint : {"auth", "recommend", "confirm"}) {
    EXPECT_EQ(headers[endpoint].value("user-agent", ""), "Norvale-ODBC/1.0.0-alpha BI")
        << endpoint;
  }
  EXPECT_EQ(headers["auth"].value("content-type", ""), "application/json");
  EXPECT_EQ(headers["recommend"].value("accept", ""), "application/json");
}

TEST_F(ConnectNet, UnreachableControlPlane) {
  char err[512];
  NVConnection* conn = nv_connect("http://127.0.0.1:9", nullptr, nullptr, nullptr, "u", "p",
                                  nullptr, nullptr, err, sizeof(err));
  EXPECT_EQ(conn, nullptr);
  EXPECT_EQ(std::string(err).rfind("HTTP transport error: ", 0), 0u) << err;
}

}  // namespace

namespace {

class SharedTransfersNet : public nv_test::LocalSvcTest {};

TEST_F(SharedTransfersNet, ThreadsShareOneConnectionsHandle) {
  const std::string token = svc().Login();
  char err[512] = "";
  NVConnection* conn = nv_connect(svc().control_plane_url().c_str(), svc().node_url().c_str(),
                                  nullptr, token.c_str(), nullptr, nullptr, nullptr, nullptr,
                                  err, sizeof(err));
  ASSERT_NE(conn, nullptr) << err;
  void* share = nv_connection_curl_share(conn);
  ASSERT_NE(share, nullptr);
  const std::string ref = svc().nodes().at(0).entity_ref;
  std::atomic<int> ok{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 25; ++i) {
        NVNodeRoute route{};
        char e[512];
        if (nv_route_lookup_by_entity_ref(svc().control_plane_url().c_str(), token.c_str(),
                                          ref.c_str(), nullptr, nullptr, share, &route, e,
                                          sizeof(e)) == 0) {
          ++ok;
        }
        nv_node_route_free(&route);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(ok.load(), 100);
  nv_disconnect(conn);
}

TEST_F(SharedTransfersNet, ConnectionSettingsApplyToOwnTransfers) {
  NVConnExtras extras{};
  extras.application_name = "Streamer";
  const std::string token = svc().Login();
  char err[512] = "";
  NVConnection* conn = nv_connect(svc().control_plane_url().c_str(), svc().node_url().c_str(),
                                  nullptr, token.c_str(), nullptr, nullptr, nullptr, &extras,
                                  err, sizeof(err));
  ASSERT_NE(conn, nullptr) << err;
  NVConnExtras view{};
  norvale::RequestSpec spec;
  spec.url = svc().control_plane_url() + "/api/v1/events/version";
  auto req = norvale::PreparedRequest::Make(norvale::connection_request_env(*conn, &view), spec);
  ASSERT_TRUE(req.ok()) << req.status().ToString();
  curl_easy_setopt((*req)->handle(), CURLOPT_WRITEFUNCTION,
                   +[](char*, size_t size, size_t n, void*) { return size * n; });
  ASSERT_EQ((*req)->Perform(), CURLE_OK);
  EXPECT_EQ(svc().Counters()["last_headers"]["version"].value("user-agent", ""),
            "Norvale-ODBC/1.0.0-alpha Streamer");
  req->reset();
  nv_disconnect(conn);
}

}  // namespace
