#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "batch_fixture.h"

namespace {

TEST(BatchMetadata, TypeCodes) {
  struct Case {
    std::shared_ptr<arrow::DataType> type;
    int code;
  };
  const Case cases[] = {
      {arrow::null(), 0},
      {arrow::boolean(), 1},
      {arrow::int8(), 2},
      {arrow::int64(), 5},
      {arrow::uint8(), 6},
      {arrow::uint64(), 9},
      {arrow::float16(), 99},
      {arrow::float32(), 10},
      {arrow::float64(), 11},
      {arrow::utf8(), 12},
      {arrow::utf8_view(), 12},
      {arrow::large_utf8(), 13},
      {arrow::binary(), 14},
      {arrow::binary_view(), 14},
      {arrow::large_binary(), 15},
      {arrow::fixed_size_binary(4), 16},
      {arrow::date32(), 17},
      {arrow::date64(), 18},
      {arrow::time32(arrow::TimeUnit::MILLI), 19},
      {arrow::time64(arrow::TimeUnit::NANO), 20},
      {arrow::timestamp(arrow::TimeUnit::MICRO, "UTC"), 21},
      {arrow::decimal128(10, 2), 22},
      {arrow::decimal256(40, 2), 23},
      {arrow::month_interval(), 24},
      {arrow::day_time_interval(), 25},
      {arrow::month_day_nano_interval(), 26},
      {arrow::list(arrow::int32()), 27},
      {arrow::large_list(arrow::int32()), 28},
      {arrow::struct_({arrow::field("a", arrow::int32())}), 29},
      {arrow::map(arrow::utf8(), arrow::int32()), 30},
      {arrow::dictionary(arrow::int32(), arrow::utf8()), 31},
      {arrow::duration(arrow::TimeUnit::SECOND), 99},
      {arrow::fixed_size_list(arrow::int32(), 2), 99},
      {arrow::sparse_union({arrow::field("a", arrow::int32())}, {0}), 99},
  };
  std::vector<std::shared_ptr<arrow::Field>> fields;
  for (size_t i = 0; i < std::size(cases); ++i) {
    fields.push_back(arrow::field("f" + std::to_string(i), cases[i].type));
  }
  // Metadata comes from the schema alone: a wrapper without record batch answers too.
  BatchPtr batch(norvale::cells::new_arrow_batch(nullptr, arrow::schema(fields)));
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(nv_batch_column_type(batch.get(), static_cast<int>(i)), cases[i].code)
        << cases[i].type->ToString();
  }
  EXPECT_EQ(nv_batch_num_columns(batch.get()), static_cast<int>(std::size(cases)));
  EXPECT_EQ(nv_batch_num_rows(batch.get()), 0);
  EXPECT_EQ(nv_batch_column_type(batch.get(), -1), 99);
  EXPECT_EQ(nv_batch_column_type(batch.get(), 1000), 99);
  EXPECT_EQ(nv_batch_column_type(nullptr, 0), 99);
  // Cell access needs the record batch.
  EXPECT_EQ(nv_is_null(batch.get(), 0, 0), 1);
  EXPECT_EQ(nv_batch_stage_column(batch.get(), 0, 4, 0), 3);
}

