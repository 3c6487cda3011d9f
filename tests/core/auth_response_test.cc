// Token response parsing, the refused-login text and the result's release.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/auth_internal.h"
#include "norvale/nv_core.h"

namespace {

using norvale::format_auth_error;
using norvale::parse_auth_response;

struct Parsed {
  int rc;
  std::string err;
  NVAuthResult result{};
  ~Parsed() { nv_auth_result_free(&result); }
};

void parse(const std::string& body, Parsed* out) {
  char err[512] = "";
  out->rc = parse_auth_response(body, &out->result, err, sizeof(err));
  out->err = err;
}

bool all_null(const NVAuthResult& r) {
  return r.session_token == nullptr && r.access_token == nullptr && r.subject_id == nullptr &&
         r.principal_type == nullptr && r.name == nullptr && r.session_expires_at == nullptr &&
         r.expires_in == 0;
}

TEST(ParseAuthResponse, FillsEveryMember) {
  Parsed p;
  parse(R"({"session_token":"st","access_token":"at","subject_id":"u-1",
            "principal_type":"user","name":"Ann","expires_in":3600,
            "session_expires_at":"2030-01-01T00:00:00Z","extra":true})",
        &p);
  ASSERT_EQ(p.rc, 0) << p.err;
  EXPECT_STREQ(p.result.session_token, "st");
  EXPECT_STREQ(p.result.access_token, "at");
  EXPECT_STREQ(p.result.subject_id, "u-1");
  EXPECT_STREQ(p.result.principal_type, "user");
  EXPECT_STREQ(p.result.name, "Ann");
  EXPECT_EQ(p.result.expires_in, 3600);
  EXPECT_STREQ(p.result.session_expires_at, "2030-01-01T00:00:00Z");
}

TEST(ParseAuthResponse, NonStringAndNonIntegerMembersAreLeftEmpty) {
  Parsed p;
  parse(R"({"session_token":"st","subject_id":7,"name":null,"expires_in":"3600"})", &p);
  ASSERT_EQ(p.rc, 0);
  EXPECT_EQ(p.result.subject_id, nullptr);
  EXPECT_EQ(p.result.name, nullptr);
  EXPECT_EQ(p.result.expires_in, 0);

  Parsed f;
  parse(R"({"session_token":"st","expires_in":36.5})", &f);
  EXPECT_EQ(f.result.expires_in, 0);
}

TEST(ParseAuthResponse, Failures) {
  struct Case {
    std::string body;
    std::string message_start;
  } cases[] = {
      {"", "auth response is not valid JSON: "},
      {"<html>", "auth response is not valid JSON: "},
      {"[1,2]", "auth response is not a JSON object"},
      {R"({"access_token":"at"})",
       "auth response did not include a session_token; control plane may not be configured "
       "to issue compute session tokens"},
      {R"({"session_token":5})", "auth response did not include a session_token"},
      {"{\"session_token\":\"a\\rb\"}",
       "auth response session_token contains forbidden control characters"},
      {"{\"session_token\":\"ok\",\"access_token\":\"a\\nb\"}",
       "auth response access_token contains forbidden control characters"},
      {"{\"session_token\":\"x\\ny\",\"access_token\":\"a\\nb\"}",
       "auth response session_token contains forbidden control characters"},
  };
  for (const Case& c : cases) {
    Parsed p;
    parse(c.body, &p);
    EXPECT_EQ(p.rc, -1) << c.body;
    EXPECT_EQ(p.err.rfind(c.message_start, 0), 0u) << c.body << " -> " << p.err;
    EXPECT_TRUE(all_null(p.result)) << c.body;
  }
}

TEST(FormatAuthError, ComposesMessageErrorAndDetails) {
  struct Case {
    std::string body;
    std::string expected_text;
  } cases[] = {
      {R"({"message":"bad password","error":"invalid_grant","details":"user locked"})",
       "bad password [invalid_grant] (user locked)"},
      {R"({"message":"bad password"})", "bad password"},
      {R"({"error":"invalid_grant"})", "invalid_grant"},
      {R"({"error":"invalid_grant","details":"d"})", "invalid_grant (d)"},
      {R"({"details":"only details"})", "(only details)"},
      {R"({"message":5,"error":"e"})", "e"},
      {R"({"other":1})", R"({"other":1})"},
      {"[\"x\"]", "[\"x\"]"},
      {"", ""},
  };
  for (const Case& c : cases) {
    char err[512];
    format_auth_error(401, c.body, err, sizeof(err));
    EXPECT_EQ(std::string(err), "control plane auth failed (HTTP 401): " + c.expected_text);
  }
}

TEST(FormatAuthError, LongBodyIsCutTo256Bytes) {
  const std::string body = "<html>" + std::string(994, 'x');
  char err[2048];
  format_auth_error(500, body, err, sizeof(err));
  EXPECT_EQ(std::string(err), "control plane auth failed (HTTP 500): " + body.substr(0, 256));
}

TEST(AuthResultFree, ClearsEverythingAndIsRepeatable) {
  Parsed p;
  parse(R"({"session_token":"st","access_token":"at","name":"n","expires_in":5})", &p);
  ASSERT_EQ(p.rc, 0);
  nv_auth_result_free(&p.result);
  EXPECT_TRUE(all_null(p.result));
  nv_auth_result_free(&p.result);
  nv_auth_result_free(nullptr);
}

TEST(AuthLogin, NullArguments) {
  NVAuthResult r{};
  char err[256];
  EXPECT_EQ(nv_auth_login_password(nullptr, "u", "p", nullptr, nullptr, nullptr, &r, err,
                                   sizeof(err)),
            -1);
  EXPECT_STREQ(err, "nv_auth_login_password: NULL argument");
  EXPECT_EQ(nv_auth_login_password("http://h", "u", "p", nullptr, nullptr, nullptr, nullptr,
                                   err, sizeof(err)),
            -1);
  EXPECT_EQ(nv_auth_login_client_credentials("http://h", nullptr, "s", nullptr, nullptr,
                                             nullptr, &r, err, sizeof(err)),
            -1);
  EXPECT_STREQ(err, "nv_auth_login_client_credentials: NULL argument");
}

TEST(AuthLogin, NonUtf8CredentialsAreRefusedBeforeSending) {
  NVAuthResult r{};
  char err[512];
  // Port 9 on loopback is never contacted: encoding fails first.
  EXPECT_EQ(nv_auth_login_password("http://127.0.0.1:9", "u", "p\xff", nullptr, nullptr,
                                   nullptr, &r, err, sizeof(err)),
            -1);
  EXPECT_EQ(std::string(err).rfind(
                "auth: failed to encode credentials as JSON (non-UTF-8 input?): ", 0),
            0u)
      << err;
  EXPECT_EQ(nv_auth_login_client_credentials("http://127.0.0.1:9", "\xc3", "s", nullptr,
                                             nullptr, nullptr, &r, err, sizeof(err)),
            -1);
  EXPECT_EQ(std::string(err).rfind(
                "auth: failed to encode client credentials as JSON (non-UTF-8 input?): ", 0),
            0u)
      << err;
}

}  // namespace
