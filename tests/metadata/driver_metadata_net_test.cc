// The metadata calls and catalog SQL through the driver loaded with dlopen, over a connection
// opened by AdbcConnectionInit: answered from the snapshot, with no request reaching a compute
// node.
#include <dlfcn.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <arrow/api.h>
#include <arrow/c/bridge.h>
#include <gtest/gtest.h>

#include "norvale_adbc.h"
#include "support/localsvc_fixture.h"

namespace {

class DriverMetadataNetTest : public nv_test::LocalSvcTest {
 protected:
  static void SetUpTestSuite() {
    LocalSvcTest::SetUpTestSuite();
    static void* library = dlopen(NV_DRIVER_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto init = reinterpret_cast<AdbcDriverInitFunc>(dlsym(library, "AdbcDriverInit"));
    ASSERT_NE(init, nullptr);
    ASSERT_EQ(init(ADBC_VERSION_1_0_0, &driver_, nullptr), ADBC_STATUS_OK);
  }

  void SetUp() override {
    LocalSvcTest::SetUp();
    ASSERT_EQ(driver_.DatabaseNew(&db_, nullptr), ADBC_STATUS_OK);
    const std::vector<std::pair<std::string, std::string>> options = {
        {"uri", svc().control_plane_url()},
        {"username", nv_test::LocalSvc::kUser},
        {"password", nv_test::LocalSvc::kPassword}};
    for (const auto& [k, v] : options) {
      ASSERT_EQ(driver_.DatabaseSetOption(&db_, k.c_str(), v.c_str(), nullptr), ADBC_STATUS_OK);
    }
    ASSERT_EQ(driver_.DatabaseInit(&db_, nullptr), ADBC_STATUS_OK);
    ASSERT_EQ(driver_.ConnectionNew(&conn_, nullptr), ADBC_STATUS_OK);
    AdbcError e{};
    ASSERT_EQ(driver_.ConnectionInit(&conn_, &db_, &e), ADBC_STATUS_OK)
        << (e.message ? e.message : "");
    queries_before_ = svc().Counter("requests.query");
  }

  void TearDown() override {
    driver_.ConnectionRelease(&conn_, nullptr);
    driver_.DatabaseRelease(&db_, nullptr);
  }

  static std::shared_ptr<arrow::Table> read_all(ArrowArrayStream* stream) {
    auto reader = arrow::ImportRecordBatchReader(stream);
    EXPECT_TRUE(reader.ok()) << reader.status().ToString();
    if (!reader.ok()) return nullptr;
    auto table = (*reader)->ToTable();
    EXPECT_TRUE(table.ok()) << table.status().ToString();
    return table.ok() ? *table : nullptr;
  }

  std::shared_ptr<arrow::Table> query(const std::string& sql) {
    AdbcStatement stmt{};
    EXPECT_EQ(driver_.StatementNew(&conn_, &stmt, nullptr), ADBC_STATUS_OK);
    EXPECT_EQ(driver_.StatementSetSqlQuery(&stmt, sql.c_str(), nullptr), ADBC_STATUS_OK);
    ArrowArrayStream stream{};
    AdbcError e{};
    AdbcStatusCode status = driver_.StatementExecuteQuery(&stmt, &stream, nullptr, &e);
    EXPECT_EQ(status, ADBC_STATUS_OK) << (e.message ? e.message : "");
    if (e.release) e.release(&e);
    driver_.StatementRelease(&stmt, nullptr);
    return status == ADBC_STATUS_OK ? read_all(&stream) : nullptr;
  }

  int64_t queries_sent() { return svc().Counter("requests.query") - queries_before_; }

  static inline AdbcDriver driver_{};
  AdbcDatabase db_{};
  AdbcConnection conn_{};
  int64_t queries_before_ = 0;
};

TEST_F(DriverMetadataNetTest, CatalogSqlIsAnsweredFromTheSnapshot) {
  auto local = query(
      "SELECT table_name FROM information_schema.tables WHERE table_schema = 'sales' "
      "ORDER BY table_name");
  ASSERT_NE(local, nullptr);
  EXPECT_EQ(queries_sent(), 0) << "catalog SQL must not reach a compute node";
  ASSERT_GT(local->num_rows(), 0);

  // The same rows as the compute node gives from its own catalog (the cast keeps the engine
  // from answering: it declines casts with type modifiers).
  auto remote = query(
      "SELECT CAST(table_name AS VARCHAR(200)) AS table_name FROM information_schema.tables "
      "WHERE table_schema = 'sales' ORDER BY table_name");
  ASSERT_NE(remote, nullptr);
  EXPECT_EQ(queries_sent(), 1);
  ASSERT_EQ(local->num_rows(), remote->num_rows());
  auto l = local->column(0)->ToString();
  auto r = remote->column(0)->ToString();
  EXPECT_EQ(l, r);
}

TEST_F(DriverMetadataNetTest, GetObjectsAndGetTableSchemaStayLocal) {
  ArrowArrayStream stream{};
  AdbcError e{};
  ASSERT_EQ(driver_.ConnectionGetObjects(&conn_, ADBC_OBJECT_DEPTH_ALL, nullptr, "sales",
                                         "customers", nullptr, nullptr, &stream, &e),
            ADBC_STATUS_OK)
      << (e.message ? e.message : "");
  auto objects = read_all(&stream);
  ASSERT_NE(objects, nullptr);
  EXPECT_GE(objects->num_rows(), 1);
  EXPECT_NE(objects->ToString().find("customers"), std::string::npos);

  ArrowSchema schema{};
  ASSERT_EQ(driver_.ConnectionGetTableSchema(&conn_, nullptr, "sales", "customers", &schema, &e),
            ADBC_STATUS_OK)
      << (e.message ? e.message : "");
  EXPECT_GT(schema.n_children, 0);
  schema.release(&schema);
  EXPECT_EQ(queries_sent(), 0);

  ASSERT_EQ(driver_.ConnectionGetTableSchema(&conn_, nullptr, "sales", "no_such_table", &schema,
                                             &e),
            ADBC_STATUS_NOT_FOUND);
  EXPECT_EQ(queries_sent(), 1) << "a table the snapshot lacks is looked up once on compute";
  if (e.release) e.release(&e);
}

}  // namespace
