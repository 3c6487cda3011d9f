// AdbcStatementCancel and AdbcConnectionCancel called from a second thread while the host's
// thread waits in the driver, through the driver loaded as a host loads it: before the first
// byte of an answer, in the middle of a result stream, during an ingest, during the metadata
// calls that reach the network, and with nothing running at all.
#include <arrow/api.h>
#include <arrow/c/bridge.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "tests/adbc/driver_net_fixture.h"
#include "tests/core/ingest/ingest_net_util.h"

namespace {

using nv_adbc_test::Failure;
using nv_adbc_test::take;

// Long enough that a call which is not cancelled would still be waiting when the test ends.
constexpr int kServiceDelayMs = 20000;

class CancelNetTest : public nv_adbc_test::DriverNetTest {
 protected:
  void TearDown() override {
    AdbcError e{};
    for (auto& stmt : statements_) driver_.StatementRelease(stmt.get(), &e);
    DriverNetTest::TearDown();
  }

  AdbcStatement* Statement(const char* sql = nullptr) {
    statements_.emplace_back(new AdbcStatement{});
    AdbcStatement* stmt = statements_.back().get();
    AdbcError e{};
    EXPECT_EQ(driver_.StatementNew(&conn_, stmt, &e), ADBC_STATUS_OK);
    if (sql != nullptr) {
      EXPECT_EQ(driver_.StatementSetSqlQuery(stmt, sql, &e), ADBC_STATUS_OK);
    }
    return stmt;
  }

  // The service holds its answer to the next request of `endpoint` back.
  void DelayNext(const char* endpoint, int ms = kServiceDelayMs) {
    svc().AddFault({{"endpoint", endpoint}, {"delay_ms", ms}});
  }

  // Waits until the service has received the request: the call on the other thread is then
  // waiting for the network.
  void AwaitRequest(const std::string& endpoint, int64_t count = 1) {
    ASSERT_GE(svc().AwaitCounter("requests." + endpoint, count), count);
  }

  // Cancels from yet another thread, as Python's signal helper does.
  Failure CancelStatement(AdbcStatement* stmt) {
    return std::async(std::launch::async, [&] {
             AdbcError e{};
             return take(driver_.StatementCancel(stmt, &e), &e);
           })
        .get();
  }
  Failure CancelConnection(AdbcConnection* conn) {
    return std::async(std::launch::async, [&] {
             AdbcError e{};
             return take(driver_.ConnectionCancel(conn, &e), &e);
           })
        .get();
  }

  std::vector<std::unique_ptr<AdbcStatement>> statements_;
};

TEST_F(CancelNetTest, BeforeTheFirstByteTheWaitingCallReturnsCancelled) {
  struct Case {
    const char* name;
    bool stream;  // with an output stream (the call still waits, for the count)
  };
  const Case cases[] = {{"stream and count", true}, {"run for its effect", false}};
  int64_t requests = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DelayNext("query");
    AdbcStatement* stmt = Statement("SELECT * FROM inventory.products");
    ArrowArrayStream out{};
    int64_t rows = 0;
    auto running = std::async(std::launch::async, [&] {
      AdbcError e{};
      return take(driver_.StatementExecuteQuery(stmt, c.stream ? &out : nullptr, &rows, &e), &e);
    });
    AwaitRequest("query", ++requests);
    EXPECT_EQ(CancelStatement(stmt).status, ADBC_STATUS_OK);
    const Failure f = running.get();
    EXPECT_EQ(f.status, ADBC_STATUS_CANCELLED) << f.message;
    EXPECT_EQ(f.sqlstate, "HY008") << f.message;
    EXPECT_EQ(f.vendor, 0);
    EXPECT_EQ(out.release, nullptr);
  }
}

