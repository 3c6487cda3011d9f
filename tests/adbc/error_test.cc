#include <cstring>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "adbc/error_internal.h"

namespace norvale::adbc {
namespace {

std::string sqlstate_of(const AdbcError& e) { return std::string(e.sqlstate, 5); }

TEST(SetErrorFromNv, SqlstateRulesInTheirOrder) {
  struct Case {
    const char* message;
    const char* sqlstate;
  };
  const Case cases[] = {
      {"invalid credentials for user", "28000"},
      {"authentication failed: bad password", "28000"},
      {"HTTP 401 from control plane", "28000"},
      {"Unauthorized", "28000"},
      {"could not connect to host", "08001"},
      {"connection refused", "08001"},
      {"TLS handshake failed", "08001"},
      {"SSL certificate verify failed", "08001"},
      {"DNS lookup timeout", "08001"},  // rule 4 comes before rule 7
      {"connection closed by peer", "08006"},
      {"write: broken pipe", "08006"},
      {"server hung up", "08006"},
      {"operation timed out", "HYT00"},
      {"read timeout", "HYT00"},
      {"syntax error at or near FROM", "42000"},
      {"parse error", "42000"},
      {"Plan error: no such column", "42000"},
      {"Schema mismatch on column 2", "42000"},
      {"403 Forbidden", "42501"},
      {"permission denied for table t", "42501"},
      {"Timed Out", "HY000"},  // matching is case-sensitive
      {"division by zero", "HY000"},
      {"authentication failed after timeout", "28000"},
      // libcurl's own wording of connect and certificate failures.
      {"HTTP transport error: Failed to connect to 127.0.0.1 port 5 after 0 ms: Could not "
       "connect to server",
       "08001"},
      {"HTTP transport error: SSL certificate OpenSSL verify result: unable to get local issuer "
       "certificate (20)",
       "08001"},
      // A status number inside a longer number (a port) is not a status.
      {"connection closed by 127.0.0.1:40153", "08006"},
      {"request to port 14031 timed out", "HYT00"},
      {"HTTP 401: token expired", "28000"},
      {"denied (403)", "42501"},
  };
  for (const Case& c : cases) {
    AdbcError error{};
    set_error_from_nv(&error, c.message);
    EXPECT_EQ(sqlstate_of(error), c.sqlstate) << c.message;
    EXPECT_STREQ(error.message, c.message);
    EXPECT_EQ(error.vendor_code, 0) << "no native code was given: " << c.message;
    error.release(&error);
  }
}

TEST(SetErrorFromNv, EmptyOrNullMessageGetsTheFixedText) {
  for (const char* message : {static_cast<const char*>(nullptr), ""}) {
    AdbcError error{};
    set_error_from_nv(&error, message, ErrorOrigin{7, {}});
    EXPECT_STREQ(error.message, "Norvale transport reported an error with no message");
    EXPECT_EQ(sqlstate_of(error), "HY000");
    EXPECT_EQ(error.vendor_code, 7);
    error.release(&error);
  }
  set_error_from_nv(nullptr, "ignored");  // a null error is simply not filled
}

TEST(SetError, ReplacesAnEarlierMessageAndReleasesCleanly) {
  AdbcError error{};
  set_error(&error, "first", "HY009");
  set_error(&error, std::string(300, 'x'), "HY010");  // the first message is freed (ASan checks)
  EXPECT_EQ(std::strlen(error.message), 300u);
  EXPECT_EQ(sqlstate_of(error), "HY010");
  EXPECT_EQ(error.vendor_code, 0);
  EXPECT_EQ(error.release, &release_error);
  EXPECT_EQ(error.private_data, nullptr);
  error.release(&error);
  EXPECT_EQ(error.message, nullptr);
  EXPECT_EQ(error.release, nullptr);
  EXPECT_EQ(sqlstate_of(error), std::string(5, '\0'));
  clear_error(&error);  // clearing a released error is harmless
}

TEST(SetError, Touches110MembersOnlyWhenTheHostHasThem) {
  // A 1.0.0 host's structure ends before private_data: the bytes after it are not the error's.
  alignas(AdbcError) unsigned char buffer[sizeof(AdbcError)];
  std::memset(buffer, 0x5A, sizeof(buffer));
  auto* small = reinterpret_cast<AdbcError*>(buffer);
  std::memset(buffer, 0, ADBC_ERROR_1_0_0_SIZE);
  set_error(small, "first", "HY000");
  set_error_from_nv(small, "second: timed out", ErrorOrigin{404, {{kDetailStreamId, "qs-1"}}});
  EXPECT_EQ(std::string(small->sqlstate, 5), "HYT00");
  EXPECT_EQ(small->vendor_code, 404) << "the native code goes to a 1.0.0 host's vendor code";
  EXPECT_EQ(nv_adbc_error_get_detail_count(small), 0);
  small->release(small);
  EXPECT_EQ(small->vendor_code, 0);
  for (size_t i = ADBC_ERROR_1_0_0_SIZE; i < sizeof(buffer); ++i) {
    ASSERT_EQ(buffer[i], 0x5A) << "byte " << i << " past a 1.0.0 AdbcError was written";
  }

  // A 1.1.0 error passed with vendor code 0 is a 1.0.0 error: canaries in its 1.1 members stay.
  AdbcError plain{};
  int canary = 0;
  plain.private_data = &canary;
  plain.private_driver = reinterpret_cast<AdbcDriver*>(&canary);
  set_error(&plain, "message", "HY009", ErrorOrigin{12, {}});
  EXPECT_EQ(plain.vendor_code, 12);
  plain.release(&plain);
  EXPECT_EQ(plain.private_data, &canary);
  EXPECT_EQ(plain.private_driver, reinterpret_cast<AdbcDriver*>(&canary));
}

TEST(SetError, AnnouncedErrorKeepsItsMarkerAndIsReusable) {
  AdbcError error{};
  error.vendor_code = ADBC_ERROR_VENDOR_CODE_PRIVATE_DATA;
  int canary = 0;
  error.private_driver = reinterpret_cast<AdbcDriver*>(&canary);  // the manager's, not ours
  for (int round = 0; round < 2; ++round) {
    set_error(&error, "message", "HY009", ErrorOrigin{42, {}});
    EXPECT_EQ(error.vendor_code, ADBC_ERROR_VENDOR_CODE_PRIVATE_DATA) << round;
    EXPECT_NE(error.private_data, nullptr) << "private_data is null only for an empty error";
    EXPECT_EQ(nv_adbc_error_get_detail_count(&error), 1);
    error.release(&error);
    EXPECT_EQ(error.vendor_code, ADBC_ERROR_VENDOR_CODE_PRIVATE_DATA) << round;
    EXPECT_EQ(error.private_data, nullptr);
    EXPECT_EQ(error.message, nullptr);
    EXPECT_EQ(error.release, nullptr);
    EXPECT_EQ(nv_adbc_error_get_detail_count(&error), 0);
  }
  EXPECT_EQ(error.private_driver, reinterpret_cast<AdbcDriver*>(&canary));
}

// Another driver's release may zero the whole structure; the host's announcement stands.
void zeroing_release(AdbcError* error) { std::memset(error, 0, ADBC_ERROR_1_1_0_SIZE); }

TEST(SetError, ReplacingAnotherDriversErrorKeepsTheAnnouncement) {
  AdbcError error{};
  error.vendor_code = ADBC_ERROR_VENDOR_CODE_PRIVATE_DATA;
  error.release = zeroing_release;
  set_error(&error, "ours", "HY000");
  EXPECT_EQ(error.vendor_code, ADBC_ERROR_VENDOR_CODE_PRIVATE_DATA);
  EXPECT_NE(error.private_data, nullptr);
  error.release(&error);
}

TEST(ErrorDetails, OriginInOrderNativeCodeFirst) {
  AdbcError error{};
  error.vendor_code = ADBC_ERROR_VENDOR_CODE_PRIVATE_DATA;
  set_error(&error, "table t not found", "42S02",
            ErrorOrigin{404, {{kDetailStreamId, "qs-abc"}, {kDetailHttpStatus, ""}}});
  ASSERT_EQ(nv_adbc_error_get_detail_count(&error), 3);
  const std::pair<std::string, std::string> expected[] = {
      {"norvale.native_code", "404"}, {"norvale.stream_id", "qs-abc"}, {"norvale.http_status", ""}};
  for (int i = 0; i < 3; ++i) {
    const AdbcErrorDetail d = nv_adbc_error_get_detail(&error, i);
    ASSERT_NE(d.key, nullptr) << i;
    ASSERT_NE(d.value, nullptr) << "hosts stop at a null value, also an empty one: " << i;
    EXPECT_EQ(d.key, expected[i].first);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d.value), d.value_length),
              expected[i].second);
  }
  for (int index : {-1, 3}) {
    const AdbcErrorDetail d = nv_adbc_error_get_detail(&error, index);
    EXPECT_EQ(d.key, nullptr);
    EXPECT_EQ(d.value, nullptr);
    EXPECT_EQ(d.value_length, 0u);
  }
  error.release(&error);
}

