#include "sql_fixture.h"

#include <arrow/json/from_string.h>
#include <gtest/gtest.h>

#include "metadata/catalog_index_internal.h"

namespace nv_sql::testing {
namespace {

std::shared_ptr<arrow::RecordBatch> make(const arrow::FieldVector& fields,
                                         const std::vector<std::string>& columns) {
  arrow::ArrayVector arrays;
  for (size_t i = 0; i < fields.size(); ++i) {
    auto arr = arrow::json::ArrayFromJSONString(fields[i]->type(), columns[i]);
    EXPECT_TRUE(arr.ok()) << arr.status().ToString();
    arrays.push_back(*arr);
  }
  return arrow::RecordBatch::Make(arrow::schema(fields), arrays.front()->length(), arrays);
}

}  // namespace

void register_fixture(MetadataEngine* engine, bool indexed) {
  auto add = [&](const std::string& name, const std::shared_ptr<arrow::RecordBatch>& batch) {
    auto index = indexed ? RelationIndex::Build(batch,
                                                [](const std::string& c) {
                                                  return norvale::adbc::is_catalog_name_column(c);
                                                })
                         : nullptr;
    ASSERT_TRUE(engine->register_relation(name, batch->schema(), {batch}, index));
  };
  auto s = arrow::utf8();
  auto tables = make(
      {arrow::field("table_catalog", s), arrow::field("table_schema", s),
       arrow::field("table_name", s), arrow::field("table_type", s), arrow::field("remarks", s)},
      {R"(["db", "db", "db", "db", "db"])", R"(["public", "public", "sales", "sales", null])",
       R"(["Orders", "customers", "orders", "v_top", "orphan"])",
       R"(["BASE TABLE", "BASE TABLE", "BASE TABLE", "VIEW", null])",
       R"([null, "people", null, "top\nsellers", null])"});
  auto columns = make(
      {arrow::field("table_catalog", s), arrow::field("table_schema", s),
       arrow::field("table_name", s), arrow::field("column_name", s),
       arrow::field("ordinal_position", arrow::int32()), arrow::field("data_type", s),
       arrow::field("is_nullable", s), arrow::field("character_maximum_length", arrow::int64())},
      {R"(["db", "db", "db", "db", "db", "db", "db", "db"])",
       R"(["public", "public", "public", "public", "sales", "sales", "sales", "sales"])",
       R"(["Orders", "Orders", "customers", "customers", "orders", "orders", "orders", "v_top"])",
       R"(["id", "total", "id", "name", "id", "region", "total", "region"])",
       R"([1, 2, 1, 2, 1, 2, 3, 1])",
       R"(["bigint", "double", "bigint", "varchar", "bigint", "varchar", null, "varchar"])",
       R"(["NO", "YES", "NO", "YES", "NO", "YES", "YES", "YES"])",
       R"([null, null, null, 200, null, 20, null, 20])"});
  auto schemata = make({arrow::field("catalog_name", s), arrow::field("schema_name", s),
                        arrow::field("schema_owner", s)},
                       {R"(["db", "db", "db"])", R"(["public", "sales", "empty"])",
                        R"(["admin", null, "admin"])"});
  auto catalogs = make({arrow::field("catalog_name", s)}, {R"(["db"])"});
  auto constraints = make(
      {arrow::field("constraint_catalog", s), arrow::field("constraint_schema", s),
       arrow::field("constraint_name", s), arrow::field("table_schema", s),
       arrow::field("table_name", s), arrow::field("constraint_type", s)},
      {R"(["db", "db", "db", "db", "db"])", R"(["public", "public", "sales", "sales", "sales"])",
       R"(["pk_orders", "pk_customers", "pk_sales_orders", "fk_orders_region", "uq_region"])",
       R"(["public", "public", "sales", "sales", "sales"])",
       R"(["Orders", "customers", "orders", "orders", "orders"])",
       R"(["PRIMARY KEY", "PRIMARY KEY", "PRIMARY KEY", "FOREIGN KEY", "UNIQUE"])"});
  auto key_usage = make(
      {arrow::field("constraint_schema", s), arrow::field("constraint_name", s),
       arrow::field("table_schema", s), arrow::field("table_name", s),
       arrow::field("column_name", s), arrow::field("ordinal_position", arrow::int32())},
      {R"(["public", "public", "sales", "sales", "sales"])",
       R"(["pk_orders", "pk_customers", "pk_sales_orders", "fk_orders_region", "uq_region"])",
       R"(["public", "public", "sales", "sales", "sales"])",
       R"(["Orders", "customers", "orders", "orders", "orders"])",
       R"(["id", "id", "id", "region", "region"])", R"([1, 1, 1, 1, 1])"});
  auto referential = make(
      {arrow::field("constraint_schema", s), arrow::field("constraint_name", s),
       arrow::field("unique_constraint_schema", s), arrow::field("unique_constraint_name", s),
       arrow::field("update_rule", s), arrow::field("delete_rule", s)},
      {R"(["sales"])", R"(["fk_orders_region"])", R"(["sales"])", R"(["uq_region"])",
       R"(["NO ACTION"])", R"(["CASCADE"])"});
  for (const auto& [name, batch] :
       std::vector<std::pair<std::string, std::shared_ptr<arrow::RecordBatch>>>{
           {"catalogs", catalogs},
           {"table_constraints", constraints},
           {"key_column_usage", key_usage},
           {"referential_constraints", referential}}) {
    add("information_schema." + name, batch);
  }
  auto routines_schema = arrow::schema(
      {arrow::field("routine_name", s), arrow::field("routine_type", s)});
  add("information_schema.tables", tables);
  if (indexed) {
    add("INFORMATION_SCHEMA.Columns", columns);
  } else {
    // Two batches: the engine combines them.
    ASSERT_TRUE(engine->register_relation("INFORMATION_SCHEMA.Columns", columns->schema(),
                                          {columns->Slice(0, 3), columns->Slice(3)}));
  }
  add("information_schema.schemata", schemata);
  ASSERT_TRUE(engine->register_relation("information_schema.routines", routines_schema, {}));
}

const std::vector<std::string>& fixture_relations() {
  static const std::vector<std::string> kNames = {
      "catalogs",         "schemata", "tables", "columns", "table_constraints",
      "key_column_usage", "referential_constraints", "routines"};
  return kNames;
}

std::string cell_text(const arrow::Array& array, int64_t row) {
  if (array.IsNull(row)) return "NULL";
  auto sc = array.GetScalar(row);
  if (!sc.ok()) return "<" + sc.status().ToString() + ">";
  return (*sc)->ToString();
}

}  // namespace nv_sql::testing
