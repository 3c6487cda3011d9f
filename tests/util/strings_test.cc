#include <gtest/gtest.h>

#include "util/strings_internal.h"

namespace {

// Folding touches A-Z and a-z only: other ASCII and every byte of a UTF-8 sequence stay as they
// are, whatever the locale (the Turkish dotted I and the Kelvin sign included).
TEST(Strings, AsciiFolding) {
  struct Case {
    const char* text;
    const char* lower;
    const char* upper;
  };
  const Case cases[] = {
      {"", "", ""},
      {"Orders_2024", "orders_2024", "ORDERS_2024"},
      {"@[`{", "@[`{", "@[`{"},
      {"\xc4\xb0nventory", "\xc4\xb0nventory", "\xc4\xb0NVENTORY"},
      {"\xe2\x84\xaa", "\xe2\x84\xaa", "\xe2\x84\xaa"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(norvale::ascii_lower(c.text), c.lower) << c.text;
    EXPECT_EQ(norvale::ascii_upper(c.text), c.upper) << c.text;
    EXPECT_TRUE(norvale::ascii_eq_ci(c.lower, c.upper)) << c.text;
  }
  EXPECT_FALSE(norvale::ascii_eq_ci("a", "ab"));
  EXPECT_FALSE(norvale::ascii_eq_ci("@", "`"));  // 0x40 and 0x60 differ by the case bit only
  EXPECT_TRUE(norvale::ascii_contains_ci("From INFORMATION_schema.tables", "information_schema"));
  EXPECT_FALSE(norvale::ascii_contains_ci("informatio", "information"));
}

TEST(Strings, NonEmpty) {
  EXPECT_FALSE(norvale::non_empty(nullptr));
  EXPECT_FALSE(norvale::non_empty(""));
  EXPECT_TRUE(norvale::non_empty(" "));
}

}  // namespace
