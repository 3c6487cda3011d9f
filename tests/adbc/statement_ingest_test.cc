// Statement options, Bind / BindStream ownership and the ExecuteUpdate paths that need no
// server.
#include <arrow/api.h>
#include <arrow/c/bridge.h>
#include <arrow/io/memory.h>
#include <arrow/ipc/reader.h>
#include <gtest/gtest.h>
#include <parquet/arrow/reader.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "adbc/bound_data_internal.h"
#include "adbc/error_internal.h"
#include "adbc/state_internal.h"
#include "adbc/statement_ingest_internal.h"
#include "core/connection_internal.h"

namespace norvale::adbc {
namespace {

std::shared_ptr<arrow::RecordBatch> sample_batch(int64_t rows) {
  arrow::Int64Builder ids;
  arrow::StringBuilder names;
  for (int64_t i = 0; i < rows; ++i) {
    EXPECT_TRUE(ids.Append(i).ok());
    EXPECT_TRUE(names.Append("n" + std::to_string(i)).ok());
  }
  auto schema =
      arrow::schema({arrow::field("id", arrow::int64()), arrow::field("name", arrow::utf8())});
  return arrow::RecordBatch::Make(schema, rows, {*ids.Finish(), *names.Finish()});
}

class StatementIngestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    conn_.session_token = "tok";  // no compute URL: any upload fails without a request
    parent_.connection = &conn_;
    connection_.private_data = &parent_;
    ASSERT_EQ(nv_adbc_statement_new(&connection_, &stmt_, &error_), ADBC_STATUS_OK);
    state_ = static_cast<NVAdbcStatementState*>(stmt_.private_data);
  }
  void TearDown() override {
    Release();
    AdbcError error{};
    nv_adbc_statement_release(&stmt_, &error);
  }

  AdbcStatusCode Set(const char* key, const char* value) {
    Release();
    return nv_adbc_statement_set_option(&stmt_, key, value, &error_);
  }
  void Release() {
    if (error_.release != nullptr) error_.release(&error_);
    error_ = AdbcError{};
  }
  std::string Message() const { return error_.message ? error_.message : ""; }
  std::string Sqlstate() const { return std::string(error_.sqlstate, 5); }

  AdbcStatusCode BindBatches(const std::vector<std::shared_ptr<arrow::RecordBatch>>& batches) {
    auto reader = *arrow::RecordBatchReader::Make(batches, batches.front()->schema());
    ArrowArrayStream stream{};
    EXPECT_TRUE(arrow::ExportRecordBatchReader(reader, &stream).ok());
    Release();
    return nv_adbc_statement_bind_stream(&stmt_, &stream, &error_);
  }

  NVConnection conn_;
  NVAdbcConnectionState parent_{};
  AdbcConnection connection_{};
  NVAdbcStatementState* state_ = nullptr;
  AdbcStatement stmt_{};
  AdbcError error_{};
};

