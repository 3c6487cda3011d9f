// Bound rows turned into SQL text: each Arrow type's literal, and the failures that must stop a
// row before it reaches the server.
#include <arrow/api.h>
#include <arrow/json/from_string.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "adbc/statement_params_internal.h"

namespace norvale::adbc {
namespace {

std::shared_ptr<arrow::RecordBatch> one_column(const std::shared_ptr<arrow::DataType>& type,
                                               const std::string& json) {
  auto array = arrow::json::ArrayFromJSONString(type, json).ValueOrDie();
  return arrow::RecordBatch::Make(arrow::schema({arrow::field("p", type)}), array->length(),
                                  {array});
}

TEST(SubstituteRow, LiteralOfEachType) {
  struct Case {
    std::shared_ptr<arrow::DataType> type;
    const char* json;  // one value
    const char* literal;
  };
  const Case cases[] = {
      {arrow::int8(), "[-5]", "-5"},
      {arrow::uint16(), "[65535]", "65535"},
      {arrow::int32(), "[2147483647]", "2147483647"},
      {arrow::int64(), "[-9223372036854775808]", "-9223372036854775808"},
      {arrow::uint64(), "[18446744073709551615]", "18446744073709551615"},
      {arrow::boolean(), "[true]", "TRUE"},
      {arrow::float64(), "[0.1]", "0.1"},
      {arrow::float32(), "[1.5]", "1.5"},
      {arrow::utf8(), R"(["O'Brien"])", "'O''Brien'"},
      {arrow::large_utf8(), R"([""])", "''"},
      {arrow::utf8(), "[null]", "NULL"},
      {arrow::int32(), "[null]", "NULL"},
      {arrow::binary(), R"(["AB"])", "X'4142'"},
      {arrow::decimal128(10, 2), R"(["123.45"])", "123.45"},
      {arrow::decimal128(5, 3), R"(["-0.005"])", "-0.005"},
      {arrow::date32(), "[19782]", "'2024-02-29'"},
      {arrow::date32(), "[-1]", "'1969-12-31'"},
      {arrow::timestamp(arrow::TimeUnit::MICRO), "[1709211909000001]",
       "'2024-02-29 13:05:09.000001000'"},
      {arrow::timestamp(arrow::TimeUnit::SECOND), "[0]", "'1970-01-01 00:00:00'"},
      {arrow::time64(arrow::TimeUnit::MICRO), "[45909000250]", "'12:45:09.000250'"},
      {arrow::time32(arrow::TimeUnit::SECOND), "[3599]", "'00:59:59'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type->ToString() + " " + c.json);
    auto sql = substitute_row("SELECT ?", *one_column(c.type, c.json), 0);
    ASSERT_TRUE(sql.ok()) << sql.status().ToString();
    EXPECT_EQ(*sql, std::string("SELECT ") + c.literal);
  }
}

TEST(SubstituteRow, ColumnsServePlaceholdersInOrderOutsideLiteralsAndComments) {
  auto a = arrow::json::ArrayFromJSONString(arrow::int32(), "[1, 2]").ValueOrDie();
  auto b = arrow::json::ArrayFromJSONString(arrow::utf8(), R"(["x", "it's"])").ValueOrDie();
  auto batch = arrow::RecordBatch::Make(
      arrow::schema({arrow::field("a", arrow::int32()), arrow::field("b", arrow::utf8())}), 2,
      {a, b});
  const char* sql = "UPDATE t SET s = ? /* ? */ WHERE i = ? AND note <> '?' -- ?\n";
  auto row1 = substitute_row(sql, *batch, 1);
  ASSERT_TRUE(row1.ok()) << row1.status().ToString();
  EXPECT_EQ(*row1, "UPDATE t SET s = 2 /* ? */ WHERE i = 'it''s' AND note <> '?' -- ?\n");
}

TEST(SubstituteRow, RefusedRowsCarryTheirSqlstate) {
  struct Case {
    const char* what;
    const char* sql;
    std::shared_ptr<arrow::DataType> type;
    const char* json;
    const char* sqlstate;
    const char* message_part;
  };
  const Case cases[] = {
      {"more placeholders than columns", "SELECT ?, ?", arrow::int32(), "[1]", "07002",
       "2 placeholder(s) but 1 parameter(s)"},
      {"bound data but no placeholder", "SELECT 1", arrow::int32(), "[1]", "07002",
       "0 placeholder(s) but 1 parameter(s)"},
      {"NaN", "SELECT ?", arrow::float64(), "[NaN]", "22003", "NaN or infinity"},
      {"embedded NUL", "SELECT ?", arrow::utf8(), R"(["a\u0000b"])", "HY090", "embedded NUL"},
      {"zone-aware timestamp", "SELECT ?", arrow::timestamp(arrow::TimeUnit::SECOND, "UTC"), "[0]",
       "07006", "time zone"},
      {"list", "SELECT ?", arrow::list(arrow::int32()), "[[1]]", "07006",
       "has no safe SQL literal form"},
      {"date beyond year 9999", "SELECT ?", arrow::date32(), "[3000000]", "22008", "9999"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto sql = substitute_row(c.sql, *one_column(c.type, c.json), 0);
    ASSERT_FALSE(sql.ok()) << *sql;
    EXPECT_EQ(sqlstate_of(sql.status()), c.sqlstate);
    EXPECT_NE(sql.status().message().find(c.message_part), std::string::npos)
        << sql.status().message();
  }
}

}  // namespace
}  // namespace norvale::adbc
