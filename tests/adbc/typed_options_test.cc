// The typed option entries of ADBC 1.1 through the driver table, on handles that need no
// service: database options before init, connection options before init, and the metadata
// answers that are built locally.
#include <arrow/api.h>
#include <arrow/c/bridge.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "tests/adbc/driver_table.h"

namespace {

using nv_adbc_test::driver_table;

struct Outcome {
  AdbcStatusCode status;
  std::string sqlstate;
};

Outcome outcome(AdbcStatusCode status, AdbcError* e) {
  Outcome o{status, e->release != nullptr ? std::string(e->sqlstate, 5) : ""};
  if (e->release != nullptr) e->release(e);
  return o;
}

class TypedOptionsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(d().DatabaseNew(&db_, &error_), ADBC_STATUS_OK); }
  void TearDown() override {
    d().ConnectionRelease(&conn_, &error_);
    d().DatabaseRelease(&db_, &error_);
  }
  static const AdbcDriver& d() { return driver_table(); }

  // The string getter with a buffer big enough; the status otherwise.
  std::string Get(const char* key, AdbcStatusCode* status = nullptr) {
    char buffer[256];
    size_t length = sizeof buffer;
    const AdbcStatusCode rc = d().DatabaseGetOption(&db_, key, buffer, &length, &error_);
    if (status != nullptr) *status = rc;
    if (error_.release != nullptr) error_.release(&error_);
    return rc == ADBC_STATUS_OK ? std::string(buffer, length - 1) : "<" + std::to_string(rc) + ">";
  }

  AdbcDatabase db_{};
  AdbcConnection conn_{};
  AdbcError error_{};
};