TEST(ErrorDetails, NoneForErrorsThisDriverDidNotFill) {
  int foreign_payload = 0;
  AdbcError foreign{};
  foreign.vendor_code = ADBC_ERROR_VENDOR_CODE_PRIVATE_DATA;
  foreign.private_data = &foreign_payload;  // another driver's record: never read as ours
  foreign.release = zeroing_release;
  EXPECT_EQ(nv_adbc_error_get_detail_count(&foreign), 0);
  EXPECT_EQ(nv_adbc_error_get_detail(&foreign, 0).key, nullptr);
  EXPECT_EQ(nv_adbc_error_get_detail_count(nullptr), 0);
  EXPECT_EQ(nv_adbc_error_get_detail(nullptr, 0).key, nullptr);
}

TEST(DefaultSqlstate, EveryStatus) {
  const char* expected[] = {"00000", "HY000", "0A000", "42P01", "42P07", "HY009", "HY010",
                            "22023", "23000", "HY000", "08000", "57014", "HYT00", "28000",
                            "42501", "HY000"};
  for (int status = 0; status < 16; ++status) {
    EXPECT_STREQ(default_sqlstate_for(static_cast<uint8_t>(status)), expected[status]) << status;
  }
  EXPECT_STREQ(default_sqlstate_for(255), "HY000");
}

