// Statements and result streams through the driver loaded with dlopen, as a host loads it,
// against the local service.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <chrono>
#include <thread>
#include <string>
#include <vector>

#include <arrow/c/bridge.h>
#include <arrow/api.h>

#include "norvale_adbc.h"
#include "tests/adbc/driver_net_fixture.h"

namespace {

using nv_adbc_test::drain;
using nv_adbc_test::Failure;
using nv_adbc_test::take;

class StatementNetTest : public nv_adbc_test::DriverNetTest {};

TEST_F(StatementNetTest, EveryDemoTypeThroughTheStream) {
  ArrowArrayStream s{};
  ASSERT_EQ(execute("SELECT p.*, c.signup_date, c.is_active, c.tags, o.ordered_at "
                    "FROM inventory.products p, sales.customers c, sales.orders o "
                    "WHERE p.product_id = 100 AND c.customer_id = 1 AND o.order_id = 5001",
                    &s, nullptr)
                .status,
            ADBC_STATUS_OK);
  auto reader = arrow::ImportRecordBatchReader(&s);
  ASSERT_TRUE(reader.ok());
  auto table = (*reader)->ToTable();
  ASSERT_TRUE(table.ok()) << table.status().ToString();
  ASSERT_EQ((*table)->num_rows(), 1);
  struct Expected {
    const char* column;
    const char* type;
    const char* value;
  };
  const std::vector<Expected> expected = {
      {"product_id", "int64", "100"},
      {"sku", "string", "KB-001"},
      {"unit_price", "decimal128(10, 2)", "89.90"},
      {"weight_kg", "float", "1.1"},
      {"rating", "double", "4.6"},
      {"stock", "int16", "120"},
      {"category", "int8", "1"},
      {"thumbnail", "binary", "KB"},
      {"added_at", "timestamp[us]", "2023-01-02 09:30:00.000000"},
      {"signup_date", "date32[day]", "2021-03-14"},
      {"is_active", "bool", "true"},
      {"ordered_at", "timestamp[us, tz=Etc/UTC]", "2024-01-10 10:00:00.000000Z"},
  };
  for (const auto& e : expected) {
    SCOPED_TRACE(e.column);
    auto col = (*table)->GetColumnByName(e.column);
    ASSERT_NE(col, nullptr);
    EXPECT_EQ(col->type()->ToString(), e.type);
    EXPECT_EQ(col->GetScalar(0).ValueOrDie()->ToString(), e.value);
  }
  EXPECT_EQ((*table)->GetColumnByName("tags")->type()->id(), arrow::Type::LIST);
  EXPECT_EQ((*table)->GetColumnByName("dimensions")->type()->id(), arrow::Type::STRUCT);
}

TEST_F(StatementNetTest, DdlAndDmlReturnRowsAffected) {
  int64_t rows = 0;
  ASSERT_EQ(execute("CREATE TABLE st_net (i INTEGER)", nullptr, &rows).status, ADBC_STATUS_OK);
  rows = 0;
  ASSERT_EQ(execute("INSERT INTO st_net SELECT * FROM range(7)", nullptr, &rows).status,
            ADBC_STATUS_OK);
  EXPECT_EQ(rows, 7);
  // With a stream too: the count comes with the stream.
  ArrowArrayStream s{};
  rows = 0;
  ASSERT_EQ(execute("DELETE FROM st_net WHERE i < 3", &s, &rows).status, ADBC_STATUS_OK);
  EXPECT_EQ(rows, 3);
  s.release(&s);
  ASSERT_EQ(execute("DROP TABLE st_net", nullptr, nullptr).status, ADBC_STATUS_OK);
}

// A large result arrives in batches of at most 4 MiB (524288 BIGINT values), not as one: its
// first rows reach the host before the rest has been built and sent.
TEST_F(StatementNetTest, LargeResultArrivesInBoundedBatches) {
  ArrowArrayStream s{};
  ASSERT_EQ(execute("SELECT range AS id FROM range(5000000)", &s, nullptr).status,
            ADBC_STATUS_OK);
  const std::vector<std::string> seen = drain(&s);
  s.release(&s);
  ASSERT_GE(seen.size(), 11u);  // ten batches at least, then the end
  ASSERT_EQ(seen.back(), "end");
  int64_t total = 0;
  for (size_t i = 0; i + 1 < seen.size(); ++i) {
    const int64_t rows = std::stoll(seen[i]);
    EXPECT_LE(rows, 524288) << "batch " << i;
    total += rows;
  }
  EXPECT_EQ(total, 5000000);
}

TEST_F(StatementNetTest, SchemaFromInitBeforeSlowData) {
  svc().AddFault({{"endpoint", "query"}, {"trickle_bps", 4000}});
  ArrowArrayStream s{};
  ASSERT_EQ(execute("SELECT customer_id, full_name FROM sales.customers", &s, nullptr).status,
            ADBC_STATUS_OK);
  const auto start = std::chrono::steady_clock::now();
  ArrowSchema schema{};
  ASSERT_EQ(s.get_schema(&s, &schema), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500))
      << "the schema comes from INIT, not from the trickled data";
  EXPECT_EQ(schema.n_children, 2);
  schema.release(&schema);
  EXPECT_EQ(drain(&s), (std::vector<std::string>{"5", "end"}));
  s.release(&s);
}

