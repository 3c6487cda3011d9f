// An open ADBC connection outlives its session token: a service that refuses the token (expired
// after a second here) makes the connection log in again with the database's credentials and
// send the refused request once more; only a second refusal reaches the host, and an ingest
// whose upload began is not sent again.
#include <arrow/api.h>
#include <arrow/c/bridge.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/adbc/driver_net_fixture.h"
#include "tests/core/ingest/ingest_net_util.h"

namespace {

using nv_adbc_test::Failure;
using nv_adbc_test::take;

// A statement the local metadata engine cannot answer: it goes to the compute node.
constexpr const char* kRemote = "SELECT count(*) FROM sales.customers";

class SessionRenewalNetTest : public nv_adbc_test::DriverNetTest {
 protected:
  static void SetUpTestSuite() {
    nv_test::LocalSvcOptions opts;
    opts.token_ttl_seconds = 1;
    StartShared(opts);
    driver_ = nv_adbc_test::driver_table();
  }
  void SetUp() override {
    DriverNetTest::SetUp();
    logins_ = svc().Counter("logins");
  }
  static void LetTheTokenExpire() { std::this_thread::sleep_for(std::chrono::milliseconds(2100)); }
  int64_t new_logins() { return svc().Counter("logins") - logins_; }

  int64_t logins_ = 0;
};

TEST_F(SessionRenewalNetTest, QueryAfterExpirySucceedsWithOneMoreLogin) {
  LetTheTokenExpire();
  const Failure f = execute(kRemote, nullptr, nullptr);
  EXPECT_EQ(f.status, ADBC_STATUS_OK) << f.message;
  EXPECT_EQ(new_logins(), 1);
  EXPECT_EQ(execute(kRemote, nullptr, nullptr).status, ADBC_STATUS_OK);
  EXPECT_EQ(new_logins(), 1);
}

TEST_F(SessionRenewalNetTest, ATokenRefusedTwiceReachesTheHost) {
  svc().AddFault({{"endpoint", "query"},
                  {"status", 401},
                  {"count", 2},
                  {"body", R"({"message":"invalid or expired token"})"},
                  {"content_type", "application/json"}});
  const int64_t queries = svc().Counter("requests.query");
  const Failure f = execute(kRemote, nullptr, nullptr);
  EXPECT_EQ(f.status, ADBC_STATUS_UNAUTHENTICATED) << f.message;
  EXPECT_EQ(f.sqlstate, "28000");
  EXPECT_EQ(svc().Counter("requests.query") - queries, 2);
  EXPECT_EQ(new_logins(), 1);
}

// The upload of an ingest cannot be sent again: the refusal reaches the host, and the
// connection has logged in again for what comes next.
TEST_F(SessionRenewalNetTest, RefusedIngestIsNotSentAgain) {
  ASSERT_TRUE(svc().Sql("DROP TABLE IF EXISTS renewal_ingest"));
  svc().AddFault({{"endpoint", "ingest"}, {"status", 401}, {"body", R"({"message":"expired"})"}});
  AdbcError e{};
  AdbcStatement stmt{};
  ASSERT_EQ(driver_.StatementNew(&conn_, &stmt, &e), ADBC_STATUS_OK);
  ASSERT_EQ(driver_.StatementSetOption(&stmt, "adbc.ingest.target_table", "renewal_ingest", &e),
            ADBC_STATUS_OK);
  ASSERT_EQ(driver_.StatementSetOption(&stmt, "adbc.ingest.mode", "replace", &e),
            ADBC_STATUS_OK);
  ArrowArray array{};
  ArrowSchema schema{};
  ASSERT_TRUE(arrow::ExportRecordBatch(*nv_ingest_test::IdNameBatch(1, 3), &array, &schema).ok());
  ASSERT_EQ(driver_.StatementBind(&stmt, &array, &schema, &e), ADBC_STATUS_OK);
  const Failure f = take(driver_.StatementExecuteQuery(&stmt, nullptr, nullptr, &e), &e);
  driver_.StatementRelease(&stmt, &e);
  EXPECT_NE(f.status, ADBC_STATUS_OK);
  EXPECT_EQ(f.sqlstate, "28000") << f.message;
  EXPECT_EQ(svc().Counter("requests.ingest"), 1);
  EXPECT_EQ(new_logins(), 1);
  EXPECT_EQ(execute(kRemote, nullptr, nullptr).status, ADBC_STATUS_OK);
  EXPECT_EQ(new_logins(), 1);
}

// Metadata requests to the control plane log in again too: after a write on this connection,
// the catalog version check finds the token expired, renews it, and the new table's schema comes
// from the refreshed snapshot, not from a query.
TEST_F(SessionRenewalNetTest, MetadataAfterExpiryLogsInAgain) {
  ArrowSchema schema{};
  AdbcError e{};
  ASSERT_EQ(driver_.ConnectionGetTableSchema(&conn_, nullptr, "sales", "customers", &schema, &e),
            ADBC_STATUS_OK)
      << take(1, &e).message;  // the snapshot is loaded
  schema.release(&schema);
  ASSERT_EQ(execute("CREATE OR REPLACE TABLE renewal_meta (v INTEGER)", nullptr, nullptr).status,
            ADBC_STATUS_OK);
  LetTheTokenExpire();
  const int64_t logins = new_logins();
  const int64_t queries = svc().Counter("requests.query");
  ASSERT_EQ(driver_.ConnectionGetTableSchema(&conn_, nullptr, "main", "renewal_meta", &schema, &e),
            ADBC_STATUS_OK)
      << take(1, &e).message;
  schema.release(&schema);
  EXPECT_EQ(new_logins() - logins, 1);
  EXPECT_EQ(svc().Counter("requests.query"), queries);
}

}  // namespace
