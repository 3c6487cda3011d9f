// One text per value for every Arrow type the service can send, the same through
// nv_format_cell, nv_batch_string_view and (quoted where JSON needs it) inside a list's JSON.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <arrow/api.h>
#include <arrow/compute/api.h>

#include "batch_fixture.h"
#include "norvale/nv_cells.h"

namespace {


std::string format_cell(NVArrowBatch* b, int column, int64_t row) {
  char buffer[512];
  const int32_t rc = nv_format_cell(b, column, row, buffer, sizeof(buffer));
  return rc < 0 ? "<rc " + std::to_string(rc) + ">" : std::string(buffer);
}

std::string view_cell(NVArrowBatch* b, int column, int64_t row) {
  const char* p = nullptr;
  int32_t n = 0;
  const int rc = nv_batch_string_view(b, column, row, &p, &n);
  return rc == 1 ? std::string(p, static_cast<size_t>(n)) : "<rc " + std::to_string(rc) + ">";
}

// A one-element list around the first value of `values`.
std::shared_ptr<arrow::Array> in_list(const std::shared_ptr<arrow::Array>& values) {
  auto offsets = json_array(arrow::int32(), "[0, 1]");
  return arrow::ListArray::FromArrays(*offsets, *values->Slice(0, 1)).ValueOrDie();
}

std::shared_ptr<arrow::Array> doubles(double v) {
  arrow::DoubleBuilder b;
  EXPECT_TRUE(b.Append(v).ok());
  return b.Finish().ValueOrDie();
}

std::shared_ptr<arrow::Array> dictionary(const std::shared_ptr<arrow::DataType>& index) {
  auto type = arrow::dictionary(index, arrow::utf8());
  return arrow::DictionaryArray::FromArrays(type, json_array(index, "[1, 0]"),
                                            json_array(arrow::utf8(), R"(["zero", "one"])"))
      .ValueOrDie();
}

std::shared_ptr<arrow::Array> run_end_encoded() {
  return arrow::RunEndEncodedArray::Make(3, json_array(arrow::int32(), "[2, 3]"),
                                         json_array(arrow::utf8(), R"(["a", "b"])"))
      .ValueOrDie();
}

TEST(TypeText, EveryTypeOneTextOnEveryPath) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* what;
    std::shared_ptr<arrow::Array> values;  // the first value is checked
    std::string text;                      // nv_format_cell and nv_batch_string_view
    std::string json;                      // the value inside a list's JSON
  };
  const std::vector<Case> cases = {
      // Dictionaries of every index width render their value, unquoted at the top.
      {"dict int8", dictionary(arrow::int8()), "one", R"("one")"},
      {"dict uint8", dictionary(arrow::uint8()), "one", R"("one")"},
      {"dict int16", dictionary(arrow::int16()), "one", R"("one")"},
      {"dict uint16", dictionary(arrow::uint16()), "one", R"("one")"},
      {"dict int32", dictionary(arrow::int32()), "one", R"("one")"},
      {"dict uint32", dictionary(arrow::uint32()), "one", R"("one")"},
      {"dict int64", dictionary(arrow::int64()), "one", R"("one")"},
      {"dict uint64", dictionary(arrow::uint64()), "one", R"("one")"},
      // Intervals, as "Y years M mons D days HH:MM:SS.fraction" with zero parts left out.
      {"months", json_array(arrow::month_interval(), "[14]"), "1 year 2 mons",
       R"("1 year 2 mons")"},
      {"months zero", json_array(arrow::month_interval(), "[0]"), "00:00:00", R"("00:00:00")"},
      {"day-time", json_array(arrow::day_time_interval(), "[[1, 500]]"), "1 day 00:00:00.5",
       R"("1 day 00:00:00.5")"},
      {"month-day-nano", json_array(arrow::month_day_nano_interval(), "[[-1, -2, -3723000000001]]"),
       "-1 mons -2 days -01:02:03.000000001", R"("-1 mons -2 days -01:02:03.000000001")"},
      {"month-day-nano hours",
       json_array(arrow::month_day_nano_interval(), "[[0, 0, 90000000000000]]"), "25:00:00",
       R"("25:00:00")"},
      // Containers and encodings.
      {"fixed-size list", json_array(arrow::fixed_size_list(arrow::int32(), 2), "[[1, 2]]"),
       "[1,2]", "[1,2]"},
      {"large list", json_array(arrow::large_list(arrow::int32()), "[[1, null]]"), "[1,null]",
       "[1,null]"},
      {"run-end encoded", run_end_encoded(), "a", R"("a")"},
      {"sparse union",
       json_array(arrow::sparse_union({arrow::field("i", arrow::int32()),
                                       arrow::field("s", arrow::utf8())},
                                      {0, 1}),
                  R"([[1, "x"]])"),
       "x", R"("x")"},
      {"dense union",
       json_array(arrow::dense_union({arrow::field("i", arrow::int32()),
                                      arrow::field("s", arrow::utf8())},
                                     {0, 1}),
                  "[[0, 5]]"),
       "5", "5"},
      // Large and view layouts of text and bytes.
      {"large utf8", json_array(arrow::large_utf8(), R"(["\u00e9"])"), "\xC3\xA9",
       "\"\xC3\xA9\""},
      {"utf8 view", json_array(arrow::utf8_view(), R"(["x"])"), "x", R"("x")"},
      {"large binary", json_array(arrow::large_binary(), R"(["AB"])"), "0x4142", R"("0x4142")"},
      {"binary view", json_array(arrow::binary_view(), R"(["AB"])"), "0x4142", R"("0x4142")"},
      // Non-finite floats: the words of the cell text, as JSON strings.
      {"NaN", doubles(std::nan("")), "NaN", R"("NaN")"},
      {"infinity", doubles(kInf), "Infinity", R"("Infinity")"},
      {"-infinity", doubles(-kInf), "-Infinity", R"("-Infinity")"},
      // Timestamps: UTC with an explicit offset when zoned, the unit's digits.
      {"ts ns zoned", json_array(arrow::timestamp(arrow::TimeUnit::NANO, "UTC"), "[1]"),
       "1970-01-01 00:00:00.000000001+00:00", R"("1970-01-01 00:00:00.000000001+00:00")"},
      {"ts ms other zone",
       json_array(arrow::timestamp(arrow::TimeUnit::MILLI, "America/New_York"), "[-1]"),
       "1969-12-31 23:59:59.999+00:00", R"("1969-12-31 23:59:59.999+00:00")"},
      {"ts s naive", json_array(arrow::timestamp(arrow::TimeUnit::SECOND), "[86400]"),
       "1970-01-02 00:00:00", R"("1970-01-02 00:00:00")"},
      {"ts us naive", json_array(arrow::timestamp(arrow::TimeUnit::MICRO), "[1]"),
       "1970-01-01 00:00:00.000001", R"("1970-01-01 00:00:00.000001")"},
      // Times of day and dates.
      {"time ns", json_array(arrow::time64(arrow::TimeUnit::NANO), "[86399999999999]"),
       "23:59:59.999999999", R"("23:59:59.999999999")"},
      {"time ms", json_array(arrow::time32(arrow::TimeUnit::MILLI), "[3723004]"),
       "01:02:03.004", R"("01:02:03.004")"},
      {"date64", json_array(arrow::date64(), "[86400000]"), "1970-01-02", R"("1970-01-02")"},
      {"duration", json_array(arrow::duration(arrow::TimeUnit::SECOND), "[5]"), "5", "5"},
      {"half float", json_array(arrow::float16(), "[1.5]"), "1.5", "1.5"},
  };
  for (const Case& c : cases) {
    BatchPtr batch = batch_of({arrow::field("v", c.values->type()),
                               arrow::field("l", arrow::list(c.values->type()))},
                              {c.values->Slice(0, 1), in_list(c.values)});
    EXPECT_EQ(format_cell(batch.get(), 0, 0), c.text) << c.what;
    EXPECT_EQ(view_cell(batch.get(), 0, 0), c.text) << c.what;
    EXPECT_EQ(format_cell(batch.get(), 1, 0), "[" + c.json + "]") << c.what;
  }
}

