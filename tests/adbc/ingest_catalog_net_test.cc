// Ingest in modes create and create_append learns whether its table exists from the
// connection's catalog while that is fresh, and asks the compute node otherwise.
#include <gtest/gtest.h>

#include <string>

#include <arrow/api.h>
#include <arrow/c/bridge.h>

#include "tests/adbc/driver_net_fixture.h"

namespace {

using nv_adbc_test::take;

class IngestCatalogNetTest : public nv_adbc_test::DriverNetTest {
 protected:
  // An ingest of two rows into main.<table>; its status.
  AdbcStatusCode Ingest(const std::string& table, const char* mode) {
    arrow::Int64Builder ids;
    EXPECT_TRUE(ids.AppendValues({1, 2}).ok());
    auto batch = arrow::RecordBatch::Make(arrow::schema({arrow::field("id", arrow::int64())}), 2,
                                          {ids.Finish().ValueOrDie()});
    ArrowArray array{};
    ArrowSchema schema{};
    EXPECT_TRUE(arrow::ExportRecordBatch(*batch, &array, &schema).ok());
    AdbcStatement stmt{};
    AdbcError e{};
    EXPECT_EQ(driver_.StatementNew(&conn_, &stmt, &e), ADBC_STATUS_OK);
    const std::string target = "main." + table;
    EXPECT_EQ(driver_.StatementSetOption(&stmt, "adbc.ingest.target_table", target.c_str(), &e),
              ADBC_STATUS_OK);
    EXPECT_EQ(driver_.StatementSetOption(&stmt, "adbc.ingest.mode", mode, &e), ADBC_STATUS_OK);
    EXPECT_EQ(driver_.StatementBind(&stmt, &array, &schema, &e), ADBC_STATUS_OK);
    int64_t rows = -1;
    const AdbcStatusCode status = driver_.StatementExecuteQuery(&stmt, nullptr, &rows, &e);
    if (status != ADBC_STATUS_OK) take(status, &e);
    driver_.StatementRelease(&stmt, &e);
    return status;
  }

  // A catalog call: the catalog is fresh afterwards.
  void LookAtTheCatalog() {
    ArrowArrayStream stream{};
    ASSERT_EQ(driver_.ConnectionGetObjects(&conn_, ADBC_OBJECT_DEPTH_TABLES, nullptr, "main",
                                           "nothing_in_particular", nullptr, nullptr, &stream,
                                           nullptr),
              ADBC_STATUS_OK);
    stream.release(&stream);
  }

  struct Requests {
    int64_t query, ingest;
  };
  Requests Count() {
    return {svc().Counter("requests.query"), svc().Counter("requests.ingest")};
  }
};

TEST_F(IngestCatalogNetTest, AFreshCatalogSparesTheProbe) {
  LookAtTheCatalog();
  Requests before = Count();
  EXPECT_EQ(Ingest("ic_created", "adbc.ingest.mode.create"), ADBC_STATUS_OK);
  Requests after = Count();
  EXPECT_EQ(after.query - before.query, 0) << "no probe: the catalog knew the table is new";
  EXPECT_EQ(after.ingest - before.ingest, 1);

  // The ingest itself changed the catalog: the next one asks the compute node.
  before = Count();
  EXPECT_EQ(Ingest("ic_created", "adbc.ingest.mode.create"), ADBC_STATUS_ALREADY_EXISTS);
  after = Count();
  EXPECT_EQ(after.query - before.query, 1);
  EXPECT_EQ(after.ingest - before.ingest, 0);

  // Once the catalog is current again it answers alone: the table exists.
  LookAtTheCatalog();
  before = Count();
  EXPECT_EQ(Ingest("ic_created", "adbc.ingest.mode.create"), ADBC_STATUS_ALREADY_EXISTS);
  after = Count();
  EXPECT_EQ(after.query - before.query, 0);
  EXPECT_EQ(after.ingest - before.ingest, 0);
  EXPECT_EQ(Ingest("ic_created", "adbc.ingest.mode.create_append"), ADBC_STATUS_OK);
  EXPECT_EQ(Count().query - after.query, 0);
  int64_t rows = -1;
  ArrowArrayStream out{};
  ASSERT_EQ(execute("SELECT * FROM main.ic_created", &out, &rows).status, ADBC_STATUS_OK);
  EXPECT_EQ(nv_adbc_test::drain(&out), (std::vector<std::string>{"4", "end"}));  // appended
  out.release(&out);
}

// A statement of the connection since the catalog was fetched may have changed it: the catalog
// does not answer, and the probe finds the table another client made meanwhile.
TEST_F(IngestCatalogNetTest, ANotFreshCatalogLetsTheProbeDecide) {
  LookAtTheCatalog();
  ASSERT_TRUE(svc().Sql("CREATE TABLE main.ic_elsewhere (id BIGINT)"));
  int64_t rows = -1;
  ASSERT_EQ(execute("INSERT INTO main.ic_elsewhere VALUES (7)", nullptr, &rows).status,
            ADBC_STATUS_OK);
  const Requests before = Count();
  EXPECT_EQ(Ingest("ic_elsewhere", "adbc.ingest.mode.create"), ADBC_STATUS_ALREADY_EXISTS);
  EXPECT_EQ(Count().query - before.query, 1);
}

}  // namespace
