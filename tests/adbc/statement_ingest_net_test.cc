// Bulk ingest through the ADBC statement against the local service: every mode through the
// statement options, the SQLSTATE and status of failures, and bounded memory.
#include <arrow/c/bridge.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "adbc/state_internal.h"
#include "adbc/statement_ingest_internal.h"
#include "core/ingest/ingest_handle_internal.h"
#include "support/sanitizer_build.h"
#include "tests/core/ingest/ingest_net_util.h"

namespace {

using nv_ingest_test::IdNameBatch;
using nv_ingest_test::Rows;
using nv_ingest_test::SmallFrame;
using Batches = std::vector<std::shared_ptr<arrow::RecordBatch>>;

// Makes `count` batches of `rows` rows one at a time, so that the stream is never held whole.
class GeneratedReader : public arrow::RecordBatchReader {
 public:
  GeneratedReader(int count, int64_t rows) : count_(count), rows_(rows) {}
  std::shared_ptr<arrow::Schema> schema() const override { return IdNameBatch(0, 0)->schema(); }
  arrow::Status ReadNext(std::shared_ptr<arrow::RecordBatch>* out) override {
    if (made_ == count_) {
      out->reset();
      return arrow::Status::OK();
    }
    *out = IdNameBatch(made_++ * rows_, rows_, "generated-row-with-a-longer-name-");
    return arrow::Status::OK();
  }

 private:
  int count_;
  int64_t rows_;
  int made_ = 0;
};

class StatementIngestNetTest : public nv_test::LocalSvcTest {
 protected:
  void SetUp() override {
    LocalSvcTest::SetUp();
    conn_ = nv_ingest_test::Connect(svc());
    ASSERT_NE(conn_, nullptr);
    parent_.connection = conn_.get();
    connection_.private_data = &parent_;
    ASSERT_EQ(nv_adbc_statement_new(&connection_, &stmt_, &error_), ADBC_STATUS_OK);
  }
  void TearDown() override {
    ClearError();
    nv_adbc_statement_release(&stmt_, &error_);
  }

  void Sql(const std::string& sql) {
    std::string err;
    ASSERT_TRUE(svc().Sql(sql, &err)) << sql << ": " << err;
  }
  void ClearError() {
    if (error_.release != nullptr) error_.release(&error_);
    error_ = AdbcError{};
  }
  void Set(const char* key, const char* value) {
    ClearError();
    ASSERT_EQ(nv_adbc_statement_set_option(&stmt_, key, value, &error_), 0) << key;
  }
  void Bind(std::shared_ptr<arrow::RecordBatchReader> reader) {
    ArrowArrayStream stream{};
    ASSERT_TRUE(arrow::ExportRecordBatchReader(reader, &stream).ok());
    ClearError();
    ASSERT_EQ(nv_adbc_statement_bind_stream(&stmt_, &stream, &error_), 0);
  }
  void Bind(const Batches& batches) {
    Bind(*arrow::RecordBatchReader::Make(batches, IdNameBatch(0, 0)->schema()));
  }
  AdbcStatusCode Execute(int64_t* rows) {
    ClearError();
    return nv_adbc_statement_execute_update(&stmt_, rows, &error_);
  }
  std::string Message() const { return error_.message ? error_.message : ""; }
  std::string Sqlstate() const { return std::string(error_.sqlstate, 5); }

