// Errors as ADBC 1.1 hosts read them, through the driver loaded as a host loads it: the error
// of a failed result stream (AdbcErrorFromArrayStream), the details of an error, the vendor
// code, and the 1.1 members of an error that the host did not announce.
#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <string>
#include <vector>

#include "tests/adbc/driver_net_fixture.h"

namespace {

using nv_adbc_test::Failure;
using nv_adbc_test::take;

class ErrorDetailsNetTest : public nv_adbc_test::DriverNetTest {
 protected:
  // The details of an error, by key.
  std::map<std::string, std::string> Details(const AdbcError* error) {
    std::map<std::string, std::string> out;
    const int count = driver_.ErrorGetDetailCount(error);
    for (int i = 0; i < count; ++i) {
      const AdbcErrorDetail d = driver_.ErrorGetDetail(error, i);
      EXPECT_NE(d.key, nullptr);
      EXPECT_NE(d.value, nullptr);
      if (d.key == nullptr || d.value == nullptr) break;
      out[d.key] = std::string(reinterpret_cast<const char*>(d.value), d.value_length);
    }
    return out;
  }

  // Runs `sql` with an output stream and reads it until get_next fails; that errno.
  int ReadUntilFailure(const char* sql, ArrowArrayStream* out) {
    EXPECT_EQ(execute(sql, out, nullptr).status, ADBC_STATUS_OK);
    for (;;) {
      ArrowArray batch{};
      const int rc = out->get_next(out, &batch);
      if (rc != 0) return rc;
      if (batch.release == nullptr) return 0;
      batch.release(&batch);
    }
  }
};

TEST_F(ErrorDetailsNetTest, ErrorFrameMidStreamReachesTheHostWithStatusAndSqlstate) {
  svc().AddFault({{"endpoint", "query"},
                  {"error_after_batches", 1},
                  {"error_message", "division by zero (code: 1234)"},
                  {"error_code", "INTERNAL_ERROR"}});
  ArrowArrayStream produced{};
  const int rc = ReadUntilFailure("SELECT * FROM inventory.products", &produced);
  EXPECT_EQ(rc, EIO);
  // A driver manager moves the stream into a wrapper of its own: nothing may depend on where
  // the structure lives.
  ArrowArrayStream moved = produced;
  produced = ArrowArrayStream{};

  AdbcStatusCode status = ADBC_STATUS_OK;
  const AdbcError* error = driver_.ErrorFromArrayStream(&moved, &status);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(status, ADBC_STATUS_INVALID_DATA);
  EXPECT_EQ(std::string(error->sqlstate, 5), "22012");
  ASSERT_NE(error->message, nullptr);
  EXPECT_NE(std::string(error->message).find("division by zero"), std::string::npos);
  EXPECT_EQ(error->vendor_code, ADBC_ERROR_VENDOR_CODE_PRIVATE_DATA);
  const auto details = Details(error);
  EXPECT_EQ(details.at("norvale.native_code"), "1234");
  EXPECT_EQ(details.at("norvale.http_status"), "200");
  EXPECT_TRUE(details.at("norvale.stream_id").starts_with("qs-")) << details.at("norvale.stream_id");

  // Python releases the error it was handed; the stream's own release must cope.
  const_cast<AdbcError*>(error)->release(const_cast<AdbcError*>(error));
  EXPECT_EQ(driver_.ErrorFromArrayStream(&moved, &status), nullptr);
  moved.release(&moved);
}

TEST_F(ErrorDetailsNetTest, StreamThatStallsPastTheQueryTimeoutEndsWithEtimedout) {
  AdbcError e{};
  ASSERT_EQ(driver_.ConnectionSetOption(&conn_, "adbc.norvale.query_timeout_sec", "1", &e),
            ADBC_STATUS_OK);
  svc().AddFault({{"endpoint", "query"}, {"stall_after_bytes", 64}, {"stall_ms", 5000}});
  ArrowArrayStream out{};
  EXPECT_EQ(ReadUntilFailure("SELECT * FROM inventory.products", &out), ETIMEDOUT);
  AdbcStatusCode status = ADBC_STATUS_OK;
  const AdbcError* error = driver_.ErrorFromArrayStream(&out, &status);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(status, ADBC_STATUS_TIMEOUT);
  EXPECT_EQ(std::string(error->sqlstate, 5), "HYT00");
  out.release(&out);
}

TEST_F(ErrorDetailsNetTest, ErrorFromArrayStreamAnswersOnlyForThisDriversFailedStreams) {
  AdbcStatusCode status = ADBC_STATUS_IO;
  // A stream that has not failed.
  ArrowArrayStream ok{};
  ASSERT_EQ(ReadUntilFailure("SELECT * FROM inventory.products", &ok), 0);
  EXPECT_EQ(driver_.ErrorFromArrayStream(&ok, &status), nullptr);
  ok.release(&ok);
  // A metadata result is another producer's stream (Arrow's exported reader).
  ArrowArrayStream types{};
  AdbcError e{};
  ASSERT_EQ(driver_.ConnectionGetTableTypes(&conn_, &types, &e), ADBC_STATUS_OK);
  EXPECT_EQ(driver_.ErrorFromArrayStream(&types, &status), nullptr);
  types.release(&types);
  EXPECT_EQ(status, ADBC_STATUS_IO) << "status is not written without an error";
}

TEST_F(ErrorDetailsNetTest, AnnouncedErrorCarriesDetailsAndItsMarker) {
  AdbcStatement stmt{};
  AdbcError e{};
  e.vendor_code = ADBC_ERROR_VENDOR_CODE_PRIVATE_DATA;  // as Python and the managers pass it
  ASSERT_EQ(driver_.StatementNew(&conn_, &stmt, &e), ADBC_STATUS_OK);
  ASSERT_EQ(driver_.StatementSetSqlQuery(&stmt, "SELECT * FROM no_such_table", &e),
            ADBC_STATUS_OK);
  for (int round = 0; round < 2; ++round) {  // released and reused, as the managers do
    int64_t rows = 0;
    ASSERT_EQ(driver_.StatementExecuteQuery(&stmt, nullptr, &rows, &e), ADBC_STATUS_NOT_FOUND);
    EXPECT_EQ(std::string(e.sqlstate, 5), "42S02");
    EXPECT_EQ(e.vendor_code, ADBC_ERROR_VENDOR_CODE_PRIVATE_DATA);
    const auto details = Details(&e);
    EXPECT_EQ(details.at("norvale.native_code"), "404");
    EXPECT_EQ(details.at("norvale.http_status"), "404");
    EXPECT_EQ(details.count("norvale.stream_id"), 0u) << "refused before any stream began";
    e.release(&e);
    EXPECT_EQ(e.vendor_code, ADBC_ERROR_VENDOR_CODE_PRIVATE_DATA);
    EXPECT_EQ(e.private_data, nullptr);
    EXPECT_EQ(driver_.ErrorGetDetailCount(&e), 0);
  }
  driver_.StatementRelease(&stmt, &e);
}

// The validation suite's ErrorCompatibility: a host that passes vendor code 0 has no 1.1
// members, whatever bytes sit where they would be.
TEST_F(ErrorDetailsNetTest, UnannouncedErrorKeepsWhatLiesInThe110Members) {
  AdbcStatement stmt{};
  AdbcError e{};
  ASSERT_EQ(driver_.StatementNew(&conn_, &stmt, &e), ADBC_STATUS_OK);
  ASSERT_EQ(driver_.StatementSetSqlQuery(&stmt, "SELECT * FROM no_such_table", &e),
            ADBC_STATUS_OK);
  int canary = 0;
  e.private_data = &canary;
  e.private_driver = reinterpret_cast<AdbcDriver*>(&canary);
  int64_t rows = 0;
  ASSERT_EQ(driver_.StatementExecuteQuery(&stmt, nullptr, &rows, &e), ADBC_STATUS_NOT_FOUND);
  EXPECT_EQ(e.vendor_code, 404) << "the service's code, never the ADBC status";
  EXPECT_EQ(e.private_data, &canary);
  EXPECT_EQ(e.private_driver, reinterpret_cast<AdbcDriver*>(&canary));
  e.release(&e);
  EXPECT_EQ(e.private_data, &canary);
  EXPECT_EQ(e.private_driver, reinterpret_cast<AdbcDriver*>(&canary));
  e.private_data = nullptr;
  e.private_driver = nullptr;
  driver_.StatementRelease(&stmt, &e);
}

}  // namespace
