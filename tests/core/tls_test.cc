// URL splitting, TLS validation and the translation of TLS settings into libcurl options.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "core/curl_handles_internal.h"
#include "core/tls_internal.h"
#include "norvale/nv_core.h"
#include "support/test_files.h"

namespace {

using norvale::parse_url;

TEST(ParseUrl, SplitsSchemeHostAndPort) {
  struct Case {
    const char* url;
    const char* scheme;
    const char* host;
    const char* port;
  } cases[] = {
      {"HTTPS://Host:8443/x", "https", "Host", "8443"},
      {"http://h/", "http", "h", "80"},
      {"https://h", "https", "h", "443"},
      {"https://[::1]/", "https", "[::1]", "443"},
      {"https://[::1]:9000/", "https", "[::1]", "9000"},
      {"https://[::1", "https", "[::1", "443"},
      {"http://h:81?q=1:2", "http", "h", "81"},
      {"http://h#frag:1", "http", "h", "80"},
      {"http://h:abc/", "http", "h", "abc"},
      {"FTP://x:21", "ftp", "x", "21"},
      {"no-scheme.example/path", "", "", ""},
      {"", "", "", ""},
  };
  for (const Case& c : cases) {
    const norvale::UrlParts parts = parse_url(c.url);
    EXPECT_EQ(parts.scheme, c.scheme) << c.url;
    EXPECT_EQ(parts.host, c.host) << c.url;
    EXPECT_EQ(parts.port, c.port) << c.url;
  }
}

TEST(HostOverride, ConnectToEntryAndRewrittenUrl) {
  const auto o = norvale::host_override_for("https://10.1.2.3:8443/api?x=1", "node.internal");
  EXPECT_EQ(o.connect_to_entry, "node.internal:8443:10.1.2.3:8443");
  EXPECT_EQ(o.url, "https://node.internal:8443/api?x=1");

  const auto bare = norvale::host_override_for("https://127.0.0.1", "cert.name");
  EXPECT_EQ(bare.connect_to_entry, "cert.name:443:127.0.0.1:443");
  EXPECT_EQ(bare.url, "https://cert.name:443");

  // DNS hosts and IPv6 literals are connected to as they are.
  const auto dns = norvale::host_override_for("https://localhost:9/x", "c");
  EXPECT_EQ(dns.connect_to_entry, "c:9:localhost:9");
  const auto v6 = norvale::host_override_for("https://[::1]:9/x", "c");
  EXPECT_EQ(v6.connect_to_entry, "c:9:[::1]:9");

  EXPECT_TRUE(norvale::host_override_for("https:///path", "n").url.empty());
}

class TlsValidate : public ::testing::Test {
 protected:
  void SetUp() override {
    nv_tls_config_init(&cfg_);
    readable_ = dir_.path() + "/ca.pem";
    std::ofstream(readable_) << "-----BEGIN CERTIFICATE-----\n";
    missing_ = dir_.path() + "/missing.pem";
  }

  std::string validate(const char* url) {
    char err[512] = "untouched";
    const int rc = nv_tls_validate(&cfg_, url, err, sizeof(err));
    return rc == 0 ? "" : err;
  }