TEST_F(StatementIngestTest, OptionTable) {
  struct Case {
    const char* key;
    const char* value;
    AdbcStatusCode status;
    const char* sqlstate;
    const char* message;
    int32_t mode;  // expected mode afterwards (-1: not checked)
  };
  const Case cases[] = {
      {"adbc.ingest.mode", "append", 0, "", "", 0},
      {"adbc.ingest.mode", "replace", 0, "", "", 2},
      {"adbc.ingest.mode", "adbc.ingest.mode.create_append", 0, "", "", 0},
      {"adbc.ingest.mode", "adbc.ingest.mode.replace", 0, "", "", 2},
      {"adbc.ingest.mode", "create", 0, "", "", 0},
      {"adbc.ingest.mode", "Append", 5, "22023",
       "adbc.ingest.mode: unsupported value (use append/create/create_append/replace; for "
       "upsert/land use nv.ingest.mode)",
       -1},
      {"adbc.ingest.mode", "upsert", 5, "22023",
       "adbc.ingest.mode: unsupported value (use append/create/create_append/replace; for "
       "upsert/land use nv.ingest.mode)",
       -1},
      {"adbc.ingest.mode", ".append", 5, "22023",
       "adbc.ingest.mode: unsupported value (use append/create/create_append/replace; for "
       "upsert/land use nv.ingest.mode)",
       -1},
      {"adbc.ingest.mode", nullptr, 5, "22023", "adbc.ingest.mode requires a value", -1},
      {"nv.ingest.mode", "upsert", 0, "", "", 1},
      {"nv.ingest.mode", "land", 0, "", "", 3},
      {"nv.ingest.mode", "overwrite", 0, "", "", 2},
      {"nv.ingest.mode", "replace", 5, "22023",
       "nv.ingest.mode: unknown value (use append/upsert/overwrite/land)", -1},
      {"nv.ingest.mode", nullptr, 5, "22023", "nv.ingest.mode requires a value", -1},
      {"nv.ingest.payload_format", "csv", 5, "22023",
       "nv.ingest.payload_format: use arrow_ipc or parquet", -1},
      {"nv.ingest.payload_format", nullptr, 5, "22023", "nv.ingest.payload_format requires a value",
       -1},
      {"adbc.ingest.temporary", "true", 2, "HYC00",
       "adbc.ingest.temporary=true is not implemented in Norvale v1", -1},
      {"adbc.ingest.temporary", "1", 2, "HYC00",
       "adbc.ingest.temporary=true is not implemented in Norvale v1", -1},
      {"adbc.ingest.temporary", "TRUE", 2, "HYC00",
       "adbc.ingest.temporary=true is not implemented in Norvale v1", -1},
      {"adbc.ingest.temporary", "on", 2, "HYC00",
       "adbc.ingest.temporary=true is not implemented in Norvale v1", -1},
      {"adbc.ingest.temporary", "false", 0, "", "", -1},
      {"adbc.ingest.temporary", "no", 0, "", "", -1},
      {"adbc.ingest.temporary", nullptr, 0, "", "", -1},
      {"adbc.ingest.target_table ", "t", 2, "HYC00", "AdbcStatementSetOption: unknown key", -1},
      {"nv.ingest.unknown", "x", 2, "HYC00", "AdbcStatementSetOption: unknown key", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " = " + (c.value ? c.value : "(null)"));
    EXPECT_EQ(Set(c.key, c.value), c.status);
    if (c.status != 0) {
      EXPECT_EQ(Sqlstate(), c.sqlstate);
      EXPECT_EQ(Message(), c.message);
    }
    if (c.mode >= 0) {
      EXPECT_EQ(state_->ingest_mode, c.mode);
    }
  }
}

TEST_F(StatementIngestTest, TextOptionsAndFlags) {
  EXPECT_EQ(Set("adbc.ingest.target_table", "s.t"), 0);
  EXPECT_STREQ(state_->target_table, "s.t");
  EXPECT_EQ(Set("adbc.ingest.target_table", nullptr), 0);
  EXPECT_EQ(state_->target_table, nullptr);
  EXPECT_EQ(Set("nv.ingest.target_location", "loc"), 0);
  EXPECT_STREQ(state_->target_location, "loc");
  EXPECT_EQ(Set("nv.ingest.idempotency_key", "k1"), 0);
  EXPECT_STREQ(state_->idempotency_key, "k1");
  EXPECT_EQ(Set("nv.ingest.payload_format", "parquet"), 0);
  EXPECT_EQ(state_->payload_format, 1);
  EXPECT_EQ(Set("nv.ingest.payload_format", "arrow_ipc"), 0);
  EXPECT_EQ(state_->payload_format, 0);
  const std::pair<const char*, int32_t> coerce[] = {{"no", 1},    {"0", 0},     {"true", 1},
                                                    {"false", 0}, {nullptr, 1}, {"FALSE", 1}};
  for (const auto& [value, expected] : coerce) {
    EXPECT_EQ(Set("nv.ingest.coerce", value), 0);
    EXPECT_EQ(state_->coerce, expected) << (value ? value : "(null)");
  }
}

