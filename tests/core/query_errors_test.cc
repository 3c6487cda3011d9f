#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/query_internal.h"

namespace {

using norvale::QueryErrorInfo;

TEST(QueryErrors, HttpErrorMapping) {
  struct Case {
    long status;
    std::string body;
    std::string message;
    std::string sqlstate;
    int32_t native;
  };
  const std::string long_message(2000, 'm');
  const std::vector<Case> cases = {
      {404, R"({"message":"Session error: table t not found for 'x'","code":"MISSING_OBJECT"})",
       "table t not found", "42S02", 404},
      {429, "", "compute returned HTTP 429", "53400", 429},
      {500, R"({"message":"Arrow error: division by zero","code":"INTERNAL_ERROR"})",
       "Arrow error: division by zero", "22012", 500},
      {500, R"({"message":"Cannot cast 'a' to INT","code":"INTERNAL_ERROR"})",
       "Cannot cast 'a' to INT", "22018", 500},
      {500, R"({"message":"boom","code":"INTERNAL_ERROR"})", "boom", "HY000", 500},
      {503, "upstream gone", "compute returned HTTP 503: upstream gone", "08S01", 503},
      {400, R"({"error":"ParserError: syntax error at or near \"SELEC\""})",
       "ParserError: syntax error at or near \"SELEC\"", "42000", 400},
      {400, R"({"error":{"message":"No field named zz"}})", "No field named zz", "42S22", 400},
      {409, R"({"message":"column c already exists","code":"DUPLICATE_OBJECT"})",
       "column c already exists", "42S21", 409},
      {409, R"({"message":"Index i already exists","code":"DUPLICATE_OBJECT"})",
       "Index i already exists", "42S11", 409},
      {409, R"({"message":"t already exists","code":"DUPLICATE_OBJECT"})", "t already exists",
       "42S01", 409},
      {404, R"({"message":"field f missing","code":"MISSING_OBJECT"})", "field f missing",
       "42S22", 404},
      {404, R"({"message":"index ix missing","code":"MISSING_OBJECT"})", "index ix missing",
       "42S12", 404},
      {400, R"({"message":"Table x already exists"})", "Table x already exists", "42S01", 400},
      {400, R"({"message":"Error parsing timestamp '2x'"})", "Error parsing timestamp '2x'",
       "22007", 400},
      {400, R"({"message":"Cannot coerce text"})", "Cannot coerce text", "22018", 400},
      {400, R"({"message":"Permission missing"})", "Permission missing", "42501", 400},
      {400, R"({"message":"nothing special","code":"QUERY_ERROR"})", "nothing special", "42000",
       400},
      {401, R"({"message":"x","code":"FORBIDDEN"})", "x", "42501", 401},
      {500, R"({"message":"x","code":"UNAUTHORIZED"})", "x", "28000", 500},
      {500, R"({"message":"x","code":"RATE_LIMITED"})", "x", "53400", 500},
      {500, R"({"message":"x","code":"TIMEOUT"})", "x", "HYT00", 500},
      {500, R"({"message":"x","code":"INTEGRITY_VIOLATION"})", "x", "23000", 500},
      {500, R"({"message":"x","code":"CURSOR_STATE"})", "x", "24000", 500},
      {500, R"({"message":"x","code":"TRANSACTION_STATE"})", "x", "25000", 500},
      {408, R"({"message":"slow table","code":"OTHER"})", "slow table", "HYT00", 408},
      {403, R"({"message":"nope"})", "nope", "42501", 403},
      {401, R"({"message":"who"})", "who", "28000", 401},
      {500, R"({"message":"failed (code: 1205) retry"})", "failed (code: 1205) retry", "HY000",
       1205},
      {500, R"({"message":"SQL execution error: internal error: Session error: x"})", "x",
       "HY000", 500},
      {500, R"(["not","an","object"])", R"(compute returned HTTP 500: ["not","an","object"])",
       "HY000", 500},
      {500, R"({"message":42})", R"(compute returned HTTP 500: {"message":42})", "HY000", 500},
      {400, "{" + std::string("\"message\":\"") + long_message + "\"}",
       std::string(1021, 'm') + "...", "42000", 400},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    const QueryErrorInfo info = norvale::map_http_error(c.status, c.body);
    EXPECT_EQ(info.message, c.message);
    EXPECT_EQ(info.sqlstate, c.sqlstate);
    EXPECT_EQ(info.native, c.native);
  }
}

