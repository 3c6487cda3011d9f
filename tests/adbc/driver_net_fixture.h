// The driver loaded with dlopen for ADBC 1.1.0, as a host loads it, with a database and a
// connection to the local service for each test.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "norvale_adbc.h"
#include "support/localsvc_fixture.h"
#include "tests/adbc/driver_table.h"

namespace nv_adbc_test {


struct Failure {
  int status = 0;
  std::string message;
  std::string sqlstate;
  int32_t vendor = 0;
};

inline Failure take(AdbcStatusCode status, AdbcError* e) {
  Failure f{status, e->message ? e->message : "", std::string(e->sqlstate, 5), e->vendor_code};
  if (e->release) e->release(e);
  *e = AdbcError{};
  return f;
}

// One database and one connection to the shared local service per test, through the driver
// loaded with dlopen.
class DriverNetTest : public nv_test::LocalSvcTest {
 protected:
  static void SetUpTestSuite() {
    LocalSvcTest::SetUpTestSuite();
    driver_ = driver_table();
    ASSERT_NE(driver_.DatabaseNew, nullptr);
  }

  void SetUp() override {
    LocalSvcTest::SetUp();
    AdbcError e{};
    ASSERT_EQ(driver_.DatabaseNew(&db_, &e), ADBC_STATUS_OK);
    const std::vector<std::pair<std::string, std::string>> options = {
        {"uri", svc().control_plane_url()},
        {"username", nv_test::LocalSvc::kUser},
        {"password", nv_test::LocalSvc::kPassword}};
    for (const auto& [k, v] : options) {
      ASSERT_EQ(driver_.DatabaseSetOption(&db_, k.c_str(), v.c_str(), &e), ADBC_STATUS_OK)
          << take(1, &e).message;
    }
    ASSERT_EQ(driver_.DatabaseInit(&db_, &e), ADBC_STATUS_OK) << take(1, &e).message;
    ASSERT_EQ(driver_.ConnectionNew(&conn_, &e), ADBC_STATUS_OK);
    ASSERT_EQ(driver_.ConnectionInit(&conn_, &db_, &e), ADBC_STATUS_OK) << take(1, &e).message;
  }

  void TearDown() override {
    AdbcError e{};
    driver_.ConnectionRelease(&conn_, &e);
    driver_.DatabaseRelease(&db_, &e);
  }

  // Executes `sql`; the stream (when `out` is given) outlives the statement.
  Failure execute(const std::string& sql, ArrowArrayStream* out, int64_t* rows) {
    AdbcError e{};
    AdbcStatement stmt{};
    EXPECT_EQ(driver_.StatementNew(&conn_, &stmt, &e), ADBC_STATUS_OK);
    EXPECT_EQ(driver_.StatementSetSqlQuery(&stmt, sql.c_str(), &e), ADBC_STATUS_OK);
    const Failure f = take(driver_.StatementExecuteQuery(&stmt, out, rows, &e), &e);
    driver_.StatementRelease(&stmt, &e);
    return f;
  }

  static inline AdbcDriver driver_{};
  AdbcDatabase db_{};
  AdbcConnection conn_{};
};

/// Batch row counts from get_next until the end or "error: <last error>".
inline std::vector<std::string> drain(ArrowArrayStream* s) {
  std::vector<std::string> seen;
  for (;;) {
    ArrowArray a{};
    const int rc = s->get_next(s, &a);
    if (rc != 0) {
      const char* m = s->get_last_error(s);
      seen.push_back("error: " + std::string(m ? m : "(none)"));
      return seen;
    }
    if (a.release == nullptr) {
      seen.push_back("end");
      return seen;
    }
    seen.push_back(std::to_string(a.length));
    a.release(&a);
  }
}

}  // namespace nv_adbc_test