TEST_F(StatementIngestTest, KeyColumns) {
  EXPECT_EQ(Set("nv.ingest.key_columns", " id ,, \tregion "), 0);
  ASSERT_EQ(state_->key_column_count, 2);
  EXPECT_STREQ(state_->key_columns[0], "id");
  EXPECT_STREQ(state_->key_columns[1], "region");
  EXPECT_EQ(Set("nv.ingest.key_columns", "a"), 0);
  ASSERT_EQ(state_->key_column_count, 1);
  EXPECT_STREQ(state_->key_columns[0], "a");
  EXPECT_EQ(Set("nv.ingest.key_columns", ""), 0);
  EXPECT_EQ(state_->key_column_count, 0);
  EXPECT_EQ(state_->key_columns, nullptr);
  EXPECT_EQ(Set("nv.ingest.key_columns", "x"), 0);
  EXPECT_EQ(Set("nv.ingest.key_columns", nullptr), 0);
  EXPECT_EQ(state_->key_column_count, 0);

  const std::pair<std::string, std::vector<std::string>> splits[] = {
      {"a,b", {"a", "b"}}, {" , ,", {}}, {"a b, c", {"a b", "c"}}, {",x,", {"x"}}, {"", {}}};
  for (const auto& [text, pieces] : splits) EXPECT_EQ(split_key_columns(text), pieces) << text;
}

TEST_F(StatementIngestTest, UnallocatedStatementAndNullKey) {
  AdbcStatement empty{};
  AdbcError error{};
  EXPECT_EQ(nv_adbc_statement_set_option(&empty, "nv.ingest.mode", "append", &error), 6);
  EXPECT_STREQ(error.message, "AdbcStatementSetOption: statement not allocated");
  error.release(&error);
  EXPECT_EQ(nv_adbc_statement_set_option(nullptr, "k", "v", &error), 6);
  error.release(&error);
  EXPECT_EQ(nv_adbc_statement_set_option(&stmt_, nullptr, "v", &error), 5);
  EXPECT_STREQ(error.message, "AdbcStatementSetOption: null key");
  EXPECT_EQ(std::string(error.sqlstate, 5), "HY009");
  error.release(&error);
}

TEST_F(StatementIngestTest, BindStreamTakesOwnership) {
  ArrowArrayStream bad{};
  EXPECT_EQ(nv_adbc_statement_bind_stream(&stmt_, &bad, &error_), 5);
  EXPECT_EQ(Message(), "AdbcStatementBindStream: stream is null or missing required callbacks");
  Release();
  EXPECT_EQ(nv_adbc_statement_bind_stream(&stmt_, nullptr, &error_), 5);
  AdbcStatement empty{};
  Release();
  EXPECT_EQ(nv_adbc_statement_bind_stream(&empty, &bad, &error_), 6);

  auto reader = *arrow::RecordBatchReader::Make({sample_batch(2)});
  ArrowArrayStream stream{};
  ASSERT_TRUE(arrow::ExportRecordBatchReader(reader, &stream).ok());
  Release();
  EXPECT_EQ(nv_adbc_statement_bind_stream(&stmt_, &stream, &error_), 0);
  EXPECT_EQ(stream.release, nullptr);
  EXPECT_EQ(stream.private_data, nullptr);
  EXPECT_TRUE(state_->bound->bound());
  // A second bind releases the first stream; statement release frees the second.
  EXPECT_EQ(BindBatches({sample_batch(1)}), 0);
}

TEST_F(StatementIngestTest, BindOneBatch) {
  EXPECT_EQ(nv_adbc_statement_bind(&stmt_, nullptr, nullptr, &error_), 5);
  EXPECT_EQ(Message(), "AdbcStatementBind: null argument");
  ArrowArray array{};
  ArrowSchema schema{};
  ASSERT_TRUE(arrow::ExportRecordBatch(*sample_batch(3), &array, &schema).ok());
  Release();
  ASSERT_EQ(nv_adbc_statement_bind(&stmt_, &array, &schema, &error_), 0) << Message();
  EXPECT_EQ(array.release, nullptr);
  EXPECT_EQ(schema.release, nullptr);
  auto reader = *state_->bound->Take();
  EXPECT_FALSE(state_->bound->bound());
  auto table = *reader->ToTable();
  EXPECT_EQ(table->num_rows(), 3);

  // A schema that does not match the array fails the import and consumes both.
  ArrowArray a2{};
  ArrowSchema s2{};
  ASSERT_TRUE(arrow::ExportRecordBatch(*sample_batch(1), &a2, nullptr).ok());
  ASSERT_TRUE(arrow::ExportSchema(*arrow::schema({arrow::field("x", arrow::int8())}), &s2).ok());
  Release();
  EXPECT_EQ(nv_adbc_statement_bind(&stmt_, &a2, &s2, &error_), 5);
  EXPECT_EQ(Sqlstate(), "22023");
  EXPECT_EQ(Message().rfind("AdbcStatementBind: ImportRecordBatch failed: ", 0), 0u) << Message();
  EXPECT_EQ(a2.release, nullptr);
  EXPECT_EQ(s2.release, nullptr);
}

