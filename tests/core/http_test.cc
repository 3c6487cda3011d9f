// Request helpers that need no server: failure texts, time-outs, slashes, escaping.
#include <gtest/gtest.h>

#include <string>

#include "core/http_internal.h"
#include "core/route_internal.h"
#include "norvale/nv_core.h"

namespace {

TEST(FormatHttpError, JsonErrorTextOrBodyPrefix) {
  struct Case {
    std::string body;
    std::string detail;
  } cases[] = {
      {R"({"error":"denied"})", "denied"},
      {R"({"error":{"code":1}})", R"({"error":{"code":1}})"},
      {R"({"message":"m"})", R"({"message":"m"})"},
      {"not json", "not json"},
      {"", ""},
  };
  for (const Case& c : cases) {
    char err[512];
    norvale::format_http_error("compute node lookup", 503, c.body, err, sizeof(err));
    EXPECT_EQ(std::string(err), "compute node lookup failed (HTTP 503): " + c.detail);
  }
  const std::string html = "<html>" + std::string(994, 'y');
  char err[2048];
  norvale::format_http_error("x", 500, html, err, sizeof(err));
  EXPECT_EQ(std::string(err), "x failed (HTTP 500): " + html.substr(0, 256));
}

TEST(ConnectTimeout, ExtrasValueOrTenSeconds) {
  NVConnExtras extras{};
  EXPECT_EQ(norvale::connect_timeout_from_extras(nullptr), 10);
  extras.connect_timeout = 0;
  EXPECT_EQ(norvale::connect_timeout_from_extras(&extras), 10);
  extras.connect_timeout = -5;
  EXPECT_EQ(norvale::connect_timeout_from_extras(&extras), 10);
  extras.connect_timeout = 1;
  EXPECT_EQ(norvale::connect_timeout_from_extras(&extras), 1);
  extras.connect_timeout = 45;
  EXPECT_EQ(norvale::connect_timeout_from_extras(&extras), 45);
}

TEST(TrimTrailingSlashes, RemovesOnlyTheTail) {
  EXPECT_EQ(norvale::trim_trailing_slashes("https://node:8443///"), "https://node:8443");
  EXPECT_EQ(norvale::trim_trailing_slashes("http://h/a/b/"), "http://h/a/b");
  EXPECT_EQ(norvale::trim_trailing_slashes("http://h"), "http://h");
  EXPECT_EQ(norvale::trim_trailing_slashes("///"), "");
}

TEST(PercentEncode, EscapesAllButUnreserved) {
  EXPECT_EQ(norvale::percent_encode("node/a b"), "node%2Fa%20b");
  EXPECT_EQ(norvale::percent_encode("AZaz09-._~"), "AZaz09-._~");
  EXPECT_EQ(norvale::percent_encode("?#%&=+:\xc3\xa9"), "%3F%23%25%26%3D%2B%3A%C3%A9");
  EXPECT_EQ(norvale::percent_encode(""), "");
}

TEST(DoHttp, RefusesTokenWithLineBreakBeforeSending) {
  std::string response;
  char err[256];
  EXPECT_EQ(norvale::do_http("http://127.0.0.1:9/x", "GET", nullptr, "tok\r\nX-Evil: 1",
                             nullptr, nullptr, nullptr, &response, err, sizeof(err)),
            -1);
  EXPECT_STREQ(err,
               "HTTP transport error: bearer token contains forbidden control characters");
}

TEST(DoHttp, TlsSettingsRejectedBeforeAnyRequest) {
  NVTlsConfig tls;
  nv_tls_config_init(&tls);
  tls.min_tls_version = 99;
  std::string response;
  char err[256];
  EXPECT_EQ(norvale::do_http("https://127.0.0.1:9/x", "GET", nullptr, nullptr, &tls, nullptr,
                             nullptr, &response, err, sizeof(err)),
            -1);
  EXPECT_STREQ(err, "TLS configuration: internal: bad min TLS version 99 (validate should have "
                    "caught this)");
}

TEST(DoHttp, TransportFailureNamesCurlError) {
  // Nothing listens on port 9 of loopback in the build root.
  std::string response;
  char err[512];
  EXPECT_EQ(norvale::do_json_post("http://127.0.0.1:9/api", "{}", nullptr, nullptr, nullptr,
                                  &response, err, sizeof(err)),
            -1);
  EXPECT_EQ(std::string(err).rfind("HTTP transport error: ", 0), 0u) << err;
}

TEST(ExplicitRoute, TrimsSlashesAndLeavesTheRestEmpty) {
  NVNodeRoute route{};
  char err[128];
  ASSERT_EQ(nv_route_from_explicit_url("https://node:8443///", &route, err, sizeof(err)), 0);
  EXPECT_STREQ(route.url, "https://node:8443");
  EXPECT_EQ(route.node_id, nullptr);
  EXPECT_EQ(route.node_entity_ref, nullptr);
  EXPECT_EQ(route.reservation_id, nullptr);
  nv_node_route_free(&route);
  EXPECT_EQ(route.url, nullptr);
  nv_node_route_free(&route);
  nv_node_route_free(nullptr);

  EXPECT_EQ(nv_route_from_explicit_url(nullptr, &route, err, sizeof(err)), -1);
  EXPECT_STREQ(err, "nv_route_from_explicit_url: NULL argument");
}

TEST(RouteRequests, NullArguments) {
  NVNodeRoute route{};
  char err[128];
  EXPECT_EQ(nv_route_lookup_by_entity_ref("http://h", nullptr, "n", nullptr, nullptr, nullptr,
                                          &route, err, sizeof(err)),
            -1);
  EXPECT_STREQ(err, "nv_route_lookup_by_entity_ref: NULL argument");
  EXPECT_EQ(nv_route_recommend("http://h", "t", nullptr, nullptr, nullptr, nullptr, nullptr,
                               err, sizeof(err)),
            -1);
  EXPECT_STREQ(err, "nv_route_recommend: NULL argument");
  EXPECT_EQ(nv_route_confirm("http://h", "t", nullptr, nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(nv_route_abandon(nullptr, "t", "r", nullptr, nullptr, nullptr), -1);
}

}  // namespace
