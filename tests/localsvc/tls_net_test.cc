#include <curl/curl.h>
#include <gtest/gtest.h>

#include "tests/localsvc/net_helpers.h"

namespace nv_test {
namespace {

// A bare GET with a chosen trust and client identity; returns the CURLcode.
int RawGet(const std::string& url, const std::string& ca, const std::string& cert,
           const std::string& key, long* status) {
  CURL* curl = curl_easy_init();
  if (curl == nullptr) return -1;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 20L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION,
                   +[](char*, size_t size, size_t n, void*) { return size * n; });
  if (!ca.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, ca.c_str());
  if (!cert.empty()) {
    curl_easy_setopt(curl, CURLOPT_SSLCERT, cert.c_str());
    curl_easy_setopt(curl, CURLOPT_SSLKEY, key.c_str());
  }
  CURLcode rc = curl_easy_perform(curl);
  *status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, status);
  curl_easy_cleanup(curl);
  return static_cast<int>(rc);
}

TEST(LocalSvcTls, ServesHttpsOnEveryPort) {
  std::string err;
  LocalSvcOptions o;
  o.tls = true;
  auto svc = LocalSvc::Start(o, &err);
  ASSERT_NE(svc, nullptr) << err;
  EXPECT_TRUE(svc->tls());
  EXPECT_EQ(svc->control_plane_url().rfind("https://127.0.0.1:", 0), 0u);
  EXPECT_EQ(svc->node_url().rfind("https://127.0.0.1:", 0), 0u);
  std::string token = svc->Login();
  ASSERT_FALSE(token.empty());
  QueryStream q = DecodeQueryStream(PostQuery(*svc, token, "SELECT 41 + 1 AS answer").body);
  EXPECT_TRUE(q.eos);
  EXPECT_EQ(TotalRows(q), 1);

  // The name in the certificate matters: localhost is in it, and an untrusted CA is refused.
  std::string local = svc->control_plane_url();
  local.replace(local.find("127.0.0.1"), 9, "localhost");
  long status = 0;
  EXPECT_EQ(RawGet(local + "/api/v1/events/version", svc->tls_files().ca_cert, {}, {}, &status),
            CURLE_OK);
  EXPECT_EQ(status, 401);
  EXPECT_EQ(RawGet(svc->control_plane_url() + "/api/v1/events/version", {}, {}, {}, &status),
            CURLE_PEER_FAILED_VERIFICATION);
  std::string plain = svc->control_plane_url();
  plain.replace(0, 5, "http");
  EXPECT_NE(RawGet(plain + "/api/v1/events/version", {}, {}, {}, &status), CURLE_OK);
}

TEST(LocalSvcTls, DemandsClientCertificates) {
  std::string err;
  LocalSvcOptions o;
  o.tls = true;
  o.require_client_cert = true;
  o.seed_demo = false;
  auto svc = LocalSvc::Start(o, &err);
  ASSERT_NE(svc, nullptr) << err;
  const TlsFiles& t = svc->tls_files();
  const std::string url = svc->control_plane_url() + "/api/v1/events/version";
  long status = 0;
  EXPECT_NE(RawGet(url, t.ca_cert, {}, {}, &status), CURLE_OK);
  EXPECT_EQ(RawGet(url, t.ca_cert, t.client_cert, t.client_key, &status), CURLE_OK);
  EXPECT_EQ(status, 401);  // through TLS, then refused for lack of a token
  EXPECT_FALSE(svc->Login().empty());
}

}  // namespace
}  // namespace nv_test
