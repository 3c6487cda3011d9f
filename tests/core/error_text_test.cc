// The C-style functions' guard: whatever the body throws ends as -1 and a text in the caller's
// buffer, cut to fit; what the body returns passes through.
#include "core/error_text_internal.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

TEST(GuardCCall, ReturnsWhatTheBodyReturnsAndTurnsEveryThrowIntoMinusOne) {
  struct Case {
    const char* name;
    int (*body)();
    int result;
    const char* text;
  };
  const Case cases[] = {
      {"returns", [] { return 7; }, 7, "untouched"},
      {"standard", []() -> int { throw std::runtime_error("boom"); }, -1, "fetch: boom"},
      {"other type", []() -> int { throw 42; }, -1, "fetch: internal error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    char err[64] = "untouched";
    EXPECT_EQ(norvale::guard_c_call(err, sizeof err, "fetch: ", c.body), c.result);
    EXPECT_STREQ(err, c.text);
  }
  // A short buffer is cut and terminated; no buffer at all is allowed.
  char small[6];
  EXPECT_EQ(norvale::guard_c_call(small, sizeof small, "fetch: ", []() -> int { throw 1; }), -1);
  EXPECT_STREQ(small, "fetch");
  EXPECT_EQ(norvale::guard_c_call(nullptr, 0, "fetch: ", []() -> int { throw 1; }), -1);
}

}  // namespace
