// nv_execute against the local service: results, server errors and broken streams.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <arrow/api.h>

#include "core/query_batch_internal.h"
#include "core/query_internal.h"
#include "norvale/nv_core.h"
#include "norvale/nv_query.h"
#include "support/localsvc_fixture.h"

namespace {

struct Outcome {
  std::shared_ptr<arrow::Schema> schema;  // of the first batch
  std::vector<std::shared_ptr<arrow::RecordBatch>> batches;  // every batch, zero-row ones too
  int64_t rows = 0;
  std::string error;  // the error text of the final nv_next_batch, empty at a clean end
  std::string sqlstate;
  int32_t native = 0;
  int64_t rows_affected = -1;
};

class QueryNetTest : public nv_test::LocalSvcTest {
 protected:
  void SetUp() override {
    LocalSvcTest::SetUp();
    const std::string token = svc().Login();
    ASSERT_FALSE(token.empty());
    char err[512] = "";
    conn_ = nv_connect(svc().control_plane_url().c_str(), svc().node_url().c_str(), nullptr,
                       token.c_str(), nullptr, nullptr, nullptr, nullptr, err, sizeof err);
    ASSERT_NE(conn_, nullptr) << err;
  }
  void TearDown() override {
    if (conn_ != nullptr) nv_disconnect(conn_);
  }

  NVQueryHandle* start(const std::string& sql, uint64_t timeout = 0) {
    char err[512] = "";
    NVQueryHandle* q = nv_execute(conn_, sql.c_str(), 0, timeout, err, sizeof err);
    EXPECT_NE(q, nullptr) << err;
    return q;
  }

  Outcome run(const std::string& sql, uint64_t timeout = 0) {
    NVQueryHandle* q = start(sql, timeout);
    return q == nullptr ? Outcome{} : collect(q);
  }

  // Reads `q` to its end and closes it.
  static Outcome collect(NVQueryHandle* q) {
    Outcome out;
    for (;;) {
      char err[1024] = "";
      NVArrowBatch* b = nv_next_batch(q, err, sizeof err);
      if (b == nullptr) {
        // The buffer holds a cut copy; the query keeps the whole text.
        out.error = nv_query_error(q) != nullptr ? nv_query_error(q) : err;
        break;
      }
      const auto& rb = norvale::query_batch_record(b);
      if (!out.schema) out.schema = rb->schema();
      out.rows += rb->num_rows();
      out.batches.push_back(rb);
      nv_batch_free(b);
    }
    if (const char* s = nv_query_sqlstate(q)) out.sqlstate = s;
    out.native = nv_query_native_error(q);
    out.rows_affected = nv_query_rows_affected(q);
    nv_query_close(q);
    return out;
  }

