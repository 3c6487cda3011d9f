#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/localsvc/net_helpers.h"

namespace nv_test {
namespace {

using nlohmann::json;

class QueryStreamTest : public LocalSvcTest {
 protected:
  void SetUp() override {
    LocalSvcTest::SetUp();
    token_ = svc().Login();
    ASSERT_FALSE(token_.empty());
  }
  std::string token_;
};

TEST_F(QueryStreamTest, SelectStreamsInitBatchesAndEos) {
  HttpReply r = PostQuery(svc(), token_,
                          "SELECT customer_id, email, credit_limit, signup_date, tags "
                          "FROM sales.customers ORDER BY customer_id");
  ASSERT_EQ(r.status, 200) << r.body;
  QueryStream q = DecodeQueryStream(r.body);
  ASSERT_TRUE(q.clean);
  ASSERT_FALSE(q.types.empty());
  EXPECT_EQ(q.types.front(), 1);
  EXPECT_EQ(q.types.back(), 3);
  EXPECT_TRUE(q.eos);
  EXPECT_TRUE(q.error.empty());
  ASSERT_TRUE(q.init["streamId"].is_string());
  ASSERT_EQ(q.init["resultSets"].size(), 1u);
  EXPECT_FALSE(q.init["resultSets"][0].contains("rowsAffected"));

  // The INIT schema decodes and matches the batches.
  auto raw = nv_localsvc::base64_decode(q.init["resultSets"][0]["schemaIpc"].get<std::string>());
  ASSERT_TRUE(raw.has_value());
  auto schema_only = DecodeIpc(*raw);
  ASSERT_TRUE(schema_only.ok()) << schema_only.status().ToString();
  EXPECT_EQ((*schema_only)->num_rows(), 0);
  const auto& schema = *(*schema_only)->schema();
  ASSERT_EQ(schema.num_fields(), 5);
  EXPECT_EQ(schema.field(0)->type()->id(), arrow::Type::INT32);
  EXPECT_EQ(schema.field(1)->type()->id(), arrow::Type::STRING);
  EXPECT_EQ(schema.field(2)->type()->id(), arrow::Type::DECIMAL128);
  EXPECT_EQ(schema.field(3)->type()->id(), arrow::Type::DATE32);
  EXPECT_EQ(schema.field(4)->type()->id(), arrow::Type::LIST);
  ASSERT_FALSE(q.batches.empty());
  EXPECT_TRUE(q.batches[0]->schema()->Equals(schema));
  EXPECT_EQ(TotalRows(q), 5);
  auto ids = std::static_pointer_cast<arrow::Int32Array>(q.batches[0]->column(0));
  EXPECT_EQ(ids->Value(0), 1);
}

TEST_F(QueryStreamTest, BatchesRespectTheByteBudget) {
  const int64_t budget = 64 * 1024;
  HttpReply r = PostQuery(svc(), token_,
                          "SELECT i, i * 2 AS j, 'row ' || i AS s FROM range(200000) t(i)", budget);
  ASSERT_EQ(r.status, 200);
  std::vector<WireFrame> frames;
  ASSERT_TRUE(SplitFrames(r.body, &frames));
  int64_t rows = 0, batches = 0, expect_next = 0;
  for (const auto& f : frames) {
    if (f.type != 2) continue;
    ASSERT_EQ(be32(f.payload), 0u);
    auto t = DecodeIpc(f.payload.substr(8));
    ASSERT_TRUE(t.ok());
    // One record batch per BATCH frame, each within the budget (plus IPC framing).
    ASSERT_EQ((*t)->column(0)->num_chunks(), 1);
    EXPECT_LE(static_cast<int64_t>(f.payload.size()), budget + 4096);
    auto col = std::static_pointer_cast<arrow::Int64Array>((*t)->column(0)->chunk(0));
    EXPECT_EQ(col->Value(0), expect_next);  // rows arrive in order, none lost
    expect_next += col->length();
    rows += (*t)->num_rows();
    ++batches;
  }
  EXPECT_EQ(rows, 200000);
  EXPECT_GT(batches, 20);
}

TEST_F(QueryStreamTest, DefaultBudgetIsFourMebibytes) {
  HttpReply r = PostQuery(svc(), token_, "SELECT i, i AS j FROM range(1000000) t(i)");
  ASSERT_EQ(r.status, 200);
  std::vector<WireFrame> frames;
  ASSERT_TRUE(SplitFrames(r.body, &frames));
  size_t largest = 0, batches = 0;
  for (const auto& f : frames)
    if (f.type == 2) largest = std::max(largest, f.payload.size()), ++batches;
  // 16 MB of data: four or five batches near 4 MiB each.
  EXPECT_GE(batches, 4u);
  EXPECT_LE(batches, 6u);
  EXPECT_LE(largest, size_t{4 * 1024 * 1024 + 4096});
  EXPECT_GT(largest, size_t{3 * 1024 * 1024});
}

TEST_F(QueryStreamTest, EmptyResultSendsSchemaAndEosOnly) {
  HttpReply r = PostQuery(svc(), token_, "SELECT * FROM sales.orders WHERE false");
  ASSERT_EQ(r.status, 200);
  QueryStream q = DecodeQueryStream(r.body);
  EXPECT_EQ(q.types, (std::vector<uint8_t>{1, 3}));
  EXPECT_TRUE(q.init["resultSets"][0]["schemaIpc"].is_string());
}

TEST_F(QueryStreamTest, DmlReportsRowsAffected) {
  ASSERT_TRUE(svc().Sql("CREATE TABLE dml_probe (a INTEGER, b VARCHAR)"));
  struct Case {
    const char* sql;
    int64_t rows;
  };
  const Case cases[] = {
      {"INSERT INTO dml_probe SELECT i, 'x' FROM range(7) t(i)", 7},
      {"UPDATE dml_probe SET b = 'y' WHERE a < 3", 3},
      {"DELETE FROM dml_probe WHERE a >= 5", 2},
  };
  for (const Case& c : cases) {
    HttpReply r = PostQuery(svc(), token_, c.sql);
    ASSERT_EQ(r.status, 200) << r.body;
    QueryStream q = DecodeQueryStream(r.body);
    EXPECT_EQ(q.init["resultSets"][0]["rowsAffected"], c.rows) << c.sql;
    EXPECT_TRUE(q.batches.empty());
    EXPECT_TRUE(q.eos);
  }
}

TEST_F(QueryStreamTest, ScriptsRunEveryStatementAndStreamTheLast) {
  HttpReply r = PostQuery(svc(), token_,
                          "CREATE TEMP TABLE s (x INTEGER); INSERT INTO s VALUES (1), (2), (3);"
                          " SELECT sum(x) AS total FROM s");
  ASSERT_EQ(r.status, 200) << r.body;
  QueryStream q = DecodeQueryStream(r.body);
  ASSERT_EQ(q.batches.size(), 1u);
  auto total = q.batches[0]->column(0)->GetScalar(0);
  ASSERT_TRUE(total.ok());
  EXPECT_EQ((*total)->ToString(), "6");
}

TEST_F(QueryStreamTest, SqlErrorsBecomeHttpErrors) {
  struct Case {
    const char* sql;
    long status;
    const char* code;
    const char* fragment;  // in the message
  };
  const Case cases[] = {
      {"SELEC 1", 400, "QUERY_ERROR", "syntax"},
      {"SELECT * FROM no_such_table", 404, "MISSING_OBJECT", "no_such_table"},
      {"SELECT no_such_column FROM sales.customers", 404, "MISSING_OBJECT", "column"},
      {"CREATE TABLE sales.customers (a INTEGER)", 409, "DUPLICATE_OBJECT", "already exists"},
      {"SELECT 'abc'::INTEGER", 400, "QUERY_ERROR", "Cast error"},
      {"SELECT 'x'::DATE", 400, "QUERY_ERROR", "Error parsing date"},
      {"SELECT 1 // 0", 500, "INTERNAL_ERROR", "division by zero"},
      {"INSERT INTO sales.customers (customer_id, email, full_name) VALUES (1, 'z', 'z')", 409,
       "INTEGRITY_VIOLATION", "constraint"},
      {"", 400, "QUERY_ERROR", "no statement"},
  };
  for (const Case& c : cases) {
    HttpReply r = PostQuery(svc(), token_, c.sql);
    EXPECT_EQ(r.status, c.status) << c.sql << ": " << r.body;
    json j = json::parse(r.body, nullptr, false);
    ASSERT_TRUE(j.is_object()) << r.body;
    EXPECT_EQ(j["code"], c.code) << c.sql;
    EXPECT_NE(j["message"].get<std::string>().find(c.fragment), std::string::npos)
        << c.sql << ": " << j["message"];
  }
  HttpReply bad = svc().Http("POST", svc().node_url() + "/api/v1/query/stream/binary",
                             R"({"query":"select 1"})", token_);
  EXPECT_EQ(bad.status, 400);
  EXPECT_EQ(svc().Counter("requests.query"), static_cast<int64_t>(std::size(cases)) + 1);
}

TEST_F(QueryStreamTest, ErrorAfterRowsComesAsErrorFrame) {
  HttpReply r = PostQuery(svc(), token_,
                          "SELECT CASE WHEN i = 2000000 THEN error('late failure') ELSE i END "
                          "AS v FROM range(3000000) t(i)",
                          256 * 1024);
  ASSERT_EQ(r.status, 200) << r.body;
  QueryStream q = DecodeQueryStream(r.body);
  EXPECT_TRUE(q.clean);
  EXPECT_FALSE(q.eos);
  EXPECT_FALSE(q.batches.empty());
  json e = json::parse(q.error, nullptr, false);
  ASSERT_TRUE(e.is_object()) << q.error;
  EXPECT_NE(e["message"].get<std::string>().find("late failure"), std::string::npos);
  EXPECT_TRUE(e["code"].is_string());
  EXPECT_EQ(q.types.back(), 4);
}

}  // namespace
}  // namespace nv_test