// The single-type formatter and the cell text of a timestamp are one text.
TEST(TypeText, TimestampFormatterMatchesTheCell) {
  for (const auto& type : {arrow::timestamp(arrow::TimeUnit::SECOND, "Europe/Paris"),
                           arrow::timestamp(arrow::TimeUnit::MILLI),
                           arrow::timestamp(arrow::TimeUnit::MICRO, "UTC"),
                           arrow::timestamp(arrow::TimeUnit::NANO, "+05:00")}) {
    BatchPtr batch = batch_of({arrow::field("t", type)},
                              {json_array(type, "[-1, 0, 1709211909123]")});
    for (int64_t row = 0; row < 3; ++row) {
      char buffer[64];
      ASSERT_GT(nv_format_timestamp(batch.get(), 0, row, buffer, sizeof(buffer)), 0);
      EXPECT_EQ(format_cell(batch.get(), 0, row), buffer) << type->ToString() << " " << row;
    }
  }
}

// A value outside what its text can say is an error on every path, never text.
TEST(TypeText, OutOfRangeValuesAreErrors) {
  const auto ts = arrow::timestamp(arrow::TimeUnit::SECOND);
  BatchPtr batch = batch_of(
      {arrow::field("t", ts), arrow::field("tod", arrow::time64(arrow::TimeUnit::MICRO))},
      {json_array(ts, "[0, 9223372036854775807]"),
       json_array(arrow::time64(arrow::TimeUnit::MICRO), "[1, 86400000001]")});
  for (int column = 0; column < 2; ++column) {
    EXPECT_NE(format_cell(batch.get(), column, 0).rfind("<rc", 0), 0u) << column;
    EXPECT_EQ(format_cell(batch.get(), column, 1), "<rc -1>") << column;
    EXPECT_EQ(view_cell(batch.get(), column, 1), "<rc -1>") << column;
  }
  char buffer[64];
  EXPECT_EQ(nv_format_timestamp(batch.get(), 0, 1, buffer, sizeof(buffer)), -1);
  EXPECT_EQ(nv_format_time(batch.get(), 1, 1, buffer, sizeof(buffer)), -1);
}

