// Which bound INSERTs run as one ingest: each value of the row one marker, each parameter once;
// the bound column each value takes, and the target columns.
#include "adbc/bulk_bind_internal.h"

#include <arrow/api.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

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
  EXPECT_EQ(planned("INSERT INTO t VALUES (?), (?)", {"a", "b"}), "none");
  EXPECT_EQ(planned("INSERT INTO t VALUES (?) RETURNING ?", {"a", "b"}), "none");
  EXPECT_EQ(planned("INSERT INTO t VALUES (?) ON CONFLICT DO NOTHING", {"a"}), "none");
  EXPECT_EQ(planned("INSERT INTO t SELECT ?", {"a"}), "none");
  EXPECT_EQ(planned("UPDATE t SET x = ?", {"a"}), "none");
  EXPECT_EQ(planned("INSERT INTO t VALUES (1)", {}), "none");
}

}  // namespace
}  // namespace norvale::adbc