namespace nv_test {
namespace {

TEST_F(QueryStreamTest, DemoDatasetCoversCommonTypes) {
  struct Want {
    const char* sql;
    arrow::Type::type type;
  };
  const Want wants[] = {
      {"SELECT category FROM inventory.products", arrow::Type::INT8},
      {"SELECT stock FROM inventory.products", arrow::Type::INT16},
      {"SELECT customer_id FROM sales.customers", arrow::Type::INT32},
      {"SELECT product_id FROM inventory.products", arrow::Type::INT64},
      {"SELECT unit_price FROM inventory.products", arrow::Type::DECIMAL128},
      {"SELECT weight_kg FROM inventory.products", arrow::Type::FLOAT},
      {"SELECT rating FROM inventory.products", arrow::Type::DOUBLE},
      {"SELECT name FROM inventory.products", arrow::Type::STRING},
      {"SELECT signup_date FROM sales.customers", arrow::Type::DATE32},
      {"SELECT preferred_contact_time FROM sales.customers", arrow::Type::TIME64},
      {"SELECT shipped_at FROM sales.orders", arrow::Type::TIMESTAMP},
      {"SELECT ordered_at FROM sales.orders", arrow::Type::TIMESTAMP},
      {"SELECT is_active FROM sales.customers", arrow::Type::BOOL},
      {"SELECT thumbnail FROM inventory.products", arrow::Type::BINARY},
      {"SELECT tags FROM sales.customers", arrow::Type::LIST},
      {"SELECT dimensions FROM inventory.products", arrow::Type::STRUCT},
      {"SELECT revenue FROM analytics.revenue_by_customer", arrow::Type::DECIMAL128},
  };
  for (const Want& w : wants) {
    QueryStream q = DecodeQueryStream(PostQuery(svc(), token_, w.sql).body);
    ASSERT_FALSE(q.batches.empty()) << w.sql;
    EXPECT_GT(TotalRows(q), 0) << w.sql;
    EXPECT_EQ(q.batches[0]->schema()->field(0)->type()->id(), w.type) << w.sql;
  }
  QueryStream tz = DecodeQueryStream(PostQuery(svc(), token_, "SELECT ordered_at FROM sales.orders").body);
  auto ts = std::static_pointer_cast<arrow::TimestampType>(tz.batches[0]->schema()->field(0)->type());
  EXPECT_FALSE(ts->timezone().empty());
}

TEST_F(QueryStreamTest, ConcurrentQueriesOnSeveralConnections) {
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      std::string sql = "SELECT i FROM range(" + std::to_string(100000 + t) + ") t(i)";
      QueryStream q = DecodeQueryStream(PostQuery(svc(), token_, sql, 256 * 1024).body);
      if (q.eos && TotalRows(q) == 100000 + t) ++good;
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(good, 6);
}

}  // namespace
}  // namespace nv_test