  NVConnection* conn_ = nullptr;
};

bool queue_full(NVQueryHandle* q) {
  std::lock_guard<std::mutex> lock(q->mutex);
  return q->max_inflight_batches != 0 && q->queue.size() >= q->max_inflight_batches;
}

// Column `name` of the `n`-th batch that has rows (the zero-row schema batch is skipped).
template <typename T>
std::shared_ptr<T> column(const Outcome& o, size_t n, const std::string& name) {
  for (const auto& batch : o.batches) {
    if (batch->num_rows() == 0) continue;
    if (n-- == 0) return std::static_pointer_cast<T>(batch->GetColumnByName(name));
  }
  ADD_FAILURE() << "no such batch with rows";
  return nullptr;
}

TEST_F(QueryNetTest, DemoTypesArriveWithTheirArrowTypes) {
  const Outcome p = run("SELECT * FROM inventory.products ORDER BY product_id");
  ASSERT_EQ(p.error, "");
  ASSERT_EQ(p.rows, 4);
  struct Expected {
    const char* name;
    std::shared_ptr<arrow::DataType> type;
  };
  const std::vector<Expected> types = {
      {"product_id", arrow::int64()},
      {"sku", arrow::utf8()},
      {"unit_price", arrow::decimal128(10, 2)},
      {"weight_kg", arrow::float32()},
      {"rating", arrow::float64()},
      {"stock", arrow::int16()},
      {"category", arrow::int8()},
      {"thumbnail", arrow::binary()},
      {"added_at", arrow::timestamp(arrow::TimeUnit::MICRO)},
  };
  for (const auto& e : types) {
    const auto field = p.schema->GetFieldByName(e.name);
    ASSERT_NE(field, nullptr) << e.name;
    EXPECT_TRUE(field->type()->Equals(*e.type))
        << e.name << ": " << field->type()->ToString() << " vs " << e.type->ToString();
  }
  EXPECT_EQ(p.schema->GetFieldByName("dimensions")->type()->id(), arrow::Type::STRUCT);

  const size_t b = 0;
  EXPECT_EQ(column<arrow::Int64Array>(p, b, "product_id")->Value(0), 100);
  EXPECT_EQ(column<arrow::StringArray>(p, b, "name")->GetString(1), "Wireless mouse");
  EXPECT_EQ(column<arrow::Decimal128Array>(p, b, "unit_price")->FormatValue(0), "89.90");
  EXPECT_FLOAT_EQ(column<arrow::FloatArray>(p, b, "weight_kg")->Value(0), 1.1f);
  EXPECT_EQ(column<arrow::BinaryArray>(p, b, "thumbnail")->GetString(0), "KB");
  EXPECT_TRUE(column<arrow::BinaryArray>(p, b, "thumbnail")->IsNull(1));
  // 2023-01-02 09:30:00 in microseconds since the epoch.
  EXPECT_EQ(column<arrow::TimestampArray>(p, b, "added_at")->Value(0), 1672651800000000);

  const Outcome c = run("SELECT * FROM sales.customers ORDER BY customer_id");
  ASSERT_EQ(c.error, "");
  EXPECT_EQ(c.schema->GetFieldByName("signup_date")->type()->id(), arrow::Type::DATE32);
  EXPECT_EQ(c.schema->GetFieldByName("is_active")->type()->id(), arrow::Type::BOOL);
  EXPECT_EQ(c.schema->GetFieldByName("tags")->type()->id(), arrow::Type::LIST);
  EXPECT_EQ(column<arrow::Date32Array>(c, 0, "signup_date")->Value(0), 18700);  // 2021-03-14
  EXPECT_TRUE(column<arrow::Date32Array>(c, 0, "signup_date")->IsNull(4));
  EXPECT_FALSE(column<arrow::BooleanArray>(c, 0, "is_active")->Value(2));

  const Outcome o = run("SELECT ordered_at FROM sales.orders ORDER BY order_id");
  ASSERT_EQ(o.error, "");
  const auto& ts = static_cast<const arrow::TimestampType&>(*o.schema->field(0)->type());
  EXPECT_FALSE(ts.timezone().empty()) << "TIMESTAMP WITH TIME ZONE keeps a zone";
}

TEST_F(QueryNetTest, DdlAndDmlReportRowsAffected) {
  ASSERT_EQ(run("CREATE TABLE qnet_dml (id INTEGER, v VARCHAR)").error, "");
  const Outcome ins = run("INSERT INTO qnet_dml VALUES (1, 'a'), (2, 'b'), (3, NULL)");
  ASSERT_EQ(ins.error, "");
  EXPECT_EQ(ins.rows_affected, 3);
  const Outcome upd = run("UPDATE qnet_dml SET v = 'z' WHERE id >= 2");
  EXPECT_EQ(upd.rows_affected, 2);
  const Outcome sel = run("SELECT count(*) AS n FROM qnet_dml WHERE v = 'z'");
  ASSERT_EQ(sel.error, "");
  EXPECT_EQ(column<arrow::Int64Array>(sel, 0, "n")->Value(0), 2);
  ASSERT_EQ(run("DROP TABLE qnet_dml").error, "");
}

TEST_F(QueryNetTest, ResultWithoutRowsIsOneZeroRowBatch) {
  const Outcome o =
      run("SELECT customer_id, email, signup_date FROM sales.customers WHERE customer_id < 0");
  ASSERT_EQ(o.error, "");
  ASSERT_EQ(o.batches.size(), 1u);
  EXPECT_EQ(o.batches[0]->num_rows(), 0);
  EXPECT_EQ(o.schema->num_fields(), 3);
}

TEST_F(QueryNetTest, SchemaPreludeBeforeSlowData) {
  // Trickled: INIT (with the schema) arrives long before the data batch.
  svc().AddFault({{"endpoint", "query"}, {"trickle_bps", 4000}});
  NVQueryHandle* q = start("SELECT * FROM inventory.products");
  ASSERT_NE(q, nullptr);
  std::vector<int64_t> rows;
  while (NVArrowBatch* b = nv_next_batch(q, nullptr, 0)) {
    rows.push_back(nv_batch_num_rows(b));
    nv_batch_free(b);
  }
  EXPECT_EQ(nv_query_error(q), nullptr);
  nv_query_close(q);
  EXPECT_EQ(rows, (std::vector<int64_t>{0, 4})) << "prelude first, nothing after the data";
}

TEST_F(QueryNetTest, TraceAndUnknownFramesAreSkipped) {
  svc().AddFault({{"endpoint", "query"}, {"interleave_trace", true}, {"interleave_unknown", true}});
  const Outcome o = run("SELECT * FROM sales.order_items");
  EXPECT_EQ(o.error, "");
  EXPECT_EQ(o.rows, 5);
}

TEST_F(QueryNetTest, MultipleResultSetsWarnOnce) {
  svc().AddFault({{"endpoint", "query"}, {"result_sets", 3}});
  testing::internal::CaptureStderr();
  const Outcome o = run("SELECT * FROM sales.orders");
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(o.error, "");
  EXPECT_EQ(o.rows, 4);
  const std::string line =
      "norvale-odbc: multi-statement script returned 3 result sets; v1 only surfaces the first.";
  ASSERT_NE(err.find(line), std::string::npos) << err;
  EXPECT_EQ(err.find(line), err.rfind(line)) << "printed once";
}

TEST_F(QueryNetTest, ErrorFrameAfterSomeBatches) {
  svc().AddFault({{"endpoint", "query"},
                  {"error_after_batches", 2},
                  {"error_message", "worker lost (code: 1234)"}});
  const Outcome o = run("SELECT i, repeat('x', 200) AS pad FROM range(100000) t(i)");
  EXPECT_EQ(o.error, "compute reported error: worker lost (code: 1234)");
  EXPECT_EQ(o.native, 1234);
  // Batches still queued when the error arrives are not handed out.
  const auto data = std::count_if(o.batches.begin(), o.batches.end(),
                                  [](const auto& b) { return b->num_rows() > 0; });
  EXPECT_LE(data, 2);
}

TEST_F(QueryNetTest, HttpErrorsMapToSqlstates) {
  struct Case {
    const char* name;
    nlohmann::json fault;  // null: none
    std::string sql;
    std::string error;  // prefix
    std::string sqlstate;
    int32_t native;
  };
  const std::string long_message(2000, 'q');
  const std::vector<Case> cases = {
      {"missing table", nullptr, "SELECT * FROM no_such_table", "Catalog Error: Table with name "
       "no_such_table does not exist", "42S02", 404},
      {"syntax", nullptr, "SELEC 1", "Parser Error: syntax error", "42000", 400},
      {"429 empty body", {{"endpoint", "query"}, {"status", 429}, {"body", ""}}, "SELECT 1",
       "compute returned HTTP 429", "53400", 429},
      {"division by zero",
       {{"endpoint", "query"},
        {"status", 500},
        {"body", R"({"message":"Out of Range Error: division by zero","code":"INTERNAL_ERROR"})"}},
       "SELECT 1", "Out of Range Error: division by zero", "22012", 500},
      {"long message",
       {{"endpoint", "query"},
        {"status", 400},
        {"body", nlohmann::json{{"message", long_message}}.dump()}},
       "SELECT 1", std::string(1021, 'q') + "...", "42000", 400},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.fault.is_null()) svc().AddFault(c.fault);
    const Outcome o = run(c.sql);
    EXPECT_TRUE(o.error.starts_with(c.error)) << o.error;
    EXPECT_EQ(o.sqlstate, c.sqlstate);
    EXPECT_EQ(o.native, c.native);
    EXPECT_TRUE(o.batches.empty());
  }
}

