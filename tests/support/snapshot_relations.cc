#include "support/snapshot_relations.h"

#include <gtest/gtest.h>

#include <arrow/json/from_string.h>
#include <nlohmann/json.hpp>

#include "core/connection_internal.h"
#include "metadata/baselines_internal.h"

namespace nvtest {

using norvale::adbc::kRsCatalogs;
using norvale::adbc::kRsColumns;
using norvale::adbc::kRsKeyColumnUsage;
using norvale::adbc::kRsReferentialConstraints;
using norvale::adbc::kRsSchemata;
using norvale::adbc::kRsTableConstraints;
using norvale::adbc::kRsTables;

std::shared_ptr<arrow::RecordBatch> make_batch(const Fields& fields, const Rows& rows) {
  arrow::FieldVector schema_fields;
  std::vector<std::shared_ptr<arrow::Array>> columns;
  for (size_t c = 0; c < fields.size(); ++c) {
    nlohmann::json values = nlohmann::json::array();
    for (const auto& row : rows) {
      const Cell& cell = row.at(c);
      if (std::holds_alternative<std::nullptr_t>(cell)) {
        values.push_back(nullptr);
      } else if (const auto* s = std::get_if<std::string>(&cell)) {
        values.push_back(*s);
      } else {
        values.push_back(std::get<int64_t>(cell));
      }
    }
    auto array = arrow::json::ArrayFromJSONString(fields[c].second, values.dump());
    EXPECT_TRUE(array.ok()) << fields[c].first << ": " << array.status().ToString();
    if (!array.ok()) return nullptr;
    schema_fields.push_back(arrow::field(fields[c].first, fields[c].second));
    columns.push_back(*array);
  }
  return arrow::RecordBatch::Make(arrow::schema(schema_fields), static_cast<int64_t>(rows.size()),
                                  columns);
}

std::shared_ptr<arrow::RecordBatch> tables_batch(const Rows& rows) {
  return make_batch({{"table_catalog", arrow::utf8()},
                     {"table_schema", arrow::utf8()},
                     {"table_name", arrow::utf8()},
                     {"table_type", arrow::utf8()}},
                    rows);
}

SnapshotBatches small_catalog() {
  const auto s = arrow::utf8();
  const auto i32 = arrow::int32();
  const Cell null = nullptr;
  auto n = [](int64_t v) { return Cell(v); };
  SnapshotBatches b;
  b[kRsCatalogs] = make_batch({{"catalog_name", s}}, {{"db"}});
  b[kRsSchemata] =
      make_batch({{"catalog_name", s}, {"schema_name", s}, {"schema_owner", s}},
                 {{"db", "public", "admin"}, {"db", "sales", null}, {"db", "empty", "admin"}});
  b[kRsTables] = make_batch({{"table_catalog", s},
                             {"table_schema", s},
                             {"table_name", s},
                             {"table_type", s},
                             {"remarks", s}},
                            {{"db", "public", "Orders", "BASE TABLE", null},
                             {"db", "public", "customers", "BASE TABLE", "people"},
                             {"db", "sales", "orders", "BASE TABLE", null},
                             {"db", "sales", "v_top", "VIEW", "top\nsellers"},
                             {"db", null, "orphan", null, null}});
  b[kRsColumns] = make_batch({{"table_catalog", s},
                              {"table_schema", s},
                              {"table_name", s},
                              {"column_name", s},
                              {"ordinal_position", i32},
                              {"data_type", s},
                              {"is_nullable", s},
                              {"character_maximum_length", arrow::int64()}},
                             {{"db", "public", "Orders", "id", n(1), "bigint", "NO", null},
                              {"db", "public", "Orders", "total", n(2), "double", "YES", null},
                              {"db", "public", "customers", "id", n(1), "bigint", "NO", null},
                              {"db", "public", "customers", "name", n(2), "varchar", "YES", n(200)},
                              {"db", "sales", "orders", "id", n(1), "bigint", "NO", null},
                              {"db", "sales", "orders", "region", n(2), "varchar", "YES", n(20)},
                              {"db", "sales", "orders", "total", n(3), null, "YES", null},
                              {"db", "sales", "v_top", "region", n(1), "varchar", "YES", n(20)}});
  b[kRsTableConstraints] =
      make_batch({{"constraint_catalog", s},
                  {"constraint_schema", s},
                  {"constraint_name", s},
                  {"table_schema", s},
                  {"table_name", s},
                  {"constraint_type", s}},
                 {{"db", "public", "pk_orders", "public", "Orders", "PRIMARY KEY"},
                  {"db", "public", "pk_customers", "public", "customers", "PRIMARY KEY"},
                  {"db", "sales", "pk_sales_orders", "sales", "orders", "PRIMARY KEY"},
                  {"db", "sales", "fk_orders_region", "sales", "orders", "FOREIGN KEY"},
                  {"db", "sales", "uq_region", "sales", "orders", "UNIQUE"}});
  b[kRsKeyColumnUsage] =
      make_batch({{"constraint_schema", s},
                  {"constraint_name", s},
                  {"table_schema", s},
                  {"table_name", s},
                  {"column_name", s},
                  {"ordinal_position", i32}},
                 {{"public", "pk_orders", "public", "Orders", "id", n(1)},
                  {"public", "pk_customers", "public", "customers", "id", n(1)},
                  {"sales", "pk_sales_orders", "sales", "orders", "id", n(1)},
                  {"sales", "fk_orders_region", "sales", "orders", "region", n(1)},
                  {"sales", "uq_region", "sales", "orders", "region", n(1)}});
  b[kRsReferentialConstraints] =
      make_batch({{"constraint_schema", s},
                  {"constraint_name", s},
                  {"unique_constraint_schema", s},
                  {"unique_constraint_name", s},
                  {"update_rule", s},
                  {"delete_rule", s}},
                 {{"sales", "fk_orders_region", "sales", "uq_region", "NO ACTION", "CASCADE"}});
  return b;
}

SnapshotBatches generated_catalog(int tables, bool reversed_ordinals) {
  static const char* kTypes[] = {"bigint", "varchar", "double", "date", "boolean"};
  arrow::StringBuilder t_cat, t_sch, t_name, t_type, t_rem;
  arrow::StringBuilder c_cat, c_sch, c_tab, c_col, c_type, c_null;
  arrow::Int32Builder c_ord;
  arrow::Int64Builder c_len;
  auto ok = [](const arrow::Status& st) { EXPECT_TRUE(st.ok()) << st.ToString(); };
  for (int t = 0; t < tables; ++t) {
    const std::string schema = "s" + std::to_string(t % kGeneratedSchemas);
    const std::string name = "t" + std::to_string(t);
    ok(t_cat.Append("db"));
    ok(t_sch.Append(schema));
    ok(t_name.Append(name));
    ok(t_type.Append(t % 10 == 0 ? "VIEW" : "BASE TABLE"));
    ok(t % 3 == 0 ? t_rem.AppendNull() : t_rem.Append("table " + name));
    for (int i = 0; i < kGeneratedColumnsPerTable; ++i) {
      const int c = reversed_ordinals ? kGeneratedColumnsPerTable - 1 - i : i;
      ok(c_cat.Append("db"));
      ok(c_sch.Append(schema));
      ok(c_tab.Append(name));
      ok(c_col.Append("col" + std::to_string(c)));
      ok(c_ord.Append(c + 1));
      ok(c_type.Append(kTypes[(t + c) % 5]));
      ok(c_null.Append(c == 0 ? "NO" : "YES"));
      ok((t + c) % 5 == 1 ? c_len.Append(255) : c_len.AppendNull());
    }
  }
  const auto s = arrow::utf8();
  auto tschema = arrow::schema({arrow::field("table_catalog", s), arrow::field("table_schema", s),
                                arrow::field("table_name", s), arrow::field("table_type", s),
                                arrow::field("remarks", s)});
  auto cschema = arrow::schema(
      {arrow::field("table_catalog", s), arrow::field("table_schema", s),
       arrow::field("table_name", s), arrow::field("column_name", s),
       arrow::field("ordinal_position", arrow::int32()), arrow::field("data_type", s),
       arrow::field("is_nullable", s), arrow::field("character_maximum_length", arrow::int64())});
  auto finish = [](arrow::ArrayBuilder& builder) { return builder.Finish().ValueOrDie(); };
  SnapshotBatches b;
  b[kRsTables] = arrow::RecordBatch::Make(
      tschema, tables,
      {finish(t_cat), finish(t_sch), finish(t_name), finish(t_type), finish(t_rem)});
  b[kRsColumns] = arrow::RecordBatch::Make(
      cschema, static_cast<int64_t>(tables) * kGeneratedColumnsPerTable,
      {finish(c_cat), finish(c_sch), finish(c_tab), finish(c_col), finish(c_ord), finish(c_type),
       finish(c_null), finish(c_len)});
  return b;
}

std::shared_ptr<const norvale::adbc::CatalogIndex> register_snapshot(
    nv_sql::MetadataEngine* engine, const SnapshotBatches& batches, bool indexed) {
  const auto index = indexed ? norvale::adbc::CatalogIndex::Build(batches) : nullptr;
  for (int rs = 0; rs < norvale::adbc::kSnapshotResultSets; ++rs) {
    const auto& batch = batches[static_cast<size_t>(rs)];
    if (batch == nullptr) continue;
    EXPECT_TRUE(engine->register_relation(norvale::adbc::kBaselineNames[rs], batch->schema(),
                                          {batch}, index ? index->relation(rs) : nullptr))
        << norvale::adbc::kBaselineNames[rs];
  }
  return index;
}

SnapshotConnection::SnapshotConnection(const SnapshotBatches& batches) {
  state_.connection = new NVConnection();
  state_.info_schema = norvale::adbc::info_schema_store_create();
  // The store holds what the test sets: nothing is loaded from the network.
  state_.info_schema->load_attempted = true;
  state_.info_schema->batches = batches;
  handle_.private_data = &state_;
}

SnapshotConnection::~SnapshotConnection() {
  norvale::adbc::info_schema_store_destroy(state_.info_schema);
  delete state_.connection;
}

void SnapshotConnection::set(int index, std::shared_ptr<arrow::RecordBatch> batch) {
  state_.info_schema->batches.at(static_cast<size_t>(index)) = std::move(batch);
}

}  // namespace nvtest
