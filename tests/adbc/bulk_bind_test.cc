// Which bound INSERTs run as one ingest (each value of the row one marker, each parameter
// once), the bound column each value takes, and the payloads sent for the bound batches.
#include "adbc/bulk_bind_internal.h"

#include <arrow/api.h>
#include <arrow/json/from_string.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cells/sql_state_internal.h"
#include "metadata/catalog_index_internal.h"
#include "support/snapshot_relations.h"

namespace norvale::adbc {
namespace {

// "table <- bound columns [-> target columns]", or "none".
std::string planned(const std::string& sql, const std::vector<std::string>& bound,
                    bool by_name = false) {
  arrow::FieldVector fields;
  for (const std::string& name : bound) fields.push_back(arrow::field(name, arrow::int64()));
  auto params = find_parameters(sql, by_name).ValueOrDie();
  auto columns = bind_columns(params, *arrow::schema(fields), by_name).ValueOrDie();
  const auto plan = plan_bulk_insert(sql, params, columns);
  if (!plan) return "none";
  std::string out = target_table_text(plan->table) + " <-";
  for (int c : plan->bound_columns) out += " " + bound[static_cast<size_t>(c)];
  if (plan->target_columns) {
    out += " ->";
    for (const std::string& name : *plan->target_columns) out += " " + name;
  }
  return out;
}

TEST(BulkInsertPlan, MarkersAloneEachParameterOnce) {
  EXPECT_EQ(planned("INSERT INTO t VALUES (?, ?)", {"a", "b"}), "t <- a b");
  EXPECT_EQ(planned("insert into S.\"My \"\"T\"\"\" (y, \"X y\") values ($2, $1);", {"a", "b"}),
            "S.\"My \"\"T\"\"\" <- b a -> y X y");
  EXPECT_EQ(planned("INSERT INTO c.s.t (x, y) VALUES ($b, $a)", {"a", "b"}, true),
            "c.s.t <- b a -> x y");
  EXPECT_EQ(planned("INSERT INTO t (x) VALUES (:v) -- one", {"v"}, true), "t <- v -> x");
  // Not the bound row itself.
  EXPECT_EQ(planned("INSERT INTO t VALUES ($1, $1)", {"a"}), "none");
  EXPECT_EQ(planned("INSERT INTO t VALUES ($a, $a)", {"a"}, true), "none");
  EXPECT_EQ(planned("INSERT INTO t VALUES (?, DEFAULT)", {"a"}), "none");
  EXPECT_EQ(planned("INSERT INTO t VALUES (?, 1)", {"a"}), "none");
  EXPECT_EQ(planned("INSERT INTO t VALUES (?, lower(?))", {"a", "b"}), "none");
  EXPECT_EQ(planned("INSERT INTO t VALUES (?, ? + 0)", {"a", "b"}), "none");
  EXPECT_EQ(planned("INSERT INTO t VALUES ((?), ?)", {"a", "b"}), "none");
  EXPECT_EQ(planned("INSERT INTO t VALUES (?, ?::INT)", {"a", "b"}), "none");
  EXPECT_EQ(planned("INSERT INTO t VALUES (?, :x)", {"a"}), "none");  // :x is the server's
  EXPECT_EQ(planned("INSERT INTO t (x) VALUES (?, ?)", {"a", "b"}), "none");
  EXPECT_EQ(planned("INSERT INTO t (x, y, z) VALUES (?, ?)", {"a", "b"}), "none");
  EXPECT_EQ(planned("INSERT INTO t (x, \"X\") VALUES (?, ?)", {"a", "b"}), "none");
  EXPECT_EQ(planned("INSERT INTO t VALUES (?), (?)", {"a", "b"}), "none");
  EXPECT_EQ(planned("INSERT INTO t VALUES (?) RETURNING ?", {"a", "b"}), "none");
  EXPECT_EQ(planned("INSERT INTO t VALUES (?) ON CONFLICT DO NOTHING", {"a"}), "none");
  EXPECT_EQ(planned("INSERT INTO t SELECT ?", {"a"}), "none");
  EXPECT_EQ(planned("UPDATE t SET x = ?", {"a"}), "none");
  EXPECT_EQ(planned("INSERT INTO t VALUES (1)", {}), "none");
}

std::shared_ptr<arrow::Array> Json(const std::shared_ptr<arrow::DataType>& type,
                                   const std::string& json) {
  return arrow::json::ArrayFromJSONString(type, json).ValueOrDie();
}

std::shared_ptr<arrow::RecordBatch> Batch(const std::vector<std::shared_ptr<arrow::Array>>& cols) {
  arrow::FieldVector fields;
  for (size_t i = 0; i < cols.size(); ++i) {
    fields.push_back(arrow::field(std::string(1, static_cast<char>('a' + i)), cols[i]->type()));
  }
  return arrow::RecordBatch::Make(arrow::schema(fields), cols.at(0)->length(), cols);
}

TEST(BulkPayload, TheBoundColumnsInValueOrderNamedForTheirTargets) {
  auto batch = Batch({Json(arrow::int64(), "[1, null]"), Json(arrow::utf8(), R"(["x", "y"])")});
  int failed = -1;
  auto payload = bulk_payload(*batch, {1, 0}, {"Name", "id"}, &failed).ValueOrDie();
  EXPECT_EQ(payload->schema()->ToString(), "Name: string\nid: int64");
  EXPECT_TRUE(payload->column(0)->Equals(*batch->column(1)));
  EXPECT_TRUE(payload->column(1)->Equals(*batch->column(0)));
}

TEST(BulkPayload, TypesTheServiceDoesNotReadAreSentAsTheirLiteralsRead) {
  struct Case {
    std::shared_ptr<arrow::Array> bound;
    std::shared_ptr<arrow::Array> sent;
  };
  auto dictionary = [](const std::shared_ptr<arrow::Array>& values) {
    return arrow::DictionaryArray::FromArrays(Json(arrow::int8(), "[1, 0, null]"), values)
        .ValueOrDie();
  };
  const Case cases[] = {
      {Json(arrow::decimal256(38, 2), R"(["-999999999999999999999999999999999999.99", null])"),
       Json(arrow::decimal128(38, 2), R"(["-999999999999999999999999999999999999.99", null])")},
      {Json(arrow::day_time_interval(), "[[3, -1500], null]"),
       Json(arrow::month_day_nano_interval(), "[[0, 3, -1500000000], null]")},
      {dictionary(Json(arrow::decimal256(5, 1), R"(["1.5", "-2.0"])")),
       Json(arrow::decimal128(5, 1), R"(["-2.0", "1.5", null])")},
      {arrow::RunEndEncodedArray::Make(2, Json(arrow::int32(), "[2]"),
                                       Json(arrow::day_time_interval(), "[[1, 0]]"))
           .ValueOrDie(),
       Json(arrow::month_day_nano_interval(), "[[0, 1, 0], [0, 1, 0]]")},
      // Read as they are.
      {dictionary(Json(arrow::utf8(), R"(["a", "b"])")),
       dictionary(Json(arrow::utf8(), R"(["a", "b"])"))},
      {Json(arrow::null(), "[null]"), Json(arrow::null(), "[null]")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bound->ToString());
    int failed = -1;
    auto payload = bulk_payload(*Batch({c.bound}), {0}, {"v"}, &failed).ValueOrDie();
    EXPECT_TRUE(payload->column(0)->Equals(*c.sent)) << payload->column(0)->ToString();
  }
}

TEST(BulkPayload, ColumnsWithoutALiteralAreRefusedWithTheirRow) {
  struct Case {
    std::shared_ptr<arrow::Array> bound;
    const char* sqlstate;
    int64_t row;
    const char* message;
  };
  const Case cases[] = {
      {Json(arrow::utf8(), R"(["ok", "a\u0000b"])"), "22021", 1,
       "the text holds a NUL byte, which SQL text cannot carry"},
      {Json(arrow::duration(arrow::TimeUnit::SECOND), "[1, 2]"), "07006", -1,
       "Arrow type duration[s] has no SQL literal form (the service has no duration type; bind "
       "an interval)"},
      {Json(arrow::date32(), "[0, -719163]"), "22008", 1,
       "dates before the year 1 have no SQL literal"},
  };
  for (const Case& c : cases) {
    auto batch = Batch({Json(arrow::int64(), "[1, 2]"), c.bound});
    int failed = -1;
    auto payload = bulk_payload(*batch, {0, 1}, {"x", "y"}, &failed);
    ASSERT_FALSE(payload.ok());
    EXPECT_EQ(failed, 1);
    EXPECT_EQ(cells::sqlstate_of(payload.status()), c.sqlstate);
    EXPECT_EQ(cells::failed_row_of(payload.status()), c.row);
    EXPECT_EQ(payload.status().message(), c.message);
  }
}

// The snapshot's columns of a table named as an INSERT names it, as "a, b", "unlisted" or
// "ambiguous".
std::string listed(const std::vector<cells::SqlIdentifier>& table,
                   std::optional<std::string> current_schema = std::nullopt) {
  static const auto index = CatalogIndex::Build(nvtest::small_catalog());
  const SnapshotColumns found =
      snapshot_table_columns(*index, table, std::nullopt, std::move(current_schema));
  if (found.kind == SnapshotColumns::kUnlisted) return "unlisted";
  if (found.kind == SnapshotColumns::kAmbiguous) return "ambiguous";
  std::string out;
  for (const std::string& c : found.columns) out += (out.empty() ? "" : ", ") + c;
  return out;
}

TEST(BulkTargetColumns, TheSnapshotNamesTablesAsSqlDoes) {
  using Id = cells::SqlIdentifier;
  // The catalog holds public."Orders" (id, total), public.customers and sales.orders.
  EXPECT_EQ(listed({Id{"customers", false}}), "id, name");
  EXPECT_EQ(listed({Id{"CUSTOMERS", false}}), "id, name");
  EXPECT_EQ(listed({Id{"CUSTOMERS", true}}), "unlisted");
  EXPECT_EQ(listed({Id{"orders", false}}), "ambiguous");
  EXPECT_EQ(listed({Id{"orders", false}}, "sales"), "id, region, total");
  EXPECT_EQ(listed({Id{"orders", false}}, "public"), "id, total");
  EXPECT_EQ(listed({Id{"Orders", true}}), "id, total");
  EXPECT_EQ(listed({Id{"orders", true}}), "id, region, total");
  EXPECT_EQ(listed({Id{"SALES", false}, Id{"ORDERS", false}}), "id, region, total");
  EXPECT_EQ(listed({Id{"SALES", true}, Id{"orders", false}}), "unlisted");
  EXPECT_EQ(listed({Id{"db", false}, Id{"public", false}, Id{"customers", false}}), "id, name");
  EXPECT_EQ(listed({Id{"other", false}, Id{"public", false}, Id{"customers", false}}),
            "unlisted");
  EXPECT_EQ(listed({Id{"nowhere", false}}), "unlisted");
}

}  // namespace
}  // namespace norvale::adbc
