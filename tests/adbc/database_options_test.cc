// Database options: validation at set time, freezing at init, init checks and log set-up.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "adbc/state_internal.h"
#include "norvale/nv_log.h"
#include "norvale_adbc.h"
#include "support/test_files.h"

namespace {

struct Result {
  AdbcStatusCode status;
  std::string message;
  std::string sqlstate;
};

Result capture(AdbcStatusCode status, AdbcError& error) {
  Result r{status, error.message != nullptr ? error.message : "",
           std::string(error.sqlstate, error.sqlstate[0] != '\0' ? 5 : 0)};
  if (error.release != nullptr) error.release(&error);
  return r;
}

class DatabaseOptions : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* v :
         {"NV_LOG_PATH", "NV_LOG_LEVEL", "NV_SQL_TRACE_PATH", "NV_API_TRACE_PATH"}) {
      unsetenv(v);
    }
    ASSERT_EQ(nv_adbc_database_new(&db_, nullptr), ADBC_STATUS_OK);
  }
  void TearDown() override {
    nv_adbc_database_release(&db_, nullptr);
    nv_log_init(nullptr, 0);
    nv_apilog_init(nullptr);
  }

  Result set(const char* key, const char* value) {
    AdbcError error{};
    return capture(nv_adbc_database_set_option(&db_, key, value, &error), error);
  }
  Result init() {
    AdbcError error{};
    return capture(nv_adbc_database_init(&db_, &error), error);
  }
  NVAdbcDatabaseState* state() { return static_cast<NVAdbcDatabaseState*>(db_.private_data); }

  AdbcDatabase db_{};
};

