#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "batch_fixture.h"
#include "cells/text_columns_internal.h"
#include "test_seed.h"
#include "util/json_writer_internal.h"

namespace {

struct Text {
  int32_t rc;
  std::string text;
};

Text cell(NVArrowBatch* b, int column, int64_t row, size_t capacity = 256) {
  std::string buffer(capacity, '\x7f');
  const int32_t rc = nv_format_cell(b, column, row, capacity ? buffer.data() : nullptr, capacity);
  return {rc, capacity ? std::string(buffer.c_str()) : std::string()};
}

Text legacy(NVArrowBatch* b, int column, int64_t row, size_t capacity = 256) {
  std::string buffer(capacity, '\x7f');
  const int32_t rc = norvale::cells::nv_format_cell_legacy_path(b, column, row, buffer.data(),
                                                                capacity);
  return {rc, std::string(buffer.c_str())};
}

std::string view(NVArrowBatch* b, int column, int64_t row) {
  const char* p = nullptr;
  int32_t n = 0;
  const int rc = nv_batch_string_view(b, column, row, &p, &n);
  if (rc != 1) return "<rc " + std::to_string(rc) + ">";
  return std::string(p, n);
}

TEST(CellFormat, FloatColumn) {
  arrow::DoubleBuilder builder;
  ASSERT_TRUE(builder.Append(0.1).ok());
  ASSERT_TRUE(builder.Append(std::nan("")).ok());
  ASSERT_TRUE(builder.Append(-std::numeric_limits<double>::infinity()).ok());
  ASSERT_TRUE(builder.AppendNull().ok());
  ASSERT_TRUE(builder.Append(1e17).ok());
  ASSERT_TRUE(builder.Append(-0.0).ok());
  ASSERT_TRUE(builder.Append(std::numeric_limits<double>::infinity()).ok());
  BatchPtr batch = batch_of({arrow::field("f", arrow::float64())}, {*builder.Finish()});
  const char* expected[] = {"0.1", "NaN", "-Infinity", "", "1e+17", "-0", "Infinity"};
  for (int row = 0; row < 7; ++row) {
    const Text t = cell(batch.get(), 0, row);
    EXPECT_EQ(t.text, expected[row]);
    EXPECT_EQ(t.rc, static_cast<int32_t>(std::strlen(expected[row])));
  }
  EXPECT_EQ(view(batch.get(), 0, 3), "<rc 0>");
  EXPECT_EQ(nv_batch_string_is_ascii(batch.get(), 0), 1);
}

TEST(CellFormat, FloatColumnsMatchTheShortestTextAndKeepNullsWhenSliced) {
  std::mt19937_64 rng(nv_test_seed());
  arrow::FloatBuilder floats;
  arrow::DoubleBuilder doubles;
  std::vector<bool> valid;
  for (int i = 0; i < 2003; ++i) {
    uint64_t bits = rng();
    double d;
    std::memcpy(&d, &bits, 8);
    float f;
    uint32_t fbits = static_cast<uint32_t>(bits >> 7);
    std::memcpy(&f, &fbits, 4);
    valid.push_back(rng() % 5 != 0);
    ASSERT_TRUE((valid.back() ? doubles.Append(d) : doubles.AppendNull()).ok());
    ASSERT_TRUE((valid.back() ? floats.Append(f) : floats.AppendNull()).ok());
  }
  // Slicing at an odd offset makes the text column copy the validity bitmap.
  auto d = (*doubles.Finish())->Slice(3);
  auto f = (*floats.Finish())->Slice(3);
  BatchPtr batch = batch_of(
      {arrow::field("d", arrow::float64()), arrow::field("f", arrow::float32())}, {d, f});
  for (int64_t row = 0; row < d->length(); ++row) {
    const Text td = cell(batch.get(), 0, row);
    const Text tf = cell(batch.get(), 1, row);
    if (!valid[row + 3]) {
      ASSERT_EQ(td.rc, 0);
      ASSERT_EQ(tf.rc, 0);
      ASSERT_EQ(nv_is_null(batch.get(), 0, row), 1);
      continue;
    }
    char want[32];
    const int nd = nv_ryu_format_double_general(
        want, sizeof(want), static_cast<const arrow::DoubleArray&>(*d).Value(row));
    ASSERT_EQ(td.text, std::string(want, nd));
    const int nf = nv_ryu_format_float_general(
        want, sizeof(want), static_cast<const arrow::FloatArray&>(*f).Value(row));
    ASSERT_EQ(tf.text, std::string(want, nf));
  }
}

TEST(CellFormat, BinaryAsHexAndTruncation) {
  BatchPtr batch = make_batch({
      {"b", arrow::binary(), R"(["\u0000\u00ff", "", null])"},
      {"fsb", arrow::fixed_size_binary(2), R"(["AB", "ab", null])"},
      {"lb", arrow::large_binary(), R"(["z", "", null])"},
      {"bv", arrow::binary_view(), R"(["xyz", "", null])"},
  });
  // "\u00ff" is the UTF-8 pair C3 BF.
  EXPECT_EQ(cell(batch.get(), 0, 0).text, "0x00c3bf");
  EXPECT_EQ(cell(batch.get(), 0, 1).text, "0x");
  EXPECT_EQ(cell(batch.get(), 0, 2).rc, 0);
  EXPECT_EQ(cell(batch.get(), 1, 0).text, "0x4142");
  EXPECT_EQ(cell(batch.get(), 2, 0).text, "0x7a");
  EXPECT_EQ(cell(batch.get(), 3, 0).text, "0x78797a");
  const Text cut = cell(batch.get(), 1, 1, 3);
  EXPECT_EQ(cut.rc, 6);
  EXPECT_EQ(cut.text, "0x");
  EXPECT_EQ(cell(batch.get(), 1, 1, 0).rc, 6) << "no buffer: only the length";
  const Text legacy_cut = legacy(batch.get(), 1, 1, 3);
  EXPECT_EQ(legacy_cut.rc, 6);
  EXPECT_EQ(legacy_cut.text, "0x");
  EXPECT_EQ(nv_batch_string_is_ascii(batch.get(), 0), 1);
}

TEST(CellFormat, DecimalsAtTheirScale) {
  arrow::Decimal128Builder b128(arrow::decimal128(10, 2));
  ASSERT_TRUE(b128.Append(arrow::Decimal128(-5)).ok());
  ASSERT_TRUE(b128.Append(arrow::Decimal128(12345)).ok());
  ASSERT_TRUE(b128.AppendNull().ok());
  ASSERT_TRUE(b128.Append(arrow::Decimal128(0)).ok());
  arrow::Decimal128Builder neg_scale(arrow::decimal128(10, -2));
  for (int v : {7, -7, 0, 1}) ASSERT_TRUE(neg_scale.Append(arrow::Decimal128(v)).ok());
  arrow::Decimal256Builder b256(arrow::decimal256(76, 3));
  ASSERT_TRUE(b256.Append(*arrow::Decimal256::FromString(
                  "-1234567890123456789012345678901234567890123456789012345678901234.567"))
                  .ok());
  ASSERT_TRUE(b256.Append(arrow::Decimal256(5)).ok());
  ASSERT_TRUE(b256.AppendNull().ok());
  ASSERT_TRUE(b256.Append(arrow::Decimal256(-1000)).ok());
  BatchPtr batch = batch_of({arrow::field("a", arrow::decimal128(10, 2)),
                             arrow::field("b", arrow::decimal128(10, -2)),
                             arrow::field("c", arrow::decimal256(76, 3))},
                            {*b128.Finish(), *neg_scale.Finish(), *b256.Finish()});
  struct Case {
    int column;
    int row;
    const char* text;
  };
  const Case cases[] = {
      {0, 0, "-0.05"}, {0, 1, "123.45"}, {0, 2, ""}, {0, 3, "0.00"},
      {1, 0, "700"},   {1, 1, "-700"},   {1, 2, "000"}, {1, 3, "100"},
      {2, 0, "-1234567890123456789012345678901234567890123456789012345678901234.567"},
      {2, 1, "0.005"}, {2, 2, ""},       {2, 3, "-1.000"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(cell(batch.get(), c.column, c.row).text, c.text) << c.column << "/" << c.row;
    EXPECT_EQ(legacy(batch.get(), c.column, c.row).text, c.text) << c.column << "/" << c.row;
  }
  EXPECT_EQ(nv_format_decimal128(batch.get(), 0, 0, nullptr, 0), 5);
  EXPECT_EQ(nv_format_decimal128(batch.get(), 2, 0, nullptr, 0), -1) << "decimal256 column";
  EXPECT_EQ(nv_format_decimal128(batch.get(), 0, 4, nullptr, 0), -1);
}

TEST(CellFormat, SingleTypeTemporalFormatters) {
  BatchPtr batch = make_batch({
      {"utc", arrow::timestamp(arrow::TimeUnit::MICRO, "UTC"), "[-1, 0, null]"},
      {"naive", arrow::timestamp(arrow::TimeUnit::MICRO), "[-1, 1709211909123456, null]"},
      {"ns", arrow::timestamp(arrow::TimeUnit::NANO), "[-1, 1500, 0]"},
      {"s", arrow::timestamp(arrow::TimeUnit::SECOND), "[-62135596800, 253402300799, 0]"},
      {"d", arrow::date32(), "[0, -1, 19782]"},
      {"t64ns", arrow::time64(arrow::TimeUnit::NANO), "[1500, 86399999999999, null]"},
      {"t32ms", arrow::time32(arrow::TimeUnit::MILLI), "[1500, 0, -1]"},
      {"t32s", arrow::time32(arrow::TimeUnit::SECOND), "[3723, 0, 86400]"},
      {"t64us", arrow::time64(arrow::TimeUnit::MICRO), "[1, 0, 0]"},
  });
  using Formatter = int32_t (*)(NVArrowBatch*, int, int64_t, char*, size_t);
  struct Case {
    Formatter f;
    int column;
    int row;
    int32_t rc;
    const char* text;
  };
  const Case cases[] = {
      {nv_format_timestamp, 0, 0, 32, "1969-12-31 23:59:59.999999+00:00"},
      {nv_format_timestamp, 0, 1, 32, "1970-01-01 00:00:00.000000+00:00"},
      {nv_format_timestamp, 0, 2, 0, ""},
      {nv_format_timestamp, 1, 0, 26, "1969-12-31 23:59:59.999999"},
      {nv_format_timestamp, 1, 1, 26, "2024-02-29 13:05:09.123456"},
      // The unit's digits: nanoseconds kept, seconds without a fraction.
      {nv_format_timestamp, 2, 0, 29, "1969-12-31 23:59:59.999999999"},
      {nv_format_timestamp, 2, 1, 29, "1970-01-01 00:00:00.000001500"},
      {nv_format_timestamp, 3, 0, 19, "0001-01-01 00:00:00"},
      {nv_format_timestamp, 3, 1, 19, "9999-12-31 23:59:59"},
      {nv_format_timestamp, 4, 0, -1, ""},
      {nv_format_date32, 4, 0, 10, "1970-01-01"},
      {nv_format_date32, 4, 1, 10, "1969-12-31"},
      {nv_format_date32, 4, 2, 10, "2024-02-29"},
      {nv_format_date32, 0, 0, -1, ""},
      {nv_format_time, 5, 0, 18, "00:00:00.000001500"},
      {nv_format_time, 5, 1, 18, "23:59:59.999999999"},
      {nv_format_time, 5, 2, 0, ""},
      {nv_format_time, 6, 0, 12, "00:00:01.500"},
      // Outside a day: an error, not text.
      {nv_format_time, 6, 2, -1, ""},
      {nv_format_time, 7, 0, 8, "01:02:03"},
      {nv_format_time, 7, 2, 8, "24:00:00"},
      {nv_format_time, 8, 0, 15, "00:00:00.000001"},
      {nv_format_time, 0, 0, -1, ""},
      {nv_format_time, 5, 3, -1, ""},
  };
  for (const Case& c : cases) {
    char buffer[64] = "untouched";
    const int32_t rc = c.f(batch.get(), c.column, c.row, buffer, sizeof(buffer));
    EXPECT_EQ(rc, c.rc) << c.text;
    if (rc >= 0) {
      EXPECT_STREQ(buffer, c.text);
    }
  }
  // Through the cell path these types use Arrow's own text.
  EXPECT_EQ(cell(batch.get(), 4, 2).text, "2024-02-29");
  EXPECT_EQ(nv_batch_string_is_ascii(batch.get(), 4), 1);
}

TEST(CellFormat, NestedValuesAsJson) {
  auto list_type = arrow::list(arrow::int64());
  auto struct_type =
      arrow::struct_({arrow::field("a", arrow::int32()), arrow::field("b", arrow::utf8())});
  auto map_type = arrow::map(arrow::utf8(), arrow::float64());
  auto int_map = arrow::map(arrow::int32(), arrow::boolean());
  auto utc_ms = arrow::timestamp(arrow::TimeUnit::MILLI, "UTC");
  auto odd_struct = arrow::struct_({arrow::field("q\"", arrow::date32()),
                                    arrow::field("t", utc_ms),
                                    arrow::field("d", arrow::decimal128(5, 2)),
                                    arrow::field("bin", arrow::binary()),
                                    arrow::field("iv", arrow::month_interval())});
  BatchPtr batch = make_batch({
      {"l", list_type, "[[1, 2, null], [], null]"},
      {"s", struct_type, R"([{"a": 7, "b": "x"}, {"a": null, "b": "tab\tq\"\u0001"}, null])"},
      {"m", map_type, R"([[["k", 1.5], ["z", null]], [], null])"},
      {"im", int_map, R"([[[1, true]], [[2, false], [3, null]], null])"},
      {"o", odd_struct,
       R"([{"q\"": 19782, "t": -1, "d": "-1.50", "bin": "\u0001A", "iv": 3}, null, null])"},
  });
  struct Case {
    int column;
    int row;
    const char* text;
  };
  const Case cases[] = {
      {0, 0, "[1,2,null]"},
      {0, 1, "[]"},
      {0, 2, ""},
      {1, 0, R"({"a":7,"b":"x"})"},
      {1, 1, R"({"a":null,"b":"tab\tq\"\u0001"})"},
      {2, 0, R"({"k":1.5,"z":null})"},
      {2, 1, "{}"},
      {3, 0, R"({"1":true})"},
      {3, 1, R"({"2":false,"3":null})"},
      {4, 0,
       R"({"q\"":"2024-02-29","t":"1969-12-31 23:59:59.999+00:00","d":"-1.50",)"
       R"("bin":"0x0141","iv":"3 mons"})"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(cell(batch.get(), c.column, c.row, 1024).text, c.text) << c.column << "/" << c.row;
  }
  EXPECT_EQ(cell(batch.get(), 0, 2).rc, 0);
}

