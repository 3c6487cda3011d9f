// Connection arguments, accessors and the session-token cache, without a server.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "core/session_cache_internal.h"
#include "norvale/nv_core.h"

namespace {

TEST(NvConnect, RequiresUrlAndCredentials) {
  char err[256];
  EXPECT_EQ(nv_connect(nullptr, nullptr, nullptr, "tok", nullptr, nullptr, nullptr, nullptr,
                       err, sizeof(err)),
            nullptr);
  EXPECT_STREQ(err, "nv_connect: control_plane_url is required");
  const char* missing = "nv_connect: either session_token or (username + password) is required";
  EXPECT_EQ(nv_connect("http://h", nullptr, nullptr, nullptr, "u", nullptr, nullptr, nullptr,
                       err, sizeof(err)),
            nullptr);
  EXPECT_STREQ(err, missing);
  EXPECT_EQ(nv_connect("http://h", nullptr, nullptr, nullptr, nullptr, "p", nullptr, nullptr,
                       err, sizeof(err)),
            nullptr);
  EXPECT_STREQ(err, missing);
}

TEST(NvConnect, ComputeUrlFailingTlsValidationStopsBeforeRouting) {
  NVTlsConfig tls;
  nv_tls_config_init(&tls);
  tls.encrypt = 2;
  char err[256];
  // A caller-given token needs no login, and the compute URL is checked before any request.
  EXPECT_EQ(nv_connect("https://127.0.0.1:9", "http://127.0.0.1:9", nullptr, "tok", nullptr,
                       nullptr, &tls, nullptr, err, sizeof(err)),
            nullptr);
  EXPECT_STREQ(err,
               "Encrypt=Mandatory requires an https:// URL but Server is http://127.0.0.1:9");
}

TEST(NvConnect, ExplicitComputeUrlWithTokenNeedsNoServer) {
  NVConnExtras extras{};
  extras.connect_timeout = 7;
  extras.max_stream_buffer_mb = 64;
  extras.application_name = "BI";
  extras.proxy_url = "http://proxy:3128";
  extras.proxy_user = "pu";
  extras.proxy_pass = "pp";
  char err[256] = "";
  NVConnection* conn = nv_connect("http://127.0.0.1:9/", "http://127.0.0.1:9///", "", "tok",
                                  nullptr, nullptr, nullptr, &extras, err, sizeof(err));
  ASSERT_NE(conn, nullptr) << err;
  EXPECT_STREQ(nv_connection_session_token(conn), "tok");
  EXPECT_EQ(nv_connection_subject_id(conn), nullptr);
  EXPECT_STREQ(nv_connection_compute_url(conn), "http://127.0.0.1:9");
  EXPECT_EQ(nv_connection_connect_timeout(conn), 7);
  EXPECT_STREQ(nv_connection_application_name(conn), "BI");
  EXPECT_STREQ(nv_connection_user_agent(conn), "Norvale-ODBC/1.0.0-alpha BI");
  EXPECT_STREQ(nv_connection_proxy_url(conn), "http://proxy:3128");
  EXPECT_STREQ(nv_connection_proxy_user(conn), "pu");
  EXPECT_STREQ(nv_connection_proxy_pass(conn), "pp");
  EXPECT_NE(nv_connection_curl_share(conn), nullptr);
  nv_disconnect(conn);
}

TEST(NvConnect, ApplicationNameWithLineBreakIsIgnored) {
  NVConnExtras extras{};
  extras.application_name = "BI\r\nX-Injected: 1";
  char err[256] = "";
  NVConnection* conn = nv_connect("http://127.0.0.1:9", "http://127.0.0.1:9", nullptr, "tok",
                                  nullptr, nullptr, nullptr, &extras, err, sizeof(err));
  ASSERT_NE(conn, nullptr) << err;
  EXPECT_EQ(nv_connection_application_name(conn), nullptr);
  EXPECT_STREQ(nv_connection_user_agent(conn), "Norvale-ODBC/1.0.0-alpha");
  nv_disconnect(conn);
}

TEST(Accessors, NullConnection) {
  EXPECT_EQ(nv_connection_session_token(nullptr), nullptr);
  EXPECT_EQ(nv_connection_subject_id(nullptr), nullptr);
  EXPECT_EQ(nv_connection_compute_url(nullptr), nullptr);
  EXPECT_EQ(nv_connection_connect_timeout(nullptr), 0);
  EXPECT_EQ(nv_connection_application_name(nullptr), nullptr);
  EXPECT_EQ(nv_connection_user_agent(nullptr), nullptr);
  EXPECT_EQ(nv_connection_proxy_url(nullptr), nullptr);
  EXPECT_EQ(nv_connection_proxy_user(nullptr), nullptr);
  EXPECT_EQ(nv_connection_proxy_pass(nullptr), nullptr);
  EXPECT_EQ(nv_connection_curl_share(nullptr), nullptr);
  nv_disconnect(nullptr);
}

// The key is a keyed hash: stable within the process, different for any different part, and
// holding nothing of the password.
TEST(SessionCache, KeyIsAKeyedHashOfAllParts) {
  const std::string password = "correct-horse-battery-staple";
  const std::string key = norvale::session_cache_key("http://cp", "ann", password);
  ASSERT_EQ(key.size(), 32u);
  EXPECT_EQ(key, norvale::session_cache_key("http://cp", "ann", password));
  EXPECT_EQ(key.find("correct"), std::string::npos);
  EXPECT_EQ(key.find("ann"), std::string::npos);
  const std::string others[] = {
      norvale::session_cache_key("http://cp2", "ann", password),
      norvale::session_cache_key("http://cp", "anne", password),
      norvale::session_cache_key("http://cp", "ann", password + "!"),
      // Shifting text across the boundaries gives another key.
      norvale::session_cache_key("http://cpa", "nn", password),
      norvale::session_cache_key("http://cp", "ann\x1f" + password, ""),
  };
  for (const std::string& other : others) EXPECT_NE(key, other);
}

TEST(SessionCache, EntryExpiresAfterLifetime) {
  norvale::session_cache_clear_for_test();
  const std::string key = norvale::session_cache_key("http://cp", "ann", "pw");
  std::string token;
  EXPECT_FALSE(norvale::session_cache_lookup(key, &token));
  norvale::session_cache_store(key, "t1");
  ASSERT_TRUE(norvale::session_cache_lookup(key, &token));
  EXPECT_EQ(token, "t1");

  norvale::session_cache_age_for_test(std::chrono::seconds(299));
  EXPECT_TRUE(norvale::session_cache_lookup(key, &token));
  norvale::session_cache_age_for_test(std::chrono::seconds(2));
  EXPECT_FALSE(norvale::session_cache_lookup(key, &token));
  EXPECT_EQ(norvale::session_cache_size_for_test(), 0u);  // removed on the expired lookup

  norvale::session_cache_store(key, "t2");
  norvale::session_cache_store(key, "t3");  // replaces
  EXPECT_EQ(norvale::session_cache_size_for_test(), 1u);
  ASSERT_TRUE(norvale::session_cache_lookup(key, &token));
  EXPECT_EQ(token, "t3");
  norvale::session_cache_clear_for_test();
}

}  // namespace