TEST_F(DatabaseOptions, ValidationTable) {
  struct Case {
    const char* key;
    const char* value;
    AdbcStatusCode status;
    const char* message;  // empty when accepted
  };
  const char* timeout_msg =
      "adbc.norvale.connect_timeout_sec must be a non-negative integer (0 means use the driver "
      "default)";
  const char* buffer_msg =
      "adbc.norvale.max_stream_buffer_mb must be a non-negative integer in MB (0 means use the "
      "driver default of 256 MB)";
  const char* encrypt_msg =
      "adbc.norvale.tls.encrypt must be one of Off, Optional, Mandatory, Strict";
  const char* version_msg = "adbc.norvale.tls.min_version must be 1.0, 1.1, 1.2, 1.3, or 'any'";
  const char* trust_msg = "adbc.norvale.tls.trust_server_cert must be true or false";
  const char* level_msg =
      "adbc.norvale.log_level must be one of off, error, warn, info, debug, trace";
  const char* compression_msg = "adbc.norvale.compression must be one of none, zstd, gzip, auto";
  const std::string long_number(32, '1');
  const std::string just_fits = std::string(30, '0') + "7";
  const Case cases[] = {
      {"uri", "https://cp", 0, ""},
      {"uri", "", 5, "uri must be a non-empty string"},
      {"uri", nullptr, 5, "uri must be a non-empty string"},
      {"adbc.norvale.connect_timeout_sec", "0", 0, ""},
      {"adbc.norvale.connect_timeout_sec", "30", 0, ""},
      {"adbc.norvale.connect_timeout_sec", "-1", 5, timeout_msg},
      {"adbc.norvale.connect_timeout_sec", "10s", 5, timeout_msg},
      {"adbc.norvale.connect_timeout_sec", "", 5, timeout_msg},
      {"adbc.norvale.connect_timeout_sec", nullptr, 5, timeout_msg},
      {"adbc.norvale.connect_timeout_sec", long_number.c_str(), 5, timeout_msg},
      {"adbc.norvale.connect_timeout_sec", just_fits.c_str(), 0, ""},
      {"adbc.norvale.connect_timeout_sec", "99999999999999999999", 5, timeout_msg},
      {"adbc.norvale.max_stream_buffer_mb", "2147483647", 0, ""},
      {"adbc.norvale.max_stream_buffer_mb", "2147483648", 5, buffer_msg},
      {"adbc.norvale.max_stream_buffer_mb", "-5", 5, buffer_msg},
      {"adbc.norvale.tls.encrypt", "MANDATORY", 0, ""},
      {"adbc.norvale.tls.encrypt", "Off", 0, ""},
      {"adbc.norvale.tls.encrypt", "strict", 0, ""},
      {"adbc.norvale.tls.encrypt", "optional", 0, ""},
      {"adbc.norvale.tls.encrypt", "required", 5, encrypt_msg},
      {"adbc.norvale.tls.encrypt", nullptr, 5, encrypt_msg},
      {"adbc.norvale.tls.min_version", "1.2", 0, ""},
      {"adbc.norvale.tls.min_version", "any", 0, ""},
      {"adbc.norvale.tls.min_version", "ANY", 0, ""},
      {"adbc.norvale.tls.min_version", "Any", 0, ""},
      {"adbc.norvale.tls.min_version", "aNy", 5, version_msg},
      {"adbc.norvale.tls.min_version", "1.4", 5, version_msg},
      {"adbc.norvale.tls.min_version", "TLS1.2", 5, version_msg},
      {"adbc.norvale.tls.trust_server_cert", "YES", 0, ""},
      {"adbc.norvale.tls.trust_server_cert", "maybe", 5, trust_msg},
      {"adbc.norvale.tls.trust_server_cert", nullptr, 5, trust_msg},
      {"adbc.norvale.log_level", "WARNING", 0, ""},
      {"adbc.norvale.log_level", "Trace", 0, ""},
      {"adbc.norvale.log_level", "4", 5, level_msg},
      {"adbc.norvale.log_level", "verbose", 5, level_msg},
      {"adbc.norvale.compression", "none", 0, ""},
      {"adbc.norvale.compression", "ZSTD", 0, ""},
      {"adbc.norvale.compression", "brotli", 5, compression_msg},
      {"adbc.norvale.compression", nullptr, 5, compression_msg},
      {"username", nullptr, 0, ""},
      {"adbc.norvale.proxy_pass", "pp", 0, ""},
      // A proxy that could not be used must not be accepted (the connection would go out
      // directly).
      {"adbc.norvale.proxy_url", "http://p:3128\r\nX: y", 5,
       "adbc.norvale.proxy_url must not contain a carriage return or line feed"},
      {"adbc.norvale.proxy_user", "u\n", 5,
       "adbc.norvale.proxy_user must not contain a carriage return or line feed"},
      {"adbc.norvale.proxy_pass", "p\rq", 5,
       "adbc.norvale.proxy_pass must not contain a carriage return or line feed"},
  };
  for (const Case& c : cases) {
    const Result r = set(c.key, c.value);
    EXPECT_EQ(r.status, c.status) << c.key << "=" << (c.value ? c.value : "(null)");
    EXPECT_EQ(r.message, c.message) << c.key;
    if (c.status == 5) {
      EXPECT_EQ(r.sqlstate, "HY009") << c.key;
    }
  }
  EXPECT_STREQ(state()->uri, "https://cp");
  EXPECT_EQ(state()->connect_timeout_sec, 7);
  EXPECT_EQ(state()->max_stream_buffer_mb, 2147483647);
  EXPECT_STREQ(state()->tls_encrypt, "optional");  // stored as given once valid
  EXPECT_STREQ(state()->tls_min_version, "Any");
  EXPECT_STREQ(state()->tls_trust_server_cert, "true");  // canonical text
  EXPECT_STREQ(state()->log_level, "Trace");
  EXPECT_STREQ(state()->proxy_pass, "pp");
  EXPECT_STREQ(state()->compression, "zstd");  // lower-cased
}

TEST_F(DatabaseOptions, FailedValidationKeepsTheOldValue) {
  ASSERT_EQ(set("adbc.norvale.connect_timeout_sec", "12").status, 0);
  ASSERT_EQ(set("adbc.norvale.connect_timeout_sec", "x").status, 5);
  EXPECT_EQ(state()->connect_timeout_sec, 12);
  ASSERT_EQ(set("uri", "http://a").status, 0);
  ASSERT_EQ(set("uri", nullptr).status, 5);
  EXPECT_STREQ(state()->uri, "http://a");
}

