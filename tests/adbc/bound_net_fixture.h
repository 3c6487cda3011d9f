// What the tests of bound data through the driver share: Arrow data written as JSON, batches of
// named columns, and a fixture whose statements are released at each test's end.
#pragma once

#include <arrow/api.h>
#include <arrow/json/from_string.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/adbc/driver_net_fixture.h"
#include "tests/core/ingest/ingest_net_util.h"

namespace nv_adbc_test {

using Lines = std::vector<std::string>;
using Options = std::vector<std::pair<const char*, const char*>>;

inline std::shared_ptr<arrow::Array> Json(const std::shared_ptr<arrow::DataType>& type,
                                          const std::string& json) {
  return arrow::json::ArrayFromJSONString(type, json).ValueOrDie();
}

inline std::shared_ptr<arrow::RecordBatch> Batch(
    const std::vector<std::pair<std::string, std::shared_ptr<arrow::Array>>>& columns) {
  arrow::FieldVector fields;
  arrow::ArrayVector arrays;
  for (const auto& [name, array] : columns) {
    fields.push_back(arrow::field(name, array->type()));
    arrays.push_back(array);
  }
  return arrow::RecordBatch::Make(arrow::schema(fields), arrays.at(0)->length(), arrays);
}

class BoundNetTest : public DriverNetTest {
 protected:
  void TearDown() override {
    AdbcError e{};
    for (auto& stmt : statements_) driver_.StatementRelease(stmt.get(), &e);
    DriverNetTest::TearDown();
  }

  // SQL run by the service itself, around the driver.
  void Sql(const std::string& sql) {
    std::string err;
    ASSERT_TRUE(svc().Sql(sql, &err)) << sql << ": " << err;
  }
  Lines Rows(const std::string& sql) { return nv_ingest_test::Rows(svc(), sql); }

  // A statement with the SQL and options, prepared, released at the test's end.
  AdbcStatement* Prepared(const std::string& sql, const Options& options = {}) {
    statements_.push_back(std::make_unique<AdbcStatement>());
    AdbcStatement* stmt = statements_.back().get();
    AdbcError e{};
    EXPECT_EQ(driver_.StatementNew(&conn_, stmt, &e), ADBC_STATUS_OK);
    for (const auto& [k, v] : options) {
      EXPECT_EQ(driver_.StatementSetOption(stmt, k, v, &e), ADBC_STATUS_OK) << k;
    }
    EXPECT_EQ(driver_.StatementSetSqlQuery(stmt, sql.c_str(), &e), ADBC_STATUS_OK);
    EXPECT_EQ(driver_.StatementPrepare(stmt, &e), ADBC_STATUS_OK);
    return stmt;
  }

  std::vector<std::unique_ptr<AdbcStatement>> statements_;
};

}  // namespace nv_adbc_test
