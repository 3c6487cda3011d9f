#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/ingest/ingest_frames_internal.h"
#include "core/ingest/ingest_response_internal.h"

namespace norvale::ingest {
namespace {

std::string frame(uint8_t type, const std::string& payload) {
  std::string out{static_cast<char>(type), 0, 0, 0};
  const auto n = static_cast<uint32_t>(payload.size());
  out += {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
          static_cast<char>(n)};
  return out + payload;
}

std::string stats(const std::string& json) {
  return frame(kFrameStats, std::string(8, 'x') + json);
}

TEST(StatsReaders, Integers) {
  struct Case {
    std::string text;
    std::optional<int64_t> value;
  };
  const Case cases[] = {
      {R"({"rows_inserted":42})", 42},
      {R"({"rows_inserted" :   -7,"x":1})", -7},
      {"{\"rows_inserted\":\n\t 9223372036854775807}", INT64_MAX},
      {R"({"rows_inserted":"12"})", std::nullopt},
      {R"({"rows_inserted":null})", std::nullopt},
      {R"({"rows_inserted":99999999999999999999})", std::nullopt},
      {R"({"other":1})", std::nullopt},
      {R"({"rows_inserted"})", std::nullopt},
      {R"({"a":"\"rows_inserted\": 5","rows_inserted":6})", 6},
      {R"({"rows_inserted":3,"rows_inserted":4})", 3},
  };
  for (const Case& c : cases)
    EXPECT_EQ(find_json_int64(c.text, "rows_inserted"), c.value) << c.text;
}

TEST(StatsReaders, DoubleAndBool) {
  EXPECT_DOUBLE_EQ(*find_json_double(R"({"duration_ms": 12.5})", "duration_ms"), 12.5);
  EXPECT_DOUBLE_EQ(*find_json_double(R"({"duration_ms":3})", "duration_ms"), 3.0);
  EXPECT_DOUBLE_EQ(*find_json_double(R"({"duration_ms":1e3})", "duration_ms"), 1000.0);
  EXPECT_FALSE(find_json_double(R"({"duration_ms":x})", "duration_ms").has_value());
  EXPECT_TRUE(find_json_true(R"({"idempotent_replay": true})", "idempotent_replay"));
  EXPECT_FALSE(find_json_true(R"({"idempotent_replay":false})", "idempotent_replay"));
  EXPECT_FALSE(find_json_true(R"({"idempotent_replay":"true"})", "idempotent_replay"));
  EXPECT_FALSE(find_json_true(R"({})", "idempotent_replay"));
}

TEST(StatsReaders, Strings) {
  struct Case {
    std::string text;
    std::optional<std::string> value;
  };
  const Case cases[] = {
      {R"({"message":"table t does not exist"})", "table t does not exist"},
      {R"({"message" : "a \"q\" b\\c \/ \n\r\t"})", "a \"q\" b\\c / \n\r\t"},
      {R"({"message":"\u0041"})", "u0041"},
      {R"({"message":""})", ""},
      {R"({"message":"unterminated)", std::nullopt},
      {R"({"message":12})", std::nullopt},
      {R"({"sqlstate":"42S02"})", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(find_json_string(c.text, "message"), c.value) << c.text;
}

TEST(StatsReaders, LandedPaths) {
  struct Case {
    std::string text;
    std::vector<std::string> paths;
  };
  const Case cases[] = {
      {R"({"landed_paths":["a/p-1.parquet", "a/p-2.parquet"]})",
       {"a/p-1.parquet", "a/p-2.parquet"}},
      {R"({"landed_paths": [ ]})", {}},
      {R"({"landed_paths":["x\"y","b\\c"]})", {"x\"y", "b\\c"}},
      {R"({"rows":1})", {}},
      {R"({"landed_paths":"nope"})", {}},
      {R"({"landed_paths":["a","unterminated]})", {"a"}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(find_json_string_array(c.text, "landed_paths"), c.paths) << c.text;
}

TEST(ResponseWalk, FindsTheAnswerFrame) {
  using Kind = IngestAnswer::Kind;
  struct Case {
    const char* name;
    std::string body;
    Kind kind;
    std::string text;  // stats JSON or error message
    std::string sqlstate;
  };
  const std::string err = R"({"message":"no table","sqlstate":"42S02"})";
  const Case cases[] = {
      {"stats alone", stats(R"({"rows_inserted":3})"), Kind::kStats, R"({"rows_inserted":3})", ""},
      {"error alone", frame(kFrameError, err), Kind::kError, "no table", "42S02"},
      {"other frames skipped", frame(5, "trace") + frame(9, "") + stats("{}"), Kind::kStats, "{}",
       ""},
      {"first answer wins", frame(kFrameError, err) + stats("{}"), Kind::kError, "no table",
       "42S02"},
      {"stats of 7 bytes is no answer", frame(kFrameStats, "1234567"), Kind::kNone, "", ""},
      {"stats of 8 bytes is empty stats", frame(kFrameStats, "12345678"), Kind::kStats, "", ""},
      {"short stats then error", frame(kFrameStats, "1") + frame(kFrameError, err), Kind::kError,
       "no table", "42S02"},
      {"truncated payload", stats("{}").substr(0, 12), Kind::kNone, "", ""},
      {"truncated header", std::string("\x06\0\0", 3), Kind::kNone, "", ""},
      {"empty body", "", Kind::kNone, "", ""},
      {"error without members", frame(kFrameError, "plain text"), Kind::kError, "", ""},
  };
  for (const Case& c : cases) {
    const IngestAnswer a = walk_ingest_response(c.body);
    EXPECT_EQ(a.kind, c.kind) << c.name;
    EXPECT_EQ(c.kind == Kind::kStats ? a.stats_json : a.message, c.text) << c.name;
    EXPECT_EQ(a.sqlstate, c.sqlstate) << c.name;
  }
}

TEST(Frames, ClientFrameLayout) {
  const std::vector<uint8_t> init = make_init_frame("{}");
  EXPECT_EQ(init, (std::vector<uint8_t>{1, 0, 0, 0, 0, 0, 0, 2, '{', '}'}));
  const uint8_t payload[] = {0xAA, 0xBB, 0xCC};
  const std::vector<uint8_t> batch = make_batch_frame(payload, 3);
  EXPECT_EQ(batch, (std::vector<uint8_t>{2, 0, 0, 0, 0, 0, 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0xAA,
                                         0xBB, 0xCC}));
  EXPECT_EQ(make_eos_frame(), (std::vector<uint8_t>{3, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0}));
  // Lengths use all four bytes, big-endian.
  const std::vector<uint8_t> big(0x012345, 7);
  const std::vector<uint8_t> f = make_batch_frame(big.data(), big.size());
  EXPECT_EQ(f.size(), 8u + 8u + big.size());
  EXPECT_EQ(f[4], 0x00);
  EXPECT_EQ(f[5], 0x01);
  EXPECT_EQ(f[6], 0x23);
  EXPECT_EQ(f[7], 0x4D);
}

}  // namespace
}  // namespace norvale::ingest
