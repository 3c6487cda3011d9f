#include <curl/curl.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/localsvc/net_helpers.h"

namespace nv_test {
namespace {

using nlohmann::json;

int PortOf(const std::string& url) { return std::stoi(url.substr(url.rfind(':') + 1)); }

struct EasyDeleter {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

// Every port of the service, over http and https: the service's own side of an accepted
// connection has Nagle's algorithm off, so that the last bytes of an answer are not held back
// until the client acknowledges the previous ones.
class SocketOptionsTest : public ::testing::TestWithParam<bool> {};

TEST_P(SocketOptionsTest, AcceptedConnectionsHaveNoDelay) {
  LocalSvcOptions opts;
  opts.tls = GetParam();
  opts.seed_demo = false;
  std::string err;
  auto svc = LocalSvc::Start(opts, &err);
  ASSERT_NE(svc, nullptr) << err;

  struct Port {
    std::string base;
    std::string path;
    std::string body;  // POST when not empty
  };
  const std::string query = R"({"sql":"SELECT 42 AS answer"})";
  for (const Port& port : {Port{svc->control_plane_url(), "/api/v1/events/version", {}},
                           Port{svc->node_url(0), "/api/v1/query/stream/binary", query}}) {
    SCOPED_TRACE(port.base);
    // A kept-alive connection stays open in the handle's cache while the sockets are listed.
    std::unique_ptr<CURL, EasyDeleter> curl(curl_easy_init());
    const std::string url = port.base + port.path;
    const std::string auth = "Authorization: Bearer " + svc->admin_token();
    std::unique_ptr<curl_slist, SlistDeleter> headers(curl_slist_append(nullptr, auth.c_str()));
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
    if (!port.body.empty()) curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, port.body.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION,
                     +[](char*, size_t size, size_t n, void*) { return size * n; });
    if (opts.tls) curl_easy_setopt(curl.get(), CURLOPT_CAINFO, svc->tls_files().ca_cert.c_str());
    ASSERT_EQ(curl_easy_perform(curl.get()), CURLE_OK);
    long status = 0;
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
    ASSERT_EQ(status, 200);
    long client_port = 0;
    curl_easy_getinfo(curl.get(), CURLINFO_LOCAL_PORT, &client_port);

    HttpReply r = svc->Http("GET", svc->control_plane_url() + "/api/v1/admin/sockets", {},
                            svc->admin_token());
    ASSERT_EQ(r.status, 200) << r.body;
    json sockets = json::parse(r.body)["sockets"];
    int found = 0;
    for (const json& s : sockets) {
      if (s["remote_port"] != client_port || s["local_port"] != PortOf(port.base)) continue;
      ++found;
      EXPECT_TRUE(s["nodelay"].get<bool>()) << s.dump();
    }
    EXPECT_EQ(found, 1) << sockets.dump();
  }
}

INSTANTIATE_TEST_SUITE_P(HttpAndHttps, SocketOptionsTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Https" : "Http"; });

}  // namespace
}  // namespace nv_test
