// The driver as generic ADBC hosts use it, written from the ADBC header's documented contract:
// ingest modes, the status of server errors, bound parameters, and result stream schemas.
#include <arrow/api.h>
#include <arrow/c/bridge.h>
#include <arrow/json/from_string.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "tests/adbc/driver_net_fixture.h"
#include "tests/core/ingest/ingest_net_util.h"

namespace {

using nv_adbc_test::Failure;
using nv_adbc_test::take;
using nv_ingest_test::IdNameBatch;
using Lines = std::vector<std::string>;

class AdbcContractNetTest : public nv_adbc_test::DriverNetTest {
 protected:
  void Sql(const std::string& sql) {
    std::string err;
    ASSERT_TRUE(svc().Sql(sql, &err)) << sql << ": " << err;
  }
  Lines Rows(const std::string& sql) { return nv_ingest_test::Rows(svc(), sql); }

  // A statement with the given options; released by the test's end.
  AdbcStatement* Statement(const std::vector<std::pair<const char*, const char*>>& options) {
    statements_.emplace_back(new AdbcStatement{});
    AdbcStatement* stmt = statements_.back().get();
    AdbcError e{};
    EXPECT_EQ(driver_.StatementNew(&conn_, stmt, &e), ADBC_STATUS_OK);
    for (const auto& [k, v] : options) {
      EXPECT_EQ(driver_.StatementSetOption(stmt, k, v, &e), ADBC_STATUS_OK) << k;
    }
    return stmt;
  }
  void TearDown() override {
    AdbcError e{};
    for (auto& stmt : statements_) driver_.StatementRelease(stmt.get(), &e);
    DriverNetTest::TearDown();
  }

  // Binds one batch and runs ExecuteQuery without an output stream.
  Failure Bound(AdbcStatement* stmt, const arrow::RecordBatch& batch, int64_t* rows,
                ArrowArrayStream* out = nullptr) {
    ArrowArray array{};
    ArrowSchema schema{};
    EXPECT_TRUE(arrow::ExportRecordBatch(batch, &array, &schema).ok());
    AdbcError e{};
    EXPECT_EQ(driver_.StatementBind(stmt, &array, &schema, &e), ADBC_STATUS_OK);
    return take(driver_.StatementExecuteQuery(stmt, out, rows, &e), &e);
  }

  // Sets `sql`, binds one batch and runs ExecuteQuery.
  Failure BoundSql(const char* sql, const arrow::RecordBatch& batch, int64_t* rows,
                   ArrowArrayStream* out = nullptr) {
    AdbcStatement* stmt = Statement({});
    AdbcError e{};
    EXPECT_EQ(driver_.StatementSetSqlQuery(stmt, sql, &e), ADBC_STATUS_OK);
    return Bound(stmt, batch, rows, out);
  }

