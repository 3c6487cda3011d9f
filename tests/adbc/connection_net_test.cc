// AdbcDatabaseInit and AdbcConnectionInit against the local service: credentials from the
// options and the store, failures with their SQLSTATE, proxy settings, and secrets kept out of
// every log.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "adbc/loopback_proxy.h"
#include "adbc/state_internal.h"
#include "core/connection_internal.h"
#include "core/session_cache_internal.h"
#include "credstore/secret_service_internal.h"
#include "metadata/snapshot_cache_internal.h"
#include "norvale/nv_core.h"
#include "norvale/nv_credstore.h"
#include "norvale/nv_log.h"
#include "norvale_adbc.h"
#include "support/localsvc_fixture.h"
#include "support/test_files.h"

namespace {

using nv_test::LocalSvc;

struct Result {
  AdbcStatusCode status;
  std::string message;
  std::string sqlstate;
};

class ConnectionNet : public nv_test::LocalSvcTest {
 protected:
  void SetUp() override {
    LocalSvcTest::SetUp();
    norvale::session_cache_clear_for_test();
    norvale::credstore::secret_service_reprobe_for_test({});
    setenv("XDG_CONFIG_HOME", (dir_.path() + "/config").c_str(), 1);
    ASSERT_EQ(nv_adbc_database_new(&db_, nullptr), ADBC_STATUS_OK);
    ASSERT_EQ(nv_adbc_connection_new(&conn_, nullptr), ADBC_STATUS_OK);
    set("uri", svc().control_plane_url().c_str());
  }
  void TearDown() override {
    nv_adbc_connection_release(&conn_, nullptr);
    nv_adbc_database_release(&db_, nullptr);
    unsetenv("XDG_CONFIG_HOME");
    nv_log_init(nullptr, 0);
    nv_apilog_init(nullptr);
  }

  void set(const char* key, const char* value) {
    ASSERT_EQ(nv_adbc_database_set_option(&db_, key, value, nullptr), ADBC_STATUS_OK) << key;
  }
  Result init() {
    AdbcError error{};
    if (nv_adbc_database_init(&db_, &error) != ADBC_STATUS_OK) {
      ADD_FAILURE() << error.message;
      error.release(&error);
      return {ADBC_STATUS_INTERNAL, "", ""};
    }
    const AdbcStatusCode status = nv_adbc_connection_init(&conn_, &db_, &error);
    Result r{status, error.message != nullptr ? error.message : "",
             error.release != nullptr ? std::string(error.sqlstate, 5) : ""};
    if (error.release != nullptr) error.release(&error);
    return r;
  }
  NVConnection* core() {
    return static_cast<NVAdbcConnectionState*>(conn_.private_data)->connection;
  }

