// Metadata calls over the demo catalog of the local service: answered locally (no request
// reaches a compute node) from the snapshot, with GetTableSchema's LIMIT 0 fallback for tables
// the snapshot does not describe, and information_schema queries answered by the engine
// compared with the same queries run by the compute node.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>

#include <arrow/c/bridge.h>

#include "core/query_batch_internal.h"
#include "adbc/catalog_internal.h"
#include "adbc/catalog_calls_internal.h"
#include "metadata/catalog_answers_internal.h"
#include "metadata/snapshot_cache_internal.h"
#include "norvale/nv_core.h"
#include "norvale/nv_query.h"
#include "snapshot_fixture.h"
#include "sql/metadata_engine_internal.h"
#include "support/localsvc_fixture.h"
#include "support/test_files.h"
#include "norvale/nv_log.h"

namespace {

using namespace norvale::adbc;

class MetadataCallsNetTest : public nv_test::LocalSvcTest {
 protected:
  void SetUp() override {
    LocalSvcTest::SetUp();
    snapshot_cache_clear();
    db_.uri = strdup(svc().control_plane_url().c_str());
    db_.username = strdup(nv_test::LocalSvc::kUser);
    char err[1024] = "";
    state_.database = &db_;
    state_.connection = nv_connect(db_.uri, svc().node_url(0).c_str(), nullptr, nullptr,
                                   db_.username, nv_test::LocalSvc::kPassword, nullptr, nullptr,
                                   err, sizeof(err));
    ASSERT_NE(state_.connection, nullptr) << err;
    info_schema_attach(&state_);
    info_schema_refresh(&state_);  // as the first metadata call does
    ASSERT_NE(info_schema_batch_get(&state_, kRsColumns), nullptr);
    handle_.private_data = &state_;
    queries_before_ = svc().Counter("requests.query");
  }
  void TearDown() override {
    info_schema_detach(&state_);
    nv_disconnect(state_.connection);
    std::free(db_.uri);
    std::free(db_.username);
    snapshot_cache_clear();
  }
  int64_t queries_sent() { return svc().Counter("requests.query") - queries_before_; }

  std::vector<nvtest::CatalogOut> objects(int depth, const char* cat, const char* sch,
                                          const char* tbl, const char** types,
                                          const char* col) {
    return nvtest::get_objects(&handle_, depth, cat, sch, tbl, types, col);
  }

