// The metadata calls and catalog SQL through the driver loaded with dlopen, over a connection
// opened by AdbcConnectionInit: answered from the snapshot, with no request reaching a compute
// node.
#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <arrow/api.h>
#include <arrow/c/bridge.h>
#include <gtest/gtest.h>

#include "norvale_adbc.h"
#include "support/localsvc_fixture.h"
#include "tests/adbc/driver_table.h"
#include "tests/metadata/snapshot_fixture.h"

namespace {

class DriverMetadataNetTest : public nv_test::LocalSvcTest {
 protected:
  static void SetUpTestSuite() {
    LocalSvcTest::SetUpTestSuite();
    driver_ = nv_adbc_test::driver_table();
    ASSERT_NE(driver_.DatabaseNew, nullptr);
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

  std::optional<std::string> ConnectionOption(const char* key) {
    char value[256];
    size_t length = sizeof value;
    AdbcError e{};
    const AdbcStatusCode status = driver_.ConnectionGetOption(&conn_, key, value, &length, &e);
    if (e.release) e.release(&e);
    if (status != ADBC_STATUS_OK) return std::nullopt;
    return std::string(value, length - 1);
  }

  // The field names and types of GetTableSchema's answer, or "error <status>: <message>".
  std::string TableSchema(const char* db_schema, const char* table) {
    ArrowSchema schema{};
    AdbcError e{};
    const AdbcStatusCode status =
        driver_.ConnectionGetTableSchema(&conn_, nullptr, db_schema, table, &schema, &e);
    if (status != ADBC_STATUS_OK) {
      std::string text = "error " + std::to_string(status) + ": " + (e.message ? e.message : "");
      if (e.release) e.release(&e);
      return text;
    }
    auto imported = arrow::ImportSchema(&schema);
    return imported.ok() ? (*imported)->ToString() : imported.status().ToString();
  }

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

// A foreign key's columns and the columns it references come in key order, also when the key
// is declared in another order than the table's columns (the validation suite's tables, and a
// composite key written backwards).
TEST_F(DriverMetadataNetTest, ForeignKeyColumnsComeInKeyOrder) {
  // Made through the connection, which then knows its catalog changed.
  for (const char* ddl :
       {"CREATE TABLE fk_parent_1 (id BIGINT PRIMARY KEY)",
        "CREATE TABLE fk_parent_2 (id_primary_col1 BIGINT, id_primary_col2 BIGINT, "
        "PRIMARY KEY (id_primary_col1, id_primary_col2))",
        "CREATE TABLE fk_child (id_child_col1 BIGINT PRIMARY KEY, id_child_col2 BIGINT, "
        "id_child_col3 BIGINT, FOREIGN KEY (id_child_col3) REFERENCES fk_parent_1 (id), "
        "FOREIGN KEY (id_child_col1, id_child_col2) REFERENCES fk_parent_2 (id_primary_col1, "
        "id_primary_col2))",
        "CREATE TABLE fk_backwards (a BIGINT, b BIGINT, c BIGINT, FOREIGN KEY (c, a) "
        "REFERENCES fk_parent_2 (id_primary_col1, id_primary_col2))"}) {
    ASSERT_NE(query(ddl), nullptr) << ddl;
  }
  ArrowArrayStream stream{};
  AdbcError e{};
  ASSERT_EQ(driver_.ConnectionGetObjects(&conn_, ADBC_OBJECT_DEPTH_ALL, nullptr, nullptr, "fk_%",
                                         nullptr, nullptr, &stream, &e),
            ADBC_STATUS_OK)
      << (e.message ? e.message : "");
  const auto tree = nvtest::parse_objects(*nvtest::read_stream(&stream));
  const auto catalog = ConnectionOption("adbc.connection.catalog");
  ASSERT_TRUE(catalog.has_value());
  std::vector<std::string> seen;
  for (const char* table : {"fk_child", "fk_backwards"}) {
    for (const auto& c : nvtest::find_table(tree, *catalog, "main", table).constraints) {
      std::string line = std::string(table) + " " + c.type + " (";
      for (size_t i = 0; i < c.column_names.size(); ++i) {
        line += (i > 0 ? ", " : "") + c.column_names[i];
      }
      line += ")";
      for (const auto& usage : c.usage) line += " -> " + usage.substr(catalog->size() + 1);
      seen.push_back(line);
    }
  }
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::string>{
                      "fk_backwards FOREIGN KEY (c, a) -> main.fk_parent_2.id_primary_col1 -> "
                      "main.fk_parent_2.id_primary_col2",
                      "fk_child FOREIGN KEY (id_child_col1, id_child_col2) -> "
                      "main.fk_parent_2.id_primary_col1 -> main.fk_parent_2.id_primary_col2",
                      "fk_child FOREIGN KEY (id_child_col3) -> main.fk_parent_1.id",
                      "fk_child PRIMARY KEY (id_child_col1)"}));
}

// Without a schema, GetTableSchema takes the table of the schema in which the service resolves
// unqualified names, and the connection reports that schema and its catalog; a name in several
// other schemas stays ambiguous.
TEST_F(DriverMetadataNetTest, UnqualifiedTableNameMeansTheCurrentSchema) {
  for (const char* ddl :
       {"CREATE SCHEMA dup_a", "CREATE SCHEMA dup_b", "CREATE TABLE main.twice (here INTEGER)",
        "CREATE TABLE dup_a.twice (elsewhere VARCHAR)", "CREATE TABLE dup_a.apart (x INTEGER)",
        "CREATE TABLE dup_b.apart (y INTEGER)"}) {
    ASSERT_NE(query(ddl), nullptr) << ddl;
  }
  auto names = query("SELECT current_database() AS c, current_schema() AS s");
  ASSERT_NE(names, nullptr);
  EXPECT_EQ(ConnectionOption("adbc.connection.catalog"), names->column(0)->GetScalar(0)
                                                              .ValueOrDie()->ToString());
  EXPECT_EQ(ConnectionOption("adbc.connection.db_schema"), "main");

  EXPECT_EQ(TableSchema(nullptr, "twice"), "here: int32");
  EXPECT_EQ(TableSchema("dup_a", "twice"), "elsewhere: string");
  const std::string ambiguous = TableSchema(nullptr, "apart");
  EXPECT_EQ(ambiguous.rfind("error 5: ", 0), 0u) << ambiguous;
  EXPECT_NE(ambiguous.find("several schemas"), std::string::npos) << ambiguous;
}

}  // namespace
