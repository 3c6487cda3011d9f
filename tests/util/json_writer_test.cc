// The bounded JSON text writer used for nested cell text.
#include <gtest/gtest.h>

#include <string>

#include "util/json_writer_internal.h"

namespace {

using norvale::emit_json_string;
using norvale::JsonCtx;

TEST(JsonCtx, CutsOnceAndIgnoresLaterWrites) {
  JsonCtx ctx(10);
  ctx.put("abcdefghijklmnopqrst", 20);
  EXPECT_EQ(ctx.out, "abcdefg...");
  EXPECT_TRUE(ctx.truncated);
  ctx.put("z", 1);
  ctx.put('y');
  EXPECT_EQ(ctx.out, "abcdefg...");
}

TEST(JsonCtx, ExactFitIsNotTruncated) {
  JsonCtx ctx(5);
  ctx.put("abc", 3);
  ctx.put('d');
  ctx.put('e');
  EXPECT_EQ(ctx.out, "abcde");
  EXPECT_FALSE(ctx.truncated);
  // No room is left below the limit, so only the ellipsis is added.
  ctx.put('f');
  EXPECT_EQ(ctx.out, "abcde...");
  EXPECT_TRUE(ctx.truncated);
}

TEST(JsonCtx, NoRoomLeftAppendsOnlyTheEllipsis) {
  JsonCtx ctx(4);
  ctx.put("abc", 3);
  ctx.put("xy", 2);
  EXPECT_EQ(ctx.out, "abc...");
  EXPECT_TRUE(ctx.truncated);
}

TEST(EmitJsonString, Escapes) {
  struct Case {
    std::string input;
    std::string expected;
  } cases[] = {
      {"plain", "\"plain\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"\b\f\n\r\t", "\"\\b\\f\\n\\r\\t\""},
      {std::string("\x01\x1f\x00", 3), "\"\\u0001\\u001f\\u0000\""},
      {"caf\xc3\xa9 \x7f", "\"caf\xc3\xa9 \x7f\""},
      {"", "\"\""},
  };
  for (const Case& c : cases) {
    JsonCtx ctx(1000);
    emit_json_string(ctx, c.input.data(), c.input.size());
    EXPECT_EQ(ctx.out, c.expected);
    EXPECT_FALSE(ctx.truncated);
  }
}

TEST(EmitJsonString, StopsWhenTruncated) {
  // Unescaped bytes go in as one run, so the text ends exactly at the limit.
  JsonCtx ctx(8);
  emit_json_string(ctx, "abcdefghij", 10);
  EXPECT_EQ(ctx.out, "\"abcd...");
  JsonCtx escaped(8);
  emit_json_string(escaped, "ab\ncdefgh", 9);
  EXPECT_EQ(escaped.out, "\"ab\\n...");
  EXPECT_TRUE(ctx.truncated);
}

}  // namespace
