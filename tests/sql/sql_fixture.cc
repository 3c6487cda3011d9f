#include "sql_fixture.h"

#include <gtest/gtest.h>

#include "support/snapshot_relations.h"

namespace nv_sql::testing {

void register_fixture(MetadataEngine* engine, bool indexed) {
  nvtest::SnapshotBatches batches = nvtest::small_catalog();
  if (indexed) {
    nvtest::register_snapshot(engine, batches, true);
  } else {
    // .columns in two batches, under a name in other letter cases: the engine combines the
    // batches and finds the relation by any spelling.
    const auto columns = batches[norvale::adbc::kRsColumns];
    batches[norvale::adbc::kRsColumns] = nullptr;
    nvtest::register_snapshot(engine, batches, false);
    ASSERT_TRUE(engine->register_relation("INFORMATION_SCHEMA.Columns", columns->schema(),
                                          {columns->Slice(0, 3), columns->Slice(3)}));
  }
  const auto s = arrow::utf8();
  auto routines_schema = arrow::schema(
      {arrow::field("routine_name", s), arrow::field("routine_type", s)});
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
