// AdbcConnectionInit over https: the TLS options reach the transfers.
#include <gtest/gtest.h>

#include <string>

#include "core/session_cache_internal.h"
#include "norvale_adbc.h"
#include "support/localsvc_fixture.h"

namespace {

using nv_test::LocalSvc;

class ConnectionTlsNet : public nv_test::LocalSvcTest {
 public:
  static void SetUpTestSuite() {
    nv_test::LocalSvcOptions o;
    o.tls = true;
    StartShared(o);
  }

 protected:
  /// Opens a connection with these extra options; "" on success, else the error message.
  std::string open(const std::vector<std::pair<const char*, std::string>>& options,
                   AdbcStatusCode* status = nullptr) {
    norvale::session_cache_clear_for_test();
    AdbcDatabase db{};
    AdbcConnection conn{};
    AdbcError error{};
    nv_adbc_database_new(&db, nullptr);
    nv_adbc_database_set_option(&db, "uri", svc().control_plane_url().c_str(), nullptr);
    nv_adbc_database_set_option(&db, "username", LocalSvc::kUser, nullptr);
    nv_adbc_database_set_option(&db, "password", LocalSvc::kPassword, nullptr);
    for (const auto& [key, value] : options) {
      EXPECT_EQ(nv_adbc_database_set_option(&db, key, value.c_str(), nullptr), ADBC_STATUS_OK);
    }
    EXPECT_EQ(nv_adbc_database_init(&db, nullptr), ADBC_STATUS_OK);
    nv_adbc_connection_new(&conn, nullptr);
    const AdbcStatusCode rc = nv_adbc_connection_init(&conn, &db, &error);
    if (status != nullptr) *status = rc;
    std::string message = error.message != nullptr ? error.message : "";
    if (error.release != nullptr) error.release(&error);
    nv_adbc_connection_release(&conn, nullptr);
    nv_adbc_database_release(&db, nullptr);
    return rc == ADBC_STATUS_OK ? "" : message;
  }
};

TEST_F(ConnectionTlsNet, CaBundleOptionVerifiesTheServer) {
  EXPECT_EQ(open({{"adbc.norvale.tls.ca_bundle", svc().tls_files().ca_cert},
                  {"adbc.norvale.tls.encrypt", "Strict"},
                  {"adbc.norvale.tls.min_version", "1.2"}}),
            "");
  // Released before any work: the reservation is abandoned, over the verified connection too.
  EXPECT_EQ(svc().Counter("abandons"), 1);
  AdbcStatusCode status = ADBC_STATUS_OK;
  const std::string err = open({}, &status);
  EXPECT_EQ(status, ADBC_STATUS_IO);
  EXPECT_EQ(err.rfind("HTTP transport error: SSL certificate", 0), 0u) << err;
}

TEST_F(ConnectionTlsNet, TrustServerCertificateOption) {
  EXPECT_EQ(open({{"adbc.norvale.tls.trust_server_cert", "yes"}}), "");
}

TEST_F(ConnectionTlsNet, HostInCertOption) {
  // 127.0.0.1 is in the certificate as well; the override must still verify as localhost.
  EXPECT_EQ(open({{"adbc.norvale.tls.ca_bundle", svc().tls_files().ca_cert},
                  {"adbc.norvale.tls.host_in_cert", "localhost"}}),
            "");
}

TEST_F(ConnectionTlsNet, HalfGivenClientCertificateFailsBeforeSending) {
  AdbcStatusCode status = ADBC_STATUS_OK;
  const std::string err =
      open({{"adbc.norvale.tls.client_key", svc().tls_files().client_key}}, &status);
  EXPECT_EQ(status, ADBC_STATUS_IO);
  EXPECT_EQ(err, "TLS configuration invalid: Client-cert mTLS requires BOTH SSLCERT and SSLKEY "
                 "(SSLCERT='', SSLKEY='" + svc().tls_files().client_key + "')");
  EXPECT_EQ(svc().Counter("requests.auth"), 0);
}

}  // namespace
