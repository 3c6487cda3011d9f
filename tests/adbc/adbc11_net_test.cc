// The ADBC 1.1 entries against the local service, through the driver loaded with dlopen: what a
// connection and a statement read back, ExecuteSchema, and a statement reused for a query after
// an ingest.
#include <arrow/api.h>
#include <arrow/c/bridge.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/adbc/driver_net_fixture.h"
#include "tests/core/ingest/ingest_net_util.h"

namespace {

using nv_adbc_test::Failure;
using nv_adbc_test::take;

class Adbc11NetTest : public nv_adbc_test::DriverNetTest {
 protected:
  void SetUp() override {
    DriverNetTest::SetUp();
    AdbcError e{};
    ASSERT_EQ(driver_.StatementNew(&conn_, &stmt_, &e), ADBC_STATUS_OK);
  }
  void TearDown() override {
    AdbcError e{};
    driver_.StatementRelease(&stmt_, &e);
    DriverNetTest::TearDown();
  }
  void Sql(const std::string& sql) {
    std::string err;
    ASSERT_TRUE(svc().Sql(sql, &err)) << sql << ": " << err;
  }

  // A string option read back through `get`, or nothing when the status is not OK.
  template <typename Handle>
  static std::optional<std::string> Read(
      AdbcStatusCode (*get)(Handle*, const char*, char*, size_t*, AdbcError*), Handle* handle,
      const char* key) {
    char value[512];
    size_t length = sizeof value;
    AdbcError e{};
    const AdbcStatusCode status = get(handle, key, value, &length, &e);
    if (e.release) e.release(&e);
    if (status != ADBC_STATUS_OK) return std::nullopt;
    return std::string(value, length - 1);
  }
  std::optional<std::string> StatementOption(const char* key) {
    return Read(driver_.StatementGetOption, &stmt_, key);
  }
  std::optional<std::string> ConnectionOption(const char* key) {
    return Read(driver_.ConnectionGetOption, &conn_, key);
  }

  Failure SetSql(const std::string& sql) {
    AdbcError e{};
    return take(driver_.StatementSetSqlQuery(&stmt_, sql.c_str(), &e), &e);
  }
  Failure Bind(const arrow::RecordBatch& batch) {
    ArrowArray array{};
    ArrowSchema schema{};
    EXPECT_TRUE(arrow::ExportRecordBatch(batch, &array, &schema).ok());
    AdbcError e{};
    return take(driver_.StatementBind(&stmt_, &array, &schema, &e), &e);
  }
  // ExecuteSchema's answer as text, or "error <status> <sqlstate>".
  std::string ExecuteSchema() {
    ArrowSchema schema{};
    AdbcError e{};
    const AdbcStatusCode status = driver_.StatementExecuteSchema(&stmt_, &schema, &e);
    if (status != ADBC_STATUS_OK) {
      const Failure f = take(status, &e);
      return "error " + std::to_string(f.status) + " " + f.sqlstate + ": " + f.message;
    }
    auto imported = arrow::ImportSchema(&schema);
    return imported.ok() ? (*imported)->ToString() : imported.status().ToString();
  }
  // The schema of the executed statement's result, read from its stream.
  std::string ExecutedSchema() {
    ArrowArrayStream stream{};
    AdbcError e{};
    const Failure f = take(driver_.StatementExecuteQuery(&stmt_, &stream, nullptr, &e), &e);
    if (f.status != ADBC_STATUS_OK) return "error " + std::to_string(f.status) + ": " + f.message;
    auto reader = arrow::ImportRecordBatchReader(&stream);
    return reader.ok() ? (*reader)->schema()->ToString() : reader.status().ToString();
  }