TEST_F(CancelNetTest, MidStreamTheNextBatchFailsWithEcanceled) {
  AdbcStatement* stmt = Statement("SELECT * FROM range(300000) t(i)");
  ArrowArrayStream out{};
  AdbcError e{};
  ASSERT_EQ(driver_.StatementExecuteQuery(stmt, &out, nullptr, &e), ADBC_STATUS_OK)
      << take(1, &e).message;
  ArrowArray batch{};
  ASSERT_EQ(out.get_next(&out, &batch), 0);
  ASSERT_NE(batch.release, nullptr);
  batch.release(&batch);

  // The statement's call has returned: the cancel reaches the stream it handed out.
  EXPECT_EQ(CancelStatement(stmt).status, ADBC_STATUS_OK);
  EXPECT_EQ(out.get_next(&out, &batch), ECANCELED);
  ASSERT_NE(out.get_last_error(&out), nullptr);
  EXPECT_NE(std::string(out.get_last_error(&out)).find("cancelled"), std::string::npos);
  AdbcStatusCode status = ADBC_STATUS_OK;
  const AdbcError* error = driver_.ErrorFromArrayStream(&out, &status);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(status, ADBC_STATUS_CANCELLED);
  EXPECT_EQ(std::string(error->sqlstate, 5), "HY008");
  out.release(&out);
}

TEST_F(CancelNetTest, WithNothingRunningCancelIsOkAndChangesNothing) {
  AdbcStatement* stmt = Statement("SELECT * FROM inventory.products");
  EXPECT_EQ(CancelStatement(stmt).status, ADBC_STATUS_OK);
  EXPECT_EQ(CancelConnection(&conn_).status, ADBC_STATUS_OK);
  // An earlier cancel does not reach a later execution, nor a stream that finished.
  for (int round = 0; round < 2; ++round) {
    ArrowArrayStream out{};
    AdbcError e{};
    ASSERT_EQ(driver_.StatementExecuteQuery(stmt, &out, nullptr, &e), ADBC_STATUS_OK)
        << take(1, &e).message;
    const std::vector<std::string> seen = nv_adbc_test::drain(&out);
    EXPECT_EQ(seen.back(), "end");
    out.release(&out);
    EXPECT_EQ(CancelStatement(stmt).status, ADBC_STATUS_OK);
  }

  // A released statement's identity never reaches a new statement's stream.
  AdbcStatement* first = Statement("SELECT * FROM inventory.products");
  ArrowArrayStream kept{};
  AdbcError e{};
  ASSERT_EQ(driver_.StatementExecuteQuery(first, &kept, nullptr, &e), ADBC_STATUS_OK);
  ASSERT_EQ(driver_.StatementRelease(first, &e), ADBC_STATUS_OK);
  AdbcStatement* second = Statement();
  EXPECT_EQ(CancelStatement(second).status, ADBC_STATUS_OK);
  EXPECT_EQ(nv_adbc_test::drain(&kept).back(), "end");
  kept.release(&kept);

  EXPECT_EQ(take(driver_.StatementCancel(nullptr, &e), &e).sqlstate, "HY009");
  AdbcStatement unallocated{};
  EXPECT_EQ(driver_.StatementCancel(&unallocated, &e), ADBC_STATUS_INVALID_STATE);
  take(1, &e);
}

TEST_F(CancelNetTest, IngestStopsItsUploadAndTheServiceAppliesNothing) {
  ASSERT_TRUE(svc().Sql("DROP TABLE IF EXISTS cancel_ingest_t"));
  DelayNext("ingest", 2000);
  AdbcStatement* stmt = Statement();
  AdbcError e{};
  ASSERT_EQ(driver_.StatementSetOption(stmt, "adbc.ingest.target_table", "cancel_ingest_t", &e),
            ADBC_STATUS_OK);
  ASSERT_EQ(driver_.StatementSetOption(stmt, "adbc.ingest.mode", "adbc.ingest.mode.replace", &e),
            ADBC_STATUS_OK);
  ArrowArray array{};
  ArrowSchema schema{};
  ASSERT_TRUE(arrow::ExportRecordBatch(*nv_ingest_test::IdNameBatch(0, 100), &array, &schema).ok());
  ASSERT_EQ(driver_.StatementBind(stmt, &array, &schema, &e), ADBC_STATUS_OK);
  int64_t rows = 0;
  auto running = std::async(std::launch::async, [&] {
    AdbcError error{};
    return take(driver_.StatementExecuteQuery(stmt, nullptr, &rows, &error), &error);
  });
  AwaitRequest("ingest");
  EXPECT_EQ(CancelStatement(stmt).status, ADBC_STATUS_OK);
  const Failure f = running.get();
  EXPECT_EQ(f.status, ADBC_STATUS_CANCELLED) << f.message;
  EXPECT_EQ(f.sqlstate, "HY008") << f.message;
  EXPECT_EQ(rows, -1);
  // Once its delay is over the service finds the upload cut and applies none of it.
  EXPECT_EQ(svc().AwaitCounter("ingests_interrupted", 1), 1);
  std::string err;
  EXPECT_FALSE(svc().Sql("SELECT * FROM cancel_ingest_t", &err));
  EXPECT_EQ(svc().Counter("ingests"), 0);
}

