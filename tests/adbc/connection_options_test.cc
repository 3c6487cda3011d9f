// Connection options, AdbcConnectionInit without a server (state checks, TLS validation,
// credential resolution from the store) and release.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "adbc/state_internal.h"
#include "credstore/secret_service_internal.h"
#include "norvale/nv_core.h"
#include "norvale/nv_credstore.h"
#include "norvale_adbc.h"
#include "support/test_files.h"

namespace {

struct Result {
  AdbcStatusCode status;
  std::string message;
  std::string sqlstate;
  int32_t vendor_code;
};

Result capture(AdbcStatusCode status, AdbcError& error) {
  Result r{status, error.message != nullptr ? error.message : "",
           std::string(error.sqlstate, error.sqlstate[0] != '\0' ? 5 : 0), error.vendor_code};
  if (error.release != nullptr) error.release(&error);
  return r;
}

class ConnectionOptions : public ::testing::Test {
 protected:
  void SetUp() override {
    norvale::credstore::secret_service_reprobe_for_test({});
    setenv("XDG_CONFIG_HOME", (dir_.path() + "/config").c_str(), 1);
    ASSERT_EQ(nv_adbc_database_new(&db_, nullptr), ADBC_STATUS_OK);
    ASSERT_EQ(nv_adbc_connection_new(&conn_, nullptr), ADBC_STATUS_OK);
  }
  void TearDown() override {
    EXPECT_EQ(nv_adbc_connection_release(&conn_, nullptr), ADBC_STATUS_OK);
    EXPECT_EQ(conn_.private_data, nullptr);
    nv_adbc_database_release(&db_, nullptr);
    unsetenv("XDG_CONFIG_HOME");
  }

  void db_set(const char* key, const char* value) {
    ASSERT_EQ(nv_adbc_database_set_option(&db_, key, value, nullptr), ADBC_STATUS_OK) << key;
  }
  Result set(const char* key, const char* value) {
    AdbcError error{};
    return capture(nv_adbc_connection_set_option(&conn_, key, value, &error), error);
  }
  Result init() {
    AdbcError error{};
    return capture(nv_adbc_connection_init(&conn_, &db_, &error), error);
  }
  NVAdbcConnectionState* state() {
    return static_cast<NVAdbcConnectionState*>(conn_.private_data);
  }