TEST_F(DatabaseOptions, PlainStringsAreReplacedAndClearedByNull) {
  ASSERT_EQ(set("adbc.norvale.compute_node", "n1").status, 0);
  ASSERT_EQ(set("adbc.norvale.compute_node", "n2").status, 0);
  EXPECT_STREQ(state()->compute_node, "n2");
  ASSERT_EQ(set("adbc.norvale.compute_node", nullptr).status, 0);
  EXPECT_EQ(state()->compute_node, nullptr);
  ASSERT_EQ(set("adbc.norvale.tls.trust_server_cert", "0").status, 0);
  EXPECT_STREQ(state()->tls_trust_server_cert, "false");
}

TEST_F(DatabaseOptions, UnknownKeysAndHandleErrors) {
  Result r = set("URI", "x");
  EXPECT_EQ(r.status, ADBC_STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(r.message, "unknown database option key: URI");
  EXPECT_EQ(r.sqlstate, "HYC00");

  r = set(nullptr, "x");
  EXPECT_EQ(r.status, 5);
  EXPECT_EQ(r.message, "AdbcDatabaseSetOption: null database or key");

  AdbcDatabase fresh{};
  AdbcError error{};
  r = capture(nv_adbc_database_set_option(&fresh, "uri", "x", &error), error);
  EXPECT_EQ(r.status, 6);
  EXPECT_EQ(r.message, "AdbcDatabaseSetOption: database not allocated");
  EXPECT_EQ(r.sqlstate, "HY010");
}

TEST_F(DatabaseOptions, InitChecksInOrder) {
  Result r = init();
  EXPECT_EQ(r.status, 5);
  EXPECT_EQ(r.message, "AdbcDatabaseInit: 'uri' option is required (control-plane URL)");

  ASSERT_EQ(set("uri", "http://cp").status, 0);
  ASSERT_EQ(set("adbc.norvale.compute_url", "http://n").status, 0);
  ASSERT_EQ(set("adbc.norvale.compute_node", "n").status, 0);
  r = init();  // credentials come before the compute settings
  EXPECT_EQ(r.message,
            "AdbcDatabaseInit: must set either 'adbc.norvale.session_token' OR 'username' (with "
            "'password' or an OS keychain entry for it)");

  ASSERT_EQ(set("username", "ann").status, 0);
  r = init();
  EXPECT_EQ(r.status, 5);
  EXPECT_EQ(r.message,
            "AdbcDatabaseInit: 'adbc.norvale.compute_url' and 'adbc.norvale.compute_node' are "
            "mutually exclusive");
  EXPECT_EQ(r.sqlstate, "HY009");

  ASSERT_EQ(set("adbc.norvale.compute_node", "").status, 0);
  EXPECT_EQ(init().status, 0);
  r = init();
  EXPECT_EQ(r.status, 6);
  EXPECT_EQ(r.message, "AdbcDatabaseInit called twice");

  AdbcError error{};
  r = capture(nv_adbc_database_init(nullptr, &error), error);
  EXPECT_EQ(r.message, "AdbcDatabaseInit: database pointer is null");
}

TEST_F(DatabaseOptions, OptionsAreFrozenAfterInit) {
  ASSERT_EQ(set("uri", "http://cp").status, 0);
  ASSERT_EQ(set("adbc.norvale.session_token", "t").status, 0);
  ASSERT_EQ(init().status, 0);
  const Result r = set("uri", "http://other");
  EXPECT_EQ(r.status, 6);
  EXPECT_EQ(r.message,
            "AdbcDatabaseSetOption: database already initialized; options must be set before "
            "AdbcDatabaseInit");
  EXPECT_EQ(set("bogus", "x").status, 6);  // refused before the key is looked at
  EXPECT_STREQ(state()->uri, "http://cp");
}

TEST_F(DatabaseOptions, OptionLogRedactsSecretKeys) {
  nv_test::TempDir dir;
  const std::string log = dir.path() + "/engine.log";
  nv_log_init(log.c_str(), NV_LOG_INFO);
  set("password", "pw-value");
  set("adbc.norvale.session_token", "tok-value");
  set("adbc.norvale.tls.client_key", "/keys/client.pem");
  set("adbc.norvale.proxy_pass", "proxy-value");
  set("adbc.norvale.proxy_user", "proxy-user");
  set("username", nullptr);
  set(nullptr, "x");
  // Unknown keys are refused after they are logged: a secret-looking key in any case keeps its
  // value out of the line.
  for (const char* key : {"Password", "PASSWORD", "pwd", "Proxy_Pass", "X.API_KEY"}) {
    EXPECT_EQ(set(key, "mixed-case-value").status, ADBC_STATUS_NOT_IMPLEMENTED) << key;
  }
  const std::string text = nv_test::read_file(log);
  EXPECT_EQ(text.find("mixed-case-value"), std::string::npos);
  EXPECT_NE(text.find("key=\"PASSWORD\", value=[REDACTED]"), std::string::npos);
  EXPECT_NE(text.find("key=\"password\", value=[REDACTED]"), std::string::npos);
  EXPECT_NE(text.find("key=\"adbc.norvale.session_token\", value=[REDACTED]"), std::string::npos);
  EXPECT_NE(text.find("key=\"adbc.norvale.tls.client_key\", value=[REDACTED]"),
            std::string::npos);
  EXPECT_NE(text.find("key=\"adbc.norvale.proxy_pass\", value=[REDACTED]"), std::string::npos);
  EXPECT_NE(text.find("key=\"adbc.norvale.proxy_user\", value=proxy-user"), std::string::npos);
  EXPECT_NE(text.find("key=\"username\", value=(null)"), std::string::npos);
  EXPECT_NE(text.find("key=\"(null)\", value=x"), std::string::npos);
  EXPECT_EQ(text.find("pw-value"), std::string::npos);
  EXPECT_EQ(text.find("tok-value"), std::string::npos);
  EXPECT_EQ(text.find("proxy-value"), std::string::npos);
  EXPECT_NE(text.find("[api] AdbcDatabaseSetOption(db=0x"), std::string::npos);
}

TEST_F(DatabaseOptions, InitSetsUpEngineLogAndSqlTrace) {
  nv_test::TempDir dir;
  const std::string engine = dir.path() + "/engine.log";
  const std::string trace = dir.path() + "/sql.trace";
  ASSERT_EQ(set("uri", "http://cp").status, 0);
  ASSERT_EQ(set("adbc.norvale.session_token", "t").status, 0);
  ASSERT_EQ(set("adbc.norvale.api_trace_path", engine.c_str()).status, 0);
  ASSERT_EQ(set("adbc.norvale.log_path", trace.c_str()).status, 0);
  setenv("NV_LOG_LEVEL", "debug", 1);
  ASSERT_EQ(init().status, 0);
  EXPECT_EQ(nv_log_level(), NV_LOG_DEBUG);
  EXPECT_EQ(nv_apilog_enabled(), 1);
  const std::string text = nv_test::read_file(engine);
  EXPECT_NE(text.find("[adbc] Engine log -> " + engine + " (level=4 [from env]); SQL trace -> " +
                      trace + " [from option]"),
            std::string::npos)
      << text;
}

TEST_F(DatabaseOptions, EnginePathAloneMeansInfo) {
  nv_test::TempDir dir;
  const std::string engine = dir.path() + "/engine.log";
  setenv("NV_API_TRACE_PATH", engine.c_str(), 1);
  ASSERT_EQ(set("uri", "http://cp").status, 0);
  ASSERT_EQ(set("username", "u").status, 0);
  ASSERT_EQ(init().status, 0);
  EXPECT_EQ(nv_log_level(), NV_LOG_INFO);
  EXPECT_EQ(nv_apilog_enabled(), 0);
  EXPECT_NE(nv_test::read_file(engine).find("(level=3); SQL trace -> (off)"), std::string::npos);
}

TEST_F(DatabaseOptions, UnparsableEnvLevelMeansInfo) {
  setenv("NV_LOG_LEVEL", "5", 1);  // digits are not level names here
  ASSERT_EQ(set("uri", "http://cp").status, 0);
  ASSERT_EQ(set("username", "u").status, 0);
  nv_log_init(nullptr, 0);
  ASSERT_EQ(init().status, 0);
  EXPECT_EQ(nv_log_level(), NV_LOG_INFO);
}

TEST_F(DatabaseOptions, NothingConfiguredLeavesTheLogAlone) {
  nv_log_init(nullptr, NV_LOG_ERROR);
  ASSERT_EQ(set("uri", "http://cp").status, 0);
  ASSERT_EQ(set("username", "u").status, 0);
  ASSERT_EQ(init().status, 0);
  EXPECT_EQ(nv_log_level(), NV_LOG_ERROR);
}

}  // namespace
