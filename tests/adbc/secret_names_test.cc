// One rule says which names hold a secret: the engine log hides their values, and the driver
// neither logs them when they are set nor reads them back through GetOption. Every word of the
// rule is checked through each of these, with names that only look like secrets beside them.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <string>

#include "norvale/nv_log.h"
#include "norvale_adbc.h"
#include "support/test_files.h"

namespace {

struct Case {
  const char* key;
  bool secret;
  bool database_option;  // a key the database stores, so that GetOption could read it back
};

constexpr Case kCases[] = {
    {"password", true, true},
    {"PassWord", true, false},
    {"adbc.norvale.passwd", true, false},
    {"Pwd", true, false},
    {"adbc.norvale.session_token", true, true},
    {"client_secret", true, false},
    {"ApiKey", true, false},
    {"x.api_key", true, false},
    {"X-Api-Key", true, false},
    {"adbc.norvale.tls.client_key", true, true},
    {"private_key", true, false},
    {"adbc.norvale.proxy_pass", true, true},
    {"Proxy_Pass_2", true, false},
    {"credential", true, false},
    {"reservation", true, false},
    {"ProxyPass", true, false},
    {"proxy-pass", true, false},
    {"x.pass", true, false},
    {"pass", true, false},
    {"username", false, true},
    {"uri", false, true},
    {"adbc.norvale.proxy_user", false, true},
    {"adbc.norvale.proxy_url", false, true},
    {"adbc.norvale.tls.client_cert", false, true},
    {"adbc.norvale.tls.ca_bundle", false, true},
    {"bypass", false, false},
    {"compass", false, false},
    {"passage", false, false},
};

// Unique to its key: no value is part of another.
std::string value_for(const Case& c) { return std::string("v4lue(") + c.key + ")"; }

std::string redacted(const std::string& text) {
  char* clean = nv_log_redact(text.c_str());
  std::string out = clean != nullptr ? clean : "(null)";
  std::free(clean);
  return out;
}

class SecretNames : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("NV_LOG_PATH");
    unsetenv("NV_LOG_LEVEL");
    ASSERT_EQ(nv_adbc_database_new(&db_, nullptr), ADBC_STATUS_OK);
  }
  void TearDown() override {
    nv_adbc_database_release(&db_, nullptr);
    nv_log_init(nullptr, 0);
  }

  AdbcStatusCode set(const Case& c) {
    AdbcError error{};
    const AdbcStatusCode status =
        nv_adbc_database_set_option(&db_, c.key, value_for(c).c_str(), &error);
    if (error.release != nullptr) error.release(&error);
    return status;
  }

  AdbcStatusCode get(const Case& c, std::string* value) {
    char buffer[256] = {0};
    size_t length = sizeof buffer;
    AdbcError error{};
    const AdbcStatusCode status = nv_adbc_database_get_option(&db_, c.key, buffer, &length, &error);
    if (error.release != nullptr) error.release(&error);
    *value = buffer;
    return status;
  }

  AdbcDatabase db_{};
};

TEST_F(SecretNames, TheEngineLogAndTheOptionsAgree) {
  nv_test::TempDir dir;
  const std::string log = dir.path() + "/engine.log";
  ASSERT_EQ(nv_log_init(log.c_str(), NV_LOG_INFO), 0);
  for (const Case& c : kCases) {
    const AdbcStatusCode status = set(c);
    EXPECT_EQ(status == ADBC_STATUS_OK, c.database_option) << c.key;
  }
  const std::string text = nv_test::read_file(log);

  for (const Case& c : kCases) {
    SCOPED_TRACE(c.key);
    const std::string value = value_for(c);
    // What any log line hides: the value after the name in a connection string, a header, a
    // JSON body.
    const std::string pairs = std::string(c.key) + "=" + value + "; " + c.key + ": " + value +
                              "; {\"" + c.key + "\": \"" + value + "\"}";
    EXPECT_EQ(redacted(pairs).find(value) == std::string::npos, c.secret) << redacted(pairs);
    // What the driver's own line about AdbcDatabaseSetOption shows.
    EXPECT_EQ(text.find(value) == std::string::npos, c.secret);
    EXPECT_NE(text.find(std::string("key=\"") + c.key + "\", value=" +
                        (c.secret ? std::string("[REDACTED]") : value)),
              std::string::npos);
    // What GetOption reads back.
    std::string read;
    const AdbcStatusCode status = get(c, &read);
    if (c.database_option && !c.secret) {
      EXPECT_EQ(status, ADBC_STATUS_OK);
      EXPECT_EQ(read, value);
    } else {
      EXPECT_EQ(status, ADBC_STATUS_NOT_FOUND);
      EXPECT_EQ(read.find(value), std::string::npos);
    }
  }
}

}  // namespace