TEST(CellFormat, DepthAndLengthLimits) {
  // Nine nested lists around one integer: the ninth level is written as "...".
  std::shared_ptr<arrow::DataType> type = arrow::int32();
  std::string json = "1";
  for (int i = 0; i < 9; ++i) {
    type = arrow::list(type);
    json = "[" + json + "]";
  }
  BatchPtr deep = single_column(type, "[" + json + "]");
  EXPECT_EQ(cell(deep.get(), 0, 0).text, "[[[[[[[[\"...\"]]]]]]]]");
  // Eight levels fit whole.
  BatchPtr eight = single_column(arrow::list(arrow::list(arrow::list(arrow::list(
                                     arrow::list(arrow::list(arrow::list(arrow::list(
                                         arrow::int8())))))))),
                                 "[[[[[[[[[5]]]]]]]]]");
  EXPECT_EQ(cell(eight.get(), 0, 0).text, "[[[[[[[[5]]]]]]]]");
  // A list whose text passes 4096 characters ends in "..." exactly at the limit.
  std::string values = "[";
  for (int i = 0; i < 1000; ++i) values += (i ? ",123456789" : "123456789");
  values += "]";
  BatchPtr long_list = single_column(arrow::list(arrow::int32()), "[" + values + "]");
  const Text t = cell(long_list.get(), 0, 0, 9000);
  EXPECT_EQ(t.rc, 4096);
  EXPECT_EQ(t.text.substr(t.text.size() - 3), "...");
  EXPECT_EQ(t.text.substr(0, 20), "[123456789,123456789");
}