  std::vector<std::unique_ptr<AdbcStatement>> statements_;
};

std::shared_ptr<arrow::RecordBatch> Batch(const std::vector<std::string>& names,
                                          const std::vector<std::string>& types,
                                          const std::vector<std::string>& columns_json) {
  arrow::FieldVector fields;
  arrow::ArrayVector arrays;
  int64_t length = 0;
  for (size_t i = 0; i < names.size(); ++i) {
    auto type = types[i] == "int64" ? arrow::int64() : arrow::utf8();
    arrays.push_back(arrow::json::ArrayFromJSONString(type, columns_json[i]).ValueOrDie());
    fields.push_back(arrow::field(names[i], type));
    length = arrays.back()->length();
  }
  return arrow::RecordBatch::Make(arrow::schema(fields), length, arrays);
}

TEST_F(AdbcContractNetTest, IngestModesOnMissingAndExistingTables) {
  struct Case {
    const char* mode;  // null: not set (ADBC's default, create)
    bool exists;
    AdbcStatusCode status;
    int64_t rows;
    Lines contents;  // empty: the table must not exist afterwards
  };
  const Lines old_only = {"1|old"};
  const Lines new_only = {"10|n10", "11|n11"};
  const Lines both = {"1|old", "10|n10", "11|n11"};
  const Case cases[] = {
      {nullptr, false, ADBC_STATUS_OK, 2, new_only},
      {nullptr, true, ADBC_STATUS_ALREADY_EXISTS, -1, old_only},
      {"adbc.ingest.mode.create", false, ADBC_STATUS_OK, 2, new_only},
      {"adbc.ingest.mode.create", true, ADBC_STATUS_ALREADY_EXISTS, -1, old_only},
      {"adbc.ingest.mode.append", false, ADBC_STATUS_NOT_FOUND, -1, {}},
      {"adbc.ingest.mode.append", true, ADBC_STATUS_OK, 2, both},
      {"adbc.ingest.mode.replace", false, ADBC_STATUS_OK, 2, new_only},
      {"adbc.ingest.mode.replace", true, ADBC_STATUS_OK, 2, new_only},
      {"adbc.ingest.mode.create_append", false, ADBC_STATUS_OK, 2, new_only},
      {"adbc.ingest.mode.create_append", true, ADBC_STATUS_OK, 2, both},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.mode ? c.mode : "(default)") +
                 (c.exists ? " existing" : " missing"));
    Sql("DROP TABLE IF EXISTS ct_modes");
    if (c.exists) {
      Sql("CREATE TABLE ct_modes (id BIGINT, name VARCHAR)");
      Sql("INSERT INTO ct_modes VALUES (1, 'old')");
    }
    std::vector<std::pair<const char*, const char*>> options = {
        {"adbc.ingest.target_table", "ct_modes"}};
    if (c.mode != nullptr) options.emplace_back("adbc.ingest.mode", c.mode);
    int64_t rows = 0;
    const Failure f = Bound(Statement(options), *IdNameBatch(10, 2), &rows);
    EXPECT_EQ(f.status, c.status) << f.message;
    EXPECT_EQ(rows, c.rows);
    if (c.status == ADBC_STATUS_ALREADY_EXISTS) {
      EXPECT_EQ(f.sqlstate, "42S01");
    } else if (c.status == ADBC_STATUS_NOT_FOUND) {
      EXPECT_EQ(f.sqlstate, "42S02");
    }
    if (c.contents.empty()) {
      EXPECT_EQ(execute("SELECT * FROM ct_modes", nullptr, nullptr).status, ADBC_STATUS_NOT_FOUND);
    } else {
      EXPECT_EQ(Rows("SELECT id, name FROM ct_modes ORDER BY id"), c.contents);
    }
  }
}

TEST_F(AdbcContractNetTest, TargetSchemaAndCatalogQualifyTheTable) {
  Sql("CREATE SCHEMA IF NOT EXISTS ct_schema");
  Sql("DROP TABLE IF EXISTS ct_schema.\"Odd \"\"Name\"");
  const std::vector<std::pair<const char*, const char*>> options = {
      {"adbc.ingest.target_table", "Odd \"Name"},
      {"adbc.ingest.target_db_schema", "ct_schema"},
      {"adbc.ingest.mode", "create"}};
  int64_t rows = 0;
  Failure f = Bound(Statement(options), *IdNameBatch(1, 3), &rows);
  ASSERT_EQ(f.status, ADBC_STATUS_OK) << f.message;
  EXPECT_EQ(rows, 3);
  EXPECT_EQ(Rows("SELECT id FROM ct_schema.\"Odd \"\"Name\" ORDER BY id"), (Lines{"1", "2", "3"}));
  // The probe looks in the same schema: a second create is refused there.
  f = Bound(Statement(options), *IdNameBatch(7, 1), &rows);
  EXPECT_EQ(f.status, ADBC_STATUS_ALREADY_EXISTS) << f.message;
  EXPECT_EQ(Rows("SELECT count(*) FROM ct_schema.\"Odd \"\"Name\""), (Lines{"3"}));
  // A catalog that does not exist names no table: nothing is written anywhere.
  f = Bound(Statement({{"adbc.ingest.target_table", "Odd \"Name"},
                       {"adbc.ingest.target_db_schema", "ct_schema"},
                       {"adbc.ingest.target_catalog", "ct_no_such_catalog"},
                       {"adbc.ingest.mode", "append"}}),
            *IdNameBatch(8, 1), &rows);
  EXPECT_NE(f.status, ADBC_STATUS_OK);
  EXPECT_EQ(Rows("SELECT count(*) FROM ct_schema.\"Odd \"\"Name\""), (Lines{"3"}));
}

