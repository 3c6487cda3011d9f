// A connection's catalog tells the truth after its own writes: through the driver loaded with
// dlopen, tables created by SQL and by ingest (and then dropped) show in GetObjects and in
// information_schema on the same connection and on another connection of the process, with the
// snapshot and version requests counted and none of them reaching a compute node.
#include <memory>
#include <string>

#include <arrow/api.h>
#include <arrow/c/bridge.h>
#include <gtest/gtest.h>

#include "snapshot_fixture.h"
#include "tests/adbc/driver_net_fixture.h"

namespace {

std::string message_of(AdbcError* e) { return nv_adbc_test::take(ADBC_STATUS_OK, e).message; }

// The fixture's connection is A; B is a second connection of the same database.
class CatalogFreshnessNetTest : public nv_adbc_test::DriverNetTest {
 protected:
  void SetUp() override {
    DriverNetTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(driver_.ConnectionNew(&b_, nullptr), ADBC_STATUS_OK);
    AdbcError e{};
    ASSERT_EQ(driver_.ConnectionInit(&b_, &db_, &e), ADBC_STATUS_OK) << message_of(&e);
  }

  void TearDown() override {
    driver_.ConnectionRelease(&b_, nullptr);
    DriverNetTest::TearDown();
  }

  struct Requests {
    int64_t snapshot, version, query, not_modified;
  };
  Requests requests() {
    return {svc().Counter("requests.snapshot"), svc().Counter("requests.version"),
            svc().Counter("requests.query"), svc().Counter("snapshot_not_modified")};
  }

  void run(AdbcConnection* conn, const std::string& sql) {
    AdbcStatement stmt{};
    ASSERT_EQ(driver_.StatementNew(conn, &stmt, nullptr), ADBC_STATUS_OK);
    ASSERT_EQ(driver_.StatementSetSqlQuery(&stmt, sql.c_str(), nullptr), ADBC_STATUS_OK);
    AdbcError e{};
    int64_t rows = -1;
    EXPECT_EQ(driver_.StatementExecuteQuery(&stmt, nullptr, &rows, &e), ADBC_STATUS_OK)
        << sql << ": " << message_of(&e);
    driver_.StatementRelease(&stmt, nullptr);
  }

  // Creates (or replaces) `table` in schema main by bulk ingest of two rows.
  void ingest(AdbcConnection* conn, const std::string& table) {
    arrow::Int64Builder ids;
    ASSERT_TRUE(ids.AppendValues({1, 2}).ok());
    auto batch = arrow::RecordBatch::Make(arrow::schema({arrow::field("id", arrow::int64())}), 2,
                                          {ids.Finish().ValueOrDie()});
    auto reader = arrow::RecordBatchReader::Make({batch}).ValueOrDie();
    ArrowArrayStream stream{};
    ASSERT_TRUE(arrow::ExportRecordBatchReader(reader, &stream).ok());
    AdbcStatement stmt{};
    ASSERT_EQ(driver_.StatementNew(conn, &stmt, nullptr), ADBC_STATUS_OK);
    const std::string target = "main." + table;
    ASSERT_EQ(driver_.StatementSetOption(&stmt, "adbc.ingest.target_table", target.c_str(),
                                         nullptr),
              ADBC_STATUS_OK);
    ASSERT_EQ(driver_.StatementSetOption(&stmt, "adbc.ingest.mode", "adbc.ingest.mode.replace",
                                         nullptr),
              ADBC_STATUS_OK);
    AdbcError e{};
    ASSERT_EQ(driver_.StatementBindStream(&stmt, &stream, &e), ADBC_STATUS_OK) << message_of(&e);
    int64_t rows = -1;
    EXPECT_EQ(driver_.StatementExecuteQuery(&stmt, nullptr, &rows, &e), ADBC_STATUS_OK) << message_of(&e);
    EXPECT_EQ(rows, 2);
    driver_.StatementRelease(&stmt, nullptr);
  }

  // Whether GetObjects (exact table filter) lists main.<table>.
  bool listed(AdbcConnection* conn, const std::string& table) {
    ArrowArrayStream stream{};
    AdbcError e{};
    EXPECT_EQ(driver_.ConnectionGetObjects(conn, ADBC_OBJECT_DEPTH_TABLES, nullptr, "main",
                                           table.c_str(), nullptr, nullptr, &stream, &e),
              ADBC_STATUS_OK)
        << message_of(&e);
    auto result = nvtest::read_stream(&stream);
    return result != nullptr && result->ToString().find("\"" + table + "\"") != std::string::npos;
  }