  nv_ingest_test::ConnPtr conn_;
  NVAdbcConnectionState parent_{};
  AdbcConnection connection_{};
  AdbcStatement stmt_{};
  AdbcError error_{};
};

TEST_F(StatementIngestNetTest, EveryModeReadsBackWhatWasBound) {
  struct Case {
    const char* name;
    std::vector<std::pair<const char*, const char*>> options;
    std::vector<std::string> setup;
    Batches batches;
    int64_t rows_affected;
    std::vector<std::string> expected;
  };
  const std::vector<std::string> fresh = {
      "CREATE OR REPLACE TABLE st_modes (id BIGINT PRIMARY KEY, name VARCHAR)",
      "INSERT INTO st_modes VALUES (1, 'old1'), (9, 'old9')"};
  const std::vector<Case> cases = {
      {"append ipc",
       {{"adbc.ingest.mode", "adbc.ingest.mode.append"}},
       fresh,
       {IdNameBatch(2, 2), IdNameBatch(4, 1)},
       3,
       {"1|old1", "2|n2", "3|n3", "4|n4", "9|old9"}},
      {"append parquet",
       {{"adbc.ingest.mode", "create_append"}, {"nv.ingest.payload_format", "parquet"}},
       fresh,
       {IdNameBatch(2, 2)},
       2,
       {"1|old1", "2|n2", "3|n3", "9|old9"}},
      {"replace through adbc.ingest.mode",
       {{"adbc.ingest.mode", "replace"}},
       fresh,
       {IdNameBatch(5, 2)},
       2,  // rows written; the 2 rows replaced are not counted
       {"5|n5", "6|n6"}},
      {"overwrite through nv.ingest.mode, parquet",
       {{"nv.ingest.mode", "overwrite"}, {"nv.ingest.payload_format", "parquet"}},
       fresh,
       {IdNameBatch(7, 1)},
       1,  // rows written
       {"7|n7"}},
      {"upsert by key",
       {{"nv.ingest.mode", "upsert"}, {"nv.ingest.key_columns", " id "}},
       fresh,
       {IdNameBatch(0, 2, "u"), IdNameBatch(9, 1, "u")},
       3,
       {"0|u0", "1|u1", "9|u9"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const std::string& sql : c.setup) Sql(sql);
    Set("adbc.ingest.target_table", "st_modes");
    Set("nv.ingest.mode", "append");
    Set("nv.ingest.payload_format", "arrow_ipc");
    Set("nv.ingest.key_columns", nullptr);
    for (const auto& [k, v] : c.options) Set(k, v);
    Bind(c.batches);
    int64_t rows = 0;
    ASSERT_EQ(Execute(&rows), 0) << Message();
    EXPECT_EQ(rows, c.rows_affected);
    EXPECT_EQ(Rows(svc(), "SELECT id, name FROM st_modes ORDER BY id"), c.expected);
  }
}

TEST_F(StatementIngestNetTest, LandAndIdempotentReplay) {
  Set("nv.ingest.mode", "land");
  Set("nv.ingest.payload_format", "parquet");
  Set("nv.ingest.target_location", "st_land");
  Bind(Batches{IdNameBatch(0, 4)});
  int64_t rows = 0;
  ASSERT_EQ(Execute(&rows), 0) << Message();
  EXPECT_EQ(rows, 4);

  Sql("CREATE OR REPLACE TABLE st_idem (id BIGINT, name VARCHAR)");
  Set("nv.ingest.mode", "append");
  Set("nv.ingest.target_location", nullptr);
  Set("adbc.ingest.target_table", "st_idem");
  const std::string key = "st-idem-" + std::to_string(::getpid());
  Set("nv.ingest.idempotency_key", key.c_str());
  for (int i = 0; i < 2; ++i) {
    Bind(Batches{IdNameBatch(0, 3)});
    ASSERT_EQ(Execute(&rows), 0) << Message();
    EXPECT_EQ(rows, 3);
  }
  EXPECT_EQ(Rows(svc(), "SELECT count(*) FROM st_idem"), (std::vector<std::string>{"3"}));
}

TEST_F(StatementIngestNetTest, ZeroRowStreamStillSendsSchemaAndEos) {
  Sql("DROP TABLE IF EXISTS st_empty");
  Set("adbc.ingest.target_table", "st_empty");
  Set("adbc.ingest.mode", "replace");
  Bind(Batches{IdNameBatch(0, 0), IdNameBatch(0, 0)});
  int64_t rows = -5;
  ASSERT_EQ(Execute(&rows), 0) << Message();
  EXPECT_EQ(rows, 0);
  // The table exists with the bound schema: only the INIT manifest's schema could make it.
  EXPECT_EQ(Rows(svc(), "SELECT count(*) FROM st_empty"), (std::vector<std::string>{"0"}));
  EXPECT_EQ(Rows(svc(),
                 "SELECT column_name FROM information_schema.columns WHERE table_name = "
                 "'st_empty' ORDER BY ordinal_position"),
            (std::vector<std::string>{"id", "name"}));
  EXPECT_EQ(svc().Counter("requests.ingest"), 1);

  // The stream was consumed: another ExecuteUpdate needs a new bind.
  EXPECT_EQ(Execute(&rows), 6);
  EXPECT_EQ(Sqlstate(), "22023");
  EXPECT_EQ(rows, -1);
  EXPECT_EQ(svc().Counter("requests.ingest"), 1);
}

TEST_F(StatementIngestNetTest, FailuresBeforeAnyRequest) {
  const std::vector<std::vector<std::pair<const char*, const char*>>> cases = {
      {{"adbc.ingest.target_table", "t"},
       {"nv.ingest.mode", "upsert"},
       {"nv.ingest.key_columns", "id"},
       {"nv.ingest.payload_format", "parquet"}},
      {{"adbc.ingest.target_table", "t"}, {"nv.ingest.mode", "land"}},
  };
  for (const auto& options : cases) {
    for (const auto& [k, v] : options) Set(k, v);
    Bind(Batches{IdNameBatch(0, 1)});
    EXPECT_EQ(Execute(nullptr), 10);
    EXPECT_EQ(Sqlstate(), "HY000");
  }
  EXPECT_EQ(svc().Counter("requests.ingest"), 0);
}

TEST_F(StatementIngestNetTest, ServerFailuresMapToSqlstateAndStatus) {
  const std::string media = "application/vnd.norvale.stream.v1";
  arrow::Int32Builder narrow;
  ASSERT_TRUE(narrow.Append(5).ok());
  ASSERT_TRUE(narrow.Append(6).ok());
  arrow::StringBuilder names;
  ASSERT_TRUE(names.Append("a").ok());
  ASSERT_TRUE(names.Append("b").ok());
  auto narrow_batch = arrow::RecordBatch::Make(
      arrow::schema({arrow::field("id", arrow::int32()), arrow::field("name", arrow::utf8())}), 2,
      {*narrow.Finish(), *names.Finish()});
  struct Case {
    const char* name;
    const char* table;
    const char* coerce;
    nlohmann::json fault;  // null: none
    std::shared_ptr<arrow::RecordBatch> batch;
    const char* sqlstate;
    AdbcStatusCode status;
  };
  const std::vector<Case> cases = {
      // The reported SQLSTATE follows the ingest table; the status follows the server's
      // SQLSTATE as for every server error.
      {"missing table", "st_missing_table", "true", nullptr, IdNameBatch(0, 1), "42S02", 3},
      {"wrong column type", "st_fail", "false", nullptr, narrow_batch, "22018", 7},
      {"key violation", "st_fail", "true", nullptr, IdNameBatch(1, 1), "23000", 8},
      {"connection dropped", "st_fail", "true",
       nlohmann::json{{"endpoint", "ingest"}, {"delay_ms", 200}, {"close", true}},
       IdNameBatch(10, 1), "08001", 10},
      {"no answer frame", "st_fail", "true",
       nlohmann::json{{"endpoint", "ingest"},
                      {"status", 200},
                      {"content_type", media},
                      {"body", SmallFrame(5, "x")}},
       IdNameBatch(10, 1), "08006", 10},
      {"unlisted sqlstate", "st_fail", "true",
       nlohmann::json{{"endpoint", "ingest"},
                      {"status", 200},
                      {"content_type", media},
                      {"body", SmallFrame(4, R"({"message":"strange","sqlstate":"XX123"})")}},
       IdNameBatch(10, 1), "HY000", 10},
      {"listed timeout", "st_fail", "true",
       nlohmann::json{{"endpoint", "ingest"},
                      {"status", 200},
                      {"content_type", media},
                      {"body", SmallFrame(4, R"({"message":"slow","sqlstate":"HYT00"})")}},
       IdNameBatch(10, 1), "HYT00", 12},
      {"unavailable", "st_fail", "true",
       nlohmann::json{{"endpoint", "ingest"}, {"status", 503}, {"body", "busy"}},
       IdNameBatch(10, 1), "53000", 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sql("CREATE OR REPLACE TABLE st_fail (id BIGINT PRIMARY KEY, name VARCHAR)");
    Sql("INSERT INTO st_fail VALUES (1, 'one')");
    if (!c.fault.is_null()) svc().AddFault(c.fault);
    Set("adbc.ingest.target_table", c.table);
    Set("adbc.ingest.mode", "append");
    Set("nv.ingest.coerce", c.coerce);
    ArrowArray array{};
    ArrowSchema schema{};
    ASSERT_TRUE(arrow::ExportRecordBatch(*c.batch, &array, &schema).ok());
    ClearError();
    ASSERT_EQ(nv_adbc_statement_bind(&stmt_, &array, &schema, &error_), 0);
    int64_t rows = 0;
    EXPECT_EQ(Execute(&rows), c.status) << Message();
    EXPECT_EQ(Sqlstate(), c.sqlstate) << Message();
    EXPECT_FALSE(Message().empty());
    EXPECT_EQ(rows, -1);
    EXPECT_EQ(Rows(svc(), "SELECT id, name FROM st_fail"), (std::vector<std::string>{"1|one"}));
  }
}

TEST_F(StatementIngestNetTest, MemoryStaysBoundedForAStreamFarLargerThanTheQueue) {
  Set("nv.ingest.mode", "land");
  Set("nv.ingest.payload_format", "arrow_ipc");
  Set("nv.ingest.target_location", "st_mem");
  const int batches = 120;
  const int64_t rows_per_batch = 40000;  // about 2.5 MB per encoded batch
  const int64_t frame_bytes = (*norvale::adbc::encode_batch_ipc(*IdNameBatch(
                                   0, rows_per_batch, "generated-row-with-a-longer-name-")))
                                  ->size();
  Bind(std::make_shared<GeneratedReader>(batches, rows_per_batch));

  std::atomic<bool> done{false};
  std::atomic<int64_t> peak{0};
  const int64_t before = nv_ingest_test::SelfResidentBytes();
  std::thread sampler([&] {
    while (!done) {
      peak = std::max(peak.load(), nv_ingest_test::SelfResidentBytes());
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  int64_t rows = 0;
  const AdbcStatusCode rc = Execute(&rows);
  done = true;
  sampler.join();
  ASSERT_EQ(rc, 0) << Message();
  EXPECT_EQ(rows, batches * rows_per_batch);
  const int64_t total = batches * frame_bytes;
  const int64_t growth = peak.load() - before;
  const int64_t bound = (kIngestQueueFrames + 6) * frame_bytes + (16 << 20);
  std::printf("stream %lld bytes in %d frames of %lld; resident growth %lld (bound %lld)\n",
              static_cast<long long>(total), batches, static_cast<long long>(frame_bytes),
              static_cast<long long>(growth), static_cast<long long>(bound));
  if (!nv_test::kSanitizerAllocator) {
    EXPECT_LT(growth, bound);
  }
  EXPECT_LT(bound, total / 3);
}

}  // namespace

namespace {

TEST_F(StatementIngestNetTest, ExecuteQueryWithoutOutputStreamIngests) {
  Sql("CREATE OR REPLACE TABLE st_query (id BIGINT, name VARCHAR)");
  Set("adbc.ingest.target_table", "st_query");
  Set("adbc.ingest.mode", "append");
  Bind(Batches{IdNameBatch(0, 2)});
  ArrowArrayStream out{};
  int64_t rows = 0;
  ClearError();
  EXPECT_EQ(nv_adbc_statement_execute_query(&stmt_, &out, &rows, &error_), 6);
  EXPECT_EQ(Sqlstate(), "HY010");
  ClearError();
  ASSERT_EQ(nv_adbc_statement_execute_query(&stmt_, nullptr, &rows, &error_), 0) << Message();
  EXPECT_EQ(rows, 2);
  EXPECT_EQ(Rows(svc(), "SELECT id, name FROM st_query ORDER BY id"),
            (std::vector<std::string>{"0|n0", "1|n1"}));
}

}  // namespace
