// Generated inputs: the manifest always parses as JSON with the configured values, and the
// text-search readers recover what a JSON writer produced.
#include <gtest/gtest.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <random>
#include <string>

#include "core/ingest/ingest_handle_internal.h"
#include "core/ingest/ingest_manifest_internal.h"
#include "core/ingest/ingest_response_internal.h"

namespace norvale::ingest {
namespace {

uint32_t Seed() {
  const uint32_t seed = std::random_device{}();
  std::printf("seed %u\n", seed);
  return seed;
}

// Bytes 1 to 127 (every control character included) and some UTF-8.
std::string RandomText(std::mt19937& rng, bool controls) {
  std::uniform_int_distribution<int> len(0, 12);
  std::uniform_int_distribution<int> byte(controls ? 1 : 32, 127);
  std::string out;
  for (int i = len(rng); i > 0; --i) {
    if (rng() % 10 == 0) {
      out += "\xc3\xa9";
    } else {
      out.push_back(static_cast<char>(byte(rng)));
    }
  }
  return out;
}

TEST(ManifestProperty, ParsesBackToTheConfiguration) {
  const uint32_t seed = Seed();
  std::mt19937 rng(seed);
  for (int iter = 0; iter < 2000; ++iter) {
    NVIngestHandle h;
    h.target_table = RandomText(rng, true);
    h.target_location = RandomText(rng, true);
    h.mode = static_cast<int32_t>(rng() % 4);
    h.payload_format = static_cast<int32_t>(rng() % 2);
    for (int k = static_cast<int>(rng() % 4); k > 0; --k)
      h.key_columns.push_back(RandomText(rng, true));
    for (int k = static_cast<int>(rng() % 6); k > 0; --k)
      h.schema_bytes.push_back(static_cast<uint8_t>(rng()));
    h.idempotency_key = RandomText(rng, true);
    h.coerce = rng() % 2 == 0;
    const std::string text = build_manifest(h);
    SCOPED_TRACE("seed " + std::to_string(seed) + " iteration " + std::to_string(iter));
    const nlohmann::json m = nlohmann::json::parse(text, nullptr, false);
    ASSERT_TRUE(m.is_object()) << text;
    EXPECT_EQ(m.value("target_table", ""), h.target_table);
    EXPECT_EQ(m.value("target_location", ""), h.target_location);
    EXPECT_EQ(m.contains("target_table"), !h.target_table.empty());
    EXPECT_EQ(m["mode"], mode_name(h.mode));
    EXPECT_EQ(m["payload_format"], payload_format_name(h.payload_format));
    EXPECT_EQ(m["key_columns"].get<std::vector<std::string>>(), h.key_columns);
    EXPECT_EQ(m.value("idempotency_key", ""), h.idempotency_key);
    EXPECT_EQ(m["coerce"].get<bool>(), h.coerce);
    const bool has_schema = h.payload_format == 0 && !h.schema_bytes.empty();
    EXPECT_EQ(m.contains("schema_ipc"), has_schema);
    EXPECT_EQ(text.find('\n'), std::string::npos);
  }
}

TEST(StatsReaderProperty, RecoverWhatAJsonWriterWrote) {
  const uint32_t seed = Seed();
  std::mt19937 rng(seed);
  for (int iter = 0; iter < 2000; ++iter) {
    // A JSON writer escapes control characters other than \n \r \t as \u00xx, which the reader
    // does not decode; the generated texts avoid them.
    std::string message = RandomText(rng, false);
    if (rng() % 3 == 0) message += "\n\t\r";
    const int64_t rows = static_cast<int64_t>(rng()) - (1LL << 31);
    const double ms = static_cast<double>(rng() % 100000) / 8.0;
    std::vector<std::string> paths;
    for (int k = static_cast<int>(rng() % 3); k > 0; --k) {
      std::string p = RandomText(rng, false);
      std::erase(p, ']');  // a ']' inside a path ends the list for the text search
      paths.push_back(p);
    }
    const nlohmann::json j = {{"message", message},
                              {"rows_inserted", rows},
                              {"duration_ms", ms},
                              {"landed_paths", paths},
                              {"idempotent_replay", rows % 2 == 0}};
    const std::string text = j.dump();
    SCOPED_TRACE("seed " + std::to_string(seed) + ": " + text);
    EXPECT_EQ(find_json_string(text, "message"), message);
    EXPECT_EQ(find_json_int64(text, "rows_inserted"), rows);
    EXPECT_DOUBLE_EQ(find_json_double(text, "duration_ms").value_or(-1), ms);
    EXPECT_EQ(find_json_string_array(text, "landed_paths"), paths);
    EXPECT_EQ(find_json_true(text, "idempotent_replay"), rows % 2 == 0);
  }
}

}  // namespace
}  // namespace norvale::ingest