// Python hands an int through SetOptionInt, a float through SetOptionDouble and bytes through
// SetOptionBytes: each reaches the string setter as text, with its validation.
TEST_F(TypedOptionsTest, TypedSettersGoThroughTheStringSetter) {
  enum Setter { kInt, kDouble, kBytes };
  struct Case {
    const char* what;
    Setter setter;
    int64_t integer;
    double real;
    std::string bytes;
    const char* key;
    AdbcStatusCode status;
    const char* read_back;  // null: not checked
  };
  const Case cases[] = {
      {"int", kInt, 30, 0, "", "adbc.norvale.connect_timeout_sec", ADBC_STATUS_OK, "30"},
      {"negative int", kInt, -1, 0, "", "adbc.norvale.connect_timeout_sec",
       ADBC_STATUS_INVALID_ARGUMENT, "30"},
      {"integral double", kDouble, 0, 64.0, "", "adbc.norvale.max_stream_buffer_mb",
       ADBC_STATUS_OK, "64"},
      {"fractional double", kDouble, 0, 2.5, "", "adbc.norvale.max_stream_buffer_mb",
       ADBC_STATUS_INVALID_ARGUMENT, "64"},
      {"NaN", kDouble, 0, std::nan(""), "", "adbc.norvale.connect_timeout_sec",
       ADBC_STATUS_INVALID_ARGUMENT, "30"},
      {"double as text", kDouble, 0, 1.2, "", "adbc.norvale.tls.min_version", ADBC_STATUS_OK,
       "1.2"},
      {"bytes", kBytes, 0, 0, "analyst", "username", ADBC_STATUS_OK, "analyst"},
      {"bytes with a NUL", kBytes, 0, 0, std::string("b\0c", 3), "username",
       ADBC_STATUS_INVALID_ARGUMENT, "analyst"},
      {"int for a boolean", kInt, 1, 0, "", "adbc.norvale.tls.trust_server_cert",
       ADBC_STATUS_OK, "true"},
      {"unknown key", kInt, 1, 0, "", "adbc.norvale.no_such_option",
       ADBC_STATUS_NOT_IMPLEMENTED, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    AdbcStatusCode status;
    if (c.setter == kInt) {
      status = d().DatabaseSetOptionInt(&db_, c.key, c.integer, &error_);
    } else if (c.setter == kDouble) {
      status = d().DatabaseSetOptionDouble(&db_, c.key, c.real, &error_);
    } else {
      status = d().DatabaseSetOptionBytes(
          &db_, c.key, reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size(), &error_);
    }
    EXPECT_EQ(outcome(status, &error_).status, c.status);
    if (c.read_back != nullptr) {
      EXPECT_EQ(Get(c.key), c.read_back);
    }
  }
  int64_t number = 0;
  EXPECT_EQ(d().DatabaseGetOptionInt(&db_, "adbc.norvale.connect_timeout_sec", &number, &error_),
            ADBC_STATUS_OK);
  EXPECT_EQ(number, 30);
  double real = 0;
  EXPECT_EQ(d().DatabaseGetOptionDouble(&db_, "adbc.norvale.max_stream_buffer_mb", &real, &error_),
            ADBC_STATUS_OK);
  EXPECT_EQ(real, 64.0);
  // A text that is no number is not readable as one.
  EXPECT_EQ(outcome(d().DatabaseGetOptionInt(&db_, "username", &number, &error_), &error_).status,
            ADBC_STATUS_NOT_FOUND);
}

// Secrets are accepted and used, never read back; an unset option and an unknown key are
// NOT_FOUND.
TEST_F(TypedOptionsTest, SecretsAndUnsetOptionsAreNotFound) {
  for (const char* key : {"password", "adbc.norvale.session_token", "adbc.norvale.proxy_pass"}) {
    SCOPED_TRACE(key);
    ASSERT_EQ(d().DatabaseSetOption(&db_, key, "s3cret-value", &error_), ADBC_STATUS_OK);
    AdbcStatusCode status;
    Get(key, &status);
    EXPECT_EQ(status, ADBC_STATUS_NOT_FOUND);
    uint8_t bytes[64];
    size_t length = sizeof bytes;
    std::memset(bytes, 0, sizeof bytes);
    EXPECT_EQ(outcome(d().DatabaseGetOptionBytes(&db_, key, bytes, &length, &error_), &error_)
                  .status,
              ADBC_STATUS_NOT_FOUND);
    EXPECT_EQ(bytes[0], 0) << "nothing of the secret is written";
  }
  AdbcStatusCode status;
  Get("adbc.norvale.application_name", &status);
  EXPECT_EQ(status, ADBC_STATUS_NOT_FOUND);
  Get("adbc.norvale.no_such_option", &status);
  EXPECT_EQ(status, ADBC_STATUS_NOT_FOUND);
}

// The header's rule: with room the value and its NUL are written and length is the value's
// size with the NUL; without room nothing is written and length says what is needed. Bytes
// carry no NUL.
TEST_F(TypedOptionsTest, BufferLengthRule) {
  ASSERT_EQ(d().DatabaseSetOption(&db_, "uri", "http://cp.example:8080", &error_),
            ADBC_STATUS_OK);
  const std::string uri = "http://cp.example:8080";
  for (size_t room : {size_t{0}, uri.size(), uri.size() + 1, uri.size() + 10}) {
    SCOPED_TRACE(room);
    std::vector<char> buffer(room + 1, 'x');
    size_t length = room;
    ASSERT_EQ(d().DatabaseGetOption(&db_, "uri", buffer.data(), &length, &error_),
              ADBC_STATUS_OK);
    EXPECT_EQ(length, uri.size() + 1);
    if (room >= uri.size() + 1) {
      EXPECT_STREQ(buffer.data(), uri.c_str());
    } else {
      EXPECT_EQ(std::string(buffer.begin(), buffer.end()), std::string(room + 1, 'x'));
    }
  }
  std::vector<uint8_t> bytes(uri.size(), 0);
  size_t length = bytes.size();
  ASSERT_EQ(d().DatabaseGetOptionBytes(&db_, "uri", bytes.data(), &length, &error_),
            ADBC_STATUS_OK);
  EXPECT_EQ(length, uri.size());
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), uri);
  length = 3;
  ASSERT_EQ(d().DatabaseGetOptionBytes(&db_, "uri", bytes.data(), &length, &error_),
            ADBC_STATUS_OK);
  EXPECT_EQ(length, uri.size());
  // A null length is an argument error, not a crash.
  char one[4];
  EXPECT_EQ(outcome(d().DatabaseGetOption(&db_, "uri", one, nullptr, &error_), &error_).status,
            ADBC_STATUS_INVALID_ARGUMENT);
}