  nv_test::TempDir dir_;
  NVTlsConfig cfg_{};
  std::string readable_;
  std::string missing_;
};

TEST_F(TlsValidate, Defaults) {
  NVTlsConfig cfg;
  cfg.encrypt = 9;
  cfg.client_key = "x";
  nv_tls_config_init(&cfg);
  EXPECT_EQ(cfg.encrypt, 1);
  EXPECT_EQ(cfg.trust_server_certificate, 0);
  EXPECT_EQ(cfg.min_tls_version, 0);
  EXPECT_EQ(cfg.client_key, nullptr);
  nv_tls_config_init(nullptr);  // accepted
}

TEST_F(TlsValidate, NullArguments) {
  char err[128];
  EXPECT_EQ(nv_tls_validate(nullptr, "http://h", err, sizeof(err)), -1);
  EXPECT_STREQ(err, "nv_tls_validate: cfg is NULL");
  EXPECT_EQ(nv_tls_validate(&cfg_, nullptr, err, sizeof(err)), -1);
  EXPECT_STREQ(err, "nv_tls_validate: url is NULL");
  EXPECT_EQ(nv_tls_validate(&cfg_, nullptr, nullptr, 0), -1);  // no buffer is fine
}

TEST_F(TlsValidate, SchemesAndEncryptModes) {
  struct Case {
    int encrypt;
    const char* url;
    std::string expected;  // empty: accepted
  } cases[] = {
      {1, "h:443", "URL has no scheme; expected http:// or https:// (got 'h:443')"},
      {1, "ftp://h", "unsupported URL scheme 'ftp'; only http and https are supported"},
      {1, "HTTPS://h", ""},
      {1, "http://h", ""},
      {1, "https://h", ""},
      {7, "http://h", ""},
      {2, "http://h", "Encrypt=Mandatory requires an https:// URL but Server is http://h"},
      {3, "http://h", "Encrypt=Strict requires an https:// URL but Server is http://h"},
      {2, "https://h", ""},
      {3, "HTTPS://h", ""},
      {0, "https://h",
       "Encrypt=No conflicts with https:// URL https://h; use Encrypt=Optional or change the "
       "URL to http://"},
      {0, "http://h", ""},
  };
  for (const Case& c : cases) {
    cfg_.encrypt = c.encrypt;
    EXPECT_EQ(validate(c.url), c.expected) << c.encrypt << " " << c.url;
  }
}

TEST_F(TlsValidate, MinimumVersions) {
  for (int v : {0, 10, 11, 12, 13}) {
    cfg_.min_tls_version = v;
    EXPECT_EQ(validate("https://h"), "") << v;
  }
  for (int v : {-1, 1, 9, 14, 100}) {
    cfg_.min_tls_version = v;
    EXPECT_EQ(validate("https://h"),
              "MinimumTLSVersion=" + std::to_string(v) + " is not a recognized version");
  }
}

TEST_F(TlsValidate, TrustConflictsAndPaths) {
  cfg_.trust_server_certificate = 1;
  cfg_.ca_certificate = readable_.c_str();
  EXPECT_EQ(validate("https://h"), "TrustServerCertificate=Yes is incompatible with "
                                   "CACertificate=" + readable_ + "; remove one of them");
  cfg_.ca_certificate = "";
  cfg_.hostname_in_certificate = "n";
  EXPECT_EQ(validate("https://h"),
            "HostNameInCertificate is meaningless when TrustServerCertificate=Yes; remove one "
            "of them");
  cfg_.hostname_in_certificate = "";
  EXPECT_EQ(validate("https://h"), "");

  cfg_.trust_server_certificate = 0;
  cfg_.ca_certificate = missing_.c_str();
  EXPECT_EQ(validate("https://h"), "CACertificate path not readable: " + missing_);
  cfg_.ca_certificate = readable_.c_str();
  EXPECT_EQ(validate("https://h"), "");
}

TEST_F(TlsValidate, ClientCertificateAndKey) {
  struct Case {
    const char* cert;
    const char* key;
    std::string expected;
  };
  const std::string both = "Client-cert mTLS requires BOTH SSLCERT and SSLKEY ";
  const Case cases[] = {
      {nullptr, "k.pem", both + "(SSLCERT='', SSLKEY='k.pem')"},
      {"", "k.pem", both + "(SSLCERT='', SSLKEY='k.pem')"},
      {"c.pem", nullptr, both + "(SSLCERT='c.pem', SSLKEY='')"},
      {"c.pem", "", both + "(SSLCERT='c.pem', SSLKEY='')"},
      {missing_.c_str(), readable_.c_str(), "SSLCERT path not readable: " + missing_},
      {readable_.c_str(), missing_.c_str(), "SSLKEY path not readable: " + missing_},
      {readable_.c_str(), readable_.c_str(), ""},
      {nullptr, nullptr, ""},
      {"", "", ""},
  };
  for (const Case& c : cases) {
    cfg_.client_cert = c.cert;
    cfg_.client_key = c.key;
    EXPECT_EQ(validate("https://h"), c.expected);
  }
}

TEST_F(TlsValidate, FirstFailureWins) {
  // Scheme problems come before conflicting settings, and those before unreadable files.
  cfg_.encrypt = 2;
  cfg_.trust_server_certificate = 1;
  cfg_.ca_certificate = missing_.c_str();
  EXPECT_EQ(validate("http://h"),
            "Encrypt=Mandatory requires an https:// URL but Server is http://h");
  EXPECT_NE(validate("https://h").find("TrustServerCertificate=Yes"), std::string::npos);
}

TEST_F(TlsValidate, TruncatesIntoSmallBuffer) {
  char err[8];
  EXPECT_EQ(nv_tls_validate(&cfg_, "ftp://h", err, sizeof(err)), -1);
  EXPECT_STREQ(err, "unsuppo");
}

class TlsApply : public TlsValidate {
 protected:
  norvale::CurlEasyPtr curl_{curl_easy_init()};
};

TEST_F(TlsApply, NullArguments) {
  char err[128];
  EXPECT_EQ(nv_tls_apply_to_curl(nullptr, &cfg_, "https://h", nullptr, err, sizeof(err)), -1);
  EXPECT_STREQ(err, "nv_tls_apply_to_curl: NULL argument");
  EXPECT_EQ(nv_tls_apply_to_curl(curl_.get(), nullptr, "https://h", nullptr, err, sizeof(err)),
            -1);
  EXPECT_EQ(nv_tls_apply_to_curl(curl_.get(), &cfg_, nullptr, nullptr, err, sizeof(err)), -1);
}

TEST_F(TlsApply, PlainSettingsNeedNoResolveList) {
  cfg_.min_tls_version = 12;
  cfg_.ca_certificate = readable_.c_str();
  cfg_.client_cert = readable_.c_str();
  cfg_.client_key = readable_.c_str();
  char err[256] = "";
  EXPECT_EQ(nv_tls_apply_to_curl(curl_.get(), &cfg_, "https://h", nullptr, err, sizeof(err)), 0)
      << err;
  curl_slist* resolve = reinterpret_cast<curl_slist*>(0x1);
  EXPECT_EQ(nv_tls_apply_to_curl(curl_.get(), &cfg_, "https://h", &resolve, err, sizeof(err)),
            0);
  EXPECT_EQ(resolve, nullptr);
}

TEST_F(TlsApply, BadVersionIsAnInternalError) {
  cfg_.min_tls_version = 14;
  char err[256];
  EXPECT_EQ(nv_tls_apply_to_curl(curl_.get(), &cfg_, "https://h", nullptr, err, sizeof(err)),
            -1);
  EXPECT_STREQ(err, "internal: bad min TLS version 14 (validate should have caught this)");
}

TEST_F(TlsApply, HostOverrideNeedsResolveList) {
  cfg_.hostname_in_certificate = "node.internal";
  char err[256];
  EXPECT_EQ(nv_tls_apply_to_curl(curl_.get(), &cfg_, "https://10.0.0.5:8443/api", nullptr, err,
                                 sizeof(err)),
            -1);
  EXPECT_STREQ(err,
               "HostNameInCertificate set but caller did not provide a resolve list pointer; "
               "refusing to leak");

  curl_slist* resolve = nullptr;
  EXPECT_EQ(nv_tls_apply_to_curl(curl_.get(), &cfg_, "https:///api", &resolve, err,
                                 sizeof(err)),
            -1);
  EXPECT_STREQ(err, "cannot apply HostNameInCertificate: URL 'https:///api' has no host");
  EXPECT_EQ(resolve, nullptr);

  ASSERT_EQ(nv_tls_apply_to_curl(curl_.get(), &cfg_, "https://10.0.0.5:8443/api", &resolve,
                                 err, sizeof(err)),
            0)
      << err;
  norvale::CurlSlistPtr owned(resolve);
  ASSERT_NE(resolve, nullptr);
  EXPECT_STREQ(resolve->data, "node.internal:8443:10.0.0.5:8443");
  EXPECT_EQ(resolve->next, nullptr);
}

}  // namespace