TEST(QueryErrors, StripEngineNoise) {
  struct Case {
    std::string in;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"Session error: x", "x"},
      {"internal error: SQL execution error: x", "x"},
      {"Session error: ", "Session error: "},  // only from a longer message
      {"x Session error: y", "x Session error: y"},
      // At most six rounds.
      {"Session error: Session error: Session error: Session error: Session error: "
       "Session error: Session error: x",
       "Session error: x"},
  };
  for (const auto& c : cases) EXPECT_EQ(norvale::strip_engine_noise(c.in), c.out) << c.in;
}

TEST(QueryErrors, NativeCodeExtraction) {
  struct Case {
    std::string message;
    int32_t code;
  };
  const std::vector<Case> cases = {
      {"failed code=  17a", 17},
      {"code: x then code=5", 5},
      {"nothing here", 0},
      {"code: 1234567890", 123456789},
      {"(code: 42)", 42},
      {"code:", 0},
      {"code=", 0},
      {"code:  -3", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(norvale::extract_native_code(c.message), c.code) << c.message;
  }
}

TEST(QueryErrors, TransportErrorMapping) {
  struct Case {
    int code;
    std::string text;
    uint64_t timeout;
    std::string message;
    std::string sqlstate;
  };
  const std::vector<Case> cases = {
      {7, "Failed to connect", 0, "HTTP transport: Failed to connect", "08001"},
      {6, "", 0, "HTTP transport: Could not resolve hostname", "08001"},
      {60, "bad cert", 0, "HTTP transport: bad cert", "08001"},
      {18, "partial", 0, "HTTP transport: partial", "08006"},
      {52, "empty", 0, "HTTP transport: empty", "08006"},
      {56, "recv", 0, "HTTP transport: recv", "08006"},
      {28, "Operation timed out", 5, "Query exceeded timeout of 5 seconds; Operation timed out",
       "HYT00"},
      {28, "Operation too slow", 0, "stream stalled (no data for 300s); Operation too slow",
       "HYT00"},
      {23, "write", 0, "HTTP transport: write", "08S01"},
      {61, "x", 0, "HTTP transport: x", "08S01"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    const QueryErrorInfo info = norvale::map_transport_error(c.code, c.text, c.timeout);
    EXPECT_EQ(info.message, c.message);
    EXPECT_EQ(info.sqlstate, c.sqlstate);
    EXPECT_EQ(info.native, c.code);
  }
}

TEST(QueryErrors, InflightLimitParsing) {
  struct Case {
    const char* text;
    uint64_t batches;
    uint64_t bytes;
  };
  const std::vector<Case> cases = {
      {nullptr, 4, 0}, {"0", 0, 0},        {"1024", 1024, 1024}, {"1025", 4, 1025},
      {"abc", 4, 0},   {"", 4, 0},         {"8x", 8, 8},         {"-1", 4, 0},
      {"99999999999999999999999", 4, 0},   {"1048576", 4, 1048576},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text ? c.text : "(null)");
    EXPECT_EQ(norvale::parse_max_inflight_batches(c.text, 4), c.batches);
    EXPECT_EQ(norvale::parse_max_inflight_bytes(c.text, 0), c.bytes);
  }
}

TEST(QueryErrors, RequestBody) {
  auto plain = norvale::build_query_body("SELECT {fn NOW()}", 0, 4);
  ASSERT_TRUE(plain.ok());
  EXPECT_EQ(*plain, R"({"sql":"SELECT {fn NOW()}"})");

  // Batches of 4 MiB whatever the queue's byte budget: larger ones delay the first rows.
  for (const uint64_t budget : {1ull << 20, 64ull << 20, 256ull << 20}) {
    auto with_options = norvale::build_query_body("SELECT 1", budget, 4);
    ASSERT_TRUE(with_options.ok());
    EXPECT_EQ(nlohmann::json::parse(*with_options)["stream_options"],
              nlohmann::json::parse(R"({"max_batch_bytes":4194304})"))
        << budget;
  }
  EXPECT_EQ(*norvale::build_query_body("SELECT 1", 256u << 20, 0), R"({"sql":"SELECT 1"})");

  auto bad = norvale::build_query_body("SELECT '\xff'", 0, 4);
  ASSERT_FALSE(bad.ok());
  EXPECT_TRUE(bad.status().message().starts_with(
      "failed to encode SQL as JSON (likely non-UTF-8 input): "))
      << bad.status().message();
}

}  // namespace
