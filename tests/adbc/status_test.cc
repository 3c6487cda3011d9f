// The one conversion of a failure into what the host reads: message, SQLSTATE, vendor code and
// status, for each way a failure is made inside the driver.
#include "adbc/status_internal.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cells/sql_state_internal.h"

namespace norvale::adbc {
namespace {

struct Reported {
  AdbcStatusCode status;
  std::string message;
  std::string sqlstate;
  int32_t vendor_code;
};

Reported report(const arrow::Status& st) {
  AdbcError error{};
  Reported r{to_adbc(st, &error), error.message != nullptr ? error.message : "",
             error.release != nullptr ? std::string(error.sqlstate, 5) : "", error.vendor_code};
  if (error.release != nullptr) error.release(&error);
  return r;
}

TEST(ToAdbc, EachKindOfFailure) {
  struct Case {
    const char* name;
    arrow::Status status;
    Reported expected;
  };
  const Case cases[] = {
      {"explicit", adbc_failure(ADBC_STATUS_ALREADY_EXISTS, "42S01", "exists", {7, {}}),
       {ADBC_STATUS_ALREADY_EXISTS, "exists", "42S01", 7}},
      {"status default", adbc_failure(ADBC_STATUS_INVALID_DATA, nullptr, "bad"),
       {ADBC_STATUS_INVALID_DATA, "bad", "22023", 0}},
      {"null argument", invalid_argument("f: null x"), {ADBC_STATUS_INVALID_ARGUMENT, "f: null x",
                                                     "HY009", 0}},
      {"wrong state", invalid_state("f: later"), {ADBC_STATUS_INVALID_STATE, "f: later", "HY010",
                                                  0}},
      {"memory", out_of_memory("f: out of memory"),
       {ADBC_STATUS_INTERNAL, "f: out of memory", "HY001", 0}},
      {"option", unsupported_option("f: unknown key"),
       {ADBC_STATUS_NOT_IMPLEMENTED, "f: unknown key", "HYC00", 0}},
      {"cancel", cancelled_by_client("f"), {ADBC_STATUS_CANCELLED, "f: cancelled by client",
                                            "HY008", 0}},
      // A core message: the SQLSTATE follows its text, an empty one gets the fixed text.
      {"transport", transport_failure("request timed out"),
       {ADBC_STATUS_IO, "request timed out", "HYT00", 0}},
      {"transport empty", transport_failure(""),
       {ADBC_STATUS_IO, "Norvale transport reported an error with no message", "HY000", 0}},
      {"transport status", transport_failure("no schema", ADBC_STATUS_NOT_FOUND),
       {ADBC_STATUS_NOT_FOUND, "no schema", "HY000", 0}},
      // Context keeps the SQLSTATE the message chose: a row number that reads like an HTTP
      // status in the prefix changes nothing.
      {"context", with_context("bound row 401 failed: ", transport_failure("connection closed")),
       {ADBC_STATUS_IO, "bound row 401 failed: connection closed", "08006", 0}},
      {"context of plain", with_context("at: ", invalid_argument("x"), "; after"),
       {ADBC_STATUS_INVALID_ARGUMENT, "at: x; after", "HY009", 0}},
      {"new code", with_code(ADBC_STATUS_IO, invalid_state("x")),
       {ADBC_STATUS_IO, "x", "HY010", 0}},
      {"new code and state", with_code(ADBC_STATUS_NOT_FOUND, transport_failure("gone"), "42S02"),
       {ADBC_STATUS_NOT_FOUND, "gone", "42S02", 0}},
      // Failures of lower layers: their SQLSTATE picks the status; bare Arrow ones are the
      // driver's own.
      {"sqlstate detail", cells::sql_error("07006", "no literal"),
       {ADBC_STATUS_NOT_IMPLEMENTED, "no literal", "07006", 0}},
      {"sqlstate detail data", cells::sql_error("22021", "not UTF-8", 3),
       {ADBC_STATUS_INVALID_DATA, "not UTF-8", "22021", 0}},
      {"bare", arrow::Status::IOError("disk"), {ADBC_STATUS_INTERNAL, "disk", "HY000", 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Reported r = report(c.status);
    EXPECT_EQ(r.status, c.expected.status);
    EXPECT_EQ(r.message, c.expected.message);
    EXPECT_EQ(r.sqlstate, c.expected.sqlstate);
    EXPECT_EQ(r.vendor_code, c.expected.vendor_code);
    EXPECT_EQ(adbc_code_of(c.status), c.expected.status);
  }
}

TEST(ToAdbc, OkLeavesTheErrorAlone) {
  AdbcError error{};
  EXPECT_EQ(to_adbc(arrow::Status::OK(), &error), ADBC_STATUS_OK);
  EXPECT_EQ(error.release, nullptr);
  EXPECT_EQ(to_adbc(invalid_state("x"), nullptr), ADBC_STATUS_INVALID_STATE);
}

}  // namespace
}  // namespace norvale::adbc