TEST_F(CancelNetTest, ConnectionCancelStopsTheLimitZeroProbe) {
  DelayNext("query");
  auto running = std::async(std::launch::async, [&] {
    AdbcError e{};
    ArrowSchema schema{};
    // Not in the snapshot: the driver asks the compute node.
    const Failure f = take(driver_.ConnectionGetTableSchema(&conn_, nullptr, nullptr,
                                                            "cancel_probe_nowhere", &schema, &e),
                           &e);
    EXPECT_EQ(schema.release, nullptr);
    return f;
  });
  AwaitRequest("query");
  EXPECT_EQ(CancelConnection(&conn_).status, ADBC_STATUS_OK);
  const Failure f = running.get();
  EXPECT_EQ(f.status, ADBC_STATUS_CANCELLED) << f.message;
  EXPECT_EQ(f.sqlstate, "HY008") << f.message;
}

// A connection with a session token and no user name neither reads nor fills the process's
// snapshot cache: its first metadata call fetches the snapshot over the network.
TEST_F(CancelNetTest, ConnectionCancelStopsTheSnapshotFetch) {
  AdbcDatabase db{};
  AdbcConnection conn{};
  AdbcError e{};
  ASSERT_EQ(driver_.DatabaseNew(&db, &e), ADBC_STATUS_OK);
  ASSERT_EQ(driver_.DatabaseSetOption(&db, "uri", svc().control_plane_url().c_str(), &e),
            ADBC_STATUS_OK);
  const std::string token = svc().Login();
  ASSERT_EQ(driver_.DatabaseSetOption(&db, "adbc.norvale.session_token", token.c_str(), &e),
            ADBC_STATUS_OK);
  ASSERT_EQ(driver_.DatabaseInit(&db, &e), ADBC_STATUS_OK) << take(1, &e).message;
  ASSERT_EQ(driver_.ConnectionNew(&conn, &e), ADBC_STATUS_OK);
  ASSERT_EQ(driver_.ConnectionInit(&conn, &db, &e), ADBC_STATUS_OK) << take(1, &e).message;

  DelayNext("snapshot");
  auto get_objects = [&] {
    AdbcError error{};
    ArrowArrayStream out{};
    const Failure f =
        take(driver_.ConnectionGetObjects(&conn, ADBC_OBJECT_DEPTH_DB_SCHEMAS, nullptr, nullptr,
                                          nullptr, nullptr, nullptr, &out, &error),
             &error);
    std::vector<std::string> seen;
    if (out.release != nullptr) {
      seen = nv_adbc_test::drain(&out);
      out.release(&out);
    }
    return std::make_pair(f, seen);
  };
  auto running = std::async(std::launch::async, get_objects);
  AwaitRequest("snapshot");
  EXPECT_EQ(CancelConnection(&conn).status, ADBC_STATUS_OK);
  const Failure cancelled = running.get().first;
  EXPECT_EQ(cancelled.status, ADBC_STATUS_CANCELLED) << cancelled.message;
  EXPECT_EQ(cancelled.sqlstate, "HY008");

  // The cancelled fetch does not count as a failed one: the next call loads the snapshot and
  // lists its catalogs (an answer without a snapshot has none).
  const auto [ok, batches] = get_objects();
  EXPECT_EQ(ok.status, ADBC_STATUS_OK) << ok.message;
  ASSERT_EQ(batches.size(), 2u);
  EXPECT_NE(batches[0], "0");
  EXPECT_EQ(batches[1], "end");
  EXPECT_EQ(svc().Counter("requests.snapshot"), 2);

  driver_.ConnectionRelease(&conn, &e);
  driver_.DatabaseRelease(&db, &e);
}

}  // namespace