  NVAdbcDatabaseState db_{};
  NVAdbcConnectionState state_{};
  AdbcConnection handle_{};
  int64_t queries_before_ = 0;
};

std::set<std::string> path_set(const std::vector<nvtest::CatalogOut>& tree) {
  auto paths = nvtest::table_paths(tree);
  return {paths.begin(), paths.end()};
}

TEST_F(MetadataCallsNetTest, GetObjectsAtEveryDepthWithFilters) {
  auto catalogs = objects(1, nullptr, nullptr, nullptr, nullptr, nullptr);
  ASSERT_EQ(catalogs.size(), 1u);
  EXPECT_TRUE(catalogs[0].schemas_null);

  auto schemas = objects(2, nullptr, nullptr, nullptr, nullptr, nullptr);
  std::set<std::string> schema_names;
  for (const auto& s : schemas.at(0).schemas) schema_names.insert(*s.name);
  // DuckDB's default schema main has no tables: listed all the same.
  EXPECT_EQ(schema_names, (std::set<std::string>{"analytics", "inventory", "main", "sales"}));

  const std::string cat = *catalogs[0].name;
  const std::set<std::string> sales = {
      cat + ".sales.customers:BASE TABLE", cat + ".sales.orders:BASE TABLE",
      cat + ".sales.order_items:BASE TABLE", cat + ".sales.open_orders:VIEW"};
  EXPECT_EQ(path_set(objects(3, cat.c_str(), "SALES", nullptr, nullptr, nullptr)), sales);
  EXPECT_TRUE(objects(3, "no_such_catalog", nullptr, nullptr, nullptr, nullptr).empty());
  const char* views[] = {"VIEW", nullptr};
  EXPECT_EQ(path_set(objects(3, nullptr, nullptr, nullptr, views, nullptr)),
            (std::set<std::string>{cat + ".sales.open_orders:VIEW",
                                   cat + ".analytics.revenue_by_customer:VIEW"}));
  EXPECT_EQ(path_set(objects(3, nullptr, "inv%", "%_movements", nullptr, nullptr)),
            (std::set<std::string>{cat + ".inventory.stock_movements:BASE TABLE"}));

  auto tree = objects(0, nullptr, "sales", "orders", nullptr, "%_at");
  const auto orders = nvtest::find_table(tree, cat, "sales", "orders");
  ASSERT_EQ(orders.columns.size(), 2u);
  EXPECT_EQ(orders.columns[0].name, "ordered_at");
  EXPECT_EQ(orders.columns[1].name, "shipped_at");
  EXPECT_LT(*orders.columns[0].ordinal, *orders.columns[1].ordinal);

  tree = objects(0, nullptr, "sales", "order_items", nullptr, nullptr);
  const auto items = nvtest::find_table(tree, cat, "sales", "order_items");
  bool composite_pk = false;
  for (const auto& c : items.constraints) {
    if (c.type == "PRIMARY KEY") {
      composite_pk = true;
      EXPECT_EQ(c.column_names, (std::vector<std::string>{"order_id", "line_no"}));
    }
  }
  EXPECT_TRUE(composite_pk);
  EXPECT_EQ(queries_sent(), 0);
}

// The demo catalog's column types against the mapping table.
TEST_F(MetadataCallsNetTest, XdbcFieldsOfEveryDemoColumnType) {
  struct Expect {
    const char* table;
    const char* column;
    const char* type_name;
    int code;
  };
  const Expect expected[] = {
      {"customers", "customer_id", "INTEGER", 4},
      {"customers", "email", "VARCHAR", 12},
      {"customers", "country", "VARCHAR", 12},
      {"customers", "signup_date", "DATE", 91},
      {"customers", "is_active", "BIT", -7},
      {"customers", "credit_limit", "DECIMAL", 3},
      {"customers", "tags", "VARCHAR", 12},
      {"customers", "preferred_contact_time", "TIME", 92},
      {"customers", "external_ref", "VARCHAR", 12},
      {"products", "product_id", "BIGINT", -5},
      {"products", "unit_price", "DECIMAL", 3},
      {"products", "weight_kg", "REAL", 7},
      {"products", "rating", "DOUBLE PRECISION", 8},
      {"products", "stock", "SMALLINT", 5},
      {"products", "category", "TINYINT", -6},
      {"products", "thumbnail", "VARBINARY", -3},
      {"products", "dimensions", "VARCHAR", 12},
      {"products", "added_at", "TIMESTAMP", 93},
      {"orders", "ordered_at", "TIMESTAMP WITH TIME ZONE", 95},
      {"orders", "shipped_at", "TIMESTAMP", 93},
  };
  auto tree = objects(0, nullptr, nullptr, nullptr, nullptr, nullptr);
  std::map<std::string, nvtest::ColumnOut> columns;
  for (const auto& cat : tree) {
    for (const auto& sch : cat.schemas) {
      for (const auto& tbl : sch.tables) {
        for (const auto& col : tbl.columns) columns[tbl.name + "." + col.name] = col;
      }
    }
  }
  for (const Expect& e : expected) {
    auto it = columns.find(std::string(e.table) + "." + e.column);
    ASSERT_NE(it, columns.end()) << e.table << "." << e.column;
    EXPECT_EQ(it->second.type_name, e.type_name) << e.column << ": " << it->second.xdbc();
    EXPECT_EQ(it->second.data_type, e.code) << e.column;
    EXPECT_EQ(it->second.sql_data_type, e.code) << e.column;
  }
  const auto& credit = columns.at("customers.credit_limit");
  EXPECT_EQ(credit.column_size, 12);
  EXPECT_EQ(credit.decimal_digits, 2);
  EXPECT_EQ(columns.at("customers.email").is_nullable, "NO");
  EXPECT_EQ(columns.at("customers.email").remarks, "Login and contact address");
  EXPECT_EQ(columns.at("customers.country").is_nullable, "YES");
  EXPECT_EQ(queries_sent(), 0);
}

AdbcStatusCode table_schema(AdbcConnection* conn, const char* cat, const char* sch,
                            const char* table, std::shared_ptr<arrow::Schema>* out,
                            std::string* message) {
  ArrowSchema c_schema{};
  AdbcError error{};
  const AdbcStatusCode status =
      nv_adbc_connection_get_table_schema(conn, cat, sch, table, &c_schema, &error);
  if (status == ADBC_STATUS_OK) *out = arrow::ImportSchema(&c_schema).ValueOrDie();
  if (error.message != nullptr) *message = error.message;
  if (error.release != nullptr) error.release(&error);
  return status;
}

TEST_F(MetadataCallsNetTest, GetTableSchemaFromSnapshot) {
  std::shared_ptr<arrow::Schema> schema;
  std::string message;
  ASSERT_EQ(table_schema(&handle_, nullptr, "sales", "ORDERS", &schema, &message),
            ADBC_STATUS_OK)
      << message;
  std::vector<std::string> names;
  for (const auto& f : schema->fields()) names.push_back(f->name());
  EXPECT_EQ(names, (std::vector<std::string>{"order_id", "customer_id", "ordered_at",
                                             "shipped_at", "status", "total", "note"}));
  EXPECT_EQ(schema->field(0)->type()->id(), arrow::Type::INT64);
  EXPECT_FALSE(schema->field(0)->nullable());
  EXPECT_TRUE(schema->field(6)->nullable());
  EXPECT_EQ(queries_sent(), 0);
}

// Type equality as Arrow defines it (list item names aside), except that the node names UTC
// after its host's zone database ("Etc/UTC"): the instants are the same.
bool same_type(const arrow::DataType& a, const arrow::DataType& b) {
  if (a.id() == arrow::Type::TIMESTAMP && b.id() == arrow::Type::TIMESTAMP) {
    const auto& x = static_cast<const arrow::TimestampType&>(a);
    const auto& y = static_cast<const arrow::TimestampType&>(b);
    auto utc = [](const std::string& tz) { return tz == "UTC" || tz == "Etc/UTC"; };
    return x.unit() == y.unit() && (x.timezone() == y.timezone() ||
                                    (utc(x.timezone()) && utc(y.timezone())));
  }
  return a.Equals(b);
}

// For every demo table, the schema built from the snapshot's type texts has the types a query
// streams back (the compute node's LIMIT 0 answer, asked for directly).
TEST_F(MetadataCallsNetTest, SnapshotTypesMatchTheComputeNode) {
  const auto tables = info_schema_batch_get(&state_, kRsTables);
  ASSERT_NE(tables, nullptr);
  const auto schemas = std::static_pointer_cast<arrow::StringArray>(
      tables->GetColumnByName("table_schema"));
  const auto names =
      std::static_pointer_cast<arrow::StringArray>(tables->GetColumnByName("table_name"));
  int compared = 0;
  for (int64_t row = 0; row < tables->num_rows(); ++row) {
    const std::string sch = schemas->GetString(row);
    const std::string name = names->GetString(row);
    std::shared_ptr<arrow::Schema> local;
    std::string message;
    ASSERT_EQ(table_schema(&handle_, nullptr, sch.c_str(), name.c_str(), &local, &message),
              ADBC_STATUS_OK)
        << sch << "." << name << ": " << message;
    const std::string sql = norvale::adbc::limit_zero_sql(nullptr, sch.c_str(), name.c_str());
    char err[1024] = "";
    NVQueryHandle* q = nv_execute(state_.connection, sql.c_str(), 0, 0, err, sizeof(err));
    ASSERT_NE(q, nullptr) << err;
    NVArrowBatch* batch = nv_next_batch(q, err, sizeof(err));
    ASSERT_NE(batch, nullptr) << sql << ": " << err;
    const auto remote = norvale::query_batch_schema(batch);
    nv_batch_free(batch);
    nv_query_close(q);
    ASSERT_EQ(local->num_fields(), remote->num_fields()) << sch << "." << name;
    for (int i = 0; i < local->num_fields(); ++i) {
      EXPECT_EQ(local->field(i)->name(), remote->field(i)->name());
      EXPECT_TRUE(same_type(*local->field(i)->type(), *remote->field(i)->type()))
          << sch << "." << name << "." << local->field(i)->name() << ": snapshot "
          << local->field(i)->type()->ToString() << ", compute "
          << remote->field(i)->type()->ToString();
    }
    ++compared;
  }
  EXPECT_GE(compared, 7);
}

TEST_F(MetadataCallsNetTest, GetTableSchemaFallsBackToOneLimitZeroQuery) {
  // Created after the snapshot was installed: only the compute node knows it.
  std::string err;
  ASSERT_TRUE(svc().Sql(R"(CREATE TABLE sales."we""ird" (x INTEGER, "y z" VARCHAR))", &err))
      << err;
  queries_before_ = svc().Counter("requests.query");  // the CREATE went to the node too
  std::shared_ptr<arrow::Schema> schema;
  std::string message;
  ASSERT_EQ(table_schema(&handle_, nullptr, "sales", "we\"ird", &schema, &message),
            ADBC_STATUS_OK)
      << message;
  EXPECT_EQ(queries_sent(), 1);
  ASSERT_EQ(schema->num_fields(), 2);
  EXPECT_EQ(schema->field(0)->name(), "x");
  EXPECT_EQ(schema->field(1)->name(), "y z");

  const AdbcStatusCode status =
      table_schema(&handle_, nullptr, "sales", "no_such_table", &schema, &message);
  EXPECT_EQ(status, ADBC_STATUS_NOT_FOUND) << message;
  EXPECT_EQ(queries_sent(), 2);
  ASSERT_TRUE(svc().Sql(R"(DROP TABLE sales."we""ird")", &err)) << err;
}

// Every cell rendered as text, one string per row.
std::vector<std::string> rows_of(const arrow::RecordBatch& batch) {
  std::vector<std::string> rows;
  for (int64_t r = 0; r < batch.num_rows(); ++r) {
    std::string row;
    for (int c = 0; c < batch.num_columns(); ++c) {
      auto scalar = batch.column(c)->GetScalar(r).ValueOrDie();
      row += (c > 0 ? " | " : "") + (scalar->is_valid ? scalar->ToString() : "NULL");
    }
    rows.push_back(row);
  }
  return rows;
}

std::vector<std::string> compute_rows(NVConnection* conn, const std::string& sql) {
  char err[1024] = "";
  NVQueryHandle* q = nv_execute(conn, sql.c_str(), 0, 0, err, sizeof(err));
  EXPECT_NE(q, nullptr) << err;
  if (q == nullptr) return {};
  std::vector<std::string> rows;
  while (NVArrowBatch* b = nv_next_batch(q, err, sizeof(err))) {
    const auto& record = norvale::query_batch_record(b);
    if (record) {
      auto part = rows_of(*record);
      rows.insert(rows.end(), part.begin(), part.end());
    }
    nv_batch_free(b);
  }
  EXPECT_EQ(nv_query_error(q), nullptr) << sql << ": " << nv_query_error(q);
  nv_query_close(q);
  return rows;
}

// Documented differences: the snapshot's data_type spells DuckDB's FLOAT as REAL and BLOB as
// VARBINARY, and it does not list NOT NULL as table constraints; the queries below stay away
// from both.
TEST_F(MetadataCallsNetTest, EngineAnswersMatchTheComputeNode) {
  const char* queries[] = {
      "SELECT table_schema, table_name, table_type FROM information_schema.tables "
      "WHERE table_schema IN ('sales', 'inventory', 'analytics') ORDER BY 1, 2",
      "SELECT table_name, column_name, ordinal_position, is_nullable "
      "FROM information_schema.columns WHERE table_schema = 'sales' ORDER BY 1, 3",
      "SELECT schema_name FROM information_schema.schemata "
      "WHERE schema_name IN ('sales', 'inventory', 'analytics') ORDER BY 1",
      "SELECT table_name, count(*) FROM information_schema.columns "
      "WHERE table_schema = 'inventory' GROUP BY table_name ORDER BY 1",
      "SELECT table_name, constraint_type FROM information_schema.table_constraints "
      "WHERE table_schema = 'sales' AND constraint_type IN ('PRIMARY KEY', 'UNIQUE') "
      "ORDER BY 1, 2",
  };
  for (const char* sql : queries) {
    auto local = state_.meta_engine->try_execute(sql);
    ASSERT_EQ(local.status, nv_sql::ExecuteStatus::Ok)
        << sql << ": " << local.error_message << local.decline_reason;
    ASSERT_EQ(local.batches.size(), 1u);
    const auto engine_rows = rows_of(*local.batches[0]);
    EXPECT_FALSE(engine_rows.empty()) << sql;
    EXPECT_EQ(queries_sent(), 0);
    EXPECT_EQ(engine_rows, compute_rows(state_.connection, sql)) << sql;
    queries_before_ = svc().Counter("requests.query");
  }
}

// The node's whole answer to `sql` as one batch (its schema even when there are no rows).
std::shared_ptr<arrow::RecordBatch> compute_batch(NVConnection* conn, const std::string& sql) {
  char err[1024] = "";
  NVQueryHandle* q = nv_execute(conn, sql.c_str(), 0, 0, err, sizeof(err));
  EXPECT_NE(q, nullptr) << err;
  if (q == nullptr) return nullptr;
  std::vector<std::shared_ptr<arrow::RecordBatch>> parts;
  while (NVArrowBatch* b = nv_next_batch(q, err, sizeof(err))) {
    if (const auto& record = norvale::query_batch_record(b)) parts.push_back(record);
    nv_batch_free(b);
  }
  EXPECT_EQ(nv_query_error(q), nullptr) << sql << ": " << nv_query_error(q);
  nv_query_close(q);
  if (parts.empty()) return nullptr;
  auto table = arrow::Table::FromRecordBatches(parts);
  if (!table.ok()) return nullptr;
  return (*table)->CombineChunksToBatch().ValueOr(nullptr);
}

// "name type" of every column.
std::vector<std::string> columns_of(const arrow::Schema& schema) {
  std::vector<std::string> out;
  for (const auto& f : schema.fields()) out.push_back(f->name() + " " + f->type()->ToString());
  return out;
}

// Through the driver, a catalog statement is answered locally and a statement that reads no
// relation reaches the node; either way the columns carry the node's names and types, and the
// rows are the node's. The local service's own information_schema is the node's catalog here.
TEST_F(MetadataCallsNetTest, DriverAnswersCarryTheNodesNamesAndTypes) {
  struct Case {
    const char* sql;
    bool local;
  };
  const Case cases[] = {
      {"SELECT upper(table_name), length(table_name) + 1, count(*) FROM "
       "information_schema.tables WHERE table_schema IN ('sales', 'inventory', 'analytics') "
       "GROUP BY 1, 2 ORDER BY 1",
       true},
      {"SELECT table_name, count(*), count(DISTINCT is_nullable), min(ordinal_position), "
       "max(column_name), sum(ordinal_position), avg(ordinal_position) FROM "
       "information_schema.columns WHERE table_schema = 'sales' GROUP BY table_name ORDER BY 1",
       true},
      {"SELECT TABLE_NAME, table_schema || '.' || table_name, table_type = 'VIEW', "
       "CASE WHEN table_type = 'VIEW' THEN 1 ELSE 0 END, table_name IN ('orders', 'x') "
       "FROM information_schema.tables WHERE table_schema = 'sales' ORDER BY 1",
       true},
      {"SELECT column_name AS \"Column\", ordinal_position * 2, CAST(ordinal_position AS "
       "varchar), coalesce(is_nullable, 'x'), substring(column_name FROM 1 FOR 3) FROM "
       "information_schema.columns WHERE table_schema = 'inventory' AND table_name = 'products' "
       "ORDER BY ordinal_position",
       true},
      {"SELECT * FROM (SELECT schema_name, upper(schema_name) FROM information_schema.schemata "
       "WHERE schema_name IN ('sales', 'inventory')) s ORDER BY 1",
       true},
      {"SELECT 1", false},
      {"SELECT upper('a') || 'b'", false},
  };
  AdbcStatement stmt{};
  AdbcError error{};
  ASSERT_EQ(nv_adbc_statement_new(&handle_, &stmt, &error), ADBC_STATUS_OK);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sql);
    ASSERT_EQ(nv_adbc_statement_set_sql_query(&stmt, c.sql, &error), ADBC_STATUS_OK);
    ArrowArrayStream stream{};
    int64_t rows_affected = 0;
    const int64_t sent = queries_sent();
    ASSERT_EQ(nv_adbc_statement_execute_query(&stmt, &stream, &rows_affected, &error),
              ADBC_STATUS_OK)
        << (error.message != nullptr ? error.message : "");
    auto driver = nvtest::read_stream(&stream);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(queries_sent() - sent, c.local ? 0 : 1);
    auto node = compute_batch(state_.connection, c.sql);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(columns_of(*driver->schema()), columns_of(*node->schema()));
    EXPECT_EQ(rows_of(*driver), rows_of(*node));
    EXPECT_FALSE(rows_of(*driver).empty());
  }
  nv_adbc_statement_release(&stmt, &error);
  // The names the issue's examples show.
  ASSERT_EQ(nv_adbc_statement_new(&handle_, &stmt, &error), ADBC_STATUS_OK);
  ASSERT_EQ(nv_adbc_statement_set_sql_query(&stmt, cases[0].sql, &error), ADBC_STATUS_OK);
  ArrowArrayStream stream{};
  ASSERT_EQ(nv_adbc_statement_execute_query(&stmt, &stream, nullptr, &error), ADBC_STATUS_OK);
  auto first = nvtest::read_stream(&stream);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(columns_of(*first->schema()),
            (std::vector<std::string>{"upper(table_name) string",
                                      "(length(table_name) + 1) int64", "count_star() int64"}));
  nv_adbc_statement_release(&stmt, &error);
}

