#include <gtest/gtest.h>

#include <cstring>

#include "batch_fixture.h"

namespace {

constexpr int16_t kCChar = 1, kCLong = 4, kCSLong = -16, kCSShort = -15, kCDouble = 8,
                  kCFloat = 7, kCBit = -7, kCUBigInt = -27, kCNumeric = 2, kCTypeDate = 91,
                  kCTypeTime = 92, kCTypeTimestamp = 93, kCTimestamp = 11, kCDefault = 99;

struct Staged {
  int status;
  const uint8_t* values;
  int64_t stride;
  const uint8_t* bitmap;
  int64_t bit_offset;

  template <typename T>
  T at(int64_t row, size_t offset = 0) const {
    T v;
    std::memcpy(&v, values + row * stride + offset, sizeof(T));
    return v;
  }
  bool valid(int64_t row) const {
    return bitmap == nullptr || ((bitmap[(bit_offset + row) / 8] >> ((bit_offset + row) % 8)) & 1);
  }
};

Staged staged(NVArrowBatch* b, int column) {
  Staged s{};
  const void* values = nullptr;
  s.status = nv_batch_get_staged(b, column, &values, &s.stride, &s.bitmap, &s.bit_offset);
  s.values = static_cast<const uint8_t*>(values);
  return s;
}

TEST(Staging, SameTypeIsNotCopied) {
  BatchPtr batch = single_column(arrow::int32(), "[1, null, 3]");
  ASSERT_EQ(nv_batch_stage_column(batch.get(), 0, kCSLong, 0), 1);
  const Staged s = staged(batch.get(), 0);
  ASSERT_EQ(s.status, 1);
  EXPECT_EQ(s.stride, 4);
  const auto& column = *batch->record_batch->column(0);
  EXPECT_EQ(s.values, column.data()->buffers[1]->data()) << "points into the column itself";
  EXPECT_EQ(s.at<int32_t>(2), 3);
  EXPECT_TRUE(s.valid(0));
  EXPECT_FALSE(s.valid(1));
}

TEST(Staging, CastsAreSafe) {
  BatchPtr batch = make_batch({
      {"big", arrow::int64(), "[1, 5000000000]"},
      {"small", arrow::int64(), "[1, -7]"},
      {"flag", arrow::boolean(), "[true, false]"},
      {"neg", arrow::int32(), "[1, -1]"},
      {"frac", arrow::float64(), "[1.5, 2]"},
  });
  NVArrowBatch* b = batch.get();
  EXPECT_EQ(nv_batch_stage_column(b, 0, kCLong, 0), 3) << "beyond 32 bits";
  EXPECT_EQ(staged(b, 0).status, 3);
  ASSERT_EQ(nv_batch_stage_column(b, 1, kCSShort, 0), 1);
  Staged s = staged(b, 1);
  EXPECT_EQ(s.stride, 2);
  EXPECT_EQ(s.at<int16_t>(1), -7);
  EXPECT_EQ(s.bitmap, nullptr);
  ASSERT_EQ(nv_batch_stage_column(b, 2, kCBit, 0), 1);
  s = staged(b, 2);
  EXPECT_EQ(s.stride, 1);
  EXPECT_EQ(s.at<uint8_t>(0), 1);
  EXPECT_EQ(s.at<uint8_t>(1), 0);
  EXPECT_EQ(nv_batch_stage_column(b, 3, kCUBigInt, 0), 3) << "negative to unsigned";
  EXPECT_EQ(nv_batch_stage_column(b, 4, kCLong, 0), 3) << "fraction would be truncated";
  ASSERT_EQ(nv_batch_stage_column(b, 4, kCFloat, 0), 1);
  EXPECT_EQ(staged(b, 4).at<float>(0), 1.5f);
}

TEST(Staging, SlicedColumnOffsets) {
  auto full = json_array(arrow::int64(), "[10, null, 30, 40, null]");
  BatchPtr batch = batch_of({arrow::field("c", arrow::int64())}, {full->Slice(2, 3)});
  ASSERT_EQ(nv_batch_stage_column(batch.get(), 0, kCLong, 0), 1);
  const Staged s = staged(batch.get(), 0);
  EXPECT_EQ(s.at<int32_t>(0), 30);
  EXPECT_EQ(s.at<int32_t>(1), 40);
  EXPECT_TRUE(s.valid(0));
  EXPECT_FALSE(s.valid(2));
  // Zero-copy on the sliced array itself: offset applied to the pointer and the bitmap.
  ASSERT_EQ(nv_batch_stage_column(batch.get(), 0, -25, 0), 1);
  const Staged same = staged(batch.get(), 0);
  EXPECT_EQ(same.at<int64_t>(1), 40);
  EXPECT_EQ(same.bit_offset, 2);
  EXPECT_FALSE(same.valid(2));
}

TEST(Staging, DecimalToNumericStructAndFloats) {
  BatchPtr batch = single_column(arrow::decimal128(10, 2), R"(["-1.50", null, "12345678.91"])");
  NVArrowBatch* b = batch.get();
  ASSERT_EQ(nv_batch_stage_column(b, 0, kCNumeric, 0), 1);
  Staged s = staged(b, 0);
  ASSERT_EQ(s.stride, 19);
  EXPECT_EQ(s.at<uint8_t>(0, 0), 10);
  EXPECT_EQ(s.at<uint8_t>(0, 1), 2);
  EXPECT_EQ(s.at<uint8_t>(0, 2), 0) << "negative";
  EXPECT_TRUE(s.at<unsigned __int128>(0, 3) == 150);
  for (int i = 0; i < 19; ++i) EXPECT_EQ(s.values[19 + i], 0) << "null row stays zero";
  EXPECT_FALSE(s.valid(1));
  EXPECT_EQ(s.at<uint8_t>(2, 2), 1);
  EXPECT_TRUE(s.at<unsigned __int128>(2, 3) == 1234567891);
  // Another C type converts again.
  ASSERT_EQ(nv_batch_stage_column(b, 0, kCDouble, 0), 1);
  s = staged(b, 0);
  EXPECT_EQ(s.stride, 8);
  EXPECT_DOUBLE_EQ(s.at<double>(0), -1.5);
  EXPECT_EQ(s.at<double>(1), 0.0);
  EXPECT_DOUBLE_EQ(s.at<double>(2), 12345678.91);
  ASSERT_EQ(nv_batch_stage_column(b, 0, kCFloat, 0), 1);
  EXPECT_FLOAT_EQ(staged(b, 0).at<float>(0), -1.5f);
  // A negative scale multiplies.
  arrow::Decimal128Builder builder(arrow::decimal128(5, -2));
  ASSERT_TRUE(builder.Append(arrow::Decimal128(12)).ok());
  BatchPtr wide = batch_of({arrow::field("c", arrow::decimal128(5, -2))}, {*builder.Finish()});
  ASSERT_EQ(nv_batch_stage_column(wide.get(), 0, kCDouble, 0), 1);
  EXPECT_EQ(staged(wide.get(), 0).at<double>(0), 1200.0);
}

TEST(Staging, NotOfferedConversions) {
  BatchPtr batch = make_batch({
      {"f", arrow::float64(), "[1.5]"},
      {"s", arrow::utf8(), R"(["x"])"},
      {"i", arrow::int32(), "[1]"},
  });
  NVArrowBatch* b = batch.get();
  EXPECT_EQ(nv_batch_stage_column(b, 0, kCNumeric, 0), 2);
  EXPECT_EQ(nv_batch_stage_column(b, 2, kCNumeric, 0), 2);
  EXPECT_EQ(nv_batch_stage_column(b, 2, kCChar, 0), 2);
  EXPECT_EQ(nv_batch_stage_column(b, 1, kCChar, 0), 2);
  EXPECT_EQ(nv_batch_stage_column(b, 1, kCTypeDate, 0), 2);
  EXPECT_EQ(nv_batch_stage_column(b, 2, kCTypeTime, 0), 2);
  EXPECT_EQ(nv_batch_stage_column(b, 2, kCTypeTimestamp, 0), 2);
  EXPECT_EQ(nv_batch_stage_column(b, 2, kCDefault, 0), 2) << "no default C type";
  EXPECT_EQ(staged(b, 0).status, 2);
  EXPECT_EQ(staged(b, 0).values, nullptr);
  char state[6] = "";
  char err[256] = "";
  uint8_t record[19];
  EXPECT_EQ(nv_pack_double_to_numeric(1.5, 10, 2, record, state, err, sizeof(err)), -1);
  EXPECT_STREQ(state, "HYC00");
  EXPECT_EQ(std::string(err).rfind("nv_pack_double_to_numeric: ADBC bridge does not implement", 0),
            0u);
}

TEST(Staging, DatesTimesAndTimestamps) {
  BatchPtr batch = make_batch({
      {"d32", arrow::date32(), "[0, -1, 19782, null]"},
      {"d64", arrow::date64(), "[86400000, -1, 0, 1709164800000]"},
      {"ts_us", arrow::timestamp(arrow::TimeUnit::MICRO), "[-1, 0, 1709211909500000, null]"},
      {"t64", arrow::time64(arrow::TimeUnit::NANO), "[90000000000000, 3723000000000, 0, -5]"},
      {"t32", arrow::time32(arrow::TimeUnit::MILLI), "[1500, 0, 86399999, 0]"},
      {"ts_s", arrow::timestamp(arrow::TimeUnit::SECOND), "[-62135596800, 0, 0, 0]"},
  });
  NVArrowBatch* b = batch.get();
  struct Date {
    int16_t y;
    uint16_t m, d;
  };
  auto date_at = [](const Staged& s, int64_t row) {
    return Date{s.at<int16_t>(row), s.at<uint16_t>(row, 2), s.at<uint16_t>(row, 4)};
  };
  ASSERT_EQ(nv_batch_stage_column(b, 0, kCTypeDate, 0), 1);
  Staged s = staged(b, 0);
  EXPECT_EQ(s.stride, 6);
  Date d = date_at(s, 1);
  EXPECT_EQ(d.y, 1969);
  EXPECT_EQ(d.m, 12);
  EXPECT_EQ(d.d, 31);
  d = date_at(s, 2);
  EXPECT_EQ(d.y, 2024);
  EXPECT_EQ(d.m, 2);
  EXPECT_EQ(d.d, 29);
  EXPECT_FALSE(s.valid(3));
  ASSERT_EQ(nv_batch_stage_column(b, 1, 9, 0), 1);
  s = staged(b, 1);
  EXPECT_EQ(date_at(s, 0).d, 2);
  EXPECT_EQ(date_at(s, 1).y, 1969) << "a millisecond before the epoch is the day before";
  EXPECT_EQ(date_at(s, 3).d, 29);
  ASSERT_EQ(nv_batch_stage_column(b, 2, kCTypeDate, 0), 1);
  EXPECT_EQ(date_at(staged(b, 2), 0).y, 1969);

  ASSERT_EQ(nv_batch_stage_column(b, 2, kCTypeTimestamp, 0), 1);
  s = staged(b, 2);
  EXPECT_EQ(s.stride, 16);
  EXPECT_EQ(s.at<int16_t>(0, 0), 1969);
  EXPECT_EQ(s.at<uint16_t>(0, 2), 12);
  EXPECT_EQ(s.at<uint16_t>(0, 4), 31);
  EXPECT_EQ(s.at<uint16_t>(0, 6), 23);
  EXPECT_EQ(s.at<uint16_t>(0, 8), 59);
  EXPECT_EQ(s.at<uint16_t>(0, 10), 59);
  EXPECT_EQ(s.at<uint32_t>(0, 12), 999999000u);
  EXPECT_EQ(s.at<uint16_t>(2, 6), 13);
  EXPECT_EQ(s.at<uint16_t>(2, 8), 5);
  EXPECT_EQ(s.at<uint16_t>(2, 10), 9);
  EXPECT_EQ(s.at<uint32_t>(2, 12), 500000000u);
  ASSERT_EQ(nv_batch_stage_column(b, 1, kCTimestamp, 0), 1);
  s = staged(b, 1);
  EXPECT_EQ(s.at<uint16_t>(1, 10), 59);
  EXPECT_EQ(s.at<uint32_t>(1, 12), 999000000u) << "negative remainder borrows a second";
  ASSERT_EQ(nv_batch_stage_column(b, 0, kCTimestamp, 0), 1);
  EXPECT_EQ(staged(b, 0).at<int16_t>(1, 0), 1969);
  ASSERT_EQ(nv_batch_stage_column(b, 5, kCTypeTimestamp, 0), 1);
  EXPECT_EQ(staged(b, 5).at<int16_t>(0, 0), 1);

  ASSERT_EQ(nv_batch_stage_column(b, 3, kCTypeTime, 0), 1);
  s = staged(b, 3);
  EXPECT_EQ(s.stride, 6);
  EXPECT_EQ(s.at<uint16_t>(0, 0), 23) << "more than a day clamps to 23:59:59";
  EXPECT_EQ(s.at<uint16_t>(0, 2), 59);
  EXPECT_EQ(s.at<uint16_t>(0, 4), 59);
  EXPECT_EQ(s.at<uint16_t>(1, 0), 1);
  EXPECT_EQ(s.at<uint16_t>(1, 2), 2);
  EXPECT_EQ(s.at<uint16_t>(1, 4), 3);
  EXPECT_EQ(s.at<uint16_t>(3, 4), 0) << "negative clamps to midnight";
  ASSERT_EQ(nv_batch_stage_column(b, 4, 10, 0), 1);
  s = staged(b, 4);
  EXPECT_EQ(s.at<uint16_t>(0, 4), 1);
  EXPECT_EQ(s.at<uint16_t>(2, 0), 23);
}

TEST(Staging, YearsBeyondSixteenBitsFail) {
  // Year 300000 cannot be written into DATE_STRUCT's signed 16-bit year.
  BatchPtr batch = single_column(arrow::timestamp(arrow::TimeUnit::SECOND), "[9400000000000]");
  EXPECT_EQ(nv_batch_stage_column(batch.get(), 0, kCTypeDate, 0), 3);
  EXPECT_EQ(nv_batch_stage_column(batch.get(), 0, kCTypeTimestamp, 0), 3);
}

TEST(Staging, RepeatsInvalidationAndBadArguments) {
  BatchPtr batch = make_batch({{"a", arrow::int64(), "[1, 2]"}, {"b", arrow::int32(), "[3, 4]"}});
  NVArrowBatch* b = batch.get();
  ASSERT_EQ(nv_batch_stage_column(b, 0, kCLong, 11), 1);
  const Staged first = staged(b, 0);
  ASSERT_EQ(nv_batch_stage_column(b, 0, kCLong, 99), 1);
  EXPECT_EQ(staged(b, 0).values, first.values) << "same C type: the first result stays";
  EXPECT_EQ(b->staged[0].parameter, 11);
  nv_batch_invalidate_staged(b, 0);
  EXPECT_EQ(staged(b, 0).status, 0);
  EXPECT_EQ(staged(b, 1).status, 0) << "never staged";
  nv_batch_invalidate_staged(b, 7);
  nv_batch_invalidate_staged(nullptr, 0);
  EXPECT_EQ(nv_batch_stage_column(nullptr, 0, kCLong, 0), 3);
  EXPECT_EQ(nv_batch_stage_column(b, 2, kCLong, 0), 3);
  EXPECT_EQ(nv_batch_stage_column(b, -1, kCLong, 0), 3);
  EXPECT_EQ(staged(nullptr, 0).status, 0);
  EXPECT_EQ(staged(b, -1).status, 0);
  EXPECT_EQ(staged(b, 5).status, 0);
  // An empty column is staged but has no values to point at.
  BatchPtr empty = single_column(arrow::int32(), "[]");
  EXPECT_EQ(nv_batch_stage_column(empty.get(), 0, kCTypeDate, 0), 2);
  EXPECT_EQ(nv_batch_stage_column(empty.get(), 0, kCDouble, 0), 1);
}

}  // namespace