TEST_F(StatementNetTest, NoRowsAndGetNextWithoutGetSchema) {
  ArrowArrayStream s{};
  ASSERT_EQ(execute("SELECT order_id, status FROM sales.orders WHERE false", &s, nullptr).status,
            ADBC_STATUS_OK);
  ArrowSchema schema{};
  ASSERT_EQ(s.get_schema(&s, &schema), 0);
  EXPECT_EQ(schema.n_children, 2);
  schema.release(&schema);
  EXPECT_EQ(drain(&s), (std::vector<std::string>{"end"}));
  s.release(&s);

  ASSERT_EQ(execute("SELECT * FROM sales.order_items", &s, nullptr).status, ADBC_STATUS_OK);
  EXPECT_EQ(drain(&s), (std::vector<std::string>{"5", "end"}));
  s.release(&s);
}

TEST_F(StatementNetTest, ErrorAfterSomeBatches) {
  svc().AddFault({{"endpoint", "query"},
                  {"error_after_batches", 1},
                  {"error_message", std::string(700, 'w')}});
  ArrowArrayStream s{};
  ASSERT_EQ(execute("SELECT i, repeat('x', 300) AS pad FROM range(100000) t(i)", &s, nullptr)
                .status,
            ADBC_STATUS_OK);
  const auto seen = drain(&s);
  ASSERT_FALSE(seen.empty());
  const std::string& last = seen.back();
  ASSERT_TRUE(last.starts_with("error: compute reported error: www")) << last;
  EXPECT_EQ(last.size(), std::string("error: ").size() + 511);
  s.release(&s);
}

TEST_F(StatementNetTest, HttpErrorsBecomeAdbcErrors) {
  struct Case {
    const char* name;
    nlohmann::json fault;
    std::string sql;
    std::string message;  // prefix
    std::string sqlstate;
    AdbcStatusCode status;  // chosen by the SQLSTATE
    int32_t vendor;         // the service's code: here the HTTP status
  };
  const std::vector<Case> cases = {
      {"missing table", nullptr, "SELECT * FROM no_such_table",
       "Catalog Error: Table with name no_such_table does not exist", "42S02",
       ADBC_STATUS_NOT_FOUND, 404},
      // The faults need statements that reach the compute node.
      {"429", {{"endpoint", "query"}, {"status", 429}, {"body", ""}},
       "SELECT * FROM inventory.products", "compute returned HTTP 429", "53400", ADBC_STATUS_IO,
       429},
      {"division by zero",
       {{"endpoint", "query"},
        {"status", 500},
        {"body", R"({"message":"division by zero","code":"INTERNAL_ERROR"})"}},
       "SELECT * FROM inventory.products", "division by zero", "22012",
       ADBC_STATUS_INVALID_DATA, 500},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.fault.is_null()) svc().AddFault(c.fault);
    int64_t rows = 0;
    const Failure f = execute(c.sql, nullptr, &rows);
    EXPECT_EQ(f.status, c.status);
    EXPECT_TRUE(f.message.starts_with(c.message)) << f.message;
    EXPECT_EQ(f.sqlstate, c.sqlstate);
    EXPECT_EQ(f.vendor, c.vendor);

    // Without a count to wait for, the stream carries the error.
    if (!c.fault.is_null()) svc().AddFault(c.fault);
    ArrowArrayStream s{};
    ASSERT_EQ(execute(c.sql, &s, nullptr).status, ADBC_STATUS_OK);
    ArrowSchema schema{};
    EXPECT_EQ(s.get_schema(&s, &schema), EIO);
    EXPECT_TRUE(std::string(s.get_last_error(&s)).starts_with(c.message));
    s.release(&s);
  }
}