  // Whether information_schema.tables, answered by the connection's engine, has the table.
  bool in_information_schema(AdbcConnection* conn, const std::string& table) {
    AdbcStatement stmt{};
    EXPECT_EQ(driver_.StatementNew(conn, &stmt, nullptr), ADBC_STATUS_OK);
    const std::string sql =
        "SELECT table_name FROM information_schema.tables WHERE table_name = '" + table + "'";
    EXPECT_EQ(driver_.StatementSetSqlQuery(&stmt, sql.c_str(), nullptr), ADBC_STATUS_OK);
    ArrowArrayStream stream{};
    AdbcError e{};
    EXPECT_EQ(driver_.StatementExecuteQuery(&stmt, &stream, nullptr, &e), ADBC_STATUS_OK)
        << message_of(&e);
    driver_.StatementRelease(&stmt, nullptr);
    auto result = nvtest::read_stream(&stream);
    return result != nullptr && result->num_rows() == 1;
  }

  // Both views of both connections; no request of theirs may reach a compute node.
  void expect_everywhere(const std::string& table, bool present) {
    const int64_t queries = svc().Counter("requests.query");
    for (AdbcConnection* c : {&a_, &b_}) {
      EXPECT_EQ(listed(c, table), present) << table << (c == &a_ ? " on A" : " on B");
      EXPECT_EQ(in_information_schema(c, table), present) << table << (c == &a_ ? " on A" : " on B");
    }
    EXPECT_EQ(svc().Counter("requests.query"), queries) << "metadata reached a compute node";
  }