  nv_test::TempDir dir_;
  AdbcDatabase db_{};
  AdbcConnection conn_{};
};

TEST_F(ConnectionNet, PasswordOptionConnects) {
  set("username", LocalSvc::kUser);
  set("password", LocalSvc::kPassword);
  const Result r = init();
  ASSERT_EQ(r.status, ADBC_STATUS_OK) << r.message;
  ASSERT_NE(core(), nullptr);
  EXPECT_EQ(svc().Counter("logins"), 1);
  EXPECT_EQ(svc().AwaitCounter("confirms", 1), 1);  // confirmed beside the first requests
  EXPECT_EQ(nv_adbc_connection_release(&conn_, nullptr), ADBC_STATUS_OK);
  EXPECT_EQ(conn_.private_data, nullptr);
  EXPECT_EQ(svc().Counter("requests.abandon"), 0);
}

// The driver asks for compressed answers from the control plane and for the snapshot always,
// and for query results when adbc.norvale.compression says so; what it gets decodes as before.
TEST_F(ConnectionNet, ContentCodingIsAskedForAsConfigured) {
  struct Case {
    const char* compression;  // null: unset
    const char* query_coding;
  };
  for (const Case c : {Case{nullptr, ""}, Case{"none", ""}, Case{"zstd", "zstd"},
                       Case{"gzip", "gzip"}, Case{"auto", "zstd, gzip"}}) {
    SCOPED_TRACE(c.compression != nullptr ? c.compression : "(unset)");
    nv_adbc_connection_release(&conn_, nullptr);
    nv_adbc_database_release(&db_, nullptr);
    norvale::adbc::snapshot_cache_clear();
    ASSERT_EQ(nv_adbc_database_new(&db_, nullptr), ADBC_STATUS_OK);
    ASSERT_EQ(nv_adbc_connection_new(&conn_, nullptr), ADBC_STATUS_OK);
    set("uri", svc().control_plane_url().c_str());
    set("username", LocalSvc::kUser);
    set("password", LocalSvc::kPassword);
    if (c.compression != nullptr) set("adbc.norvale.compression", c.compression);
    ASSERT_EQ(init().status, ADBC_STATUS_OK);

    ArrowArrayStream objects{};
    ASSERT_EQ(nv_adbc_connection_get_objects(&conn_, 1, nullptr, nullptr, nullptr, nullptr,
                                             nullptr, &objects, nullptr),
              ADBC_STATUS_OK);
    objects.release(&objects);
    AdbcStatement stmt{};
    ASSERT_EQ(nv_adbc_statement_new(&conn_, &stmt, nullptr), ADBC_STATUS_OK);
    ASSERT_EQ(nv_adbc_statement_set_sql_query(&stmt, "SELECT * FROM range(5000) t(i)", nullptr),
              ADBC_STATUS_OK);
    ArrowArrayStream rows{};
    ASSERT_EQ(nv_adbc_statement_execute_query(&stmt, &rows, nullptr, nullptr), ADBC_STATUS_OK);
    int64_t total = 0;
    for (ArrowArray a{}; rows.get_next(&rows, &a) == 0 && a.release != nullptr; a = {}) {
      total += a.length;
      a.release(&a);
    }
    rows.release(&rows);
    nv_adbc_statement_release(&stmt, nullptr);
    EXPECT_EQ(total, 5000);

    const auto headers = svc().Counters()["last_headers"];
    EXPECT_EQ(headers["recommend"].value("accept-encoding", ""), "zstd, gzip");
    EXPECT_EQ(headers["snapshot"].value("accept-encoding", ""), "zstd, gzip");
    EXPECT_EQ(headers["query"].value("accept-encoding", ""), c.query_coding);
  }
}

TEST_F(ConnectionNet, WrongPasswordIsStatus10With28000) {
  set("username", LocalSvc::kUser);
  set("password", "wrong");
  const Result r = init();
  EXPECT_EQ(r.status, ADBC_STATUS_IO);
  EXPECT_EQ(r.sqlstate, "28000");
  EXPECT_EQ(r.message,
            "control plane auth failed (HTTP 401): invalid user name or password [invalid_grant] "
            "(user 'alice' could not be authenticated)");
  EXPECT_EQ(core(), nullptr);
}

TEST_F(ConnectionNet, PasswordFromTheStore) {
  ASSERT_EQ(nv_credstore_set(svc().control_plane_url().c_str(),
                             (std::string("Pwd:") + LocalSvc::kUser).c_str(),
                             LocalSvc::kPassword),
            0);
  set("username", LocalSvc::kUser);
  const Result r = init();
  ASSERT_EQ(r.status, ADBC_STATUS_OK) << r.message;
  EXPECT_EQ(svc().Counter("logins"), 1);
}

TEST_F(ConnectionNet, TokenFromTheStoreSkipsLogin) {
  const std::string token = svc().Login();
  svc().ClearFaults();
  ASSERT_EQ(nv_credstore_set(svc().control_plane_url().c_str(),
                             (std::string("Token:") + LocalSvc::kUser).c_str(), token.c_str()),
            0);
  set("username", LocalSvc::kUser);
  const Result r = init();
  ASSERT_EQ(r.status, ADBC_STATUS_OK) << r.message;
  EXPECT_EQ(svc().Counter("requests.auth"), 0);
  EXPECT_STREQ(nv_connection_session_token(core()), token.c_str());
}

TEST_F(ConnectionNet, TlsMismatchFailsBeforeAnyRequest) {
  set("adbc.norvale.session_token", "t");
  set("adbc.norvale.tls.encrypt", "strict");
  const Result r = init();
  EXPECT_EQ(r.status, ADBC_STATUS_IO);
  EXPECT_EQ(r.sqlstate, "08001");
  EXPECT_EQ(r.message.rfind("TLS configuration invalid: Encrypt=Strict requires an https:// URL",
                            0),
            0u);
  for (const char* e : {"requests.auth", "requests.recommend", "requests.lookup"}) {
    EXPECT_EQ(svc().Counter(e), 0) << e;
  }
}

TEST_F(ConnectionNet, UnreadableCaBundleFailsBeforeAnyRequest) {
  set("adbc.norvale.session_token", "t");
  set("adbc.norvale.tls.ca_bundle", (dir_.path() + "/missing.pem").c_str());
  const Result r = init();
  EXPECT_EQ(r.status, ADBC_STATUS_IO);
  EXPECT_EQ(r.message, "TLS configuration invalid: CACertificate path not readable: " +
                           dir_.path() + "/missing.pem");
  EXPECT_EQ(svc().Counter("requests.recommend"), 0);
}

TEST_F(ConnectionNet, ProxySettingsReachTheTransfer) {
  // An empty snapshot cache makes the first metadata call fetch the snapshot.
  norvale::adbc::snapshot_cache_clear();
  nv_test::LoopbackProxy proxy;
  ASSERT_TRUE(proxy.ok());
  set("username", LocalSvc::kUser);
  set("password", LocalSvc::kPassword);
  set("adbc.norvale.proxy_url", proxy.url().c_str());
  set("adbc.norvale.proxy_user", "puser");
  set("adbc.norvale.proxy_pass", "ppass");
  const Result r = init();
  ASSERT_EQ(r.status, ADBC_STATUS_OK) << r.message;
  svc().AwaitCounter("confirms", 1);  // the confirm runs beside the connection's first work
  ASSERT_EQ(proxy.request_lines().size(), 3u);  // login, recommend, confirm: no snapshot yet
  ArrowArrayStream stream{};
  ASSERT_EQ(nv_adbc_connection_get_objects(&conn_, 1, nullptr, nullptr, nullptr, nullptr,
                                           nullptr, &stream, nullptr),
            ADBC_STATUS_OK);
  stream.release(&stream);
  const auto lines = proxy.request_lines();
  ASSERT_EQ(lines.size(), 4u);  // the snapshot, fetched by the first metadata call
  EXPECT_EQ(lines[0], "POST " + svc().control_plane_url() + "/api/v1/auth/token HTTP/1.1");
  EXPECT_EQ(lines[1], "POST " + svc().control_plane_url() + "/api/v1/nodes/recommend HTTP/1.1");
  EXPECT_EQ(lines[3],
            "GET " + svc().control_plane_url() + "/api/v1/odbc/info_schema/snapshot HTTP/1.1");
  for (const std::string& auth : proxy.proxy_authorizations()) {
    EXPECT_EQ(auth, "Basic cHVzZXI6cHBhc3M=");  // base64 of puser:ppass
  }
  EXPECT_STREQ(nv_connection_proxy_url(core()), proxy.url().c_str());

  // The abandon at release goes through the proxy too.
  svc().ClearFaults();
  ASSERT_EQ(nv_adbc_connection_release(&conn_, nullptr), ADBC_STATUS_OK);
  EXPECT_EQ(proxy.request_lines().size(), 4u);  // confirmed: nothing to abandon
}

TEST_F(ConnectionNet, SecretsStayOutOfEveryLog) {
  nv_test::LoopbackProxy proxy;
  ASSERT_TRUE(proxy.ok());
  const std::string engine_log = dir_.path() + "/engine.log";
  const std::string sql_trace = dir_.path() + "/sql.trace";
  const std::string proxy_pass = "proxy-pass-d41d8cd9";
  set("username", LocalSvc::kUser);
  set("password", LocalSvc::kPassword);
  set("adbc.norvale.proxy_url", proxy.url().c_str());
  set("adbc.norvale.proxy_user", "puser");
  set("adbc.norvale.proxy_pass", proxy_pass.c_str());
  set("adbc.norvale.api_trace_path", engine_log.c_str());
  set("adbc.norvale.log_path", sql_trace.c_str());
  set("adbc.norvale.log_level", "trace");
  svc().AddFault({{"endpoint", "confirm"}, {"status", 500}, {"body", "{}"}});  // abandon too

  testing::internal::CaptureStderr();
  Result r = init();
  const std::string token = core() != nullptr ? nv_connection_session_token(core()) : "";
  nv_adbc_connection_release(&conn_, nullptr);
  // A second database with a token given as option, for the token's own log lines.
  AdbcDatabase db2{};
  AdbcConnection conn2{};
  nv_adbc_database_new(&db2, nullptr);
  nv_adbc_database_set_option(&db2, "uri", svc().control_plane_url().c_str(), nullptr);
  nv_adbc_database_set_option(&db2, "adbc.norvale.session_token", token.c_str(), nullptr);
  nv_adbc_database_set_option(&db2, "adbc.norvale.api_trace_path", engine_log.c_str(), nullptr);
  nv_adbc_database_set_option(&db2, "adbc.norvale.log_level", "trace", nullptr);
  const AdbcStatusCode second = nv_adbc_database_init(&db2, nullptr) == ADBC_STATUS_OK
                                    ? (nv_adbc_connection_new(&conn2, nullptr),
                                       nv_adbc_connection_init(&conn2, &db2, nullptr))
                                    : ADBC_STATUS_INTERNAL;
  nv_adbc_connection_release(&conn2, nullptr);
  nv_adbc_database_release(&db2, nullptr);
  const std::string err_text = testing::internal::GetCapturedStderr();

  ASSERT_EQ(r.status, ADBC_STATUS_OK) << r.message;
  ASSERT_EQ(second, ADBC_STATUS_OK);
  ASSERT_FALSE(token.empty());
  // Both connections are released before any work: neither reservation is confirmed.
  EXPECT_EQ(svc().Counter("abandons"), 2);
  const std::string log_text = nv_test::read_file(engine_log);
  ASSERT_NE(log_text.find("Auth successful for alice"), std::string::npos);
  ASSERT_NE(log_text.find("(level=5 [from option])"), std::string::npos);
  for (const std::string& text : {log_text, nv_test::read_file(sql_trace), err_text}) {
    EXPECT_EQ(text.find(LocalSvc::kPassword), std::string::npos);
    EXPECT_EQ(text.find(token), std::string::npos);
    EXPECT_EQ(text.find(proxy_pass), std::string::npos);
  }
}

// One session at trace level that meets every kind of secret the driver can be handed: the
// engine log, the SQL trace and standard error must hold none of them.
TEST_F(ConnectionNet, SecretScanAtTraceLevel) {
  norvale::adbc::snapshot_cache_clear();
  nv_test::LoopbackProxy proxy;
  ASSERT_TRUE(proxy.ok());
  const std::string engine_log = dir_.path() + "/engine.log";
  const std::string sql_trace = dir_.path() + "/sql.trace";
  const std::vector<std::string> secrets = {
      "url-proxy-pw-7f3a", "opt-proxy-pw-91c2", "mixed-case-pw-1", "upper-case-pw-2",
      "pwd-key-pw-3",      "odbc;brace-pw-4",   "client-secret-5", "refresh-token-6",
      "id-token-7",        "api-key-8",         "access-token-9",  "sql-user-pw-10",
      "sql-secret-11"};
  const std::string proxy_url =
      "http://url-proxy-user:" + secrets[0] + "@127.0.0.1:" + proxy.url().substr(17);
  set("username", LocalSvc::kUser);
  set("password", LocalSvc::kPassword);
  set("adbc.norvale.proxy_url", proxy_url.c_str());
  set("adbc.norvale.proxy_user", "puser");
  set("adbc.norvale.proxy_pass", secrets[1].c_str());
  // log_path names the SQL trace and api_trace_path the engine log.
  set("adbc.norvale.log_path", sql_trace.c_str());
  set("adbc.norvale.api_trace_path", engine_log.c_str());
  set("adbc.norvale.log_level", "trace");
  testing::internal::CaptureStderr();
  // Keys in the wrong case are refused, after being logged.
  const std::pair<const char*, std::string> refused[] = {
      {"Password", secrets[2]},
      {"PASSWORD", secrets[3]},
      {"pwd", secrets[4]},
      {"connection_string", "Server=h;UID=u;Pwd={" + secrets[5] + "};Port=1"}};
  for (const auto& [key, value] : refused) {
    EXPECT_NE(nv_adbc_database_set_option(&db_, key, value.c_str(), nullptr), ADBC_STATUS_OK);
  }
  const Result r = init();
  ASSERT_EQ(r.status, ADBC_STATUS_OK) << r.message;
  const std::string token = nv_connection_session_token(core());
  const std::string reservation = core()->reservation;

  // A server error whose JSON body carries OAuth-style secrets, and SQL that holds passwords.
  const nlohmann::json body = {{"error", "denied"},       {"client_secret", secrets[6]},
                               {"refresh_token", secrets[7]}, {"id_token", secrets[8]},
                               {"api_key", secrets[9]},       {"access_token", secrets[10]}};
  svc().AddFault({{"endpoint", "query"}, {"status", 400}, {"body", body.dump()}});
  const std::string statements[] = {
      "SELECT 1 AS warm_up",
      "ALTER USER bob WITH PASSWORD '" + secrets[11] + "'",
      "CREATE SECRET s3cfg (TYPE s3, KEY_ID 'AKIA', SECRET '" + secrets[12] + "')"};
  for (const std::string& sql : statements) {
    AdbcStatement stmt{};
    ASSERT_EQ(nv_adbc_statement_new(&conn_, &stmt, nullptr), ADBC_STATUS_OK);
    ASSERT_EQ(nv_adbc_statement_set_sql_query(&stmt, sql.c_str(), nullptr), ADBC_STATUS_OK);
    ArrowArrayStream out{};
    AdbcError error{};
    if (nv_adbc_statement_execute_query(&stmt, &out, nullptr, &error) == ADBC_STATUS_OK) {
      ArrowArray a{};
      while (out.get_next(&out, &a) == 0 && a.release != nullptr) a.release(&a);
      out.release(&out);
    }
    if (error.release != nullptr) error.release(&error);
    nv_adbc_statement_release(&stmt, nullptr);
  }
  nv_adbc_connection_release(&conn_, nullptr);
  const std::string err_text = testing::internal::GetCapturedStderr();

  const std::string log_text = nv_test::read_file(engine_log);
  const std::string trace_text = nv_test::read_file(sql_trace);
  ASSERT_NE(log_text.find("Auth successful for alice"), std::string::npos);
  ASSERT_NE(log_text.find("HTTP 400 from compute"), std::string::npos);  // the body was logged
  ASSERT_NE(trace_text.find("ALTER USER bob WITH PASSWORD '[REDACTED]'"), std::string::npos)
      << trace_text;
  EXPECT_FALSE(proxy.request_lines().empty());  // the proxy from the URL carried the session
  std::vector<std::string> all = secrets;
  all.insert(all.end(), {LocalSvc::kPassword, token, "brace-pw-4"});
  if (!reservation.empty()) all.push_back(reservation);
  for (const auto& [name, text] : {std::pair{"engine log", log_text},
                                   std::pair{"SQL trace", trace_text},
                                   std::pair{"stderr", err_text}}) {
    for (const std::string& secret : all) {
      EXPECT_EQ(text.find(secret), std::string::npos) << secret << " in the " << name;
    }
  }
}

}  // namespace