// Connection options set before init (as driver managers replay them), and the standard keys
// a connection answers before it is initialised.
TEST_F(TypedOptionsTest, ConnectionOptionsBeforeInit) {
  ASSERT_EQ(d().ConnectionNew(&conn_, &error_), ADBC_STATUS_OK);
  // Python sends a bool keyword as "true" and once more as bytes.
  static const uint8_t kTrue[] = {'t', 'r', 'u', 'e'};
  ASSERT_EQ(d().ConnectionSetOption(&conn_, "adbc.connection.readonly", "true", &error_),
            ADBC_STATUS_OK);
  ASSERT_EQ(d().ConnectionSetOptionBytes(&conn_, "adbc.connection.readonly", kTrue, 4, &error_),
            ADBC_STATUS_OK);
  ASSERT_EQ(d().ConnectionSetOptionInt(&conn_, "adbc.norvale.batch_size_hint", 5000, &error_),
            ADBC_STATUS_OK);
  EXPECT_EQ(outcome(d().ConnectionSetOptionDouble(&conn_, "adbc.norvale.query_timeout_sec", 0.5,
                                                  &error_),
                    &error_)
                .status,
            ADBC_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(outcome(d().ConnectionSetOptionInt(&conn_, "adbc.connection.autocommit", 0, &error_),
                    &error_)
                .status,
            ADBC_STATUS_NOT_IMPLEMENTED);

  char text[16];
  size_t length = sizeof text;
  ASSERT_EQ(d().ConnectionGetOption(&conn_, "adbc.connection.autocommit", text, &length, &error_),
            ADBC_STATUS_OK);
  EXPECT_STREQ(text, "true");
  length = sizeof text;
  ASSERT_EQ(d().ConnectionGetOption(&conn_, "adbc.connection.readonly", text, &length, &error_),
            ADBC_STATUS_OK);
  EXPECT_STREQ(text, "true");
  int64_t hint = 0;
  ASSERT_EQ(d().ConnectionGetOptionInt(&conn_, "adbc.norvale.batch_size_hint", &hint, &error_),
            ADBC_STATUS_OK);
  EXPECT_EQ(hint, 5000);
  // What only a live session knows is not there yet.
  for (const char* key : {"adbc.connection.catalog", "adbc.connection.db_schema",
                          "adbc.norvale.compute_url", "adbc.norvale.compute_node"}) {
    length = sizeof text;
    EXPECT_EQ(outcome(d().ConnectionGetOption(&conn_, key, text, &length, &error_), &error_)
                  .status,
              ADBC_STATUS_NOT_FOUND)
        << key;
  }
}

// The ADBC version GetInfo reports, and the statistics entries.
TEST_F(TypedOptionsTest, GetInfoVersionAndStatistics) {
  ASSERT_EQ(d().ConnectionNew(&conn_, &error_), ADBC_STATUS_OK);
  const uint32_t code = ADBC_INFO_DRIVER_ADBC_VERSION;
  ArrowArrayStream stream{};
  ASSERT_EQ(d().ConnectionGetInfo(&conn_, &code, 1, &stream, &error_), ADBC_STATUS_OK);
  auto reader = arrow::ImportRecordBatchReader(&stream);
  ASSERT_TRUE(reader.ok());
  auto table = (*reader)->ToTable();
  ASSERT_TRUE(table.ok());
  ASSERT_EQ((*table)->num_rows(), 1);
  auto values = std::static_pointer_cast<arrow::DenseUnionArray>((*table)->column(1)->chunk(0));
  auto version = std::static_pointer_cast<arrow::Int64Array>(values->field(values->child_id(0)));
  EXPECT_EQ(version->Value(values->value_offset(0)), ADBC_VERSION_1_1_0);

  ASSERT_EQ(d().ConnectionGetStatisticNames(&conn_, &stream, &error_), ADBC_STATUS_OK);
  auto names = arrow::ImportRecordBatchReader(&stream);
  ASSERT_TRUE(names.ok());
  EXPECT_TRUE((*names)->schema()->Equals(
      arrow::Schema({arrow::field("statistic_name", arrow::utf8(), false),
                     arrow::field("statistic_key", arrow::int16(), false)})))
      << (*names)->schema()->ToString();
  auto rows = (*names)->ToTable();
  ASSERT_TRUE(rows.ok());
  EXPECT_EQ((*rows)->num_rows(), 0);

  const Outcome statistics = outcome(
      d().ConnectionGetStatistics(&conn_, nullptr, nullptr, nullptr, 1, &stream, &error_),
      &error_);
  EXPECT_EQ(statistics.status, ADBC_STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(statistics.sqlstate, "0A000");
  EXPECT_EQ(stream.release, nullptr);
}

}  // namespace
