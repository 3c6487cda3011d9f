// The request builder against the local service: what every request carries, redirects that
// are never followed, proxy settings that cannot be dropped, and IPv6 nodes.
#include <gtest/gtest.h>

#include <curl/curl.h>

#include <string>
#include <vector>

#include "core/connection_internal.h"
#include "core/request_internal.h"
#include "norvale/nv_cells.h"
#include "norvale/nv_core.h"
#include "norvale/nv_query.h"
#include "support/localsvc_fixture.h"

namespace {

using nv_test::LocalSvc;

std::string port_of(const std::string& url) { return url.substr(url.rfind(':') + 1); }

size_t keep_body(char* data, size_t size, size_t n, void* user) {
  static_cast<std::string*>(user)->append(data, size * n);
  return size * n;
}

class TransportNet : public nv_test::LocalSvcTest {};

TEST_F(TransportNet, BuilderSetsWhatEveryRequestShares) {
  NVConnExtras extras{};
  extras.application_name = "Probe";
  extras.connect_timeout = 3;
  norvale::RequestSpec spec;
  spec.url = svc().control_plane_url() + "/api/v1/events/version";
  spec.headers = {"Accept: application/json", "X-Extra: 1"};
  const std::string token = svc().Login();
  spec.bearer_token = token;
  auto req = norvale::PreparedRequest::Make(norvale::RequestEnv{nullptr, &extras, nullptr}, spec);
  ASSERT_TRUE(req.ok()) << req.status().ToString();
  std::string body;
  curl_easy_setopt((*req)->handle(), CURLOPT_WRITEFUNCTION, keep_body);
  curl_easy_setopt((*req)->handle(), CURLOPT_WRITEDATA, &body);
  ASSERT_EQ((*req)->Perform(), CURLE_OK) << (*req)->ErrorText(CURLE_OK);
  EXPECT_EQ((*req)->status(), 200) << body;  // the bearer token was accepted
  const auto headers = svc().Counters()["last_headers"]["version"];
  EXPECT_EQ(headers.value("user-agent", ""), "Norvale-ODBC/1.0.0-alpha Probe");
  EXPECT_EQ(headers.value("x-extra", ""), "1");

  // Values that would end a header line, or a proxy value that cannot be used, are refused
  // before anything is sent.
  const int64_t before = svc().Counter("requests.version");
  spec.headers = {"X-Bad: a\r\nX-Injected: b"};
  EXPECT_TRUE(norvale::PreparedRequest::Make({}, spec).status().IsInvalid());
  spec.headers.clear();
  spec.bearer_token = "tok\nX-Injected: b";
  EXPECT_TRUE(norvale::PreparedRequest::Make({}, spec).status().IsInvalid());
  spec.bearer_token = {};
  extras.proxy_url = "http://127.0.0.1:9\r\n";
  EXPECT_TRUE(
      norvale::PreparedRequest::Make(norvale::RequestEnv{nullptr, &extras, nullptr}, spec)
          .status()
          .IsInvalid());
  EXPECT_EQ(svc().Counter("requests.version"), before);
}

// Each redirect points at the compute node's query endpoint, where a followed request would be
// counted.
TEST_F(TransportNet, RedirectsAreNeverFollowed) {
  const std::string node_port = port_of(svc().node_url());
  const std::string query_path = "/api/v1/query/stream/binary";
  const std::vector<std::string> targets = {
      svc().node_url() + query_path,                          // another port
      "http://localhost:" + node_port + query_path,           // another host name
      "https://127.0.0.1:" + node_port + query_path,          // another scheme
      svc().control_plane_url() + "/api/v1/auth/token?again"  // same origin
  };
  const std::string token = svc().Login();
  for (const int status : {301, 302, 303, 307, 308}) {
    for (const std::string& target : targets) {
      SCOPED_TRACE(std::to_string(status) + " to " + target);
      svc().ClearFaults();
      char err[512] = "";
      // Password login: a followed 307/308 would re-post the password.
      svc().AddFault({{"endpoint", "auth"}, {"status", status}, {"location", target}});
      NVAuthResult result{};
      EXPECT_EQ(nv_auth_login_password(svc().control_plane_url().c_str(), LocalSvc::kUser,
                                       LocalSvc::kPassword, nullptr, nullptr, nullptr, &result,
                                       err, sizeof err),
                -1);
      EXPECT_NE(std::string(err).find("(HTTP " + std::to_string(status) + ")"),
                std::string::npos)
          << err;
      nv_auth_result_free(&result);
      // A request with a bearer token.
      svc().AddFault({{"endpoint", "lookup"}, {"status", status}, {"location", target}});
      NVNodeRoute route{};
      EXPECT_EQ(nv_route_lookup_by_entity_ref(svc().control_plane_url().c_str(), token.c_str(),
                                              svc().nodes()[0].entity_ref.c_str(), nullptr,
                                              nullptr, nullptr, &route, err, sizeof err),
                -1);
      nv_node_route_free(&route);
      EXPECT_EQ(svc().Counter("requests.query"), 0);
      EXPECT_EQ(svc().Counter("requests.auth"), 1);
    }
  }
}

TEST_F(TransportNet, ProxyWithLineBreakFailsTheConnection) {
  const char* bad = "http://127.0.0.1:3128\r\nX-Injected: 1";
  for (int field = 0; field < 3; ++field) {
    SCOPED_TRACE(field);
    NVConnExtras extras{};
    extras.proxy_url = field == 0 ? bad : "http://127.0.0.1:9";
    if (field == 1) extras.proxy_user = "user\n";
    if (field == 2) extras.proxy_pass = "pa\rss";
    char err[512] = "";
    NVConnection* conn =
        nv_connect(svc().control_plane_url().c_str(), svc().node_url().c_str(), nullptr, nullptr,
                   LocalSvc::kUser, LocalSvc::kPassword, nullptr, &extras, err, sizeof err);
    EXPECT_EQ(conn, nullptr);
    EXPECT_NE(std::string(err).find("contains forbidden control characters"), std::string::npos)
        << err;
    if (conn != nullptr) nv_disconnect(conn);
  }
  // Nothing went out, directly or otherwise.
  EXPECT_EQ(svc().Counter("requests.auth"), 0);
}

class Ipv6Net : public nv_test::LocalSvcTest {
 public:
  static void SetUpTestSuite() {
    nv_test::LocalSvcOptions o;
    o.extra_args = {"--host", "::1"};
    StartShared(o);
  }
};

TEST_F(Ipv6Net, NodeOnIpv6LoopbackIsReachable) {
  ASSERT_EQ(svc().control_plane_url().rfind("http://[::1]:", 0), 0u) << svc().control_plane_url();
  const std::string token = svc().Login();
  ASSERT_FALSE(token.empty());
  char err[512] = "";
  NVNodeRoute route{};
  ASSERT_EQ(nv_route_lookup_by_entity_ref(svc().control_plane_url().c_str(), token.c_str(),
                                          svc().nodes()[0].entity_ref.c_str(), nullptr, nullptr,
                                          nullptr, &route, err, sizeof err),
            0)
      << err;
  EXPECT_STREQ(route.url, ("http://[::1]:" + port_of(svc().node_url())).c_str());
  nv_node_route_free(&route);

  // Routed by the control plane, then queried.
  NVConnection* conn = nv_connect(svc().control_plane_url().c_str(), nullptr,
                                  svc().nodes()[0].entity_ref.c_str(), token.c_str(), nullptr,
                                  nullptr, nullptr, nullptr, err, sizeof err);
  ASSERT_NE(conn, nullptr) << err;
  NVQueryHandle* q = nv_execute(conn, "SELECT 7 AS x", 0, 0, err, sizeof err);
  ASSERT_NE(q, nullptr) << err;
  int64_t batches = 0;
  while (NVArrowBatch* b = nv_next_batch(q, err, sizeof err)) {
    ++batches;
    nv_batch_free(b);
  }
  EXPECT_EQ(nv_query_error(q), nullptr) << nv_query_error(q);
  EXPECT_GT(batches, 0);
  nv_query_close(q);
  nv_disconnect(conn);
}

}  // namespace
