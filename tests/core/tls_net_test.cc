// TLS against the local service over https with throw-away certificates.
#include <gtest/gtest.h>

#include <string>

#include "norvale/nv_core.h"
#include "support/localsvc_fixture.h"

namespace {

using nv_test::LocalSvc;

/// Logs in over TLS; "" on success, else the error text.
std::string login(const std::string& url, const NVTlsConfig& tls) {
  NVAuthResult result{};
  char err[1024] = "";
  const int rc = nv_auth_login_password(url.c_str(), LocalSvc::kUser, LocalSvc::kPassword, &tls,
                                        nullptr, nullptr, &result, err, sizeof(err));
  nv_auth_result_free(&result);
  return rc == 0 ? "" : err;
}

std::string port_of(const std::string& url) { return url.substr(url.rfind(':') + 1); }

class TlsNet : public nv_test::LocalSvcTest {
 public:
  static void SetUpTestSuite() {
    nv_test::LocalSvcOptions o;
    o.tls = true;
    // Listening on every address lets a request reach the service under 127.0.0.2, which the
    // server certificate does not name.
    o.extra_args = {"--host", "0.0.0.0"};
    StartShared(o);
  }

 protected:
  void SetUp() override {
    LocalSvcTest::SetUp();
    nv_tls_config_init(&tls_);
  }
  NVTlsConfig tls_{};
};

TEST_F(TlsNet, VerifiesWithTheCaBundleOnly) {
  const std::string& cp = svc().control_plane_url();
  ASSERT_EQ(cp.rfind("https://", 0), 0u) << cp;
  tls_.ca_certificate = svc().tls_files().ca_cert.c_str();
  EXPECT_EQ(login(cp, tls_), "");

  nv_tls_config_init(&tls_);
  const std::string err = login(cp, tls_);
  EXPECT_EQ(err.rfind("HTTP transport error: ", 0), 0u) << err;
  EXPECT_NE(err.find("certificate"), std::string::npos) << err;
}

TEST_F(TlsNet, TrustServerCertificateSkipsVerification) {
  tls_.trust_server_certificate = 1;
  EXPECT_EQ(login(svc().control_plane_url(), tls_), "");
}

TEST_F(TlsNet, HostNameInCertificateOverride) {
  const std::string other = "https://127.0.0.2:" + port_of(svc().control_plane_url());
  tls_.ca_certificate = svc().tls_files().ca_cert.c_str();
  EXPECT_NE(login(other, tls_), "");  // the certificate does not name 127.0.0.2
  tls_.hostname_in_certificate = "localhost";
  EXPECT_EQ(login(other, tls_), "");
}

TEST_F(TlsNet, HostNameInCertificateWithADnsHost) {
  // The URL names a DNS host; the certificate is checked against another name, which is never
  // looked up: the connection goes to the URL's own host.
  const std::string url = "https://localhost:" + port_of(svc().control_plane_url());
  tls_.ca_certificate = svc().tls_files().ca_cert.c_str();
  tls_.hostname_in_certificate = "node.norvale.test";
  EXPECT_EQ(login(url, tls_), "");
  tls_.hostname_in_certificate = "other.norvale.test";  // not in the certificate
  const std::string err = login(url, tls_);
  EXPECT_EQ(err.rfind("HTTP transport error: ", 0), 0u) << err;
  tls_.hostname_in_certificate = "bad:name";
  EXPECT_EQ(login(url, tls_),
            "TLS configuration: HostNameInCertificate 'bad:name' is not a host name");
}

TEST_F(TlsNet, MinimumVersionTls12IsAccepted) {
  tls_.ca_certificate = svc().tls_files().ca_cert.c_str();
  tls_.min_tls_version = 12;
  EXPECT_EQ(login(svc().control_plane_url(), tls_), "");
}

TEST_F(TlsNet, ConnectOverHttpsRoutesToHttpsNodes) {
  tls_.ca_certificate = svc().tls_files().ca_cert.c_str();
  tls_.encrypt = 3;
  char err[1024] = "";
  NVConnection* conn =
      nv_connect(svc().control_plane_url().c_str(), nullptr, nullptr, nullptr, LocalSvc::kUser,
                 LocalSvc::kPassword, &tls_, nullptr, err, sizeof(err));
  ASSERT_NE(conn, nullptr) << err;
  EXPECT_EQ(std::string(nv_connection_compute_url(conn)).rfind("https://", 0), 0u);
  EXPECT_EQ(svc().AwaitCounter("confirms", 1), 1);
  nv_disconnect(conn);
}

class MutualTlsNet : public nv_test::LocalSvcTest {
 public:
  static void SetUpTestSuite() {
    nv_test::LocalSvcOptions o;
    o.tls = true;
    o.require_client_cert = true;
    StartShared(o);
  }
};

TEST_F(MutualTlsNet, ClientCertificateRequired) {
  NVTlsConfig tls;
  nv_tls_config_init(&tls);
  tls.ca_certificate = svc().tls_files().ca_cert.c_str();
  EXPECT_NE(login(svc().control_plane_url(), tls), "");
  tls.client_cert = svc().tls_files().client_cert.c_str();
  tls.client_key = svc().tls_files().client_key.c_str();
  EXPECT_EQ(login(svc().control_plane_url(), tls), "");
}

}  // namespace