TEST(CellFormat, JsonWriterLimits) {
  norvale::JsonCtx ctx(10);
  ctx.put("abcdefghijklmnopqrst", 20);
  EXPECT_EQ(ctx.out, "abcdefg...");
  EXPECT_TRUE(ctx.truncated);
  ctx.put("more", 4);
  EXPECT_EQ(ctx.out, "abcdefg...");
  norvale::JsonCtx tiny(2);
  tiny.put("abc", 3);
  EXPECT_EQ(tiny.out, "...");
  norvale::JsonCtx s(100);
  const std::string raw = std::string("a\"b\\c\b\f\n\r\t") + '\x1f' + "\xC3\xA9";
  norvale::emit_json_string(s, raw.data(), raw.size());
  EXPECT_EQ(s.out, "\"a\\\"b\\\\c\\b\\f\\n\\r\\t\\u001f\xC3\xA9\"");
  norvale::JsonCtx cut(12);
  norvale::emit_json_string(cut, "0123456789abcdef", 16);
  EXPECT_EQ(cut.out, "\"01234567...");
}

TEST(CellFormat, TextCacheViewsAndAscii) {
  BatchPtr batch = make_batch({
      {"s", arrow::utf8(), R"(["plain", "caf\u00e9", null])"},
      {"i", arrow::int32(), "[1, -2, null]"},
      {"ls", arrow::large_utf8(), R"(["big", "x", null])"},
      {"sv", arrow::utf8_view(), R"(["a view longer than twelve", "ok", null])"},
      {"ascii", arrow::utf8(), R"(["a", "b", "c"])"},
  });
  NVArrowBatch* b = batch.get();
  EXPECT_EQ(view(b, 0, 1), "caf\xC3\xA9");
  EXPECT_EQ(view(b, 0, 2), "<rc 0>");
  EXPECT_EQ(view(b, 0, -1), "<rc -1>");
  EXPECT_EQ(view(b, 0, 3), "<rc -1>");
  EXPECT_EQ(view(b, 5, 0), "<rc -1>");
  EXPECT_EQ(view(nullptr, 0, 0), "<rc -1>");
  // utf8 columns are served from the column itself.
  const char* p = nullptr;
  int32_t n = 0;
  ASSERT_EQ(nv_batch_string_view(b, 0, 0, &p, &n), 1);
  const auto& source = static_cast<const arrow::StringArray&>(*b->record_batch->column(0));
  EXPECT_EQ(p, source.GetView(0).data());
  EXPECT_EQ(nv_batch_string_is_ascii(b, 0), 0);
  EXPECT_EQ(b->ascii_flags[0], 0);
  EXPECT_EQ(view(b, 1, 1), "-2");
  EXPECT_EQ(b->ascii_flags[1], 1) << "decided when the column was built, not by scanning";
  EXPECT_EQ(nv_batch_string_is_ascii(b, 1), 1);
  EXPECT_EQ(view(b, 2, 0), "big");
  EXPECT_EQ(view(b, 3, 0), "a view longer than twelve");
  EXPECT_EQ(nv_batch_string_is_ascii(b, 3), 1);
  EXPECT_EQ(nv_batch_string_is_ascii(b, 4), 1);
  EXPECT_EQ(nv_batch_string_is_ascii(b, 9), -1);
  EXPECT_EQ(nv_batch_string_is_ascii(nullptr, 0), -1);
  // The cache is built once: the same array on later calls.
  const auto first = b->text_columns[1];
  EXPECT_EQ(cell(b, 1, 0).text, "1");
  EXPECT_EQ(b->text_columns[1], first);
  EXPECT_EQ(cell(nullptr, 0, 0).rc, -1);
  EXPECT_EQ(cell(b, 7, 0).rc, -1);
  EXPECT_EQ(cell(b, 0, 9).rc, -1);
}

