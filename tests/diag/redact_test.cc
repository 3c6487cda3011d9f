#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "norvale/nv_log.h"

namespace {

std::string redact(const char* text) {
  char* out = nv_log_redact(text);
  EXPECT_NE(out, nullptr);
  std::string result = out ? out : "";
  std::free(out);
  return result;
}

TEST(Redact, Cases) {
  struct Case {
    const char* input;
    const char* expected;
  };
  const Case cases[] = {
      {"Server=h;Pwd=s3cr;et;Uid=bob", "Server=h;Pwd=[REDACTED];et;Uid=bob"},
      {"UID=a;PASSWORD=hunter2", "UID=a;PASSWORD=[REDACTED]"},
      {"token=abc;accesstoken=def;OAuthToken=ghi;client_secret=jkl",
       "token=[REDACTED];accesstoken=[REDACTED];OAuthToken=[REDACTED];client_secret=[REDACTED]"},
      {"Pwd=", "Pwd=[REDACTED]"},
      {R"({"user":"bob","PassWord" :  "p\"q\\" , "x":1})",
       R"({"user":"bob","PassWord" :  "[REDACTED]" , "x":1})"},
      {R"({"session_token":"tok","access_token": "at","secret":"s"})",
       R"({"session_token":"[REDACTED]","access_token": "[REDACTED]","secret":"[REDACTED]"})"},
      {R"({"token": 42, "password": "unterminated)",
       R"({"token": 42, "password": "unterminated)"},
      {"Authorization: Bearer abc.def,rest", "Authorization: Bearer [REDACTED],rest"},
      {"Authorization: bearer abc\r\nHost: x", "Authorization: bearer [REDACTED]\r\nHost: x"},
      {"Bearer ", "Bearer "},
      {"Bearer  two", "Bearer  two"},
      {"nothing to hide here", "nothing to hide here"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(redact(c.input), c.expected) << c.input;
  EXPECT_EQ(nv_log_redact(nullptr), nullptr);
}

}  // namespace
