// The name index against a scan of the same values: random catalogs of names with runs, mixed
// case, nulls, empty and non-ASCII names, in the three text layouts Arrow has.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <random>

#include <arrow/api.h>
#include <arrow/compute/api.h>

#include "sql/name_index_internal.h"
#include "util/strings_internal.h"

namespace nv_sql {
namespace {

// Names drawn from a small pool, so that equal values repeat, in runs and scattered.
std::vector<std::optional<std::string>> random_names(std::mt19937_64& rng, int n) {
  static const std::vector<std::string> kPool = {
      "orders", "Orders", "ORDERS", "order", "orders_2024", "t1", "t10", "T100", "a%b", "a_b",
      "",       "\xc4\xb0nventory", "stock", "\xc5\xbftock", "Z", "zz", "col7", "col70"};
  std::vector<std::optional<std::string>> out;
  while (static_cast<int>(out.size()) < n) {
    const int run = 1 + static_cast<int>(rng() % 5);
    std::optional<std::string> v;
    if (rng() % 10 != 0) v = kPool[rng() % kPool.size()];
    for (int i = 0; i < run && static_cast<int>(out.size()) < n; ++i) out.push_back(v);
  }
  return out;
}

std::shared_ptr<arrow::Array> to_array(const std::vector<std::optional<std::string>>& names,
                                       const std::shared_ptr<arrow::DataType>& type) {
  arrow::StringBuilder b;
  for (const auto& n : names) EXPECT_TRUE((n ? b.Append(*n) : b.AppendNull()).ok());
  auto utf8 = *b.Finish();
  if (type->id() == arrow::Type::STRING) return utf8;
  return arrow::compute::Cast(utf8, type)->make_array();
}

std::vector<int32_t> scan(const std::vector<std::optional<std::string>>& names,
                          const std::string& key, bool prefix) {
  std::vector<int32_t> rows;
  for (size_t i = 0; i < names.size(); ++i) {
    if (!names[i]) continue;
    const std::string v = norvale::ascii_lower(*names[i]);
    const std::string k = norvale::ascii_lower(key);
    if (prefix ? v.compare(0, k.size(), k) == 0 : v == k) rows.push_back(static_cast<int32_t>(i));
  }
  return rows;
}

class NameIndexLayouts : public ::testing::TestWithParam<std::shared_ptr<arrow::DataType>> {};

TEST_P(NameIndexLayouts, LookupsFindWhatAScanFinds) {
  const uint64_t seed = std::random_device{}();
  std::printf("name index seed %llu\n", static_cast<unsigned long long>(seed));
  std::mt19937_64 rng(seed);
  const std::vector<std::string> keys = {"orders", "ORDERS", "order", "t1", "T10", "a%b", "a_",
                                         "", "\xc4\xb0", "stock", "zz", "col7", "missing", "Z"};
  for (int round = 0; round < 40; ++round) {
    const auto names = random_names(rng, 1 + static_cast<int>(rng() % 300));
    NameIndex index(to_array(names, GetParam()));
    int64_t with_value = 0;
    std::vector<int32_t> non_ascii;
    for (size_t i = 0; i < names.size(); ++i) {
      if (!names[i]) continue;
      ++with_value;
      if (has_non_ascii(*names[i])) non_ascii.push_back(static_cast<int32_t>(i));
    }
    EXPECT_EQ(index.rows(), with_value);
    EXPECT_EQ(index.non_ascii(), non_ascii);
    for (const auto& key : keys) {
      for (bool prefix : {false, true}) {
        SCOPED_TRACE("seed " + std::to_string(seed) + " key '" + key + "' prefix " +
                     std::to_string(prefix));
        const auto want = scan(names, key, prefix);
        std::vector<int32_t> got = {-1};  // lookups append
        EXPECT_TRUE(prefix ? index.prefix(key, &got) : index.equal(key, &got));
        got.erase(got.begin());
        EXPECT_EQ(got, want);
        if (want.empty()) continue;
        // One row short of the answer: refused, and nothing appended.
        std::vector<int32_t> capped;
        const size_t limit = want.size() - 1;
        EXPECT_FALSE(prefix ? index.prefix(key, &capped, limit)
                            : index.equal(key, &capped, limit));
        EXPECT_TRUE(capped.empty());
        EXPECT_TRUE(prefix ? index.prefix(key, &capped, want.size())
                           : index.equal(key, &capped, want.size()));
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(TextTypes, NameIndexLayouts,
                         ::testing::Values(arrow::utf8(), arrow::large_utf8(),
                                           arrow::utf8_view()));

TEST(NameIndex, LongRunsAcrossBitmapWords) {
  // Runs that cross 64-row words end exactly where the value changes.
  std::vector<std::optional<std::string>> names;
  for (int i = 0; i < 130; ++i) names.push_back("s1");
  names.push_back("S1");  // the same name ignoring case: one run
  for (int i = 0; i < 63; ++i) names.push_back("s2");
  names.push_back(std::nullopt);
  names.push_back("s1");
  NameIndex index(to_array(names, arrow::utf8()));
  std::vector<int32_t> got;
  ASSERT_TRUE(index.equal("s1", &got));
  EXPECT_EQ(got, scan(names, "s1", false));
  got.clear();
  ASSERT_TRUE(index.equal("s2", &got));
  EXPECT_EQ(got.size(), 63u);
  EXPECT_EQ(got.front(), 131);
}

TEST(RelationIndex, IndexesOnlyWantedTextColumns) {
  auto batch = arrow::RecordBatch::Make(
      arrow::schema({arrow::field("table_name", arrow::utf8()),
                     arrow::field("remarks", arrow::utf8()),
                     arrow::field("ordinal", arrow::int32())}),
      2,
      {to_array({"a", "b"}, arrow::utf8()), to_array({"x", "y"}, arrow::utf8()),
       *arrow::MakeArrayOfNull(arrow::int32(), 2)});
  auto index = RelationIndex::Build(
      batch, [](const std::string& c) { return c == "table_name" || c == "ordinal"; });
  EXPECT_EQ(index->batch(), batch);
  EXPECT_NE(index->column(0), nullptr);
  EXPECT_EQ(index->column(1), nullptr);  // not wanted
  EXPECT_EQ(index->column(2), nullptr);  // not text
  EXPECT_EQ(index->column(3), nullptr);  // out of range
  EXPECT_GT(index->memory_bytes(), 0u);
}

}  // namespace
}  // namespace nv_sql
