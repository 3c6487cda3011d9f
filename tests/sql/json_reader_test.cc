// The reader of the parser's JSON: values, escapes, malformed text, and nesting far deeper
// than any stack would allow a recursive reader.

#include <gtest/gtest.h>

#include "sql/json_reader_internal.h"
#include "sql/parser_bridge_internal.h"

namespace nv_sql {
namespace {

TEST(JsonReader, ValuesAndMembers) {
  JsonDocument doc;
  std::string err;
  ASSERT_TRUE(doc.Parse(R"( {"a": {"ival": -42}, "b": [1, "x", true, null, {}, []],
                          "s": "plain", "t": false, "n": null} )",
                        &err))
      << err;
  const JsonValue& root = doc.root();
  ASSERT_TRUE(root.is_object());
  EXPECT_EQ(root.size(), 5u);
  EXPECT_EQ(root["a"].value("ival", int64_t{0}), -42);
  EXPECT_EQ(root["a"].value("missing", int64_t{7}), 7);
  const JsonValue& b = root["b"];
  ASSERT_TRUE(b.is_array());
  EXPECT_EQ(b.size(), 6u);
  EXPECT_EQ(b[1].get<std::string>(), "x");
  EXPECT_TRUE(b[2].get<bool>());
  EXPECT_TRUE(b[3].is_null());
  EXPECT_TRUE(b[4].is_object() && b[4].empty());
  EXPECT_TRUE(b.back().is_array() && b.back().empty());
  EXPECT_EQ(root.value("s", std::string("?")), "plain");
  EXPECT_FALSE(root.value("t", true));
  EXPECT_EQ(root.value("n", std::string("fallback")), "fallback");  // null reads as missing
  EXPECT_TRUE(root.contains("n"));
  EXPECT_FALSE(root.contains("z"));
  std::string keys;
  for (auto it = root.begin(); it != root.end(); ++it) keys += std::string(it.key()) + ",";
  EXPECT_EQ(keys, "a,b,s,t,n,");
  EXPECT_THROW(root["z"], std::out_of_range);
  EXPECT_THROW(b[6], std::out_of_range);
  EXPECT_THROW(root.value("s", int64_t{0}), std::runtime_error);  // not an integer
  EXPECT_THROW(b[0].get<std::string>(), std::runtime_error);
}

TEST(JsonReader, EscapesDecode) {
  JsonDocument doc;
  std::string err;
  ASSERT_TRUE(doc.Parse(R"(["q\"b\\s\/n\nt\tu\u00e9\u20ac\ud83d\ude00", "\u0000"])", &err))
      << err;
  EXPECT_EQ(doc.root()[0].get<std::string>(),
            "q\"b\\s/n\nt\tu\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
  EXPECT_EQ(doc.root()[1].get<std::string>(), std::string(1, '\0'));
}

TEST(JsonReader, MalformedTextIsAnError) {
  for (const char* bad : {"", "{", "[1, 2", "{\"a\" 1}", "{\"a\": 1} x", "[\"\\x\"]",
                          "[\"\\ud800\\u0041\"]", "[1]]", "{1: 2}", "[tru]", "\"open"}) {
    JsonDocument doc;
    std::string err;
    EXPECT_FALSE(doc.Parse(bad, &err)) << bad;
    EXPECT_FALSE(err.empty()) << bad;
  }
}

TEST(JsonReader, DeepNestingNeedsNoStack) {
  const int depth = 200000;
  std::string text(depth, '[');
  text += "1";
  text += std::string(depth, ']');
  JsonDocument doc;
  std::string err;
  ASSERT_TRUE(doc.Parse(text, &err)) << err;
  const JsonValue* v = &doc.root();
  int levels = 0;
  while (v->is_array()) {
    v = &v->front();
    ++levels;
  }
  EXPECT_EQ(levels, depth);
}

TEST(JsonReader, LiteralsReachTheTreeUnchanged) {
  // Quotes, backslashes, line breaks and non-ASCII text travel through the parser's JSON.
  ParseError err;
  auto stmt = nv_sql_parse("SELECT 'it''s', E'a\\nb', 'back\\slash', 'Ünïcode' FROM t", &err);
  ASSERT_NE(stmt, nullptr) << err.message;
  const std::vector<std::string> want = {"it's", "a\nb", "back\\slash", "Ünïcode"};
  ASSERT_EQ(stmt->items.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    const auto* lit = stmt->items[i].expr->as<LiteralExpr>();
    ASSERT_NE(lit, nullptr);
    EXPECT_EQ(std::get<std::string>(lit->value), want[i]);
  }
}

}  // namespace
}  // namespace nv_sql