TEST(BatchMetadata, FieldsDecimalsTemporalAndKeys) {
  auto meta = arrow::key_value_metadata({"comment", "x"}, {"hello", "y"});
  std::vector<std::shared_ptr<arrow::Field>> fields = {
      arrow::field("amount", arrow::decimal128(10, 2), false, meta),
      arrow::field("big", arrow::decimal256(50, -3)),
      arrow::field("at", arrow::timestamp(arrow::TimeUnit::NANO, "Europe/Oslo")),
      arrow::field("naive", arrow::timestamp(arrow::TimeUnit::SECOND)),
      arrow::field("t", arrow::time32(arrow::TimeUnit::MILLI)),
      arrow::field("n", arrow::int32()),
  };
  std::vector<std::shared_ptr<arrow::Array>> arrays = {
      json_array(fields[0]->type(), R"(["1.00"])"),
      *arrow::MakeArrayOfNull(fields[1]->type(), 1),
      json_array(fields[2]->type(), "[1]"),
      json_array(fields[3]->type(), "[1]"),
      json_array(fields[4]->type(), "[1]"),
      json_array(fields[5]->type(), "[1]"),
  };
  BatchPtr batch = batch_of(fields, arrays);
  EXPECT_EQ(nv_batch_num_rows(batch.get()), 1);
  EXPECT_STREQ(nv_batch_column_name(batch.get(), 2), "at");
  EXPECT_EQ(nv_batch_column_name(batch.get(), 6), nullptr);
  EXPECT_EQ(nv_batch_column_nullable(batch.get(), 0), 0);
  EXPECT_EQ(nv_batch_column_nullable(batch.get(), 1), 1);
  EXPECT_EQ(nv_batch_column_nullable(batch.get(), 9), 0);
  int32_t precision = 0, scale = 0;
  EXPECT_EQ(nv_batch_column_decimal_meta(batch.get(), 0, &precision, &scale), 0);
  EXPECT_EQ(precision, 10);
  EXPECT_EQ(scale, 2);
  EXPECT_EQ(nv_batch_column_decimal_meta(batch.get(), 1, &precision, &scale), 0);
  EXPECT_EQ(precision, 50);
  EXPECT_EQ(scale, -3);
  EXPECT_EQ(nv_batch_column_decimal_meta(batch.get(), 5, &precision, &scale), -1);
  int32_t unit = -1;
  const char* zone = "unset";
  EXPECT_EQ(nv_batch_column_temporal_meta(batch.get(), 2, &unit, &zone), 0);
  EXPECT_EQ(unit, 3);
  EXPECT_STREQ(zone, "Europe/Oslo");
  EXPECT_EQ(nv_batch_column_temporal_meta(batch.get(), 3, &unit, &zone), 0);
  EXPECT_EQ(unit, 0);
  EXPECT_EQ(zone, nullptr);
  zone = "unset";
  EXPECT_EQ(nv_batch_column_temporal_meta(batch.get(), 4, &unit, &zone), 0);
  EXPECT_EQ(unit, 1);
  EXPECT_EQ(zone, nullptr);
  EXPECT_EQ(nv_batch_column_temporal_meta(batch.get(), 5, &unit, &zone), -1);
  EXPECT_STREQ(nv_batch_column_metadata(batch.get(), 0, "comment"), "hello");
  EXPECT_EQ(nv_batch_column_metadata(batch.get(), 0, "comm"), nullptr);
  EXPECT_EQ(nv_batch_column_metadata(batch.get(), 1, "comment"), nullptr);
  EXPECT_EQ(nv_batch_column_metadata(batch.get(), 0, nullptr), nullptr);
  EXPECT_EQ(nv_batch_num_rows(nullptr), 0);
  EXPECT_EQ(nv_batch_num_columns(nullptr), 0);
  nv_batch_free(nullptr);
}

TEST(CellAccess, TypedValuesNullsAndInvalidCalls) {
  BatchPtr batch = make_batch({
      {"i32", arrow::int32(), "[7, null, -3]"},
      {"i64", arrow::int64(), "[9000000000, 1, null]"},
      {"u16", arrow::uint16(), "[65535, 0, 1]"},
      {"f64", arrow::float64(), "[1.5, null, -0.0]"},
      {"b", arrow::boolean(), "[true, false, null]"},
      {"d32", arrow::date32(), "[19000, -1, 0]"},
      {"ts", arrow::timestamp(arrow::TimeUnit::MICRO), "[-1, 0, 1]"},
      {"t64", arrow::time64(arrow::TimeUnit::NANO), "[1500, 0, 0]"},
      {"nothing", arrow::null(), "[null, null, null]"},
  });
  NVArrowBatch* b = batch.get();
  int32_t i32 = 42;
  EXPECT_EQ(nv_get_int32(b, 0, 0, &i32), 1);
  EXPECT_EQ(i32, 7);
  i32 = 42;
  EXPECT_EQ(nv_get_int32(b, 0, 1, &i32), 0);
  EXPECT_EQ(i32, 42) << "a null cell leaves the output untouched";
  EXPECT_EQ(nv_get_int32(b, 1, 0, &i32), -1) << "no widening from int64";
  EXPECT_EQ(nv_get_int32(b, 0, 3, &i32), -1);
  EXPECT_EQ(nv_get_int32(b, 0, -1, &i32), -1);
  EXPECT_EQ(nv_get_int32(b, 9, 0, &i32), -1);
  EXPECT_EQ(nv_get_int32(nullptr, 0, 0, &i32), -1);
  EXPECT_EQ(nv_get_int32(b, 0, 2, nullptr), 1);
  int64_t i64 = 0;
  EXPECT_EQ(nv_get_int64(b, 1, 0, &i64), 1);
  EXPECT_EQ(i64, 9000000000LL);
  uint16_t u16 = 0;
  EXPECT_EQ(nv_get_uint16(b, 2, 0, &u16), 1);
  EXPECT_EQ(u16, 65535);
  EXPECT_EQ(nv_get_int16(b, 2, 0, nullptr), -1);
  double f64 = 0;
  EXPECT_EQ(nv_get_float64(b, 3, 2, &f64), 1);
  EXPECT_TRUE(std::signbit(f64));
  float f32;
  EXPECT_EQ(nv_get_float32(b, 3, 0, &f32), -1);
  int32_t flag = 5;
  EXPECT_EQ(nv_get_bool(b, 4, 0, &flag), 1);
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(nv_get_bool(b, 4, 1, &flag), 1);
  EXPECT_EQ(flag, 0);
  EXPECT_EQ(nv_get_bool(b, 4, 2, &flag), 0);
  int32_t days = 0;
  EXPECT_EQ(nv_get_date32(b, 5, 1, &days), 1);
  EXPECT_EQ(days, -1);
  EXPECT_EQ(nv_get_timestamp(b, 6, 0, &i64), 1);
  EXPECT_EQ(i64, -1);
  EXPECT_EQ(nv_get_time64(b, 7, 0, &i64), 1);
  EXPECT_EQ(i64, 1500);
  EXPECT_EQ(nv_get_time32(b, 7, 0, &i32), -1);
  // nv_is_null: 1 for null cells and for every invalid call.
  EXPECT_EQ(nv_is_null(b, 0, 0), 0);
  EXPECT_EQ(nv_is_null(b, 0, 1), 1);
  EXPECT_EQ(nv_is_null(b, 8, 0), 1) << "a null-type column has no bitmap but is all null";
  EXPECT_EQ(nv_is_null(b, 0, 3), 1);
  EXPECT_EQ(nv_is_null(b, 99, 0), 1);
  EXPECT_EQ(nv_is_null(nullptr, 0, 0), 1);
}