TEST(CellFormat, ColumnsWithoutTextUseTheLegacyPath) {
  // A time of day past 24:00:00 leaves the column without a text column: the other cells are
  // formatted one by one, and the bad one is an error rather than text that reads like data.
  BatchPtr batch =
      make_batch({{"t", arrow::time32(arrow::TimeUnit::SECOND), "[3723, 90000, null]"}});
  EXPECT_EQ(cell(batch.get(), 0, 0).text, "01:02:03");
  EXPECT_EQ(cell(batch.get(), 0, 1).rc, -1);
  EXPECT_EQ(cell(batch.get(), 0, 2).rc, 0);
  EXPECT_EQ(view(batch.get(), 0, 0), "<rc -1>");
  EXPECT_EQ(nv_batch_string_is_ascii(batch.get(), 0), -1);
  // A schema that claims another type does not steer the cell path.
  auto type = arrow::sparse_union({arrow::field("a", arrow::int32())}, {0});
  auto array = json_array(type, "[[0, 1], [0, null]]");
  BatchPtr mislabelled(norvale::cells::new_arrow_batch(
      arrow::RecordBatch::Make(arrow::schema({arrow::field("u", type)}), 2, {array}),
      arrow::schema({arrow::field("u", arrow::int32())})));
  EXPECT_EQ(cell(mislabelled.get(), 0, 0).text, "1");
  EXPECT_EQ(cell(mislabelled.get(), 0, 1).rc, 0) << "the union's own null test";
  EXPECT_EQ(nv_format_decimal128(mislabelled.get(), 0, 0, nullptr, 0), -1);
}

