// Typed SQL literals of Arrow values: the text of each type, and the values and types that have
// none.
#include "cells/sql_literal_internal.h"

#include <arrow/api.h>
#include <arrow/json/from_string.h>
#include <gtest/gtest.h>

#include <string>

#include "cells/sql_state_internal.h"

namespace norvale::cells {
namespace {

std::shared_ptr<arrow::Array> array_of(const std::shared_ptr<arrow::DataType>& type,
                                       const std::string& json) {
  return arrow::json::ArrayFromJSONString(type, json).ValueOrDie();
}

// The literals of every row, separated by " | ".
std::string literals(const std::shared_ptr<arrow::Array>& array) {
  auto column = SqlLiteralColumn::Make(array);
  if (!column.ok()) return "error: " + column.status().ToString();
  // What has literals passes the check that makes none.
  EXPECT_TRUE(SqlLiteralColumn::Check(array).ok()) << SqlLiteralColumn::Check(array).ToString();
  std::string out;
  for (int64_t row = 0; row < column->length(); ++row) {
    if (row > 0) out += " | ";
    column->Append(row, &out);
  }
  return out;
}

TEST(SqlLiteral, TextOfEachType) {
  using arrow::TimeUnit;
  struct Case {
    std::shared_ptr<arrow::DataType> type;
    const char* json;
    const char* want;
  };
  const Case cases[] = {
      {arrow::boolean(), "[true, false, null]", "true | false | CAST(NULL AS BOOLEAN)"},
      {arrow::int8(), "[-128, null]", "TINYINT '-128' | CAST(NULL AS TINYINT)"},
      {arrow::int64(), "[-9223372036854775808]", "BIGINT '-9223372036854775808'"},
      {arrow::uint64(), "[18446744073709551615]", "UBIGINT '18446744073709551615'"},
      {arrow::uint16(), "[65535]", "USMALLINT '65535'"},
      {arrow::float64(), "[0.1, 1e17, -0.0, NaN, Inf, -Inf]",
       "DOUBLE '0.1' | DOUBLE '1e+17' | DOUBLE '-0' | DOUBLE 'NaN' | DOUBLE 'Infinity' | "
       "DOUBLE '-Infinity'"},
      {arrow::float32(), "[1.5]", "REAL '1.5'"},
      {arrow::decimal128(38, 10), R"(["-1234567890123456789012345678.0123456789"])",
       "DECIMAL(38,10) '-1234567890123456789012345678.0123456789'"},
      {arrow::decimal256(5, 3), R"(["-0.005", null])",
       "DECIMAL(5,3) '-0.005' | CAST(NULL AS DECIMAL(5,3))"},
      {arrow::decimal64(9, 2), R"(["1234567.89"])", "DECIMAL(9,2) '1234567.89'"},
      {arrow::utf8(), R"(["O'Brien", "", "a\\b $1 ?", "été"])",
       "'O''Brien' | '' | 'a\\b $1 ?' | 'été'"},
      {arrow::large_utf8(), R"([null, "x"])", "CAST(NULL AS VARCHAR) | 'x'"},
      {arrow::utf8_view(), R"(["'; --"])", "'''; --'"},
      {arrow::binary(), R"(["\u0000\u00ab", ""])", "from_hex('00c2ab') | from_hex('')"},
      {arrow::fixed_size_binary(2), R"(["AB", null])", "from_hex('4142') | CAST(NULL AS BLOB)"},
      {arrow::date32(), "[19782, -719162]", "DATE '2024-02-29' | DATE '0001-01-01'"},
      {arrow::date64(), "[86400000]", "DATE '1970-01-02'"},
      {arrow::time32(TimeUnit::SECOND), "[3599]", "TIME '00:59:59'"},
      {arrow::time64(TimeUnit::MICRO), "[45909000250]", "TIME '12:45:09.000250'"},
      {arrow::time64(TimeUnit::NANO), "[1]", "TIME_NS '00:00:00.000000001'"},
      {arrow::timestamp(TimeUnit::SECOND), "[0]", "TIMESTAMP_S '1970-01-01 00:00:00'"},
      {arrow::timestamp(TimeUnit::MILLI), "[-1]", "TIMESTAMP_MS '1969-12-31 23:59:59.999'"},
      {arrow::timestamp(TimeUnit::MICRO), "[1709211909000001]",
       "TIMESTAMP '2024-02-29 13:05:09.000001'"},
      {arrow::timestamp(TimeUnit::NANO), "[1]", "TIMESTAMP_NS '1970-01-01 00:00:00.000000001'"},
      {arrow::timestamp(TimeUnit::NANO, "America/New_York"), "[1000, null]",
       "TIMESTAMP WITH TIME ZONE '1970-01-01 00:00:00.000001000+00:00' | "
       "CAST(NULL AS TIMESTAMP WITH TIME ZONE)"},
      {arrow::month_interval(), "[14]", "INTERVAL '1 year 2 mons'"},
      {arrow::month_day_nano_interval(), "[[-1, 3, -1500000000]]",
       "INTERVAL '-1 mons 3 days -00:00:01.5'"},
      {arrow::null(), "[null, null]", "NULL | NULL"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(literals(array_of(c.type, c.json)), c.want) << c.type->ToString() << " " << c.json;
  }
}

TEST(SqlLiteral, DictionaryAndRunEndEncodedColumnsWriteTheirValues) {
  auto dict = arrow::DictionaryArray::FromArrays(array_of(arrow::int8(), "[1, null, 0, 1]"),
                                                 array_of(arrow::utf8(), R"(["a", "b'"])"))
                  .ValueOrDie();
  EXPECT_EQ(literals(dict), "'b''' | CAST(NULL AS VARCHAR) | 'a' | 'b'''");
  auto ree = arrow::RunEndEncodedArray::Make(3, array_of(arrow::int32(), "[2, 3]"),
                                             array_of(arrow::int64(), "[7, null]"))
                 .ValueOrDie();
  EXPECT_EQ(literals(ree), "BIGINT '7' | BIGINT '7' | CAST(NULL AS BIGINT)");
}

// A decimal(5, scale) column holding one unscaled 1 (100 at scale -2).
std::shared_ptr<arrow::Array> decimal_at_scale(int32_t scale) {
  arrow::Decimal128Builder builder(arrow::decimal128(5, scale));
  EXPECT_TRUE(builder.Append(arrow::Decimal128(1)).ok());
  return builder.Finish().ValueOrDie();
}

// A utf8 column whose second value is the lone byte 0xFF.
std::shared_ptr<arrow::Array> invalid_utf8() {
  arrow::BinaryBuilder builder;
  EXPECT_TRUE(builder.Append("x").ok());
  EXPECT_TRUE(builder.Append("\xff").ok());
  return builder.Finish().ValueOrDie()->View(arrow::utf8()).ValueOrDie();
}

TEST(SqlLiteral, ValuesAndTypesWithoutALiteralAreRefusedWithTheirRow) {
  using arrow::TimeUnit;
  struct Case {
    std::shared_ptr<arrow::Array> array;
    const char* sqlstate;
    int64_t row;  // -1: the type itself
    const char* message_part;
  };
  const Case cases[] = {
      {array_of(arrow::list(arrow::int32()), "[[1]]"), "07006", -1, "list<item: int32>"},
      {array_of(arrow::duration(TimeUnit::SECOND), "[1]"), "07006", -1, "bind an interval"},
      {array_of(arrow::decimal256(40, 2), R"(["1.00"])"), "07006", -1, "38 digits"},
      {decimal_at_scale(-2), "07006", -1, "negative scale"},
      // Refused before any text is made: the text alone would take two gigabytes.
      {decimal_at_scale(2000000000), "07006", -1, "larger than the precision"},
      {array_of(arrow::utf8(), R"(["ok", "a\u0000b"])"), "22021", 1, "NUL byte"},
      {invalid_utf8(), "22021", 1, "not valid UTF-8"},
      {array_of(arrow::date32(), "[0, -719163]"), "22008", 1, "before the year 1"},
      {array_of(arrow::timestamp(TimeUnit::SECOND), "[-62135596801]"), "22008", 0,
       "before the year 1"},
      {array_of(arrow::timestamp(TimeUnit::NANO, "UTC"), "[1000, 1001]"), "22008", 1,
       "nanoseconds"},
      {array_of(arrow::month_day_nano_interval(), "[[0, 0, 1]]"), "22008", 0, "nanoseconds"},
      {array_of(arrow::time32(TimeUnit::SECOND), "[0, 90000]"), "22008", 1, "outside the range"},
      {array_of(arrow::time64(TimeUnit::MICRO), "[-1]"), "22008", 0, "outside the range"},
      {array_of(arrow::timestamp(TimeUnit::SECOND), "[0, 9223372036854775807]"), "22008", 1,
       "outside the range"},
      {array_of(arrow::large_utf8(), R"(["a\u0000"])"), "22021", 0, "NUL byte"},
      {array_of(arrow::utf8_view(), R"(["fine", "a view longer than twelve \u0000"])"), "22021",
       1, "NUL byte"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.array->ToString());
    auto column = SqlLiteralColumn::Make(c.array);
    ASSERT_FALSE(column.ok());
    EXPECT_EQ(sqlstate_of(column.status()), c.sqlstate);
    EXPECT_EQ(failed_row_of(column.status()), c.row);
    EXPECT_NE(column.status().message().find(c.message_part), std::string::npos)
        << column.status().message();
    // Check refuses the same, without making the text.
    const arrow::Status checked = SqlLiteralColumn::Check(c.array);
    EXPECT_EQ(checked.ToString(), column.status().ToString());
    EXPECT_EQ(failed_row_of(checked), c.row);
  }
}

}  // namespace
}  // namespace norvale::cells