TEST_F(StatementIngestTest, ExecuteUpdatePreconditions) {
  int64_t rows = 7;
  AdbcStatement empty{};
  EXPECT_EQ(nv_adbc_statement_execute_update(&empty, &rows, &error_), 6);
  EXPECT_EQ(rows, -1);
  EXPECT_EQ(Message(), "AdbcStatementExecuteUpdate: statement not allocated");
  Release();
  EXPECT_EQ(nv_adbc_statement_execute_update(&stmt_, &rows, &error_), 6);
  EXPECT_EQ(Sqlstate(), "22023");
  EXPECT_EQ(Message(),
            "AdbcStatementExecuteUpdate: no ingest target set (call SetOption with "
            "adbc.ingest.target_table or nv.ingest.target_location)");
  ASSERT_EQ(Set("adbc.ingest.target_table", "t"), 0);
  EXPECT_EQ(nv_adbc_statement_execute_update(&stmt_, nullptr, &error_), 6);
  EXPECT_EQ(Sqlstate(), "22023");
  EXPECT_EQ(Message(),
            "AdbcStatementExecuteUpdate: no bind stream (call AdbcStatementBindStream first)");
  parent_.connection = nullptr;
  Release();
  EXPECT_EQ(nv_adbc_statement_execute_update(&stmt_, nullptr, &error_), 6);
  EXPECT_EQ(Sqlstate(), "HY010");
  EXPECT_EQ(Message(), "AdbcStatementExecuteUpdate: connection not initialised");
}

TEST_F(StatementIngestTest, BeginFailuresComeBeforeAnyRequest) {
  struct Case {
    std::vector<std::pair<const char*, const char*>> options;
    const char* message;
  };
  const Case cases[] = {
      {{{"nv.ingest.target_location", ""},
        {"adbc.ingest.target_table", "t"},
        {"nv.ingest.mode", "land"}},
       "nv_ingest_begin: target_location required for land mode"},
      {{{"adbc.ingest.target_table", "t"},
        {"nv.ingest.mode", "upsert"},
        {"nv.ingest.key_columns", "id"},
        {"nv.ingest.payload_format", "parquet"}},
       "nv_ingest_begin: payload_format=parquet does not support mode=upsert"},
      {{{"adbc.ingest.target_table", "t"}, {"nv.ingest.mode", "upsert"}},
       "nv_ingest_begin: key_columns required for upsert mode"},
  };
  for (const Case& c : cases) {
    for (const auto& [k, v] : c.options) ASSERT_EQ(Set(k, v), 0) << k;
    ASSERT_EQ(BindBatches({sample_batch(2)}), 0);
    int64_t rows = 0;
    Release();
    EXPECT_EQ(nv_adbc_statement_execute_update(&stmt_, &rows, &error_), 10);
    EXPECT_EQ(Sqlstate(), "HY000");
    EXPECT_EQ(Message(), c.message);
    EXPECT_EQ(rows, -1);
    EXPECT_FALSE(state_->bound->bound());
    ASSERT_EQ(Set("nv.ingest.key_columns", nullptr), 0);
    ASSERT_EQ(Set("nv.ingest.payload_format", "arrow_ipc"), 0);
    ASSERT_EQ(Set("nv.ingest.mode", "append"), 0);
  }
}

TEST_F(StatementIngestTest, TransportFailureConsumesTheStream) {
  ASSERT_EQ(Set("adbc.ingest.target_table", "t"), 0);
  ASSERT_EQ(Set("adbc.ingest.mode", "append"), 0);  // no probe: straight to the ingest
  for (const char* format : {"arrow_ipc", "parquet"}) {
    ASSERT_EQ(Set("nv.ingest.payload_format", format), 0);
    ASSERT_EQ(BindBatches({sample_batch(0), sample_batch(5), sample_batch(5)}), 0);
    int64_t rows = 0;
    Release();
    EXPECT_EQ(nv_adbc_statement_execute_update(&stmt_, &rows, &error_), 10) << format;
    EXPECT_EQ(Sqlstate(), "08001") << format;
    EXPECT_EQ(Message(), "nv_ingest worker: connection has no compute URL") << format;
    EXPECT_EQ(error_.vendor_code, 0) << "no service code, and never the ADBC status";
    Release();
    EXPECT_EQ(nv_adbc_statement_execute_update(&stmt_, &rows, &error_), 6);
    EXPECT_EQ(Sqlstate(), "22023");
  }
}