TEST_F(AdbcContractNetTest, ServerErrorsGetTheStatusOfTheirSqlstate) {
  Sql("CREATE OR REPLACE TABLE ct_err (id INTEGER PRIMARY KEY, n INTEGER)");
  Sql("INSERT INTO ct_err VALUES (1, 1)");
  struct Case {
    const char* sql;
    const char* sqlstate;
    AdbcStatusCode status;
  };
  const Case cases[] = {
      {"SELEC 1", "42000", ADBC_STATUS_INVALID_ARGUMENT},
      {"SELECT * FROM ct_no_such_table", "42S02", ADBC_STATUS_NOT_FOUND},
      {"SELECT no_such_column FROM ct_err", "42S22", ADBC_STATUS_NOT_FOUND},
      {"CREATE TABLE ct_err (i INTEGER)", "42S01", ADBC_STATUS_ALREADY_EXISTS},
      {"INSERT INTO ct_err VALUES (1, 2)", "23000", ADBC_STATUS_INTEGRITY},
      {"SELECT CAST('abc' AS INTEGER)", "22018", ADBC_STATUS_INVALID_DATA},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    // As an update (no output stream) and as a query whose count is awaited with the stream.
    int64_t rows = 0;
    Failure f = execute(c.sql, nullptr, &rows);
    EXPECT_EQ(f.sqlstate, c.sqlstate) << f.message;
    EXPECT_EQ(f.status, c.status) << f.message;
    EXPECT_EQ(f.vendor, ADBC_STATUS_IO);
    ArrowArrayStream s{};
    f = execute(c.sql, &s, &rows);
    EXPECT_EQ(f.sqlstate, c.sqlstate) << f.message;
    EXPECT_EQ(f.status, c.status) << f.message;
    EXPECT_EQ(s.release, nullptr);
  }
  EXPECT_EQ(Rows("SELECT id, n FROM ct_err"), (Lines{"1|1"}));
}

TEST_F(AdbcContractNetTest, BoundParametersRunForEveryRow) {
  Sql("CREATE OR REPLACE TABLE ct_params (id BIGINT, name VARCHAR)");
  int64_t rows = 0;
  // INSERT with several rows, a NULL and text that looks like SQL.
  Failure f = BoundSql("INSERT INTO ct_params VALUES (?, ?)",
                       *Batch({"id", "name"}, {"int64", "utf8"},
                              {"[1, 2, 3]", R"(["O'Brien", null, "x'); DROP TABLE t; --"])"}),
                       &rows);
  ASSERT_EQ(f.status, ADBC_STATUS_OK) << f.message;
  EXPECT_EQ(rows, 3);
  EXPECT_EQ(Rows("SELECT id, name FROM ct_params ORDER BY id"),
            (Lines{"1|O'Brien", "2|null", "3|x'); DROP TABLE t; --"}));

  // UPDATE: columns serve the placeholders in order; a ? inside a literal is no placeholder.
  f = BoundSql("UPDATE ct_params SET name = ? || '?' WHERE id = ?",
               *Batch({"name", "id"}, {"utf8", "int64"}, {R"(["two"])", "[2]"}), &rows);
  ASSERT_EQ(f.status, ADBC_STATUS_OK) << f.message;
  EXPECT_EQ(rows, 1);

  // SELECT with one row: its result as a stream.
  ArrowArrayStream s{};
  f = BoundSql("SELECT name FROM ct_params WHERE id = ?", *Batch({"id"}, {"int64"}, {"[2]"}),
               nullptr, &s);
  ASSERT_EQ(f.status, ADBC_STATUS_OK) << f.message;
  auto table = arrow::ImportRecordBatchReader(&s).ValueOrDie()->ToTable().ValueOrDie();
  ASSERT_EQ(table->num_rows(), 1);
  EXPECT_EQ(table->column(0)->GetScalar(0).ValueOrDie()->ToString(), "two?");

  // SELECT with several rows: the results, concatenated in row order.
  f = BoundSql("SELECT id, name FROM ct_params WHERE id = ?", *Batch({"id"}, {"int64"}, {"[3, 1]"}),
               nullptr, &s);
  ASSERT_EQ(f.status, ADBC_STATUS_OK) << f.message;
  table = arrow::ImportRecordBatchReader(&s).ValueOrDie()->ToTable().ValueOrDie();
  ASSERT_EQ(table->num_rows(), 2);
  EXPECT_EQ(table->column(0)->GetScalar(0).ValueOrDie()->ToString(), "3");
  EXPECT_EQ(table->column(0)->GetScalar(1).ValueOrDie()->ToString(), "1");

  // Count mismatches run nothing.
  struct Mismatch {
    const char* sql;
    std::shared_ptr<arrow::RecordBatch> batch;
  };
  const Mismatch mismatches[] = {
      {"DELETE FROM ct_params WHERE id = ? OR id = ?", Batch({"id"}, {"int64"}, {"[1]"})},
      {"DELETE FROM ct_params", Batch({"id"}, {"int64"}, {"[1]"})},
  };
  for (const Mismatch& m : mismatches) {
    SCOPED_TRACE(m.sql);
    f = BoundSql(m.sql, *m.batch, &rows);
    EXPECT_EQ(f.status, ADBC_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(f.sqlstate, "07002") << f.message;
    EXPECT_EQ(rows, -1);
  }
  EXPECT_EQ(Rows("SELECT count(*) FROM ct_params"), (Lines{"3"}));

  // Named binding is an option; positional binding is the default.
  AdbcError e{};
  AdbcStatement* stmt = Statement({});
  EXPECT_EQ(driver_.StatementSetOption(stmt, "adbc.statement.bind_by_name", "true", &e),
            ADBC_STATUS_OK);
  EXPECT_EQ(driver_.StatementSetOption(stmt, "adbc.statement.bind_by_name", "false", &e),
            ADBC_STATUS_OK);
}

