// GetObjects over snapshots built in memory: the result schema, depths, filters, table types,
// column ordering and mapping, constraints.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <random>
#include <set>

#include <arrow/c/bridge.h>

#include "adbc/catalog_calls_internal.h"
#include "metadata/catalog_answers_internal.h"
#include "snapshot_fixture.h"

namespace {

using norvale::adbc::kRsColumns;
using norvale::adbc::kRsKeyColumnUsage;
using norvale::adbc::kRsTableConstraints;
using norvale::adbc::kRsTables;
using nvtest::Cell;
using nvtest::make_batch;
using nvtest::tables_batch;

constexpr int kAll = 0;
constexpr int kCatalogs = 1;
constexpr int kSchemas = 2;
constexpr int kTables = 3;

std::shared_ptr<arrow::RecordBatch> columns_batch(const nvtest::Rows& rows) {
  return make_batch({{"table_catalog", arrow::utf8()},
                     {"table_schema", arrow::utf8()},
                     {"table_name", arrow::utf8()},
                     {"column_name", arrow::utf8()},
                     {"ordinal_position", arrow::int32()},
                     {"data_type", arrow::utf8()},
                     {"is_nullable", arrow::utf8()}},
                    rows);
}

// The expected ADBC GetObjects schema (1.0.0 and 1.1.0 alike), written out field by field as
// the published interface states it (independently of the builder under test).
struct FieldShape {
  std::string path;  // dotted, list items as "[]"
  std::string type;
  bool nullable;
};

void flatten(const std::shared_ptr<arrow::Field>& field, const std::string& prefix,
             std::vector<FieldShape>* out) {
  const std::string path = prefix.empty() ? field->name() : prefix + "." + field->name();
  const auto& type = field->type();
  std::string name;
  switch (type->id()) {
    case arrow::Type::LIST:
      name = "list";
      break;
    case arrow::Type::STRUCT:
      name = "struct";
      break;
    default:
      name = type->ToString();
  }
  out->push_back({path, name, field->nullable()});
  if (type->id() == arrow::Type::LIST) {
    const auto& item = static_cast<const arrow::ListType&>(*type).value_field();
    out->push_back({path + "[]", item->name(), item->nullable()});
    if (item->type()->id() == arrow::Type::STRUCT) {
      for (const auto& f : item->type()->fields()) flatten(f, path + "[]", out);
    } else {
      out->push_back({path + "[]:type", item->type()->ToString(), item->nullable()});
    }
  }
}

TEST(GetObjectsSchema, MatchesAdbcOneZeroFieldByField) {
  const std::vector<FieldShape> expected = {
      {"catalog_name", "string", true},
      {"catalog_db_schemas", "list", true},
      {"catalog_db_schemas[]", "item", true},
      {"catalog_db_schemas[].db_schema_name", "string", true},
      {"catalog_db_schemas[].db_schema_tables", "list", true},
      {"catalog_db_schemas[].db_schema_tables[]", "item", true},
      {"catalog_db_schemas[].db_schema_tables[].table_name", "string", false},
      {"catalog_db_schemas[].db_schema_tables[].table_type", "string", false},
      {"catalog_db_schemas[].db_schema_tables[].table_columns", "list", true},
      {"catalog_db_schemas[].db_schema_tables[].table_columns[]", "item", true},
  };
  const std::vector<std::pair<std::string, std::string>> column_fields = {
      {"column_name", "string"},         {"ordinal_position", "int32"},
      {"remarks", "string"},             {"xdbc_data_type", "int16"},
      {"xdbc_type_name", "string"},      {"xdbc_column_size", "int32"},
      {"xdbc_decimal_digits", "int16"},  {"xdbc_num_prec_radix", "int16"},
      {"xdbc_nullable", "int16"},        {"xdbc_column_def", "string"},
      {"xdbc_sql_data_type", "int16"},   {"xdbc_datetime_sub", "int16"},
      {"xdbc_char_octet_length", "int32"}, {"xdbc_is_nullable", "string"},
      {"xdbc_scope_catalog", "string"},  {"xdbc_scope_schema", "string"},
      {"xdbc_scope_table", "string"},    {"xdbc_is_autoincrement", "bool"},
      {"xdbc_is_generatedcolumn", "bool"},
  };
  std::vector<FieldShape> all = expected;
  const std::string tables = "catalog_db_schemas[].db_schema_tables[]";
  for (const auto& [name, type] : column_fields) {
    all.push_back({tables + ".table_columns[]." + name, type, name != "column_name"});
  }
  const std::string cons = tables + ".table_constraints";
  for (const FieldShape& f : std::vector<FieldShape>{
           {cons, "list", true},
           {cons + "[]", "item", true},
           {cons + "[].constraint_name", "string", true},
           {cons + "[].constraint_type", "string", false},
           {cons + "[].constraint_column_names", "list", false},
           {cons + "[].constraint_column_names[]", "item", true},
           {cons + "[].constraint_column_names[]:type", "string", true},
           {cons + "[].constraint_column_usage", "list", true},
           {cons + "[].constraint_column_usage[]", "item", true},
           {cons + "[].constraint_column_usage[].fk_catalog", "string", true},
           {cons + "[].constraint_column_usage[].fk_db_schema", "string", true},
           {cons + "[].constraint_column_usage[].fk_table", "string", false},
           {cons + "[].constraint_column_usage[].fk_column_name", "string", false},
       }) {
    all.push_back(f);
  }

  std::vector<FieldShape> actual;
  const auto schema = norvale::adbc::build_get_objects_schema();
  for (const auto& f : schema->fields()) flatten(f, "", &actual);
  ASSERT_EQ(actual.size(), all.size());
  for (size_t i = 0; i < all.size(); ++i) {
    EXPECT_EQ(actual[i].path, all[i].path) << i;
    EXPECT_EQ(actual[i].type, all[i].type) << all[i].path;
    EXPECT_EQ(actual[i].nullable, all[i].nullable) << all[i].path;
  }
}

// The exported stream's schema (as the host sees it) equals the builder's schema, and every
// column's array type equals its field's type, for empty and for filled results.
void expect_stream_schema(nvtest::SnapshotConnection& conn, int depth) {
  ArrowArrayStream stream{};
  AdbcError error{};
  ASSERT_EQ(nv_adbc_connection_get_objects(conn.handle(), depth, nullptr, nullptr, nullptr,
                                           nullptr, nullptr, &stream, &error),
            ADBC_STATUS_OK);
  auto batch = nvtest::read_stream(&stream);
  ASSERT_NE(batch, nullptr);
  EXPECT_TRUE(batch->schema()->Equals(*norvale::adbc::build_get_objects_schema()))
      << batch->schema()->ToString();
  for (int i = 0; i < batch->num_columns(); ++i) {
    EXPECT_TRUE(batch->column(i)->type()->Equals(batch->schema()->field(i)->type()));
  }
  EXPECT_TRUE(batch->ValidateFull().ok()) << batch->ValidateFull().ToString();
}

TEST(GetObjects, EmptySnapshotGivesZeroRowsWithFullSchema) {
  nvtest::SnapshotConnection conn;
  expect_stream_schema(conn, kAll);
  EXPECT_TRUE(nvtest::get_objects(conn.handle(), kAll, nullptr, nullptr, nullptr, nullptr,
                                  nullptr)
                  .empty());

  // A tables relation without a table_type column counts as missing.
  conn.set(kRsTables, make_batch({{"table_catalog", arrow::utf8()},
                                  {"table_schema", arrow::utf8()},
                                  {"table_name", arrow::utf8()}},
                                 {{"c", "s", "t"}}));
  EXPECT_TRUE(
      nvtest::get_objects(conn.handle(), kAll, nullptr, nullptr, nullptr, nullptr, nullptr)
          .empty());
}

TEST(GetObjects, ArgumentAndStateErrors) {
  nvtest::SnapshotConnection conn;
  ArrowArrayStream stream{};
  AdbcError error{};
  EXPECT_EQ(nv_adbc_connection_get_objects(conn.handle(), 0, nullptr, nullptr, nullptr, nullptr,
                                           nullptr, nullptr, &error),
            ADBC_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "AdbcConnectionGetObjects: null connection or stream");
  EXPECT_STREQ(error.sqlstate, "HY009");
  error.release(&error);

  AdbcConnection bare{};
  EXPECT_EQ(nv_adbc_connection_get_objects(&bare, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
                                           &stream, &error),
            ADBC_STATUS_INVALID_STATE);
  EXPECT_STREQ(error.message, "AdbcConnectionGetObjects: connection not initialised");
  EXPECT_STREQ(error.sqlstate, "HY010");
  error.release(&error);

  EXPECT_EQ(nv_adbc_connection_get_objects(conn.handle(), -1, nullptr, nullptr, nullptr, nullptr,
                                           nullptr, &stream, &error),
            ADBC_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(error.sqlstate, "HY009");
  error.release(&error);
}

class GetObjectsTree : public ::testing::Test {
 protected:
  void SetUp() override {
    conn_.set(kRsTables, tables_batch({
                             {"main", "sales", "orders", "BASE TABLE"},
                             {"main", "sales", "ORDERS", "base table"},
                             {"main", "sales", "v_orders", "View"},
                             {"main", "hr", "people", "MATERIALIZED VIEW"},
                             {"main", "hr", "100%", nullptr},
                             {"main", "hr", "1000", "SYSTEM"},
                             {"other", "public", "tmp", "local temporary"},
                         }));
    conn_.set(kRsColumns, columns_batch({
                              {"main", "sales", "orders", "amount", 3, "numeric(10,2)", "NO"},
                              {"main", "sales", "orders", "id", 1, "bigint", "NO"},
                              {"main", "sales", "orders", "note", 2, "varchar", "YES"},
                              {"main", "hr", "people", "name", 1, "text", ""},
                          }));
  }
  std::vector<nvtest::CatalogOut> objects(int depth, const char* cat = nullptr,
                                          const char* sch = nullptr, const char* tbl = nullptr,
                                          const char** types = nullptr,
                                          const char* col = nullptr) {
    return nvtest::get_objects(conn_.handle(), depth, cat, sch, tbl, types, col);
  }
  nvtest::SnapshotConnection conn_;
};

TEST_F(GetObjectsTree, StreamSchemaAtEveryDepth) {
  for (int depth : {kAll, kCatalogs, kSchemas, kTables, 7}) expect_stream_schema(conn_, depth);
}

TEST_F(GetObjectsTree, DepthCatalogsGivesNullSchemaLists) {
  auto tree = objects(kCatalogs);
  ASSERT_EQ(tree.size(), 2u);
  std::set<std::string> names;
  for (const auto& cat : tree) {
    names.insert(*cat.name);
    EXPECT_TRUE(cat.schemas_null);
  }
  EXPECT_EQ(names, (std::set<std::string>{"main", "other"}));
}

TEST_F(GetObjectsTree, DepthSchemasGivesNullTableLists) {
  auto tree = objects(kSchemas);
  size_t schemas = 0;
  for (const auto& cat : tree) {
    EXPECT_FALSE(cat.schemas_null);
    for (const auto& sch : cat.schemas) {
      EXPECT_TRUE(sch.tables_null);
      ++schemas;
    }
  }
  EXPECT_EQ(schemas, 3u);
}

TEST_F(GetObjectsTree, DepthTablesHasNullColumnsAndConstraintLists) {
  for (int depth : {kTables, 4, 100}) {
    auto tree = objects(depth);
    const auto orders = nvtest::find_table(tree, "main", "sales", "orders");
    EXPECT_TRUE(orders.columns_null) << depth;
    EXPECT_TRUE(orders.constraints_null) << depth;
  }
  auto all = objects(kAll);
  const auto orders = nvtest::find_table(all, "main", "sales", "orders");
  EXPECT_FALSE(orders.columns_null);
  ASSERT_EQ(orders.columns.size(), 3u);
}

TEST_F(GetObjectsTree, TablesKeepRowOrderAndTypesAreNormalised) {
  // Catalogs and schemas come in map order; tables keep the row order within their schema.
  std::map<std::string, std::vector<std::string>> by_schema;
  for (const auto& cat : objects(kTables)) {
    for (const auto& sch : cat.schemas) {
      for (const auto& tbl : sch.tables) {
        by_schema[*cat.name + "." + *sch.name].push_back(tbl.name + ":" + tbl.type);
      }
    }
  }
  EXPECT_EQ(by_schema,
            (std::map<std::string, std::vector<std::string>>{
                {"main.hr", {"people:BASE TABLE", "100%:BASE TABLE", "1000:SYSTEM TABLE"}},
                {"main.sales", {"orders:BASE TABLE", "ORDERS:BASE TABLE", "v_orders:VIEW"}},
                {"other.public", {"tmp:LOCAL TEMPORARY"}}}));
}

TEST_F(GetObjectsTree, PatternFilters) {
  struct Case {
    const char* catalog;
    const char* schema;
    const char* table;
    std::set<std::string> expected;
  };
  const Case cases[] = {
      {nullptr, nullptr, "ord%", {"main.sales.orders:BASE TABLE", "main.sales.ORDERS:BASE TABLE"}},
      {nullptr, nullptr, "o_ders",
       {"main.sales.orders:BASE TABLE", "main.sales.ORDERS:BASE TABLE"}},
      {nullptr, nullptr, "100\\%", {"main.hr.100%:BASE TABLE"}},
      {nullptr, nullptr, "100%", {"main.hr.100%:BASE TABLE", "main.hr.1000:SYSTEM TABLE"}},
      {"MAIN", "H_", nullptr,
       {"main.hr.people:BASE TABLE", "main.hr.100%:BASE TABLE", "main.hr.1000:SYSTEM TABLE"}},
      {"", "", "", {"main.sales.orders:BASE TABLE", "main.sales.ORDERS:BASE TABLE",
                    "main.sales.v_orders:VIEW", "main.hr.people:BASE TABLE",
                    "main.hr.100%:BASE TABLE", "main.hr.1000:SYSTEM TABLE",
                    "other.public.tmp:LOCAL TEMPORARY"}},
      {"nomatch", nullptr, nullptr, {}},
  };
  for (const Case& c : cases) {
    auto paths = nvtest::table_paths(objects(kTables, c.catalog, c.schema, c.table));
    EXPECT_EQ(std::set<std::string>(paths.begin(), paths.end()), c.expected)
        << (c.catalog ? c.catalog : "null") << " / " << (c.schema ? c.schema : "null") << " / "
        << (c.table ? c.table : "null");
  }
  // The table filters choose tables only: catalogs and schemas are still listed.
  EXPECT_EQ(objects(kCatalogs, nullptr, nullptr, "nothing%").size(), 2u);
}

TEST_F(GetObjectsTree, TableTypeFilter) {
  const char* views[] = {"view", nullptr};
  auto paths = nvtest::table_paths(objects(kTables, nullptr, nullptr, nullptr, views));
  EXPECT_EQ(paths, (std::vector<std::string>{"main.sales.v_orders:VIEW"}));

  const char* base[] = {"BASE TABLE", nullptr};
  paths = nvtest::table_paths(objects(kTables, nullptr, nullptr, nullptr, base));
  EXPECT_EQ(paths.size(), 4u);  // orders, ORDERS, people (materialized view), 100% (no type)

  const char* none[] = {nullptr};
  EXPECT_EQ(nvtest::table_paths(objects(kTables, nullptr, nullptr, nullptr, none)).size(), 7u);

  const char* partial[] = {"BASE", "VIEW ", nullptr};
  EXPECT_TRUE(nvtest::table_paths(objects(kTables, nullptr, nullptr, nullptr, partial)).empty());
}

TEST_F(GetObjectsTree, ColumnsSortedByOrdinalAndColumnFilter) {
  auto tree = objects(kAll);
  const auto orders = nvtest::find_table(tree, "main", "sales", "orders");
  ASSERT_EQ(orders.columns.size(), 3u);
  EXPECT_EQ(orders.columns[0].name, "id");
  EXPECT_EQ(orders.columns[1].name, "note");
  EXPECT_EQ(orders.columns[2].name, "amount");
  EXPECT_EQ(orders.columns[2].ordinal, 3);
  // ORDERS has the same lower-cased name but a different key: no columns of its own.
  EXPECT_TRUE(nvtest::find_table(tree, "main", "sales", "ORDERS").columns.empty());

  tree = objects(kAll, nullptr, nullptr, nullptr, nullptr, "N%");
  const auto filtered = nvtest::find_table(tree, "main", "sales", "orders");
  ASSERT_EQ(filtered.columns.size(), 1u);
  EXPECT_EQ(filtered.columns[0].name, "note");

  // A column pattern that matches nothing still lists every table, with empty column lists.
  tree = objects(kAll, nullptr, nullptr, nullptr, nullptr, "zzz");
  EXPECT_EQ(nvtest::table_paths(tree).size(), 7u);
  for (const auto& cat : tree) {
    for (const auto& sch : cat.schemas) {
      for (const auto& tbl : sch.tables) {
        EXPECT_FALSE(tbl.columns_null);
        EXPECT_TRUE(tbl.columns.empty());
      }
    }
  }
}

TEST(GetObjects, OrdinalsFromRowOrderWithoutOrdinalColumn) {
  nvtest::SnapshotConnection conn;
  conn.set(kRsTables, tables_batch({{"c", "s", "t", "BASE TABLE"}, {"c", "s", "u", "VIEW"}}));
  conn.set(kRsColumns, make_batch({{"table_catalog", arrow::utf8()},
                                   {"table_schema", arrow::utf8()},
                                   {"table_name", arrow::utf8()},
                                   {"column_name", arrow::utf8()},
                                   {"data_type", arrow::utf8()}},
                                  {{"c", "s", "t", "z", "int"},
                                   {"c", "s", "u", "only", "int"},
                                   {"c", "s", "t", "a", "int"},
                                   {"c", "s", "t", "m", "int"}}));
  auto tree = nvtest::get_objects(conn.handle(), kAll, nullptr, nullptr, nullptr, nullptr,
                                  nullptr);
  const auto t = nvtest::find_table(tree, "c", "s", "t");
  ASSERT_EQ(t.columns.size(), 3u);
  EXPECT_EQ(t.columns[0].name, "z");
  EXPECT_EQ(t.columns[0].ordinal, 1);
  EXPECT_EQ(t.columns[1].name, "a");
  EXPECT_EQ(t.columns[1].ordinal, 2);
  EXPECT_EQ(t.columns[2].name, "m");
  EXPECT_EQ(t.columns[2].ordinal, 3);
  EXPECT_EQ(nvtest::find_table(tree, "c", "s", "u").columns[0].ordinal, 1);
}

// The xdbc fields of each data_type, with and without the snapshot's lengths and precisions.
TEST(GetObjects, ColumnMappingTable) {
  struct Case {
    const char* data_type;
    Cell char_max, octets, precision, radix, scale;
    std::string expected;
  };
  const Cell n = nullptr;
  const Case cases[] = {
      {"tinyint", n, n, n, n, n, "TINYINT -6 size=3 digits=0 radix=10 octets=- sub=-"},
      {"SMALLINT", n, n, n, n, n, "SMALLINT 5 size=5 digits=0 radix=10 octets=- sub=-"},
      {"integer", n, n, n, n, n, "INTEGER 4 size=10 digits=0 radix=10 octets=- sub=-"},
      {"int", n, n, 32, 2, 0, "INTEGER 4 size=32 digits=0 radix=2 octets=- sub=-"},
      {"bigint", n, n, n, n, n, "BIGINT -5 size=19 digits=0 radix=10 octets=- sub=-"},
      {"real", n, n, n, n, n, "REAL 7 size=24 digits=- radix=2 octets=- sub=-"},
      {"double precision", n, n, n, n, n,
       "DOUBLE PRECISION 8 size=53 digits=- radix=2 octets=- sub=-"},
      {"double", n, n, n, n, n, "DOUBLE PRECISION 8 size=53 digits=- radix=2 octets=- sub=-"},
      {"float", n, n, n, n, n, "DOUBLE PRECISION 8 size=53 digits=- radix=2 octets=- sub=-"},
      {"boolean", n, n, n, n, n, "BIT -7 size=1 digits=- radix=- octets=- sub=-"},
      {"bool", n, n, n, n, n, "BIT -7 size=1 digits=- radix=- octets=- sub=-"},
      {"bit", n, n, n, n, n, "BIT -7 size=1 digits=- radix=- octets=- sub=-"},
      {"date", n, n, n, n, n, "DATE 91 size=10 digits=0 radix=- octets=- sub=91"},
      {"time", n, n, n, n, n, "TIME 92 size=15 digits=- radix=- octets=- sub=92"},
      {"time without time zone", n, n, n, n, n,
       "TIME 92 size=15 digits=- radix=- octets=- sub=92"},
      {"time with time zone", n, n, n, n, n, "TIME 92 size=15 digits=- radix=- octets=- sub=92"},
      {"timestamp with time zone", n, n, n, n, n,
       "TIMESTAMP WITH TIME ZONE 95 size=32 digits=- radix=- octets=- sub=-"},
      {"timestamptz", n, n, n, n, n,
       "TIMESTAMP WITH TIME ZONE 95 size=32 digits=- radix=- octets=- sub=-"},
      {"timestamptz(3)", n, n, n, n, n,
       "TIMESTAMP WITH TIME ZONE 95 size=32 digits=- radix=- octets=- sub=-"},
      {"timestamp", n, n, n, n, n, "TIMESTAMP 93 size=26 digits=- radix=- octets=- sub=93"},
      {"timestamp(6)", n, n, n, n, 6, "TIMESTAMP 93 size=26 digits=6 radix=- octets=- sub=93"},
      {"binary", n, n, n, n, n, "BINARY -2 size=65535 digits=- radix=- octets=65535 sub=-"},
      {"varbinary", n, n, n, n, n,
       "VARBINARY -3 size=65535 digits=- radix=- octets=65535 sub=-"},
      {"bytea", n, n, n, n, n, "VARBINARY -3 size=65535 digits=- radix=- octets=65535 sub=-"},
      {"varbinary(16)", 16, n, n, n, n,
       "VARBINARY -3 size=16 digits=- radix=- octets=65535 sub=-"},
      {"longvarbinary", n, n, n, n, n,
       "LONGVARBINARY -4 size=65535 digits=- radix=- octets=65535 sub=-"},
      {"numeric", n, n, n, n, n, "DECIMAL 3 size=- digits=- radix=10 octets=- sub=-"},
      {"numeric(10,2)", n, n, 10, 10, 2, "DECIMAL 3 size=10 digits=2 radix=10 octets=- sub=-"},
      {"decimal(18,4)", n, n, 18, n, 4, "DECIMAL 3 size=18 digits=4 radix=- octets=- sub=-"},
      {"char", n, n, n, n, n, "CHAR 1 size=1 digits=- radix=- octets=4 sub=-"},
      {"character", 8, 32, n, n, n, "CHAR 1 size=8 digits=- radix=- octets=32 sub=-"},
      {"character varying", n, n, n, n, n, "CHAR 1 size=1 digits=- radix=- octets=4 sub=-"},
      {"VARCHAR(20)", 20, n, n, n, n, "VARCHAR 12 size=20 digits=- radix=- octets=1024 sub=-"},
      {"text", n, n, n, n, n, "VARCHAR 12 size=256 digits=- radix=- octets=1024 sub=-"},
      {"string", n, n, n, n, n, "VARCHAR 12 size=256 digits=- radix=- octets=1024 sub=-"},
      {"utf8", n, n, n, n, n, "VARCHAR 12 size=256 digits=- radix=- octets=1024 sub=-"},
      {"uuid", n, n, n, n, n, "VARCHAR 12 size=36 digits=- radix=- octets=144 sub=-"},
      {"json", n, n, n, n, n, "VARCHAR 12 size=65535 digits=- radix=- octets=262140 sub=-"},
      {"", n, n, n, n, n, "VARCHAR 12 size=65535 digits=- radix=- octets=262140 sub=-"},
  };
  nvtest::Rows rows;
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    rows.push_back({"c", "s", "t", "col" + std::to_string(i), static_cast<int64_t>(i + 1),
                    c.data_type, c.char_max, c.octets, c.precision, c.radix, c.scale});
  }
  nvtest::SnapshotConnection conn;
  conn.set(kRsTables, tables_batch({{"c", "s", "t", "BASE TABLE"}}));
  conn.set(kRsColumns, make_batch({{"table_catalog", arrow::utf8()},
                                   {"table_schema", arrow::utf8()},
                                   {"table_name", arrow::utf8()},
                                   {"column_name", arrow::utf8()},
                                   {"ordinal_position", arrow::int64()},
                                   {"data_type", arrow::utf8()},
                                   {"character_maximum_length", arrow::int32()},
                                   {"character_octet_length", arrow::int64()},
                                   {"numeric_precision", arrow::uint8()},
                                   {"numeric_precision_radix", arrow::int16()},
                                   {"numeric_scale", arrow::int32()}},
                                  rows));
  auto tree = nvtest::get_objects(conn.handle(), kAll, nullptr, nullptr, nullptr, nullptr,
                                  nullptr);
  const auto t = nvtest::find_table(tree, "c", "s", "t");
  ASSERT_EQ(t.columns.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& col = t.columns[i];
    EXPECT_EQ(col.xdbc(), cases[i].expected) << cases[i].data_type;
    EXPECT_EQ(col.sql_data_type, col.data_type) << cases[i].data_type;
  }
}

TEST(GetObjects, ColumnFlagsDefaultsAndScope) {
  nvtest::SnapshotConnection conn;
  conn.set(kRsTables, tables_batch({{"c", "s", "t", "BASE TABLE"}}));
  conn.set(kRsColumns,
           make_batch({{"table_catalog", arrow::utf8()},
                       {"table_schema", arrow::utf8()},
                       {"table_name", arrow::utf8()},
                       {"column_name", arrow::utf8()},
                       {"ordinal_position", arrow::int32()},
                       {"data_type", arrow::utf8()},
                       {"is_nullable", arrow::utf8()},
                       {"column_default", arrow::utf8()},
                       {"is_identity", arrow::utf8()},
                       {"is_generated", arrow::utf8()},
                       {"description", arrow::utf8()}},
                      {{"c", "s", "t", "a", 1, "int", "no", "0", "yes", "ALWAYS", "the key"},
                       {"c", "s", "t", "b", 2, "int", "YES", "", "NO", "NEVER", ""},
                       {"c", "s", "t", "c", 3, "int", nullptr, nullptr, nullptr, "NO", nullptr},
                       {"c", "s", "t", "d", 4, "int", "maybe", nullptr, nullptr, "", nullptr},
                       {"c", "s", "t", "e", 5, "int", "", nullptr, nullptr, "BY DEFAULT",
                        nullptr}}));
  auto tree = nvtest::get_objects(conn.handle(), kAll, nullptr, nullptr, nullptr, nullptr,
                                  nullptr);
  const auto cols = nvtest::find_table(tree, "c", "s", "t").columns;
  ASSERT_EQ(cols.size(), 5u);
  struct Expect {
    int64_t nullable;
    const char* is_nullable;
    std::optional<std::string> def, remarks;
    bool autoinc, generated;
  };
  const Expect expect[] = {
      {0, "NO", "0", "the key", true, true},
      {1, "YES", std::nullopt, std::nullopt, false, false},
      {1, "YES", std::nullopt, std::nullopt, false, false},
      {0, "NO", std::nullopt, std::nullopt, false, false},
      {1, "YES", std::nullopt, std::nullopt, false, true},
  };
  for (size_t i = 0; i < cols.size(); ++i) {
    EXPECT_EQ(cols[i].nullable, expect[i].nullable) << i;
    EXPECT_EQ(cols[i].is_nullable, expect[i].is_nullable) << i;
    EXPECT_EQ(cols[i].column_def, expect[i].def) << i;
    EXPECT_EQ(cols[i].remarks, expect[i].remarks) << i;
    EXPECT_EQ(cols[i].autoincrement, expect[i].autoinc) << i;
    EXPECT_EQ(cols[i].generated, expect[i].generated) << i;
    EXPECT_EQ(cols[i].scope_catalog, "c");
    EXPECT_EQ(cols[i].scope_schema, "s");
    EXPECT_EQ(cols[i].scope_table, "t");
  }
}

TEST(GetObjects, ConstraintsWithOrderedColumnNames) {
  nvtest::SnapshotConnection conn;
  conn.set(kRsTables, tables_batch({{"c", "s", "t", "BASE TABLE"}, {"c", "s", "u", "VIEW"}}));
  conn.set(kRsTableConstraints, make_batch({{"constraint_catalog", arrow::utf8()},
                                            {"constraint_schema", arrow::utf8()},
                                            {"constraint_name", arrow::utf8()},
                                            {"table_catalog", arrow::utf8()},
                                            {"table_schema", arrow::utf8()},
                                            {"table_name", arrow::utf8()},
                                            {"constraint_type", arrow::utf8()}},
                                           {{"c", "s", "t_pk", "c", "s", "t", "PRIMARY KEY"},
                                            {"c", "s", "t_uq", "c", "s", "t", "UNIQUE"},
                                            {"c", "s", "x_pk", "c", "s", "x", "PRIMARY KEY"}}));
  conn.set(kRsKeyColumnUsage, make_batch({{"constraint_catalog", arrow::utf8()},
                                          {"constraint_schema", arrow::utf8()},
                                          {"constraint_name", arrow::utf8()},
                                          {"column_name", arrow::utf8()},
                                          {"ordinal_position", arrow::int64()}},
                                         {{"c", "s", "t_pk", "second", 2},
                                          {"c", "s", "t_pk", "third", 3},
                                          {"c", "s", "t_pk", "first", 1},
                                          {"c", "s", "other", "x", 1}}));
  for (const char* table_filter : {static_cast<const char*>(nullptr), "t"}) {
    auto tree = nvtest::get_objects(conn.handle(), kAll, nullptr, nullptr, table_filter, nullptr,
                                    nullptr);
    const auto t = nvtest::find_table(tree, "c", "s", "t");
    ASSERT_EQ(t.constraints.size(), 2u);
    EXPECT_EQ(t.constraints[0].name, "t_pk");
    EXPECT_EQ(t.constraints[0].type, "PRIMARY KEY");
    EXPECT_EQ(t.constraints[0].column_names,
              (std::vector<std::string>{"first", "second", "third"}));
    EXPECT_TRUE(t.constraints[0].usage_null);
    EXPECT_EQ(t.constraints[1].name, "t_uq");
    EXPECT_TRUE(t.constraints[1].column_names.empty());
  }
  auto tree = nvtest::get_objects(conn.handle(), kAll, nullptr, nullptr, nullptr, nullptr,
                                  nullptr);
  const auto u = nvtest::find_table(tree, "c", "s", "u");
  EXPECT_FALSE(u.constraints_null);
  EXPECT_TRUE(u.constraints.empty());
}

// A foreign key lists the referenced table's columns, matched through the referenced key's
// positions (a composite key whose columns are declared in another order than the target's).
TEST(GetObjects, ForeignKeyColumnUsage) {
  nvtest::SnapshotConnection conn;
  conn.set(kRsTables, tables_batch({{"c", "s", "parent", "BASE TABLE"},
                                    {"c", "s", "child", "BASE TABLE"}}));
  conn.set(kRsTableConstraints, make_batch({{"constraint_catalog", arrow::utf8()},
                                            {"constraint_schema", arrow::utf8()},
                                            {"constraint_name", arrow::utf8()},
                                            {"table_catalog", arrow::utf8()},
                                            {"table_schema", arrow::utf8()},
                                            {"table_name", arrow::utf8()},
                                            {"constraint_type", arrow::utf8()}},
                                           {{"c", "s", "parent_pk", "c", "s", "parent",
                                             "PRIMARY KEY"},
                                            {"c", "s", "child_fk", "c", "s", "child",
                                             "FOREIGN KEY"},
                                            {"c", "s", "dangling_fk", "c", "s", "child",
                                             "FOREIGN KEY"}}));
  conn.set(kRsKeyColumnUsage,
           make_batch({{"constraint_catalog", arrow::utf8()},
                       {"constraint_schema", arrow::utf8()},
                       {"constraint_name", arrow::utf8()},
                       {"table_catalog", arrow::utf8()},
                       {"table_schema", arrow::utf8()},
                       {"table_name", arrow::utf8()},
                       {"column_name", arrow::utf8()},
                       {"ordinal_position", arrow::int32()},
                       {"position_in_unique_constraint", arrow::int32()}},
                      {{"c", "s", "parent_pk", "c", "s", "parent", "region", 1, nullptr},
                       {"c", "s", "parent_pk", "c", "s", "parent", "id", 2, nullptr},
                       {"c", "s", "child_fk", "c", "s", "child", "parent_id", 1, int64_t{2}},
                       {"c", "s", "child_fk", "c", "s", "child", "parent_region", 2,
                        int64_t{1}},
                       {"c", "s", "dangling_fk", "c", "s", "child", "x", 1, int64_t{1}}}));
  conn.set(norvale::adbc::kRsReferentialConstraints,
           make_batch({{"constraint_catalog", arrow::utf8()},
                       {"constraint_schema", arrow::utf8()},
                       {"constraint_name", arrow::utf8()},
                       {"unique_constraint_catalog", arrow::utf8()},
                       {"unique_constraint_schema", arrow::utf8()},
                       {"unique_constraint_name", arrow::utf8()}},
                      {{"c", "s", "child_fk", "c", "s", "parent_pk"},
                       {"c", "s", "dangling_fk", "c", "s", "no_such_key"}}));
  auto tree = nvtest::get_objects(conn.handle(), kAll, nullptr, nullptr, "child", nullptr,
                                  nullptr);
  const auto child = nvtest::find_table(tree, "c", "s", "child");
  ASSERT_EQ(child.constraints.size(), 2u);
  const auto& fk = child.constraints[0];
  EXPECT_EQ(fk.column_names, (std::vector<std::string>{"parent_id", "parent_region"}));
  ASSERT_FALSE(fk.usage_null);
  EXPECT_EQ(fk.usage, (std::vector<std::string>{"c.s.parent.id", "c.s.parent.region"}));
  EXPECT_TRUE(child.constraints[1].usage_null);  // the referenced key is not in the snapshot
  const auto parent = nvtest::find_table(
      nvtest::get_objects(conn.handle(), kAll, nullptr, nullptr, nullptr, nullptr, nullptr), "c",
      "s", "parent");
  ASSERT_EQ(parent.constraints.size(), 1u);
  EXPECT_TRUE(parent.constraints[0].usage_null);  // only foreign keys reference anything
}

// Catalogs and schemas are listed from their own relations, also without tables; filters on
// catalog and schema apply to them, the table filters choose tables only.
TEST(GetObjects, CatalogsAndSchemasWithoutTables) {
  nvtest::SnapshotConnection conn;
  conn.set(norvale::adbc::kRsCatalogs,
           make_batch({{"catalog_name", arrow::utf8()}}, {{"empty_db"}, {"main"}}));
  conn.set(norvale::adbc::kRsSchemata,
           make_batch({{"catalog_name", arrow::utf8()}, {"schema_name", arrow::utf8()}},
                      {{"empty_db", "main"}, {"main", "sales"}, {"main", "staging"}}));
  conn.set(kRsTables, tables_batch({}));
  struct Case {
    int depth;
    const char* catalog;
    const char* schema;
    const char* table;
    std::vector<std::string> expected;  // "catalog" or "catalog.schema"
  };
  const Case cases[] = {
      {kCatalogs, nullptr, nullptr, nullptr, {"empty_db", "main"}},
      {kSchemas, nullptr, nullptr, nullptr, {"empty_db.main", "main.sales", "main.staging"}},
      {kTables, "main", nullptr, "t%", {"main.sales", "main.staging"}},
      {kAll, nullptr, "s%", "orders", {"empty_db", "main.sales", "main.staging"}},
      {kSchemas, "nope", nullptr, nullptr, {}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> got;
    for (const auto& cat : nvtest::get_objects(conn.handle(), c.depth, c.catalog, c.schema,
                                               c.table, nullptr, nullptr)) {
      if (cat.schemas_null || cat.schemas.empty()) got.push_back(*cat.name);
      for (const auto& sch : cat.schemas) got.push_back(*cat.name + "." + *sch.name);
    }
    EXPECT_EQ(got, c.expected) << c.depth << " " << (c.table ? c.table : "");
  }
}

// Property: over generated snapshots, every table row that passes the filters appears exactly
// once (duplicates included) and every listed column belongs to its table.
TEST(GetObjects, GeneratedSnapshotsListEveryMatchingTable) {
  const unsigned seed = static_cast<unsigned>(::testing::UnitTest::GetInstance()->random_seed());
  std::printf("GetObjects property seed: %u\n", seed);
  std::mt19937 rng(seed);
  const char* catalogs[] = {"a", "B", "c"};
  const char* schemas[] = {"x", "y"};
  const char* names[] = {"t1", "t2", "T1", "order", "o_der"};
  for (int round = 0; round < 20; ++round) {
    nvtest::Rows tables;
    nvtest::Rows columns;
    std::map<std::string, int> expected_tables;
    const int n = static_cast<int>(rng() % 12);
    for (int i = 0; i < n; ++i) {
      std::string cat = catalogs[rng() % 3];
      std::string sch = schemas[rng() % 2];
      std::string tbl = names[rng() % 5];
      tables.push_back({cat, sch, tbl, (rng() % 2) ? "VIEW" : "BASE TABLE"});
      if (tbl.back() == '1') ++expected_tables[cat + "." + sch + "." + tbl];
      const int cols = static_cast<int>(rng() % 3);
      for (int k = 0; k < cols; ++k) {
        columns.push_back({cat, sch, tbl, "c" + std::to_string(k), static_cast<int64_t>(k + 1),
                           "int", "YES"});
      }
    }
    nvtest::SnapshotConnection conn;
    conn.set(kRsTables, tables_batch(tables));
    conn.set(kRsColumns, columns_batch(columns));
    auto tree = nvtest::get_objects(conn.handle(), kAll, nullptr, nullptr, "%1", nullptr,
                                    nullptr);
    std::map<std::string, int> seen;
    for (const auto& cat : tree) {
      for (const auto& sch : cat.schemas) {
        for (const auto& tbl : sch.tables) {
          ++seen[*cat.name + "." + *sch.name + "." + tbl.name];
          for (const auto& col : tbl.columns) {
            EXPECT_EQ(col.scope_table, tbl.name);
            EXPECT_EQ(col.scope_catalog, cat.name);
          }
        }
      }
    }
    EXPECT_EQ(seen, expected_tables) << "seed " << seed << " round " << round;
  }
}

}  // namespace
