#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "sql/metadata_engine_internal.h"
#include "sql/parser_bridge_internal.h"
#include "sql_fixture.h"

namespace nv_sql {
namespace {

TEST(MetadataEngine, RegistrationRules) {
  MetadataEngine engine;
  auto schema = arrow::schema({arrow::field("x", arrow::int64())});
  EXPECT_FALSE(engine.register_relation("", schema, {}));
  EXPECT_FALSE(engine.register_relation("t", nullptr, {}));
  auto other = arrow::RecordBatch::MakeEmpty(arrow::schema({arrow::field("y", arrow::utf8())}));
  EXPECT_FALSE(engine.register_relation("t", schema, {*other}));
  EXPECT_FALSE(engine.register_relation("t", schema, {nullptr}));

  // A later registration under the same (lowered) key replaces the earlier one.
  ASSERT_TRUE(engine.register_relation("S.T", schema, {}));
  auto y = arrow::schema({arrow::field("y", arrow::utf8())});
  ASSERT_TRUE(engine.register_relation("s.t", y, {}));
  auto r = engine.try_execute("SELECT * FROM s.t");
  ASSERT_EQ(r.status, ExecuteStatus::Ok) << r.error_message << r.decline_reason;
  EXPECT_EQ(r.schema->field(0)->name(), "y");
}

// A statement that reads no relation (a connection check) is declined, so that the compute node
// answers it, even when built without the parser.
TEST(MetadataEngine, StatementWithoutFromIsDeclined) {
  MetadataEngine engine;
  SelectStatement empty;
  auto r = engine.execute(empty);
  EXPECT_EQ(r.status, ExecuteStatus::Error);
  EXPECT_EQ(r.error_message, "SELECT with no projection");

  SelectStatement constant;
  constant.items.push_back(
      SelectItem{Expr::make(LiteralExpr{Literal{std::string("x")}, Type::String}), "v", "v"});
  r = engine.execute(constant);
  EXPECT_EQ(r.status, ExecuteStatus::Declined);
  EXPECT_EQ(r.decline_reason, "no FROM clause");
}

TEST(MetadataEngine, ResultSharesRegisteredArrays) {
  MetadataEngine engine;
  testing::register_fixture(&engine);
  auto r = engine.try_execute("SELECT * FROM information_schema.schemata");
  ASSERT_EQ(r.status, ExecuteStatus::Ok);
  auto again = engine.try_execute("SELECT schema_name FROM information_schema.schemata");
  ASSERT_EQ(again.status, ExecuteStatus::Ok);
  // No copy: the projected column is the registered array itself.
  EXPECT_EQ(r.batches[0]->column(1)->data()->buffers[2],
            again.batches[0]->column(0)->data()->buffers[2]);
}

TEST(MetadataEngine, ExistsDecorrelationRewritesFromIntoSemiJoin) {
  MetadataEngine engine;
  testing::register_fixture(&engine);
  ParseError err;
  auto stmt = nv_sql_parse(
      "SELECT t.table_name FROM information_schema.tables t WHERE NOT EXISTS (SELECT 1 FROM "
      "information_schema.columns c WHERE c.table_name = t.table_name)",
      &err);
  ASSERT_NE(stmt, nullptr);
  auto r = engine.execute(*stmt);
  ASSERT_EQ(r.status, ExecuteStatus::Ok) << r.error_message;
  auto* join = std::get_if<std::unique_ptr<JoinRef>>(&stmt->from->node);
  ASSERT_NE(join, nullptr);
  EXPECT_EQ((*join)->kind, JoinKind::Anti);
  ASSERT_NE(stmt->where->as<LiteralExpr>(), nullptr);
  EXPECT_EQ(std::get<bool>(stmt->where->as<LiteralExpr>()->value), true);
  ASSERT_EQ(r.batches[0]->num_rows(), 1);
  EXPECT_EQ(r.batches[0]->column(0)->GetScalar(0).ValueOrDie()->ToString(), "orphan");
}

TEST(MetadataEngine, ConcurrentExecutions) {
  MetadataEngine engine;
  testing::register_fixture(&engine);
  const char* queries[] = {
      "SELECT t.table_name, c.column_name FROM information_schema.tables t JOIN "
      "information_schema.columns c ON t.table_name = c.table_name",
      "SELECT table_schema, count(*) FROM information_schema.columns GROUP BY table_schema",
      "SELECT table_name FROM information_schema.tables WHERE table_name IN (SELECT table_name "
      "FROM information_schema.columns) ORDER BY table_name",
  };
  int64_t expected[3];
  for (int q = 0; q < 3; ++q) {
    auto r = engine.try_execute(queries[q]);
    ASSERT_EQ(r.status, ExecuteStatus::Ok);
    expected[q] = r.batches[0]->num_rows();
  }
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        int q = (t + i) % 3;
        auto r = engine.try_execute(queries[q]);
        if (r.status != ExecuteStatus::Ok || r.batches[0]->num_rows() != expected[q]) ++mismatches;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace nv_sql

namespace nv_sql {
namespace {

TEST(MetadataEngine, OversizedCrossJoinIsAnErrorNotAnAllocation) {
  MetadataEngine engine;
  arrow::Int64Builder b;
  for (int i = 0; i < 1001; ++i) ASSERT_TRUE(b.Append(i).ok());
  auto arr = *b.Finish();
  auto schema = arrow::schema({arrow::field("x", arrow::int64())});
  auto batch = arrow::RecordBatch::Make(schema, arr->length(), {arr});
  ASSERT_TRUE(engine.register_relation("t", schema, {batch}));
  auto r = engine.try_execute("SELECT count(*) FROM t a, t b");
  EXPECT_EQ(r.status, ExecuteStatus::Error);
  EXPECT_EQ(r.error_message, "cross join too large for the metadata path");
  // With an equality the same join is a hash join.
  r = engine.try_execute("SELECT count(*) FROM t a, t b WHERE a.x = b.x");
  ASSERT_EQ(r.status, ExecuteStatus::Ok) << r.error_message;
  EXPECT_EQ(r.batches[0]->column(0)->GetScalar(0).ValueOrDie()->ToString(), "1001");
}

}  // namespace
}  // namespace nv_sql