// 24:00:00 is a time of day the service sends; inside a container it renders as at the top, a
// value past it is an error for its cell only, and the rest of such a column is still checked
// in full.
TEST(TypeText, TimesOfDayInsideContainers) {
  const auto tod = arrow::time32(arrow::TimeUnit::SECOND);
  const auto list = arrow::list(tod);
  const auto row = arrow::struct_({arrow::field("t", arrow::time64(arrow::TimeUnit::MICRO)),
                                   arrow::field("d", arrow::date64())});
  BatchPtr batch = make_batch({
      {"l", list, "[[0, 86400], [90000], null]"},
      {"s", row,
       R"([{"t": 86400000000, "d": 86400000}, {"t": 1, "d": null}, {"t": 86400000001, "d": 0}])"},
      {"m", arrow::map(arrow::utf8(), tod), R"([[["end", 86400]], [], null])"},
  });
  EXPECT_EQ(format_cell(batch.get(), 0, 0), R"(["00:00:00","24:00:00"])");
  EXPECT_EQ(format_cell(batch.get(), 0, 1), "<rc -1>");
  // A column holding a cell without text has no text column to view, as at the top level.
  EXPECT_EQ(view_cell(batch.get(), 0, 0), "<rc -1>");
  EXPECT_EQ(format_cell(batch.get(), 0, 2), "");
  EXPECT_EQ(format_cell(batch.get(), 1, 0), R"({"t":"24:00:00.000000","d":"1970-01-02"})");
  EXPECT_EQ(format_cell(batch.get(), 1, 1), R"({"t":"00:00:00.000001","d":null})");
  EXPECT_EQ(format_cell(batch.get(), 1, 2), "<rc -1>");
  EXPECT_EQ(format_cell(batch.get(), 2, 0), R"({"end":"24:00:00"})");
  EXPECT_EQ(view_cell(batch.get(), 2, 0), R"({"end":"24:00:00"})");

  // String offsets out of order beside a time in the same struct are still found.
  auto text = json_array(arrow::utf8(), R"(["ab", "cd"])");
  std::shared_ptr<arrow::Buffer> offsets = *arrow::AllocateBuffer(3 * sizeof(int32_t));
  const int32_t bad[] = {0, 3, 2};
  std::memcpy(offsets->mutable_data(), bad, sizeof(bad));
  auto corrupted = arrow::MakeArray(arrow::ArrayData::Make(
      arrow::utf8(), 2, arrow::BufferVector{nullptr, offsets, text->data()->buffers[2]}, 0));
  auto times = json_array(tod, "[86400, 1]");
  auto pair = arrow::StructArray::Make(
      arrow::ArrayVector{times, corrupted},
      arrow::FieldVector{arrow::field("t", tod), arrow::field("s", arrow::utf8())});
  ASSERT_TRUE(pair.ok()) << pair.status().ToString();
  BatchPtr bad_batch = batch_of({arrow::field("p", (*pair)->type()), arrow::field("ok", tod)},
                                arrow::ArrayVector{*pair, times});
  EXPECT_EQ(format_cell(bad_batch.get(), 0, 0), "<rc -1>");
  EXPECT_EQ(view_cell(bad_batch.get(), 0, 0), "<rc -1>");
  EXPECT_EQ(format_cell(bad_batch.get(), 1, 0), "24:00:00") << "other columns stay readable";
}

}  // namespace
