// Statements of one connection travel over one kept-alive HTTP connection: a stream that has
// ended is closed without dropping its connection.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "norvale_adbc.h"
#include "tests/adbc/driver_net_fixture.h"

namespace {

using nv_adbc_test::drain;

// A table function the metadata engine does not know: the statement goes to the compute node.
constexpr const char* kQuery = "SELECT 42 AS answer FROM range(1)";

class ConnectionReuseTest : public nv_adbc_test::DriverNetTest {
 protected:
  // Runs `sql` to the end of its stream; the batch row counts and "end".
  std::vector<std::string> Query(const std::string& sql) {
    ArrowArrayStream s{};
    int64_t rows = -1;
    EXPECT_EQ(execute(sql, &s, &rows).status, ADBC_STATUS_OK);
    if (s.release == nullptr) return {};
    std::vector<std::string> seen = drain(&s);
    s.release(&s);
    return seen;
  }

  // A first statement, and the reservation confirm that runs beside it: what the tests count
  // comes after.
  void WarmUp() {
    EXPECT_EQ(Query(kQuery), (std::vector<std::string>{"1", "end"}));
    svc().AwaitCounter("confirms", 1);
  }

  // Where the EOS frame of result set 0 ends in the answer to `sql`, when the service announces
  // two result sets (the frames of the second one follow it).
  size_t EndOfFirstResult(const std::string& sql) {
    svc().AddFault({{"endpoint", "query"}, {"result_sets", 2}});
    const nv_test::HttpReply r =
        svc().Http("POST", svc().node_url() + "/api/v1/query/stream/binary",
                   nlohmann::json({{"sql", sql}}).dump(), svc().admin_token());
    std::vector<nv_test::WireFrame> frames;
    EXPECT_TRUE(nv_test::SplitFrames(r.body, &frames));
    size_t offset = 0;
    for (const auto& f : frames) {
      offset += 8 + f.payload.size();
      if (f.type == 3 && f.payload == std::string(4, '\0')) return offset;
    }
    ADD_FAILURE() << "no EOS for result set 0";
    return 0;
  }
};

TEST_F(ConnectionReuseTest, StatementsShareOneConnection) {
  ASSERT_TRUE(svc().Sql("CREATE OR REPLACE TABLE reuse_probe (id INTEGER)"));
  WarmUp();
  svc().ClearFaults();  // counts from here on: the connect requests are not wanted
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Query(kQuery), (std::vector<std::string>{"1", "end"}));
    int64_t rows = -1;
    EXPECT_EQ(execute("INSERT INTO reuse_probe VALUES (1)", nullptr, &rows).status,
              ADBC_STATUS_OK);
    EXPECT_EQ(rows, 1);
  }
  EXPECT_EQ(svc().Counter("requests.query"), 6);
  EXPECT_EQ(svc().Counter("connections"), 1);
}

// The end of the body may come a little after the end of the result (here the frames of a
// second result set, after a pause): closing the stream waits for it and keeps the connection.
// A body that does not end soon after its result is cut off, and the next statement connects
// again.
TEST_F(ConnectionReuseTest, CloseWaitsBrieflyForTheEndOfTheBody) {
  struct Case {
    int stall_ms;
    int connections;
  };
  const size_t eos_end = EndOfFirstResult(kQuery);
  ASSERT_GT(eos_end, 0u);
  WarmUp();
  for (const Case c : {Case{20, 1}, Case{5000, 2}}) {
    SCOPED_TRACE(c.stall_ms);
    svc().ClearFaults();
    svc().AddFault({{"endpoint", "query"},
                    {"result_sets", 2},
                    {"stall_after_bytes", eos_end},
                    {"stall_ms", c.stall_ms}});
    EXPECT_EQ(Query(kQuery), (std::vector<std::string>{"1", "end"}));
    EXPECT_EQ(Query(kQuery), (std::vector<std::string>{"1", "end"}));
    EXPECT_EQ(svc().Counter("connections"), c.connections);
  }
}

// A later connection of the process, same user, opens no TCP connection: its requests (the
// recommendation, the confirm, its queries) go over the sockets its predecessor opened. The
// service counts every client connection it has served.
TEST_F(ConnectionReuseTest, ALaterConnectionOpensNoNewTcpConnection) {
  WarmUp();
  svc().ClearFaults();  // counts from here on
  ASSERT_EQ(driver_.ConnectionRelease(&conn_, nullptr), ADBC_STATUS_OK);
  conn_ = AdbcConnection{};
  ASSERT_EQ(driver_.ConnectionNew(&conn_, nullptr), ADBC_STATUS_OK);
  ASSERT_EQ(driver_.ConnectionInit(&conn_, &db_, nullptr), ADBC_STATUS_OK);
  EXPECT_EQ(Query(kQuery), (std::vector<std::string>{"1", "end"}));
  EXPECT_EQ(svc().AwaitCounter("confirms", 1), 1);
  EXPECT_EQ(svc().Counter("requests.recommend"), 1);
  EXPECT_EQ(svc().Counter("connections_opened"), 0);
}

// Sixteen threads open connections of one database, ask the catalog and the compute node, and
// release them, all at once: the connections share the process's sockets and catalog cache
// (run under ThreadSanitizer by scripts/tsan).
TEST_F(ConnectionReuseTest, SixteenThreadsOpenAndReleaseConnections) {
  constexpr int kThreads = 16, kRounds = 3;
  std::atomic<int> answered{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int r = 0; r < kRounds; ++r) {
        AdbcConnection conn{};
        AdbcError e{};
        if (driver_.ConnectionNew(&conn, &e) != ADBC_STATUS_OK ||
            driver_.ConnectionInit(&conn, &db_, &e) != ADBC_STATUS_OK) {
          ADD_FAILURE() << nv_adbc_test::take(1, &e).message;
          driver_.ConnectionRelease(&conn, &e);
          return;
        }
        for (const char* sql : {"SELECT table_name FROM information_schema.tables", kQuery}) {
          AdbcStatement stmt{};
          ArrowArrayStream s{};
          int64_t rows = -1;
          driver_.StatementNew(&conn, &stmt, &e);
          driver_.StatementSetSqlQuery(&stmt, sql, &e);
          if (driver_.StatementExecuteQuery(&stmt, &s, &rows, &e) == ADBC_STATUS_OK) {
            const std::vector<std::string> seen = drain(&s);
            s.release(&s);
            if (!seen.empty() && seen.back() == "end") ++answered;
          } else {
            ADD_FAILURE() << sql << ": " << nv_adbc_test::take(1, &e).message;
          }
          driver_.StatementRelease(&stmt, &e);
        }
        driver_.ConnectionRelease(&conn, &e);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(answered.load(), kThreads * kRounds * 2);
}

}  // namespace