  nv_test::TempDir dir_;
  AdbcDatabase db_{};
  AdbcConnection conn_{};
};

TEST_F(ConnectionOptions, ValidationTable) {
  struct Case {
    const char* key;
    const char* value;
    AdbcStatusCode status;
    const char* sqlstate;
    const char* message;
  };
  const char* hint_msg = "adbc.norvale.batch_size_hint must be a non-negative integer";
  const char* qt_msg = "adbc.norvale.query_timeout_sec must be a non-negative integer";
  const Case cases[] = {
      {"adbc.connection.autocommit", "true", 0, "", ""},
      {"adbc.connection.autocommit", "ON", 0, "", ""},
      {"adbc.connection.autocommit", "false", 2, "0A000",
       "Norvale does not yet support explicit transactions; autocommit is always true"},
      {"adbc.connection.autocommit", "sure", 5, "HY009",
       "adbc.connection.autocommit must be true or false"},
      {"adbc.connection.autocommit", nullptr, 5, "HY009",
       "adbc.connection.autocommit must be true or false"},
      {"adbc.connection.read_only", "no", 0, "", ""},
      {"adbc.connection.read_only", "2", 5, "HY009",
       "adbc.connection.read_only must be true or false"},
      // The ADBC 1.0 spelling of the same option.
      {"adbc.connection.readonly", "true", 0, "", ""},
      {"adbc.connection.readonly", "false", 0, "", ""},
      {"adbc.connection.readonly", "maybe", 5, "HY009",
       "adbc.connection.readonly must be true or false"},
      {"adbc.norvale.batch_size_hint", "0", 0, "", ""},
      {"adbc.norvale.batch_size_hint", "2147483647", 0, "", ""},
      {"adbc.norvale.batch_size_hint", "2147483648", 5, "HY009", hint_msg},
      {"adbc.norvale.batch_size_hint", "-1", 5, "HY009", hint_msg},
      {"adbc.norvale.batch_size_hint", "", 5, "HY009", hint_msg},
      {"adbc.norvale.batch_size_hint", "12x", 5, "HY009", hint_msg},
      {"adbc.norvale.batch_size_hint", nullptr, 5, "HY009", hint_msg},
      {"adbc.norvale.query_timeout_sec", "600", 0, "", ""},
      {"adbc.norvale.query_timeout_sec", "-3", 5, "HY009", qt_msg},
      {"adbc.norvale.query_timeout_sec", "99999999999999999999", 5, "HY009", qt_msg},
      {"adbc.norvale.compute_url", "http://x", 2, "HYC00",
       "unknown connection option key: adbc.norvale.compute_url"},
  };
  for (const Case& c : cases) {
    const Result r = set(c.key, c.value);
    EXPECT_EQ(r.status, c.status) << c.key << "=" << (c.value ? c.value : "(null)");
    EXPECT_EQ(r.sqlstate, c.sqlstate) << c.key;
    EXPECT_EQ(r.message, c.message) << c.key;
  }
}

TEST_F(ConnectionOptions, HandleChecks) {
  AdbcError error{};
  Result r = capture(nv_adbc_connection_set_option(nullptr, "k", "v", &error), error);
  EXPECT_EQ(r.message, "AdbcConnectionSetOption: null connection or key");
  AdbcConnection fresh{};
  r = capture(nv_adbc_connection_set_option(&fresh, "k", "v", &error), error);
  EXPECT_EQ(r.status, 6);
  EXPECT_EQ(r.message, "AdbcConnectionSetOption: connection not allocated");

  r = capture(nv_adbc_connection_init(&conn_, nullptr, &error), error);
  EXPECT_EQ(r.message, "AdbcConnectionInit: null connection or database");
  r = capture(nv_adbc_connection_init(&fresh, &db_, &error), error);
  EXPECT_EQ(r.message, "AdbcConnectionInit: connection not allocated");
  r = init();
  EXPECT_EQ(r.status, 6);
  EXPECT_EQ(r.message,
            "AdbcConnectionInit: parent AdbcDatabase has not been initialised (call "
            "AdbcDatabaseInit first)");
  EXPECT_EQ(nv_adbc_connection_release(nullptr, nullptr), ADBC_STATUS_OK);
  EXPECT_EQ(nv_adbc_connection_release(&fresh, nullptr), ADBC_STATUS_OK);
}

TEST_F(ConnectionOptions, TlsValidationFailsBeforeAnyRequest) {
  db_set("uri", "http://127.0.0.1:9");
  db_set("adbc.norvale.session_token", "t");
  db_set("adbc.norvale.tls.encrypt", "Mandatory");
  ASSERT_EQ(nv_adbc_database_init(&db_, nullptr), ADBC_STATUS_OK);
  const Result r = init();
  EXPECT_EQ(r.status, ADBC_STATUS_IO);
  EXPECT_EQ(r.sqlstate, "08001");
  EXPECT_EQ(r.message,
            "TLS configuration invalid: Encrypt=Mandatory requires an https:// URL but Server is "
            "http://127.0.0.1:9");
  EXPECT_EQ(state()->connection, nullptr);
}

TEST_F(ConnectionOptions, TokenFromTheStoreUnderTheUsername) {
  // An explicit compute URL and a stored token make the connect need no server.
  const char* uri = "http://127.0.0.1:9";
  ASSERT_EQ(nv_credstore_set(uri, "Token:ann", "stored-token"), 0);
  db_set("uri", uri);
  db_set("username", "ann");
  db_set("adbc.norvale.compute_url", "http://127.0.0.1:9/");
  ASSERT_EQ(nv_adbc_database_init(&db_, nullptr), ADBC_STATUS_OK);
  ASSERT_EQ(init().status, ADBC_STATUS_OK);
  ASSERT_NE(state()->connection, nullptr);
  EXPECT_STREQ(nv_connection_session_token(state()->connection), "stored-token");
  EXPECT_STREQ(nv_connection_compute_url(state()->connection), "http://127.0.0.1:9");
  EXPECT_EQ(state()->database, static_cast<NVAdbcDatabaseState*>(db_.private_data));

  const Result again = init();
  EXPECT_EQ(again.status, 6);
  EXPECT_EQ(again.message, "AdbcConnectionInit called twice");
}

TEST_F(ConnectionOptions, StoredPasswordWinsOverStoredToken) {
  // With a password found, the token is not looked up: the connect tries to log in, which
  // fails here because nothing listens.
  const char* uri = "http://127.0.0.1:9";
  ASSERT_EQ(nv_credstore_set(uri, "Pwd:ann", "pw"), 0);
  ASSERT_EQ(nv_credstore_set(uri, "Token:ann", "stored-token"), 0);
  db_set("uri", uri);
  db_set("username", "ann");
  db_set("adbc.norvale.compute_url", uri);
  ASSERT_EQ(nv_adbc_database_init(&db_, nullptr), ADBC_STATUS_OK);
  const Result r = init();
  EXPECT_EQ(r.status, ADBC_STATUS_IO);
  EXPECT_EQ(r.vendor_code, 0) << "no service code, and never the ADBC status";
  EXPECT_EQ(r.message.rfind("HTTP transport error: ", 0), 0u) << r.message;
  EXPECT_EQ(state()->connection, nullptr);
}

TEST_F(ConnectionOptions, NothingStoredMeansNoCredentials) {
  db_set("uri", "http://127.0.0.1:9");
  db_set("username", "nobody");
  ASSERT_EQ(nv_adbc_database_init(&db_, nullptr), ADBC_STATUS_OK);
  const Result r = init();
  EXPECT_EQ(r.status, ADBC_STATUS_IO);
  EXPECT_EQ(r.message, "nv_connect: either session_token or (username + password) is required");
}

TEST_F(ConnectionOptions, OptionTokenNeedsNoStore) {
  db_set("uri", "http://127.0.0.1:9");
  db_set("adbc.norvale.session_token", "opt-token");
  db_set("adbc.norvale.compute_url", "http://127.0.0.1:9");
  db_set("adbc.norvale.application_name", "BI");
  db_set("adbc.norvale.connect_timeout_sec", "4");
  ASSERT_EQ(nv_adbc_database_init(&db_, nullptr), ADBC_STATUS_OK);
  ASSERT_EQ(init().status, ADBC_STATUS_OK);
  NVConnection* core = state()->connection;
  EXPECT_STREQ(nv_connection_session_token(core), "opt-token");
  EXPECT_STREQ(nv_connection_user_agent(core), "Norvale-ODBC/1.0.0-alpha BI");
  EXPECT_EQ(nv_connection_connect_timeout(core), 4);
}

}  // namespace