TEST_F(StatementNetTest, BodyCutMidFrame) {
  svc().AddFault({{"endpoint", "query"}, {"cut_after_bytes", 1200}});
  ArrowArrayStream s{};
  ASSERT_EQ(execute("SELECT * FROM inventory.products", &s, nullptr).status, ADBC_STATUS_OK);
  EXPECT_EQ(drain(&s).back(), "error: stream ended mid-frame (truncated binary response)");
  s.release(&s);
}

TEST_F(StatementNetTest, MultiResultWarningOnce) {
  svc().AddFault({{"endpoint", "query"}, {"result_sets", 2}});
  testing::internal::CaptureStderr();
  ArrowArrayStream s{};
  ASSERT_EQ(execute("SELECT * FROM sales.orders", &s, nullptr).status, ADBC_STATUS_OK);
  EXPECT_EQ(drain(&s), (std::vector<std::string>{"4", "end"}));
  s.release(&s);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("norvale-odbc: multi-statement script returned 2 result sets; v1 only "
                     "surfaces the first.\n"),
            std::string::npos)
      << err;
}

TEST_F(StatementNetTest, ReleaseWhileWorkerBlockedOnFullQueue) {
  ArrowArrayStream s{};
  ASSERT_EQ(execute("SELECT i, repeat('z', 500) AS pad FROM range(400000) t(i)", &s, nullptr)
                .status,
            ADBC_STATUS_OK);
  ArrowArray a{};
  ASSERT_EQ(s.get_next(&s, &a), 0);
  a.release(&a);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the queue fills up
  const auto start = std::chrono::steady_clock::now();
  s.release(&s);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(s.release, nullptr);
  // The statement's connection keeps working.
  ASSERT_EQ(execute("SELECT 1 AS one", &s, nullptr).status, ADBC_STATUS_OK);
  EXPECT_EQ(drain(&s), (std::vector<std::string>{"1", "end"}));
  s.release(&s);
}

TEST_F(StatementNetTest, ConnectionReleasedBeforeItsStream) {
  // Hosts may release in any order: the stream keeps what it needs, and the last release frees
  // it all (LeakSanitizer checks the sanitizer build at exit).
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    ArrowArrayStream s{};
    ASSERT_EQ(execute("SELECT i FROM range(30000) t(i)", &s, nullptr).status, ADBC_STATUS_OK);
    AdbcError e{};
    ASSERT_EQ(driver_.ConnectionRelease(&conn_, &e), ADBC_STATUS_OK);
    int64_t rows = 0;
    for (const std::string& step : drain(&s)) {
      if (step == "end") break;
      ASSERT_EQ(step.rfind("error", 0), std::string::npos) << step;
      rows += std::stoll(step);
    }
    EXPECT_EQ(rows, 30000);
    s.release(&s);
    conn_ = AdbcConnection{};
    ASSERT_EQ(driver_.ConnectionNew(&conn_, &e), ADBC_STATUS_OK);
    ASSERT_EQ(driver_.ConnectionInit(&conn_, &db_, &e), ADBC_STATUS_OK) << take(1, &e).message;
  }
}

}  // namespace