// The statement path offers information_schema queries to the engine first: answered from
// the snapshot, traced as a cache hit, with no request to a compute node; a statement the
// engine declines still reaches the node.
TEST_F(MetadataCallsNetTest, StatementPathServesInformationSchemaLocally) {
  nv_test::TempDir dir;
  const std::string trace = dir.path() + "/sql_trace.log";
  nv_apilog_init(trace.c_str());
  AdbcStatement stmt{};
  AdbcError error{};
  ASSERT_EQ(nv_adbc_statement_new(&handle_, &stmt, &error), ADBC_STATUS_OK);
  const char* sql =
      "SELECT table_name FROM information_schema.tables WHERE table_schema = 'inventory' "
      "ORDER BY table_name";
  ASSERT_EQ(nv_adbc_statement_set_sql_query(&stmt, sql, &error), ADBC_STATUS_OK);
  ArrowArrayStream stream{};
  int64_t rows_affected = 0;
  ASSERT_EQ(nv_adbc_statement_execute_query(&stmt, &stream, &rows_affected, &error),
            ADBC_STATUS_OK)
      << (error.message != nullptr ? error.message : "");
  auto batch = nvtest::read_stream(&stream);
  ASSERT_NE(batch, nullptr);
  EXPECT_EQ(rows_of(*batch), (std::vector<std::string>{"products", "stock_movements"}));
  EXPECT_EQ(queries_sent(), 0);

  ASSERT_EQ(nv_adbc_statement_set_sql_query(&stmt, "SELECT count(*) FROM sales.orders", &error),
            ADBC_STATUS_OK);
  ASSERT_EQ(nv_adbc_statement_execute_query(&stmt, &stream, &rows_affected, &error),
            ADBC_STATUS_OK)
      << (error.message != nullptr ? error.message : "");
  batch = nvtest::read_stream(&stream);
  ASSERT_NE(batch, nullptr);
  EXPECT_EQ(rows_of(*batch), (std::vector<std::string>{"4"}));
  EXPECT_EQ(queries_sent(), 1);
  nv_adbc_statement_release(&stmt, &error);
  nv_apilog_init(nullptr);
  const std::string traced = nv_test::read_file(trace);
  EXPECT_NE(traced.find("MetadataEngine(cache hit)"), std::string::npos) << traced;
}

}  // namespace
