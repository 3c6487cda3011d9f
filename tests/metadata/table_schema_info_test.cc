// GetTableSchema from the snapshot, the LIMIT 0 statement text, GetTableTypes and GetInfo.
#include <gtest/gtest.h>

#include <arrow/c/bridge.h>
#include <arrow/config.h>

#include "adbc/catalog_calls_internal.h"
#include "metadata/catalog_answers_internal.h"
#include "metadata/type_text_internal.h"
#include "snapshot_fixture.h"

namespace {

using norvale::adbc::kRsColumns;
using nvtest::make_batch;

struct SchemaResult {
  AdbcStatusCode status;
  std::shared_ptr<arrow::Schema> schema;
  std::string message;
  std::string sqlstate;
};

SchemaResult table_schema(AdbcConnection* conn, const char* catalog, const char* db_schema,
                          const char* table) {
  ArrowSchema out{};
  AdbcError error{};
  SchemaResult r{nv_adbc_connection_get_table_schema(conn, catalog, db_schema, table, &out,
                                                     &error),
                 nullptr, "", ""};
  if (r.status == ADBC_STATUS_OK) {
    auto imported = arrow::ImportSchema(&out);
    EXPECT_TRUE(imported.ok());
    if (imported.ok()) r.schema = *imported;
  }
  if (error.message != nullptr) r.message = error.message;
  r.sqlstate = std::string(error.sqlstate, 5);
  if (error.release != nullptr) error.release(&error);
  return r;
}

std::string field_list(const arrow::Schema& schema) {
  std::string out;
  for (const auto& f : schema.fields()) {
    if (!out.empty()) out += ", ";
    out += f->name() + " " + f->type()->ToString() + (f->nullable() ? "" : " not null");
  }
  return out;
}

class TableSchemaFromSnapshot : public ::testing::Test {
 protected:
  void SetUp() override {
    conn_.set(kRsColumns,
              make_batch({{"table_catalog", arrow::utf8()},
                          {"table_schema", arrow::utf8()},
                          {"table_name", arrow::utf8()},
                          {"column_name", arrow::utf8()},
                          {"ordinal_position", arrow::int16()},
                          {"data_type", arrow::utf8()},
                          {"is_nullable", arrow::utf8()}},
                         {{"main", "SALES", "orders", "placed", 3, "timestamp with time zone",
                           "no"},
                          {"main", "SALES", "orders", "id", 1, "BIGINT", "NO"},
                          {"main", "SALES", "orders", "note", 2, "varchar(20)", "YES"},
                          {"main", "SALES", "orders", "at", 4, "time", ""},
                          {"main", "other", "orders", "elsewhere", 1, "int", "NO"},
                          {"cat2", "SALES", "orders", "cat2col", 1, "int", "NO"}}));
  }
  nvtest::SnapshotConnection conn_;
};

TEST_F(TableSchemaFromSnapshot, SortedByOrdinalWithCaseInsensitiveNames) {
  auto r = table_schema(conn_.handle(), "MAIN", "sales", "Orders");
  ASSERT_EQ(r.status, ADBC_STATUS_OK) << r.message;
  EXPECT_EQ(field_list(*r.schema),
            "id int64 not null, note string, placed timestamp[us, tz=UTC] not null, "
            "at time64[us]");
}

// Without a schema (or catalog) the name must pick one table: columns of same-named tables in
// different schemas or catalogs are never merged into one answer.
TEST_F(TableSchemaFromSnapshot, AmbiguousNamesAreRefusedNeverMerged) {
  struct Case {
    const char* catalog;
    const char* schema;
    const char* expected;  // field list, or "error: <candidates>"
  };
  const Case cases[] = {
      {"", "sales", "error: main.SALES, cat2.SALES"},
      {nullptr, nullptr, "error: main.SALES, main.other, cat2.SALES"},
      {"cat2", nullptr, "cat2col int32 not null"},
      {nullptr, "other", "elsewhere int32 not null"},
      {"main", "", "error: main.SALES, main.other"},
  };
  for (const Case& c : cases) {
    auto r = table_schema(conn_.handle(), c.catalog, c.schema, "ORDERS");
    if (r.status == ADBC_STATUS_OK) {
      EXPECT_EQ(field_list(*r.schema), c.expected);
      continue;
    }
    EXPECT_EQ(r.status, ADBC_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(r.sqlstate, "42000");
    const std::string expected = c.expected;
    ASSERT_EQ(expected.rfind("error: ", 0), 0u) << r.message;
    EXPECT_NE(r.message.find("exists in several schemas (" + expected.substr(7) + ")"),
              std::string::npos)
        << r.message;
  }
}

TEST(TableSchema, OrdinalsFromRowOrderWhenAbsent) {
  nvtest::SnapshotConnection conn;
  conn.set(kRsColumns, make_batch({{"table_name", arrow::utf8()},
                                   {"column_name", arrow::utf8()},
                                   {"data_type", arrow::utf8()}},
                                  {{"t", "b", "date"}, {"u", "x", "int"}, {"t", "a", "bytea"}}));
  auto r = table_schema(conn.handle(), nullptr, nullptr, "t");
  ASSERT_EQ(r.status, ADBC_STATUS_OK) << r.message;
  EXPECT_EQ(field_list(*r.schema), "b date32[day], a binary");
}

// Every type text the service reports, and some it might; "?" is text not known here (the
// caller then asks the compute node).
TEST(TableSchema, TypeTextTable) {
  const std::pair<const char*, const char*> cases[] = {
      {"tinyint", "int8"},
      {"SMALLINT", "int16"},
      {"int2", "int16"},
      {"integer", "int32"},
      {"int", "int32"},
      {"int4", "int32"},
      {"bigint", "int64"},
      {"INT8", "int64"},
      {"utinyint", "uint8"},
      {"usmallint", "uint16"},
      {"uinteger", "uint32"},
      {"ubigint", "uint64"},
      {"hugeint", "decimal128(38, 0)"},
      {"real", "float"},
      {"float4", "float"},
      {"double", "double"},
      {"double precision", "double"},
      {"DOUBLE  PRECISION", "double"},
      {"float", "double"},
      {"boolean", "bool"},
      {"bool", "bool"},
      {"DECIMAL(10,2)", "decimal128(10, 2)"},
      {"numeric( 18 , 3 )", "decimal128(18, 3)"},
      {"decimal(5)", "decimal128(5, 0)"},
      {"decimal(50,10)", "decimal256(50, 10)"},
      {"decimal", "?"},
      {"decimal(2,3)", "?"},
      {"decimal(77,0)", "?"},
      {"decimal(10,2", "?"},
      {"varchar", "string"},
      {"VARCHAR(20)", "string"},
      {"character varying(8)", "string"},
      {"char(3)", "string"},
      {"text", "string"},
      {"uuid", "string"},
      {"blob", "binary"},
      {"VARBINARY", "binary"},
      {"bytea", "binary"},
      {"date", "date32[day]"},
      {"time", "time64[us]"},
      {"time without time zone", "time64[us]"},
      {"time with time zone", "?"},
      {"timestamp", "timestamp[us]"},
      {"timestamp(3)", "timestamp[us]"},
      {"timestamp without time zone", "timestamp[us]"},
      {"TIMESTAMP WITH TIME ZONE", "timestamp[us, tz=UTC]"},
      {"timestamptz", "timestamp[us, tz=UTC]"},
      {"timestamp with zone", "?"},
      {"timestamp_ms", "timestamp[ms]"},
      {"timestamp_ns", "timestamp[ns]"},
      {"timestamp_s", "timestamp[s]"},
      {"interval", "month_day_nano_interval"},
      {"INTEGER[]", "list<item: int32>"},
      {"varchar[][]", "list<item: list<item: string>>"},
      {"double[3]", "fixed_size_list<item: double>[3]"},
      {"int[0]", "?"},
      {"int[", "?"},
      {"STRUCT(a INTEGER, \"B c\" VARCHAR)", "struct<a: int32, B c: string>"},
      {"STRUCT(x DECIMAL(9,2)[], y STRUCT(z DATE))",
       "struct<x: list<item: decimal128(9, 2)>, y: struct<z: date32[day]>>"},
      {"MAP(VARCHAR, INTEGER)", "map<string, int32>"},
      {"map(varchar)", "?"},
      {"STRUCT()", "?"},
      {"ENUM('a', 'b')", "?"},
      {"bit", "?"},
      {"integer(4)", "?"},
      {"integer extra", "?"},
      {"", "?"},
  };
  for (const auto& [text, expected] : cases) {
    const auto type = norvale::adbc::arrow_type_from_text(text);
    EXPECT_EQ(type ? type->ToString() : "?", expected) << text;
  }
}

TEST(TableSchema, ArgumentAndStateErrors) {
  nvtest::SnapshotConnection conn;
  ArrowSchema out{};
  AdbcError error{};
  struct Case {
    AdbcConnection* conn;
    const char* table;
    ArrowSchema* out;
    AdbcStatusCode status;
    const char* message;
    const char* sqlstate;
  };
  AdbcConnection bare{};
  const Case cases[] = {
      {nullptr, "t", &out, ADBC_STATUS_INVALID_ARGUMENT,
       "AdbcConnectionGetTableSchema: null connection or output schema", "HY009"},
      {conn.handle(), "t", nullptr, ADBC_STATUS_INVALID_ARGUMENT,
       "AdbcConnectionGetTableSchema: null connection or output schema", "HY009"},
      {conn.handle(), nullptr, &out, ADBC_STATUS_INVALID_ARGUMENT,
       "AdbcConnectionGetTableSchema: table_name is required", "HY009"},
      {conn.handle(), "", &out, ADBC_STATUS_INVALID_ARGUMENT,
       "AdbcConnectionGetTableSchema: table_name is required", "HY009"},
      {&bare, "t", &out, ADBC_STATUS_INVALID_STATE,
       "AdbcConnectionGetTableSchema: connection not initialised (call AdbcConnectionInit "
       "first)",
       "HY010"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(nv_adbc_connection_get_table_schema(c.conn, nullptr, nullptr, c.table, c.out,
                                                  &error),
              c.status);
    EXPECT_STREQ(error.message, c.message);
    EXPECT_EQ(std::string(error.sqlstate, 5), c.sqlstate);
    error.release(&error);
  }
}

TEST(TableSchema, LimitZeroStatementQuotesEveryPart) {
  using norvale::adbc::limit_zero_sql;
  EXPECT_EQ(limit_zero_sql("cat", "sch", "tbl"), R"(SELECT * FROM "cat"."sch"."tbl" LIMIT 0)");
  EXPECT_EQ(limit_zero_sql(nullptr, nullptr, "tbl"), R"(SELECT * FROM "tbl" LIMIT 0)");
  EXPECT_EQ(limit_zero_sql("", "sch", "tbl"), R"(SELECT * FROM "sch"."tbl" LIMIT 0)");
  EXPECT_EQ(limit_zero_sql("c", nullptr, "t"), R"(SELECT * FROM "c"."t" LIMIT 0)");
  EXPECT_EQ(limit_zero_sql(nullptr, "a\"b", "we\"\"ird"),
            R"(SELECT * FROM "a""b"."we""""ird" LIMIT 0)");
  EXPECT_EQ(limit_zero_sql(nullptr, nullptr, "x; DROP TABLE y"),
            R"(SELECT * FROM "x; DROP TABLE y" LIMIT 0)");
}

TEST(TableTypes, TwoTypesWithoutInitialisedConnection) {
  AdbcConnection bare{};
  ArrowArrayStream stream{};
  AdbcError error{};
  ASSERT_EQ(nv_adbc_connection_get_table_types(&bare, &stream, &error), ADBC_STATUS_OK);
  auto batch = nvtest::read_stream(&stream);
  ASSERT_NE(batch, nullptr);
  EXPECT_TRUE(batch->schema()->Equals(*arrow::schema({arrow::field("table_type", arrow::utf8(),
                                                                   false)})));
  const auto& types = static_cast<const arrow::StringArray&>(*batch->column(0));
  ASSERT_EQ(types.length(), 2);
  EXPECT_EQ(types.GetString(0), "BASE TABLE");
  EXPECT_EQ(types.GetString(1), "VIEW");

  EXPECT_EQ(nv_adbc_connection_get_table_types(&bare, nullptr, &error),
            ADBC_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "AdbcConnectionGetTableTypes: null connection or stream");
  error.release(&error);
}

struct InfoRow {
  uint32_t code;
  std::string value;  // rendered as type:value
};

std::vector<InfoRow> get_info(const uint32_t* codes, size_t length) {
  AdbcConnection bare{};
  ArrowArrayStream stream{};
  AdbcError error{};
  EXPECT_EQ(nv_adbc_connection_get_info(&bare, codes, length, &stream, &error), ADBC_STATUS_OK);
  auto batch = nvtest::read_stream(&stream);
  if (!batch) return {};
  EXPECT_TRUE(batch->schema()->Equals(*norvale::adbc::build_info_schema()));
  EXPECT_TRUE(batch->ValidateFull().ok());
  std::vector<InfoRow> rows;
  const auto& names = static_cast<const arrow::UInt32Array&>(*batch->column(0));
  const auto& values = static_cast<const arrow::DenseUnionArray&>(*batch->column(1));
  for (int64_t i = 0; i < batch->num_rows(); ++i) {
    const int8_t code = values.type_code(i);
    const int32_t offset = values.value_offset(i);
    const auto& child = *values.field(code);
    std::string rendered;
    switch (code) {
      case 0:
        rendered = "string:" + static_cast<const arrow::StringArray&>(child).GetString(offset);
        break;
      case 1:
        rendered = static_cast<const arrow::BooleanArray&>(child).Value(offset) ? "bool:true"
                                                                                : "bool:false";
        break;
      case 2:
        rendered = "int64:" +
                   std::to_string(static_cast<const arrow::Int64Array&>(child).Value(offset));
        break;
      default:
        rendered = "other";
    }
    rows.push_back({names.Value(i), rendered});
  }
  return rows;
}

TEST(GetInfo, AllEntriesInTableOrder) {
  auto rows = get_info(nullptr, 0);
  // The Arrow version is the one of the library loaded at run time.
  const std::string arrow_version = arrow::GetBuildInfo().version_string;
  const std::vector<std::pair<uint32_t, std::string>> expected = {
      {0, "string:Norvale"},   {1, "string:1.0.0"},        {2, "string:" + arrow_version},
      {3, "bool:true"},        {4, "bool:false"},          {100, "string:Norvale ADBC"},
      {101, "string:1.0.0"},   {102, "string:" + arrow_version},     {103, "int64:1001000"},
  };
  ASSERT_EQ(rows.size(), expected.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].code, expected[i].first);
    EXPECT_EQ(rows[i].value, expected[i].second);
  }
}

TEST(GetInfo, SelectionKeepsTableOrderAndIgnoresRepeatsAndUnknownCodes) {
  const uint32_t picked[] = {101, 0, 101, 9999, 4};
  auto rows = get_info(picked, std::size(picked));
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].code, 0u);
  EXPECT_EQ(rows[1].code, 4u);
  EXPECT_EQ(rows[2].code, 101u);
  // Only the first `length` codes count; length 0 gives no rows.
  EXPECT_EQ(get_info(picked, 1).size(), 1u);
  EXPECT_TRUE(get_info(picked, 0).empty());
}

TEST(GetInfo, NullArguments) {
  AdbcError error{};
  ArrowArrayStream stream{};
  EXPECT_EQ(nv_adbc_connection_get_info(nullptr, nullptr, 0, &stream, &error),
            ADBC_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "AdbcConnectionGetInfo: null connection or stream");
  EXPECT_EQ(std::string(error.sqlstate, 5), "HY009");
  error.release(&error);
}

}  // namespace
