#include <curl/curl.h>
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <thread>

#include "tests/localsvc/net_helpers.h"

namespace nv_test {
namespace {

using nlohmann::json;

class ControlPlaneTest : public LocalSvcTest {
 public:
  static void SetUpTestSuite() {
    LocalSvcOptions o;
    o.nodes = 2;
    StartShared(o);
  }

 protected:
  HttpReply Post(const std::string& path, const json& body, const std::string& token = {}) {
    return svc().Http("POST", svc().control_plane_url() + path, body.dump(), token);
  }
  HttpReply Get(const std::string& path, const std::string& token) {
    return svc().Http("GET", svc().control_plane_url() + path, {}, token);
  }
};

TEST_F(ControlPlaneTest, StartLineDescribesEveryPort) {
  EXPECT_EQ(svc().control_plane_url().rfind("http://127.0.0.1:", 0), 0u);
  ASSERT_EQ(svc().nodes().size(), 2u);
  EXPECT_NE(svc().node_url(0), svc().node_url(1));
  EXPECT_NE(svc().nodes()[0].entity_ref, svc().nodes()[1].entity_ref);
  EXPECT_FALSE(svc().admin_token().empty());
}

TEST_F(ControlPlaneTest, PasswordAndClientCredentialLogins) {
  HttpReply r = Post("/api/v1/auth/token", {{"grant_type", "password"},
                                            {"username", LocalSvc::kUser},
                                            {"password", LocalSvc::kPassword}});
  ASSERT_EQ(r.status, 200) << r.body;
  json j = json::parse(r.body);
  for (const char* k : {"session_token", "access_token", "subject_id", "principal_type", "name",
                        "session_expires_at"})
    EXPECT_TRUE(j[k].is_string()) << k;
  EXPECT_TRUE(j["expires_in"].is_number_integer());
  EXPECT_EQ(j["name"], LocalSvc::kUser);
  EXPECT_EQ(j["principal_type"], "user");

  r = Post("/api/v1/auth/token", {{"grant_type", "client_credentials"},
                                  {"client_id", LocalSvc::kClientId},
                                  {"client_secret", LocalSvc::kClientSecret}});
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(json::parse(r.body)["principal_type"], "service_principal");

  // Two logins give two different session tokens.
  EXPECT_NE(svc().Login(), svc().Login());
  EXPECT_EQ(svc().Counter("logins"), 4);
}

TEST_F(ControlPlaneTest, RefusedLoginsAnswerJsonErrors) {
  struct Case {
    json body;
    long status;
  };
  const Case cases[] = {
      {{{"grant_type", "password"}, {"username", LocalSvc::kUser}, {"password", "wrong"}}, 401},
      {{{"grant_type", "password"}, {"username", "nobody"}, {"password", "x"}}, 401},
      {{{"grant_type", "client_credentials"}, {"client_id", "etl-bot"}, {"client_secret", "no"}},
       401},
      {{{"grant_type", "magic"}}, 400},
      {json::array(), 400},
  };
  for (const Case& c : cases) {
    HttpReply r = Post("/api/v1/auth/token", c.body);
    EXPECT_EQ(r.status, c.status) << c.body.dump();
    json j = json::parse(r.body, nullptr, false);
    ASSERT_TRUE(j.is_object()) << r.body;
    for (const char* k : {"message", "error", "details"}) EXPECT_TRUE(j[k].is_string()) << k;
  }
  HttpReply raw = svc().Http("POST", svc().control_plane_url() + "/api/v1/auth/token", "{oops");
  EXPECT_EQ(raw.status, 400);
  EXPECT_EQ(svc().Counter("logins"), 0);
  EXPECT_EQ(svc().Counter("logins_failed"), 6);
}

TEST_F(ControlPlaneTest, EveryEndpointChecksTheBearerToken) {
  const std::string good = svc().Login();
  ASSERT_FALSE(good.empty());
  struct Endpoint {
    std::string method, url;
  };
  const std::string cp = svc().control_plane_url();
  const Endpoint endpoints[] = {
      {"POST", cp + "/api/v1/nodes/recommend"},
      {"POST", cp + "/api/v1/nodes/recommend/rsv-x/confirm"},
      {"POST", cp + "/api/v1/nodes/recommend/rsv-x/abandon"},
      {"GET", cp + "/api/v1/admin/compute-nodes/by-ref/" + svc().nodes()[0].entity_ref},
      {"GET", cp + "/api/v1/events/version"},
      {"GET", cp + "/api/v1/odbc/info_schema/snapshot"},
      {"POST", svc().node_url(0) + "/api/v1/query/stream/binary"},
      {"POST", svc().node_url(1) + "/api/v1/query/stream/binary"},
      {"POST", svc().node_url(0) + "/api/v1/ingest/stream"},
  };
  for (const auto& e : endpoints) {
    for (const std::string& bad : {std::string(), std::string("nvs-forged"), good + "x"}) {
      HttpReply r = svc().Http(e.method, e.url, R"({"sql":"select 1"})", bad);
      EXPECT_EQ(r.status, 401) << e.url << " token '" << bad << "'";
      json j = json::parse(r.body, nullptr, false);
      EXPECT_TRUE(j.is_object() && j["message"].is_string()) << r.body;
    }
    HttpReply ok = svc().Http(e.method, e.url, R"({"sql":"select 1"})", good);
    EXPECT_NE(ok.status, 401) << e.url;
  }
}

TEST_F(ControlPlaneTest, ExpiredTokensAreRefused) {
  std::string err;
  LocalSvcOptions o;
  o.seed_demo = false;
  o.token_ttl_seconds = 1;
  auto short_lived = LocalSvc::Start(o, &err);
  ASSERT_NE(short_lived, nullptr) << err;
  std::string token = short_lived->Login();
  const std::string url = short_lived->control_plane_url() + "/api/v1/events/version";
  EXPECT_EQ(short_lived->Http("GET", url, {}, token).status, 200);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(short_lived->Http("GET", url, {}, token).status, 401);
}

TEST_F(ControlPlaneTest, RecommendConfirmAndAbandon) {
  const std::string token = svc().Login();
  HttpReply r = Post("/api/v1/nodes/recommend",
                     {{"purpose", "Query"}, {"requiredCaps", {"sql_execution"}}}, token);
  ASSERT_EQ(r.status, 200) << r.body;
  json j = json::parse(r.body);
  EXPECT_EQ(j["hostname"], "127.0.0.1");
  ASSERT_TRUE(j["port"].is_number_integer());
  ASSERT_TRUE(j["reservationId"].is_string());
  const std::string node_url = "http://127.0.0.1:" + std::to_string(j["port"].get<int>());
  bool known = false;
  for (const auto& n : svc().nodes())
    known |= n.url == node_url && j["nodeId"] == n.id && j["nodeEntityRef"] == n.entity_ref;
  EXPECT_TRUE(known) << r.body;

  const std::string rsv = j["reservationId"];
  auto call = [&](const std::string& id, const char* what) {
    return Post("/api/v1/nodes/recommend/" + id + "/" + what, json::object(), token).status;
  };
  EXPECT_EQ(call(rsv, "confirm"), 200);
  EXPECT_EQ(call(rsv, "confirm"), 200);   // confirming twice is harmless
  EXPECT_EQ(call(rsv, "abandon"), 409);   // a confirmed slot stays with the node
  EXPECT_EQ(call("rsv-unknown", "confirm"), 404);
  EXPECT_EQ(call("rsv-unknown", "abandon"), 404);

  std::string second = json::parse(Post("/api/v1/nodes/recommend", json::object(), token).body)
                           ["reservationId"];
  EXPECT_NE(second, rsv);
  EXPECT_EQ(call(second, "abandon"), 200);
  EXPECT_EQ(call(second, "confirm"), 409);
  EXPECT_EQ(svc().Counter("confirms"), 2);
  EXPECT_EQ(svc().Counter("abandons"), 1);
  EXPECT_EQ(svc().Counter("requests.recommend"), 2);
}

TEST_F(ControlPlaneTest, RecommendSpreadsOverNodes) {
  const std::string token = svc().Login();
  std::set<int> ports;
  for (int i = 0; i < 4; ++i)
    ports.insert(json::parse(Post("/api/v1/nodes/recommend", json::object(), token).body)["port"]
                     .get<int>());
  EXPECT_EQ(ports.size(), 2u);
}

TEST_F(ControlPlaneTest, LookupByEntityRef) {
  const std::string token = svc().Login();
  const LocalSvcNode& n = svc().nodes()[1];
  HttpReply r = Get("/api/v1/admin/compute-nodes/by-ref/" + n.entity_ref, token);
  ASSERT_EQ(r.status, 200) << r.body;
  json j = json::parse(r.body);
  EXPECT_EQ(j["status"], "active");
  EXPECT_EQ(j["ipAddress"], "127.0.0.1");
  EXPECT_TRUE(j["hostname"].is_string());
  EXPECT_EQ("http://127.0.0.1:" + std::to_string(j["port"].get<int>()), n.url);
  EXPECT_EQ(j["id"], n.id);
  EXPECT_EQ(j["entityRef"], n.entity_ref);

  HttpReply missing = Get("/api/v1/admin/compute-nodes/by-ref/no%2Fsuch%20node", token);
  EXPECT_EQ(missing.status, 404);
  EXPECT_NE(json::parse(missing.body)["message"].get<std::string>().find("no/such node"),
            std::string::npos)
      << missing.body;
}

TEST_F(ControlPlaneTest, VersionSequenceMovesOnlyWithTheCatalog) {
  const std::string token = svc().Login();
  auto version = [&] { return json::parse(Get("/api/v1/events/version", token).body); };
  json v0 = version();
  for (const char* k : {"sequence", "tables_version", "views_version", "schemas_version",
                        "permissions_version", "graphs_version", "connections_version",
                        "pipelines_version"})
    EXPECT_TRUE(v0[k].is_number_unsigned()) << k;
  ASSERT_TRUE(svc().Sql("SELECT 42"));
  ASSERT_TRUE(svc().Sql("INSERT INTO sales.customers (customer_id, email, full_name) "
                        "VALUES (900, 'v@example.test', 'Version Test')"));
  EXPECT_EQ(version()["sequence"], v0["sequence"]);

  ASSERT_TRUE(svc().Sql("CREATE TABLE version_probe (a INTEGER)"));
  json v1 = version();
  EXPECT_GT(v1["sequence"].get<uint64_t>(), v0["sequence"].get<uint64_t>());
  EXPECT_GT(v1["tables_version"].get<uint64_t>(), v0["tables_version"].get<uint64_t>());
  ASSERT_TRUE(svc().Sql("CREATE VIEW version_probe_v AS SELECT * FROM version_probe"));
  json v2 = version();
  EXPECT_GT(v2["views_version"].get<uint64_t>(), v1["views_version"].get<uint64_t>());
  ASSERT_TRUE(svc().Sql("DROP VIEW version_probe_v; DROP TABLE version_probe"));
  EXPECT_GT(version()["sequence"].get<uint64_t>(), v2["sequence"].get<uint64_t>());
}

TEST_F(ControlPlaneTest, StopsCleanlyOnSigterm) {
  std::string err;
  LocalSvcOptions o;
  o.seed_demo = false;
  auto extra = LocalSvc::Start(o, &err);
  ASSERT_NE(extra, nullptr) << err;
  pid_t pid = extra->pid();
  int status = extra->Stop();
  EXPECT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_NE(kill(pid, 0), 0);  // gone
}

TEST_F(ControlPlaneTest, DatabaseFileOutlivesTheProcess) {
  char dir[] = "/tmp/nv-localsvc-db-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/demo.duckdb";
  LocalSvcOptions o;
  o.extra_args = {"--db", path};
  for (int round = 0; round < 2; ++round) {
    std::string err;
    auto s = LocalSvc::Start(o, &err);  // seeds the first time, keeps the data the second
    ASSERT_NE(s, nullptr) << err;
    if (round == 0) {
      ASSERT_TRUE(s->Sql("CREATE TABLE kept (a INTEGER); INSERT INTO kept VALUES (5)"));
    }
    std::string sql_err;
    EXPECT_TRUE(s->Sql("SELECT a FROM kept", &sql_err)) << sql_err;
    EXPECT_TRUE(s->Sql("SELECT * FROM sales.customers", &sql_err)) << sql_err;
    EXPECT_EQ(WEXITSTATUS(s->Stop()), 0);
  }
  std::filesystem::remove_all(dir);
}

// A client that stops reading a large stream must not keep the service from stopping.
TEST_F(ControlPlaneTest, StopsPromptlyWhileAReaderStalls) {
  std::string err;
  LocalSvcOptions o;
  o.seed_demo = false;
  auto extra = LocalSvc::Start(o, &err);
  ASSERT_NE(extra, nullptr) << err;
  std::string token = extra->Login();
  std::atomic<bool> got_data{false};
  std::atomic<bool> release{false};
  std::thread reader([&] {
    CURL* curl = curl_easy_init();
    std::string body = R"js({"sql":"SELECT i FROM range(50000000) t(i)"})js";
    curl_slist* h = curl_slist_append(nullptr, ("Authorization: Bearer " + token).c_str());
    std::string url = extra->node_url() + "/api/v1/query/stream/binary";
    struct Ctx {
      std::atomic<bool>* got;
      std::atomic<bool>* release;
    } ctx{&got_data, &release};
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, h);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &ctx);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, +[](char*, size_t size, size_t n, void* u) {
      auto* c = static_cast<Ctx*>(u);
      *c->got = true;
      while (!*c->release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      return size * n;
    });
    curl_easy_perform(curl);
    curl_slist_free_all(h);
    curl_easy_cleanup(curl);
  });
  while (!got_data) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  // Give the service time to fill the socket buffers and block in a write.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  auto t0 = std::chrono::steady_clock::now();
  int status = extra->Stop();
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  release = true;
  reader.join();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_LT(took, 8.0);
}

}  // namespace
}  // namespace nv_test