TEST_F(AdbcContractNetTest, ConnectionOptionsAndTransactions) {
  AdbcError e{};
  for (const char* key : {"adbc.connection.readonly", "adbc.connection.read_only"}) {
    SCOPED_TRACE(key);
    EXPECT_EQ(driver_.ConnectionSetOption(&conn_, key, "true", &e), ADBC_STATUS_OK);
    EXPECT_EQ(driver_.ConnectionSetOption(&conn_, key, "false", &e), ADBC_STATUS_OK);
    EXPECT_EQ(driver_.ConnectionSetOption(&conn_, key, "perhaps", &e),
              ADBC_STATUS_INVALID_ARGUMENT);
    take(ADBC_STATUS_OK, &e);
  }
  for (auto call : {driver_.ConnectionCommit, driver_.ConnectionRollback}) {
    const Failure f = take(call(&conn_, &e), &e);
    EXPECT_EQ(f.status, ADBC_STATUS_INVALID_STATE);
    EXPECT_NE(f.message.find("autocommit is on"), std::string::npos) << f.message;
  }
  EXPECT_EQ(execute("SELECT 1", nullptr, nullptr).status, ADBC_STATUS_OK);
}

// A host stream that fails at its first batch and offers no get_last_error.
struct FailingStream {
  static int GetSchema(ArrowArrayStream*, ArrowSchema* out) {
    return arrow::ExportSchema(*arrow::schema({arrow::field("id", arrow::int64())}), out).ok()
               ? 0
               : EIO;
  }
  static int GetNext(ArrowArrayStream*, ArrowArray*) { return EIO; }
  static void Release(ArrowArrayStream* s) { s->release = nullptr; }
};

TEST_F(AdbcContractNetTest, BindStreamWithoutGetLastErrorIsRefused) {
  for (const bool with_target : {false, true}) {
    SCOPED_TRACE(with_target ? "ingest" : "parameters");
    AdbcStatement* stmt =
        with_target ? Statement({{"adbc.ingest.target_table", "ct_unused"}}) : Statement({});
    ArrowArrayStream stream{};
    stream.get_schema = FailingStream::GetSchema;
    stream.get_next = FailingStream::GetNext;
    stream.release = FailingStream::Release;
    AdbcError e{};
    const Failure f = take(driver_.StatementBindStream(stmt, &stream, &e), &e);
    EXPECT_EQ(f.status, ADBC_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(f.sqlstate, "HY009");
    ASSERT_NE(stream.release, nullptr) << "a refused stream stays the host's";
    stream.release(&stream);
  }
}

TEST_F(AdbcContractNetTest, GetSchemaAfterTheEndAnswersTheStreamsSchema) {
  for (const bool schema_first : {false, true}) {
    SCOPED_TRACE(schema_first ? "get_schema, then to the end" : "straight to the end");
    ArrowArrayStream s{};
    ASSERT_EQ(execute("SELECT customer_id, full_name FROM sales.customers", &s, nullptr).status,
              ADBC_STATUS_OK);
    ArrowSchema schema{};
    if (schema_first) {
      ASSERT_EQ(s.get_schema(&s, &schema), 0);
      schema.release(&schema);
    }
    EXPECT_EQ(nv_adbc_test::drain(&s), (Lines{"5", "end"}));
    ASSERT_EQ(s.get_schema(&s, &schema), 0);
    ASSERT_EQ(schema.n_children, 2);
    EXPECT_STREQ(schema.children[1]->name, "full_name");
    schema.release(&schema);
    s.release(&s);
  }
}

}  // namespace