  AdbcStatement stmt_{};
};

TEST_F(Adbc11NetTest, ConnectionReportsItsCatalogSchemaAndChosenNode) {
  EXPECT_EQ(ConnectionOption("adbc.connection.autocommit"), "true");
  EXPECT_EQ(ConnectionOption("adbc.connection.readonly"), "false");
  EXPECT_EQ(ConnectionOption("adbc.connection.catalog"), "memory");  // DuckDB's in-memory one
  EXPECT_EQ(ConnectionOption("adbc.connection.db_schema"), "main");
  // The control plane recommended the node: the connection says which.
  EXPECT_EQ(ConnectionOption("adbc.norvale.compute_node"), svc().nodes()[0].id);
  EXPECT_EQ(ConnectionOption("adbc.norvale.compute_url"), svc().node_url(0));
  int64_t number = -1;
  AdbcError e{};
  EXPECT_EQ(driver_.ConnectionGetOptionInt(&conn_, "adbc.norvale.query_timeout_sec", &number, &e),
            ADBC_STATUS_OK);
  EXPECT_EQ(number, 0);
  // The database still hides its password, and reads back the rest.
  EXPECT_EQ(Read(driver_.DatabaseGetOption, &db_, "password"), std::nullopt);
  EXPECT_EQ(Read(driver_.DatabaseGetOption, &db_, "username"), nv_test::LocalSvc::kUser);
  EXPECT_EQ(Read(driver_.DatabaseGetOption, &db_, "uri"), svc().control_plane_url());
}

TEST_F(Adbc11NetTest, StatementOptionsReadBack) {
  struct Case {
    const char* key;
    const char* set;  // null: only read
    std::optional<std::string> read;
  };
  const Case cases[] = {
      {"adbc.ingest.target_table", nullptr, std::nullopt},
      {"adbc.ingest.mode", nullptr, "adbc.ingest.mode.create"},
      {"adbc.ingest.temporary", nullptr, "false"},
      {"adbc.statement.exec.incremental", nullptr, "false"},
      {"nv.ingest.coerce", nullptr, "true"},
      {"adbc.ingest.target_table", "sales.new_orders", "sales.new_orders"},
      {"adbc.ingest.target_db_schema", "sales", "sales"},
      {"adbc.ingest.target_catalog", "memory", "memory"},
      {"adbc.ingest.mode", "create_append", "adbc.ingest.mode.create_append"},
      {"adbc.ingest.mode", "adbc.ingest.mode.replace", "adbc.ingest.mode.replace"},
      // Python's adbc_ingest always sends it.
      {"adbc.ingest.temporary", "false", "false"},
      {"nv.ingest.payload_format", "parquet", "parquet"},
      {"nv.ingest.key_columns", " id , ,region ", "id,region"},
      {"nv.ingest.idempotency_key", "batch-7", "batch-7"},
      {"nv.ingest.coerce", "0", "false"},
      {"adbc.statement.bind_by_name", nullptr, "false"},
      {"adbc.statement.bind_by_name", "true", "true"},
      // The service's own mode replaces the ADBC one, which then has nothing to say.
      {"nv.ingest.mode", "upsert", "upsert"},
      {"adbc.ingest.mode", nullptr, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + "=" + (c.set ? c.set : "(read)"));
    if (c.set != nullptr) {
      AdbcError e{};
      ASSERT_EQ(driver_.StatementSetOption(&stmt_, c.key, c.set, &e), ADBC_STATUS_OK)
          << take(1, &e).message;
    }
    EXPECT_EQ(StatementOption(c.key), c.read);
  }
  // Typed setters reach the same options.
  AdbcError e{};
  const uint8_t table[] = {'t', '2'};
  ASSERT_EQ(driver_.StatementSetOptionBytes(&stmt_, "adbc.ingest.target_table", table, 2, &e),
            ADBC_STATUS_OK);
  EXPECT_EQ(StatementOption("adbc.ingest.target_table"), "t2");
  ASSERT_EQ(driver_.StatementSetOptionInt(&stmt_, "nv.ingest.coerce", 1, &e), ADBC_STATUS_OK);
  EXPECT_EQ(StatementOption("nv.ingest.coerce"), "true");
  EXPECT_EQ(take(driver_.StatementSetOption(&stmt_, "adbc.ingest.temporary", "true", &e), &e)
                .status,
            ADBC_STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(take(driver_.StatementSetOptionDouble(&stmt_, "adbc.no.such.key", 1.0, &e), &e)
                .status,
            ADBC_STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(StatementOption("adbc.no.such.key"), std::nullopt);
}

// A statement that ingested runs a parameterised query next: SetSqlQuery leaves the ingest
// target behind, so the bound row goes to the query instead of a second ingest.
TEST_F(Adbc11NetTest, SetSqlQueryAfterAnIngestRunsTheQuery) {
  Sql("DROP TABLE IF EXISTS a11_reuse");
  AdbcError e{};
  ASSERT_EQ(driver_.StatementSetOption(&stmt_, "adbc.ingest.target_table", "a11_reuse", &e),
            ADBC_STATUS_OK);
  ASSERT_EQ(Bind(*nv_ingest_test::IdNameBatch(1, 2)).status, ADBC_STATUS_OK);
  int64_t rows = -1;
  ASSERT_EQ(take(driver_.StatementExecuteQuery(&stmt_, nullptr, &rows, &e), &e).status,
            ADBC_STATUS_OK);
  EXPECT_EQ(rows, 2);

  ASSERT_EQ(SetSql("INSERT INTO a11_reuse VALUES (?, ?)").status, ADBC_STATUS_OK);
  EXPECT_EQ(StatementOption("adbc.ingest.target_table"), std::nullopt);
  ASSERT_EQ(Bind(*nv_ingest_test::IdNameBatch(9, 1)).status, ADBC_STATUS_OK);
  const Failure f = take(driver_.StatementExecuteQuery(&stmt_, nullptr, &rows, &e), &e);
  EXPECT_EQ(f.status, ADBC_STATUS_OK) << f.message;
  EXPECT_EQ(rows, 1);
  EXPECT_EQ(nv_ingest_test::Rows(svc(), "SELECT id FROM a11_reuse ORDER BY id"),
            (std::vector<std::string>{"1", "2", "9"}));
}

// ExecuteSchema answers what ExecuteQuery's stream then says, from the local engine without a
// request, and from the compute node through a probe that returns no rows.
TEST_F(Adbc11NetTest, ExecuteSchemaEqualsTheExecutedSchema) {
  struct Case {
    const char* sql;
    bool local;
  };
  const Case cases[] = {
      // The validation suite's cases; a statement that reads no relation reaches the node.
      {"SELECT 42", false},
      {"SELECT CAST(1.5 AS FLOAT)", false},
      {"SELECT 'hi'", false},
      {"SELECT table_schema, table_name FROM information_schema.tables", true},
      {"SELECT customer_id, full_name, credit_limit FROM sales.customers", false},
      {"SELECT 42 AS n, CAST(credit_limit AS FLOAT) AS f, 'hi' AS s FROM sales.customers", false},
      {"SELECT customer_id AS a, full_name AS a FROM sales.customers", false},  // names kept
      {"(SELECT customer_id FROM sales.customers) UNION ALL (SELECT 2) ORDER BY 1 LIMIT 1",
       false},
      {"WITH x AS (SELECT * FROM sales.orders) SELECT order_id, 'hi' AS s FROM x; -- done",
       false},
      {"VALUES (1, 'one')", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    ASSERT_EQ(SetSql(c.sql).status, ADBC_STATUS_OK);
    const int64_t queries = svc().Counter("requests.query");
    const std::string answered = ExecuteSchema();
    EXPECT_EQ(svc().Counter("requests.query") - queries, c.local ? 0 : 1);
    EXPECT_EQ(answered, ExecutedSchema());
  }

  // Bound parameters are substituted from the first bound row, which the execution still gets.
  ASSERT_EQ(SetSql("SELECT ? + 1 AS n, ? AS label").status, ADBC_STATUS_OK);
  ASSERT_EQ(Bind(*nv_ingest_test::IdNameBatch(41, 1)).status, ADBC_STATUS_OK);
  const std::string answered = ExecuteSchema();
  ArrowArrayStream stream{};
  AdbcError e{};
  ASSERT_EQ(driver_.StatementExecuteQuery(&stmt_, &stream, nullptr, &e), ADBC_STATUS_OK)
      << take(1, &e).message;
  auto table = arrow::ImportRecordBatchReader(&stream).ValueOrDie()->ToTable().ValueOrDie();
  EXPECT_EQ(answered, table->schema()->ToString());
  ASSERT_EQ(table->num_rows(), 1);
  EXPECT_EQ(table->column(0)->GetScalar(0).ValueOrDie()->ToString(), "42");
}

// Only a single query is probed: statements that write, or text that could hide a second
// statement, never reach the service; nor does a statement without SQL.
TEST_F(Adbc11NetTest, ExecuteSchemaNeverRunsAStatementThatWrites) {
  Sql("CREATE OR REPLACE TABLE a11_kept (v INTEGER)");
  Sql("INSERT INTO a11_kept VALUES (1)");
  EXPECT_EQ(ExecuteSchema().rfind("error 6 HY010", 0), 0u);  // no SQL yet
  const char* writers[] = {
      "INSERT INTO a11_kept VALUES (2)",
      "DELETE FROM a11_kept",
      "DROP TABLE a11_kept",
      "CREATE TABLE a11_new AS SELECT 1",
      "SELECT 1; DROP TABLE a11_kept",
      "SELECT 1) LIMIT 0; DROP TABLE a11_kept; --",
      "WITH gone AS (DELETE FROM a11_kept RETURNING *) SELECT * FROM gone",
      "SELECT * INTO a11_copy FROM a11_kept",
      "SELECT * FROM a11_kept FOR UPDATE",
  };
  const int64_t queries = svc().Counter("requests.query");
  for (const char* sql : writers) {
    SCOPED_TRACE(sql);
    ASSERT_EQ(SetSql(sql).status, ADBC_STATUS_OK);
    EXPECT_EQ(ExecuteSchema().rfind("error 2 0A000", 0), 0u);
  }
  EXPECT_EQ(svc().Counter("requests.query"), queries);
  EXPECT_EQ(nv_ingest_test::Rows(svc(), "SELECT v FROM a11_kept"),
            (std::vector<std::string>{"1"}));

  // A probe the service refuses reports the service's error.
  ASSERT_EQ(SetSql("SELECT * FROM a11_no_such_table").status, ADBC_STATUS_OK);
  EXPECT_EQ(ExecuteSchema().rfind("error 3 42S02", 0), 0u) << ExecuteSchema();
}

// Getters may run on any thread while the handle is in use: a reader thread reads the options a
// setter keeps replacing (the sanitizer builds see a torn or freed value).
TEST_F(Adbc11NetTest, GettersRunBesideSettersOnAnotherThread) {
  std::atomic<bool> stop{false};
  std::atomic<int> reads{0};
  std::thread reader([&] {
    while (!stop.load()) {
      ConnectionOption("adbc.norvale.batch_size_hint");
      ConnectionOption("adbc.connection.db_schema");
      StatementOption("nv.ingest.key_columns");
      StatementOption("adbc.ingest.target_table");
      ++reads;
    }
  });
  for (int i = 0; i < 300; ++i) {
    AdbcError e{};
    const std::string hint = std::to_string(i);
    EXPECT_EQ(driver_.ConnectionSetOption(&conn_, "adbc.norvale.batch_size_hint", hint.c_str(),
                                          &e),
              ADBC_STATUS_OK);
    EXPECT_EQ(driver_.StatementSetOption(&stmt_, "nv.ingest.key_columns", i % 2 ? "a, b" : "c",
                                         &e),
              ADBC_STATUS_OK);
    EXPECT_EQ(driver_.StatementSetOption(&stmt_, "adbc.ingest.target_table", "t", &e),
              ADBC_STATUS_OK);
    EXPECT_EQ(SetSql("SELECT 1").status, ADBC_STATUS_OK);  // leaves the target behind
  }
  while (reads.load() < 3) std::this_thread::yield();
  stop = true;
  reader.join();
  EXPECT_EQ(ConnectionOption("adbc.norvale.batch_size_hint"), "299");
  EXPECT_EQ(StatementOption("nv.ingest.key_columns"), "a,b");
  EXPECT_EQ(StatementOption("adbc.ingest.target_table"), std::nullopt);
}

}  // namespace