  AdbcConnection& a_ = conn_;
  AdbcConnection b_{};
};

TEST_F(CatalogFreshnessNetTest, WritesShowOnTheSameAndOtherConnections) {
  // Both connections hold a snapshot before the writes.
  EXPECT_FALSE(listed(&a_, "fresh_sql"));
  EXPECT_FALSE(listed(&b_, "fresh_sql"));

  // Nothing changed: answers cost no request at all.
  Requests before = requests();
  expect_everywhere("fresh_sql", false);
  Requests after = requests();
  EXPECT_EQ(after.snapshot, before.snapshot);
  EXPECT_EQ(after.version, before.version);

  // SQL DDL on A: A asks for the snapshot once, conditionally, and gets the new one; B adopts
  // it from the process cache, as it was fetched after the write.
  run(&a_, "CREATE TABLE main.fresh_sql (id INTEGER)");
  before = requests();
  expect_everywhere("fresh_sql", true);
  after = requests();
  EXPECT_EQ(after.version - before.version, 0);
  EXPECT_EQ(after.snapshot - before.snapshot, 1);
  EXPECT_EQ(after.not_modified - before.not_modified, 0);

  // Once current, answers cost nothing again.
  expect_everywhere("fresh_sql", true);
  EXPECT_EQ(requests().snapshot, after.snapshot);
  EXPECT_EQ(requests().version, after.version);

  // An ingest that creates its table, this time written through B (and seen first by A).
  ingest(&b_, "fresh_ingest");
  before = requests();
  expect_everywhere("fresh_ingest", true);
  after = requests();
  EXPECT_EQ(after.version - before.version, 0);
  EXPECT_EQ(after.snapshot - before.snapshot, 1);

  // A dropped table disappears.
  run(&a_, "DROP TABLE main.fresh_sql");
  expect_everywhere("fresh_sql", false);
  expect_everywhere("fresh_ingest", true);

  // A read-only statement is no write: the next answer costs nothing.
  run(&a_, "SELECT 42");
  before = requests();
  EXPECT_TRUE(listed(&a_, "fresh_ingest"));
  after = requests();
  EXPECT_EQ(after.snapshot, before.snapshot);
  EXPECT_EQ(after.version, before.version);
}

// A write that leaves the catalog as it was (an INSERT) costs each connection one conditional
// request, answered "not modified" without a snapshot.
TEST_F(CatalogFreshnessNetTest, AWriteThatLeavesTheCatalogCostsOneNotModifiedEach) {
  run(&a_, "CREATE TABLE main.fresh_rows (id INTEGER)");
  EXPECT_TRUE(listed(&a_, "fresh_rows"));
  EXPECT_TRUE(listed(&b_, "fresh_rows"));
  run(&a_, "INSERT INTO main.fresh_rows VALUES (1)");
  const Requests before = requests();
  EXPECT_TRUE(listed(&a_, "fresh_rows"));
  EXPECT_TRUE(listed(&b_, "fresh_rows"));
  const Requests after = requests();
  EXPECT_EQ(after.snapshot - before.snapshot, 2);
  EXPECT_EQ(after.not_modified - before.not_modified, 2);
  EXPECT_EQ(after.version - before.version, 0);
  EXPECT_EQ(svc().Counter("snapshot_builds"), 1) << "the catalog never moved after the DDL";
}

// A new connection's first catalog call after this process changed the catalog makes one
// request: its cached snapshot predates the change, and the conditional request brings the
// new one.
TEST_F(CatalogFreshnessNetTest, FirstCatalogCallAfterAChangeMakesOneRequest) {
  EXPECT_FALSE(listed(&a_, "fresh_new"));  // the process now caches a snapshot
  run(&a_, "CREATE TABLE main.fresh_new (id INTEGER)");
  AdbcConnection c{};
  ASSERT_EQ(driver_.ConnectionNew(&c, nullptr), ADBC_STATUS_OK);
  AdbcError e{};
  ASSERT_EQ(driver_.ConnectionInit(&c, &db_, &e), ADBC_STATUS_OK) << message_of(&e);
  const Requests before = requests();
  EXPECT_TRUE(listed(&c, "fresh_new"));
  const Requests after = requests();
  EXPECT_EQ(after.snapshot - before.snapshot, 1);
  EXPECT_EQ(after.not_modified - before.not_modified, 0);
  EXPECT_EQ(after.version - before.version, 0);
  driver_.ConnectionRelease(&c, nullptr);
}

// A server that does not tag its snapshots is revalidated as before: the catalog version, and
// the snapshot only when the version moved.
TEST_F(CatalogFreshnessNetTest, WithoutEntityTagsTheVersionIsChecked) {
  svc().AddFault({{"endpoint", "snapshot"}, {"count", -1}, {"omit_etag", true}});
  AdbcConnection c{};
  ASSERT_EQ(driver_.ConnectionNew(&c, nullptr), ADBC_STATUS_OK);
  AdbcError e{};
  ASSERT_EQ(driver_.ConnectionInit(&c, &db_, &e), ADBC_STATUS_OK) << message_of(&e);
  run(&c, "CREATE TABLE main.untagged_rows (id INTEGER)");
  EXPECT_FALSE(listed(&c, "fresh_untagged"));  // the first load includes that write
  run(&c, "INSERT INTO main.untagged_rows VALUES (1)");
  Requests before = requests();
  EXPECT_FALSE(listed(&c, "fresh_untagged"));
  Requests after = requests();
  EXPECT_EQ(after.version - before.version, 1);
  EXPECT_EQ(after.snapshot - before.snapshot, 0);  // the version stayed

  run(&c, "CREATE TABLE main.fresh_untagged (id INTEGER)");
  before = requests();
  EXPECT_TRUE(listed(&c, "fresh_untagged"));
  after = requests();
  EXPECT_EQ(after.version - before.version, 1);
  EXPECT_EQ(after.snapshot - before.snapshot, 1);
  EXPECT_EQ(after.not_modified, 0);
  driver_.ConnectionRelease(&c, nullptr);
}

// A write is known by its first keyword as the service reads it: block comments nest, so the
// SELECT inside this comment does not hide the DROP after it.
TEST_F(CatalogFreshnessNetTest, DropAfterNestedCommentMovesTheCatalog) {
  run(&a_, "CREATE TABLE main.nested_drop (id INTEGER)");
  expect_everywhere("nested_drop", true);
  run(&a_, "/* a /* b */ SELECT */ DROP TABLE main.nested_drop");
  expect_everywhere("nested_drop", false);
}

// Connecting and running a statement that needs no catalog never fetches the snapshot.
TEST_F(CatalogFreshnessNetTest, StatementsWithoutCatalogNeverWaitForTheSnapshot) {
  AdbcConnection c{};
  ASSERT_EQ(driver_.ConnectionNew(&c, nullptr), ADBC_STATUS_OK);
  const Requests before = requests();
  AdbcError e{};
  ASSERT_EQ(driver_.ConnectionInit(&c, &db_, &e), ADBC_STATUS_OK) << message_of(&e);
  run(&c, "SELECT 1");
  EXPECT_EQ(requests().snapshot, before.snapshot);
  EXPECT_EQ(requests().version, before.version);
  driver_.ConnectionRelease(&c, nullptr);
}

}  // namespace
