// GetTableSchema from the snapshot, the LIMIT 0 statement text, GetTableTypes and GetInfo.
#include <gtest/gtest.h>

#include <arrow/c/bridge.h>

#include "metadata/metadata_calls_internal.h"
#include "metadata/type_mapping_internal.h"
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
                          {"main", "SALES", "orders", "at", 4, "time with time zone", ""},
                          {"main", "other", "orders", "elsewhere", 1, "int", "NO"},
                          {"cat2", "SALES", "orders", "cat2col", 1, "int", "NO"}}));
  }
  nvtest::SnapshotConnection conn_;
};

TEST_F(TableSchemaFromSnapshot, SortedByOrdinalWithCaseInsensitiveNames) {
  auto r = table_schema(conn_.handle(), "MAIN", "sales", "Orders");
  ASSERT_EQ(r.status, ADBC_STATUS_OK) << r.message;
  EXPECT_EQ(field_list(*r.schema),
            "id int64 not null, note string, placed timestamp[us] not null, at string");
  EXPECT_EQ(r.schema->field(2)->type()->ToString(), "timestamp[us]");  // no time zone
}

TEST_F(TableSchemaFromSnapshot, EmptyQualifiersAreIgnored) {
  // No catalog: both catalogs' SALES.orders rows match, in ordinal order (stable for ties).
  auto r = table_schema(conn_.handle(), "", "sales", "orders");
  ASSERT_EQ(r.status, ADBC_STATUS_OK) << r.message;
  EXPECT_EQ(r.schema->num_fields(), 5);
  EXPECT_EQ(r.schema->field(0)->name(), "id");
  EXPECT_EQ(r.schema->field(1)->name(), "cat2col");

  r = table_schema(conn_.handle(), nullptr, nullptr, "ORDERS");
  ASSERT_EQ(r.status, ADBC_STATUS_OK) << r.message;
  EXPECT_EQ(r.schema->num_fields(), 6);

  r = table_schema(conn_.handle(), nullptr, "other", "orders");
  ASSERT_EQ(r.status, ADBC_STATUS_OK) << r.message;
  EXPECT_EQ(field_list(*r.schema), "elsewhere int32 not null");
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

TEST(TableSchema, ArrowTypeMapping) {
  const std::pair<const char*, const char*> cases[] = {
      {"smallint", "int16"},
      {"INTEGER", "int32"},
      {"int", "int32"},
      {"bigint", "int64"},
      {"tinyint", "int8"},
      {"real", "float"},
      {"double precision", "double"},
      {"double", "double"},
      {"float", "double"},
      {"boolean", "bool"},
      {"bool", "bool"},
      {"date", "date32[day]"},
      {"time", "time64[us]"},
      {"time without time zone", "time64[us]"},
      {"time with time zone", "string"},
      {"timestamp", "timestamp[us]"},
      {"timestamp with time zone", "timestamp[us]"},
      {"timestamptz", "timestamp[us]"},
      {"binary", "binary"},
      {"varbinary", "binary"},
      {"bytea", "binary"},
      {"numeric", "decimal128(38, 10)"},
      {"DECIMAL", "decimal128(38, 10)"},
      {"decimal(10,2)", "string"},
      {"varchar(20)", "string"},
      {"bit", "string"},
      {"", "string"},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(norvale::adbc::snapshot_arrow_type(text)->ToString(), expected) << text;
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
  const std::vector<std::pair<uint32_t, std::string>> expected = {
      {0, "string:Norvale"},   {1, "string:1.0.0"},        {2, "string:24.0.0"},
      {3, "bool:true"},        {4, "bool:false"},          {100, "string:Norvale ADBC"},
      {101, "string:1.0.0"},   {102, "string:24.0.0"},     {103, "int64:1000000"},
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