TEST_F(QueryNetTest, BrokenStreams) {
  struct Case {
    const char* name;
    nlohmann::json fault;
    std::string error;  // prefix
    std::string sqlstate;
  };
  const std::vector<Case> cases = {
      {"body cut mid-frame", {{"endpoint", "query"}, {"cut_after_bytes", 700}},
       "stream ended mid-frame (truncated binary response)", "08006"},
      {"connection dropped mid-body", {{"endpoint", "query"}, {"reset_after_bytes", 700}},
       "HTTP transport: ", "08006"},
      {"closed without reply", {{"endpoint", "query"}, {"close", true}}, "HTTP transport: ",
       "08006"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    svc().AddFault(c.fault);
    const Outcome o = run("SELECT * FROM inventory.products");
    EXPECT_TRUE(o.error.starts_with(c.error)) << o.error;
    EXPECT_EQ(o.sqlstate, c.sqlstate) << o.error;
  }
}

TEST_F(QueryNetTest, StalledStreamHitsTheQueryTimeout) {
  svc().AddFault({{"endpoint", "query"}, {"delay_ms", 8000}});
  const auto start = std::chrono::steady_clock::now();
  const Outcome o = run("SELECT 1", /*timeout=*/2);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(o.error.starts_with("Query exceeded timeout of 2 seconds; ")) << o.error;
  EXPECT_EQ(o.sqlstate, "HYT00");
  EXPECT_EQ(o.native, 28);
  EXPECT_LT(took, std::chrono::seconds(6));
}

// A result far larger than the queue: the worker blocks on the full queue while nobody reads.
constexpr const char* kBigQuery = "SELECT i, repeat('y', 500) AS pad FROM range(400000) t(i)";

TEST_F(QueryNetTest, CancelFromAnotherThreadReleasesBlockedWorker) {
  NVQueryHandle* q = start(kBigQuery);
  ASSERT_NE(q, nullptr);
  NVArrowBatch* first = nv_next_batch(q, nullptr, 0);
  ASSERT_NE(first, nullptr);
  nv_batch_free(first);
  // Let the worker fill the queue and block.
  for (int i = 0; i < 200 && !queue_full(q); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::thread canceller([q] { nv_query_cancel(q); });
  canceller.join();
  char err[256] = "";
  while (NVArrowBatch* b = nv_next_batch(q, err, sizeof err)) nv_batch_free(b);
  EXPECT_STREQ(err, "Query cancelled by client");
  EXPECT_STREQ(nv_query_sqlstate(q), "HY008");
  const auto start = std::chrono::steady_clock::now();
  nv_query_close(q);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(QueryNetTest, CloseWhileWorkerBlockedOnFullQueue) {
  NVQueryHandle* q = start(kBigQuery);
  ASSERT_NE(q, nullptr);
  for (int i = 0; i < 200 && !queue_full(q); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(queue_full(q)) << "the worker should be waiting for room";
  const auto start = std::chrono::steady_clock::now();
  nv_query_close(q);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  // The connection is still usable afterwards.
  EXPECT_EQ(run("SELECT 42 AS x").rows, 1);
}

TEST_F(QueryNetTest, ServerSilentMidBodyHitsTheQueryTimeout) {
  svc().AddFault({{"endpoint", "query"}, {"stall_after_bytes", 64}, {"stall_ms", 8000}});
  const auto start = std::chrono::steady_clock::now();
  const Outcome o = run("SELECT * FROM inventory.products", /*timeout=*/2);
  EXPECT_TRUE(o.error.starts_with("Query exceeded timeout of 2 seconds; ")) << o.error;
  EXPECT_EQ(o.sqlstate, "HYT00");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
}

TEST_F(QueryNetTest, SlowReaderIsNotATimeout) {
  // The worker waits on the full queue far longer than the time-out: that wait is the host's.
  NVQueryHandle* q = start("SELECT i, repeat('y', 500) AS pad FROM range(60000) t(i)", 1);
  ASSERT_NE(q, nullptr);
  for (int i = 0; i < 200 && !queue_full(q); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(queue_full(q));
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  const Outcome o = collect(q);
  EXPECT_EQ(o.error, "");
  EXPECT_EQ(o.rows, 60000);
}

TEST_F(QueryNetTest, StreamOutlivesItsConnection) {
  NVQueryHandle* q = start("SELECT i FROM range(50000) t(i)");
  ASSERT_NE(q, nullptr);
  // Released first, as a host may do: the query keeps the connection alive until it closes.
  nv_disconnect(conn_);
  conn_ = nullptr;
  const Outcome o = collect(q);  // its close frees the connection (LeakSanitizer checks the rest)
  EXPECT_EQ(o.error, "");
  EXPECT_EQ(o.rows, 50000);
}

TEST_F(QueryNetTest, EscapeSequencesAreSentUnchanged) {
  const Outcome o = run("SELECT '{fn x}' AS braces");
  ASSERT_EQ(o.error, "");
  EXPECT_EQ(column<arrow::StringArray>(o, 0, "braces")->GetString(0), "{fn x}");
}

}  // namespace