TEST(CellFormat, LegacyPathAgreesWithTheTextColumn) {
  BatchPtr batch = make_batch({
      {"b", arrow::boolean(), "[true, false, null]"},
      {"i8", arrow::int8(), "[-128, 127, null]"},
      {"i64", arrow::int64(), "[-9223372036854775808, 5, null]"},
      {"u64", arrow::uint64(), "[18446744073709551615, 0, null]"},
      {"f32", arrow::float32(), "[0.1, 3.4028235e38, null]"},
      {"f64", arrow::float64(), "[1e16, 1.5e-7, null]"},
      {"s", arrow::utf8(), R"(["x", "", null])"},
      {"bin", arrow::binary(), R"(["ab", "", null])"},
      {"date", arrow::date32(), "[0, 19782, null]"},
  });
  for (int column = 0; column < nv_batch_num_columns(batch.get()); ++column) {
    for (int row = 0; row < 3; ++row) {
      const Text direct = legacy(batch.get(), column, row);
      const Text cached = cell(batch.get(), column, row);
      EXPECT_EQ(direct.text, cached.text) << nv_batch_column_name(batch.get(), column) << row;
      EXPECT_EQ(direct.rc, cached.rc) << nv_batch_column_name(batch.get(), column) << row;
    }
  }
}

}  // namespace