TEST_F(StatementIngestTest, FailingReaderIsInvalidData) {
  ASSERT_EQ(Set("adbc.ingest.target_table", "t"), 0);
  ASSERT_EQ(Set("adbc.ingest.mode", "append"), 0);  // no probe: straight to the ingest
  // A reader whose second batch fails.
  struct Failing : arrow::RecordBatchReader {
    int calls = 0;
    std::shared_ptr<arrow::Schema> schema() const override { return sample_batch(1)->schema(); }
    arrow::Status ReadNext(std::shared_ptr<arrow::RecordBatch>* out) override {
      if (calls++ == 0) {
        *out = sample_batch(0);
        return arrow::Status::OK();
      }
      return arrow::Status::IOError("disk gone");
    }
  };
  ArrowArrayStream stream{};
  ASSERT_TRUE(arrow::ExportRecordBatchReader(std::make_shared<Failing>(), &stream).ok());
  ASSERT_EQ(nv_adbc_statement_bind_stream(&stmt_, &stream, &error_), 0);
  Release();
  EXPECT_EQ(nv_adbc_statement_execute_update(&stmt_, nullptr, &error_), 5);
  EXPECT_EQ(Sqlstate(), "22023");
  EXPECT_EQ(Message().rfind("AdbcStatementExecuteUpdate: reader.ReadNext: ", 0), 0u) << Message();
  EXPECT_NE(Message().find("disk gone"), std::string::npos);
}

// The SQLSTATE a failed ingest reports: the server's own when the service documents it for
// ingests, else HY000. The status is the one table's (status_for_sqlstate).
TEST(IngestReportedSqlstate, ListedCodesPassOthersBecomeHY000) {
  for (const char* listed : {"22018", "22023", "23000", "40001", "42501", "42S02", "42S22",
                             "53000", "53400", "58000", "58030", "08000", "08001", "08006",
                             "28000", "HYT00"}) {
    EXPECT_STREQ(ingest_reported_sqlstate(listed), listed);
  }
  for (const char* other : {"", "XX999", "42s02", "HY008", "2200"}) {
    EXPECT_STREQ(ingest_reported_sqlstate(other), "HY000") << other;
  }
  EXPECT_STREQ(ingest_reported_sqlstate(nullptr), "HY000");
}

TEST(IngestPayload, EachPayloadReadsBackOnItsOwn) {
  const auto batch = sample_batch(4);
  auto schema_only = *encode_schema_ipc(batch->schema());
  auto schema_reader = *arrow::ipc::RecordBatchStreamReader::Open(
      std::make_shared<arrow::io::BufferReader>(schema_only));
  EXPECT_TRUE(schema_reader->schema()->Equals(*batch->schema()));
  std::shared_ptr<arrow::RecordBatch> none;
  ASSERT_TRUE(schema_reader->ReadNext(&none).ok());
  EXPECT_EQ(none, nullptr);

  auto ipc = *encode_batch_ipc(*batch);
  auto ipc_reader =
      *arrow::ipc::RecordBatchStreamReader::Open(std::make_shared<arrow::io::BufferReader>(ipc));
  auto ipc_table = *ipc_reader->ToTable();
  EXPECT_TRUE(ipc_table->Equals(**arrow::Table::FromRecordBatches({batch})));

  auto parquet = *encode_batch_parquet(batch);
  ASSERT_GE(parquet->size(), 8);
  EXPECT_EQ(parquet->ToString().substr(0, 4), "PAR1");
  auto file_reader = *parquet::arrow::OpenFile(std::make_shared<arrow::io::BufferReader>(parquet),
                                               arrow::default_memory_pool());
  auto parquet_table = *file_reader->ReadTable();
  EXPECT_TRUE(parquet_table->Equals(**arrow::Table::FromRecordBatches({batch})));
}

}  // namespace
}  // namespace norvale::adbc