TEST(CellAccess, SlicedColumnsReadTheirOwnRows) {
  auto full = json_array(arrow::int32(), "[1, null, 3, 4]");
  auto sliced = full->Slice(1, 3);
  BatchPtr batch = batch_of({arrow::field("c", arrow::int32())}, {sliced});
  int32_t v = 0;
  EXPECT_EQ(nv_get_int32(batch.get(), 0, 0, &v), 0);
  EXPECT_EQ(nv_get_int32(batch.get(), 0, 1, &v), 1);
  EXPECT_EQ(v, 3);
  EXPECT_EQ(nv_get_int32(batch.get(), 0, 3, &v), -1);
}

TEST(CellAccess, TextBinaryAndDecimalBytes) {
  BatchPtr batch = make_batch({
      {"s", arrow::utf8(), R"(["abc", null])"},
      {"ls", arrow::large_utf8(), R"(["large", ""])"},
      {"sv", arrow::utf8_view(), R"(["a string longer than twelve bytes", "short"])"},
      {"bin", arrow::binary(), R"(["\u0000\u00ab", "z"])"},
      {"fsb", arrow::fixed_size_binary(3), R"(["xyz", "abc"])"},
      {"bv", arrow::binary_view(), R"(["qq", "r"])"},
      {"d128", arrow::decimal128(10, 2), R"(["-1.50", null])"},
      {"d256", arrow::decimal256(40, 0), R"(["-1", "2"])"},
  });
  NVArrowBatch* b = batch.get();
  const char* text = nullptr;
  int32_t length = -1;
  EXPECT_EQ(nv_get_utf8(b, 0, 0, &text, &length), 1);
  EXPECT_EQ(std::string(text, length), "abc");
  EXPECT_EQ(nv_get_utf8(b, 0, 1, &text, &length), 0);
  EXPECT_EQ(nv_get_utf8(b, 1, 0, &text, &length), 1);
  EXPECT_EQ(std::string(text, length), "large");
  EXPECT_EQ(nv_get_utf8(b, 2, 0, &text, &length), 1);
  EXPECT_EQ(std::string(text, length), "a string longer than twelve bytes");
  EXPECT_EQ(nv_get_utf8(b, 2, 1, &text, &length), 1);
  EXPECT_EQ(std::string(text, length), "short");
  EXPECT_EQ(nv_get_utf8(b, 3, 0, &text, &length), -1) << "binary is not text";
  const uint8_t* data = nullptr;
  EXPECT_EQ(nv_get_binary(b, 3, 0, &data, &length), 1);
  // JSON "\u00ab" is the UTF-8 pair C2 AB.
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(data), length), std::string("\0\xC2\xAB", 3));
  EXPECT_EQ(nv_get_binary(b, 4, 1, &data, &length), 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(data), length), "abc");
  EXPECT_EQ(nv_get_binary(b, 5, 0, &data, &length), 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(data), length), "qq");
  EXPECT_EQ(nv_get_binary(b, 0, 0, &data, &length), -1);
  uint8_t dec[16];
  EXPECT_EQ(nv_get_decimal128(b, 6, 0, dec), 1);
  __int128 value;
  std::memcpy(&value, dec, 16);
  EXPECT_TRUE(value == -150);
  EXPECT_EQ(nv_get_decimal128(b, 6, 1, dec), 0);
  EXPECT_EQ(nv_get_decimal128(b, 7, 0, dec), -1);
  uint8_t wide[32];
  EXPECT_EQ(nv_get_decimal256(b, 7, 0, wide), 1);
  for (uint8_t byte : wide) EXPECT_EQ(byte, 0xFF) << "-1 in two's complement";
}

}  // namespace