TEST(StatusForSqlstate, ExactCodesThenFamilies) {
  struct Case {
    const char* sqlstate;
    AdbcStatusCode status;
  };
  const Case cases[] = {
      {"42S02", ADBC_STATUS_NOT_FOUND},         {"42S22", ADBC_STATUS_NOT_FOUND},
      {"42704", ADBC_STATUS_NOT_FOUND},         {"42S01", ADBC_STATUS_ALREADY_EXISTS},
      {"42P07", ADBC_STATUS_ALREADY_EXISTS},    {"42501", ADBC_STATUS_UNAUTHORIZED},
      {"42000", ADBC_STATUS_INVALID_ARGUMENT},  {"42S21", ADBC_STATUS_INVALID_ARGUMENT},
      {"42P01", ADBC_STATUS_INVALID_ARGUMENT},  {"22018", ADBC_STATUS_INVALID_DATA},
      {"22012", ADBC_STATUS_INVALID_DATA},      {"22007", ADBC_STATUS_INVALID_DATA},
      {"23000", ADBC_STATUS_INTEGRITY},         {"23505", ADBC_STATUS_INTEGRITY},
      {"28000", ADBC_STATUS_UNAUTHENTICATED},   {"28P01", ADBC_STATUS_UNAUTHENTICATED},
      {"HY008", ADBC_STATUS_CANCELLED},         {"57014", ADBC_STATUS_CANCELLED},
      {"HYT00", ADBC_STATUS_TIMEOUT},           {"0A000", ADBC_STATUS_NOT_IMPLEMENTED},
      {"0A001", ADBC_STATUS_IO},                {"25000", ADBC_STATUS_INVALID_STATE},
      {"25P02", ADBC_STATUS_INVALID_STATE},     {"08001", ADBC_STATUS_IO},
      {"08S01", ADBC_STATUS_IO},                {"40001", ADBC_STATUS_IO},
      {"53400", ADBC_STATUS_IO},                {"HY000", ADBC_STATUS_IO},
      {"57000", ADBC_STATUS_IO},                {"", ADBC_STATUS_IO},
      {"42", ADBC_STATUS_IO},                   {nullptr, ADBC_STATUS_IO},
      // The driver's own failures of bound parameters.
      {"07006", ADBC_STATUS_NOT_IMPLEMENTED},   {"07002", ADBC_STATUS_INVALID_ARGUMENT},
      {"07001", ADBC_STATUS_IO},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(status_for_sqlstate(c.sqlstate), c.status) << (c.sqlstate ? c.sqlstate : "null");
  }
}

TEST(ParseBoolOption, AcceptedAndRejectedTexts) {
  struct Case {
    const char* text;
    bool parsed;
    bool value;
  };
  const Case cases[] = {
      {"1", true, true},     {"0", true, false},     {"on", true, true},   {"On", true, true},
      {"oN", true, true},    {"no", true, false},    {"yes", true, true},  {"Yes", true, true},
      {"off", true, false},  {"OFF", true, false},   {"true", true, true}, {"TRUE", true, true},
      {"false", true, false}, {"2", false, false},   {"y", false, false},  {"n", false, false},
      {"", false, false},    {"enable", false, false}, {"falsey", false, false},
      {"tru", false, false}, {" true", false, false},
  };
  for (const Case& c : cases) {
    bool out = !c.value;
    bool before = out;
    EXPECT_EQ(parse_bool_option(c.text, &out), c.parsed) << '"' << c.text << '"';
    EXPECT_EQ(out, c.parsed ? c.value : before) << '"' << c.text << '"';
  }
  EXPECT_FALSE(parse_bool_option("true", nullptr));
}

TEST(StringHelpers, KeyIsDupAndReplace) {
  EXPECT_TRUE(key_is("uri", "uri"));
  EXPECT_FALSE(key_is("uri2", "uri"));
  EXPECT_FALSE(key_is("ur", "uri"));
  EXPECT_FALSE(key_is(nullptr, "uri"));
  EXPECT_EQ(dup_cstr(nullptr), nullptr);
  char* slot = dup_cstr("old");
  replace_cstr(&slot, "new");
  EXPECT_STREQ(slot, "new");
  replace_cstr(&slot, nullptr);
  EXPECT_EQ(slot, nullptr);
  slot = dup_cstr("secret");
  wipe_cstr(&slot);
  EXPECT_EQ(slot, nullptr);
}

}  // namespace
}  // namespace norvale::adbc
