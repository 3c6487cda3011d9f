#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sql/parser_bridge_internal.h"

namespace nv_sql {
namespace {

struct RefusalCase {
  const char* sql;
  ParseStatus status;
  const char* message;
};

TEST(ParserBridge, RefusalsCarryStatusAndMessage) {
  const RefusalCase cases[] = {
      {"", ParseStatus::Malformed, "libpg_query produced empty parse tree"},
      {"SELEC 1", ParseStatus::Malformed, "syntax error at or near \"SELEC\""},
      {"SELECT 1 FROM t; SELECT 2 FROM t", ParseStatus::Unsupported,
       "multi-statement SQL is out of scope"},
      {"INSERT INTO t VALUES (1)", ParseStatus::Unsupported, "not a SELECT statement"},
      {"VALUES (1)", ParseStatus::Unsupported, "VALUES list is out of scope"},
      {"SELECT FROM t", ParseStatus::Malformed, "SELECT with no projection"},
      {"WITH RECURSIVE x AS (SELECT 1 FROM t) SELECT * FROM x", ParseStatus::Unsupported,
       "WITH RECURSIVE is out of scope"},
      {"WITH x(a) AS (SELECT 1 FROM t) SELECT * FROM x", ParseStatus::Unsupported,
       "WITH column lists are not supported in metadata path"},
      {"SELECT a FROM t GROUP BY ROLLUP (a)", ParseStatus::Unsupported,
       "GROUPING SETS / ROLLUP / CUBE are out of scope"},
      {"SELECT 99999999999999999999 FROM t", ParseStatus::Unsupported,
       "integer literal beyond 64 bits: 99999999999999999999"},
      // A statement that reads no relation, at the top or inside, is the compute node's.
      {"SELECT 1", ParseStatus::Unsupported, "SELECT without FROM clause"},
      {"SELECT a FROM t UNION SELECT 2", ParseStatus::Unsupported, "SELECT without FROM clause"},
      {"SELECT a FROM t WHERE EXISTS (SELECT 1)", ParseStatus::Unsupported,
       "SELECT without FROM clause"},
      // Output names the node would give but this bridge cannot.
      {"SELECT (SELECT max(b) FROM u) FROM t", ParseStatus::Unsupported,
       "the compute node's name for output column 1 is not known here"},
      {"SELECT a, a IN (SELECT b FROM u) FROM t", ParseStatus::Unsupported,
       "the compute node's name for output column 2 is not known here"},
      {"SELECT * FROM (SELECT EXISTS (SELECT 1 FROM u) FROM t) d", ParseStatus::Unsupported,
       "the compute node's name for output column 1 is not known here"},
      {"SELECT CAST(a AS float) AS f FROM t", ParseStatus::Unsupported,
       "CAST to unsupported type: float"},
      {"SELECT a FROM t WHERE a LIKE 'x\\_%'", ParseStatus::Unsupported,
       "LIKE pattern with a backslash needs an ESCAPE clause"},
      {"SELECT \"$is_distinct_from\"(a, b) FROM t", ParseStatus::Unsupported,
       "unsupported function: $is_distinct_from"},
      {"SELECT a FROM t UNION SELECT a FROM u FOR UPDATE", ParseStatus::Unsupported,
       "FOR UPDATE / SHARE is out of scope"},
      {"SELECT a FROM t WINDOW w AS (ORDER BY a)", ParseStatus::Unsupported,
       "window functions are out of scope"},
      {"SELECT a FROM t FOR UPDATE", ParseStatus::Unsupported,
       "FOR UPDATE / SHARE is out of scope"},
      {"SELECT DISTINCT ON (a) a FROM t", ParseStatus::Unsupported, "DISTINCT ON is out of scope"},
      {"SELECT a INTO x FROM t", ParseStatus::Unsupported, "SELECT INTO is out of scope"},
      // First of several refusals: WITH converts before the rest of the statement.
      {"WITH x AS (SELECT 1 FROM t FOR UPDATE) SELECT DISTINCT ON (a) a FROM x",
       ParseStatus::Unsupported, "FOR UPDATE / SHARE is out of scope"},
      // Within a statement FROM converts before the projection, the projection before WHERE.
      {"SELECT sum(a) OVER () FROM generate_series(1, 3)", ParseStatus::Unsupported,
       "FROM target kind not supported in metadata path"},
      {"SELECT sum(a) OVER () FROM t WHERE a BETWEEN 1 AND 2", ParseStatus::Unsupported,
       "window functions are not supported in the metadata path"},
      {"SELECT a FROM t WHERE a BETWEEN SYMMETRIC 1 AND 2 ORDER BY a LIMIT a",
       ParseStatus::Unsupported, "unsupported PGAExpr kind in metadata path"},
      {"SELECT a FROM t LIMIT 2+3", ParseStatus::Unsupported,
       "LIMIT/OFFSET with non-literal expression"},
      {"SELECT a FROM t LIMIT -1", ParseStatus::Unsupported,
       "LIMIT/OFFSET with non-literal expression"},
      {"SELECT a FROM t LIMIT 1.5", ParseStatus::Unsupported,
       "LIMIT/OFFSET with non-integer literal"},
      {"SELECT a FROM t OFFSET 'x'", ParseStatus::Unsupported,
       "LIMIT/OFFSET with non-integer literal"},
      {"SELECT CAST(a AS numeric) FROM t", ParseStatus::Unsupported,
       "CAST to unsupported type: numeric"},
      {"SELECT CAST(a AS varchar(3)) FROM t", ParseStatus::Unsupported,
       "CAST to unsupported type: varchar(n)"},
      {"SELECT a::int[] FROM t", ParseStatus::Unsupported, "CAST to unsupported type: int4[]"},
      {"SELECT a FROM t WHERE a ~ 'x'", ParseStatus::Unsupported,
       "unsupported binary operator: ~"},
      {"SELECT -a FROM t", ParseStatus::Malformed, "binary operator missing operand"},
      {"SELECT a FROM t WHERE a > ALL (SELECT b FROM u)", ParseStatus::Unsupported,
       "subquery kind not yet supported (IN / EXISTS only)"},
      {"SELECT a FROM t WHERE a < ANY (SELECT b FROM u)", ParseStatus::Unsupported,
       "subquery operator other than '=' (IN) not supported"},
      {"SELECT count(a ORDER BY a) FROM t", ParseStatus::Unsupported,
       "aggregate FILTER / WITHIN GROUP / ORDER BY not supported"},
      {"SELECT count(*) FILTER (WHERE a > 1) FROM t", ParseStatus::Unsupported,
       "aggregate FILTER / WITHIN GROUP / ORDER BY not supported"},
      {"SELECT a FROM t, LATERAL (SELECT 1 FROM u) s", ParseStatus::Unsupported,
       "FROM target kind not supported in metadata path"},
      {"SELECT x FROM t AS q(x)", ParseStatus::Unsupported,
       "table alias with column list is not supported in metadata path"},
      {"SELECT a FROM t WHERE a IS TRUE", ParseStatus::Unsupported,
       "unsupported PG expression node in metadata path"},
      {"SELECT current_date FROM t", ParseStatus::Unsupported,
       "unsupported PG expression node in metadata path"},
      {"SELECT a FROM t ORDER BY a FETCH FIRST 1 ROWS WITH TIES", ParseStatus::Unsupported,
       "FETCH ... WITH TIES is out of scope"},
  };
  for (const auto& c : cases) {
    ParseError err;
    auto stmt = nv_sql_parse(c.sql, &err);
    EXPECT_EQ(stmt, nullptr) << c.sql;
    EXPECT_EQ(err.status, c.status) << c.sql;
    EXPECT_EQ(err.message, c.message) << c.sql;
    if (err.status != ParseStatus::Malformed || std::string(c.sql).rfind("SELEC ", 0) != 0) {
      continue;
    }
    EXPECT_EQ(err.location, 0) << c.sql;
  }
}

TEST(ParserBridge, NullErrorAndResetOnSuccess) {
  EXPECT_EQ(nv_sql_parse("SELECT a FROM t", nullptr), nullptr);
  ParseError err{ParseStatus::Internal, "stale", 7};
  auto stmt = nv_sql_parse("SELECT a FROM t", &err);
  ASSERT_NE(stmt, nullptr);
  EXPECT_EQ(err.status, ParseStatus::Ok);
  EXPECT_EQ(err.message, "");
  EXPECT_EQ(err.location, -1);
}

std::unique_ptr<SelectStatement> parse_ok(const std::string& sql) {
  ParseError err;
  auto stmt = nv_sql_parse(sql, &err);
  EXPECT_NE(stmt, nullptr) << sql << ": " << err.message;
  return stmt;
}

TEST(ParserBridge, FromShapes) {
  auto s = parse_ok("SELECT * FROM t1, t2, t3");
  ASSERT_NE(s, nullptr);
  auto* outer = std::get_if<std::unique_ptr<JoinRef>>(&s->from->node);
  ASSERT_NE(outer, nullptr);
  EXPECT_EQ((*outer)->kind, JoinKind::Cross);
  auto* inner = std::get_if<std::unique_ptr<JoinRef>>(&(*outer)->left->node);
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(std::get<BaseTable>((*inner)->left->node).name, "t1");
  EXPECT_EQ(std::get<BaseTable>((*inner)->right->node).name, "t2");
  EXPECT_EQ(std::get<BaseTable>((*outer)->right->node).name, "t3");

  s = parse_ok("SELECT * FROM a CROSS JOIN b");
  EXPECT_EQ(std::get<std::unique_ptr<JoinRef>>(s->from->node)->kind, JoinKind::Cross);
  s = parse_ok("SELECT * FROM a JOIN b ON TRUE");
  auto& j = std::get<std::unique_ptr<JoinRef>>(s->from->node);
  EXPECT_EQ(j->kind, JoinKind::Inner);
  ASSERT_NE(j->on, nullptr);
  auto* lit = j->on->as<LiteralExpr>();
  ASSERT_NE(lit, nullptr);
  EXPECT_EQ(lit->type, Type::Bool);
  EXPECT_EQ(std::get<bool>(lit->value), true);

  s = parse_ok("SELECT * FROM a NATURAL LEFT JOIN b");
  EXPECT_TRUE(std::get<std::unique_ptr<JoinRef>>(s->from->node)->natural);
  EXPECT_EQ(std::get<std::unique_ptr<JoinRef>>(s->from->node)->kind, JoinKind::Left);
  s = parse_ok("SELECT * FROM a FULL JOIN b USING (x, y)");
  EXPECT_EQ(std::get<std::unique_ptr<JoinRef>>(s->from->node)->using_columns,
            (std::vector<std::string>{"x", "y"}));

  s = parse_ok("SELECT * FROM (VALUES (1, 'a'), (2, 'b')) AS v(id, name)");
  auto& v = std::get<ValuesList>(s->from->node);
  EXPECT_EQ(v.rows.size(), 2u);
  EXPECT_EQ(v.column_names, (std::vector<std::string>{"id", "name"}));
  EXPECT_EQ(v.alias, "v");

  s = parse_ok("SELECT * FROM cat.sch.\"Tab\" AS x");
  auto& b = std::get<BaseTable>(s->from->node);
  EXPECT_EQ(b.catalog, "cat");
  EXPECT_EQ(b.schema, "sch");
  EXPECT_EQ(b.name, "Tab");
  EXPECT_EQ(b.alias, "x");
  s = parse_ok("SELECT * FROM (SELECT a FROM t) sub");
  EXPECT_NE(std::get_if<std::unique_ptr<SelectStatement>>(&s->from->node), nullptr);
}

TEST(ParserBridge, ClausesAndExpressions) {
  auto s = parse_ok(
      "SELECT DISTINCT MyCol, \"MyCol\", s.t.c, t.*, count(*), count(DISTINCT a), Upper(b) u, "
      "COALESCE(a, b), -1, 1.5e3, 'x', NULL FROM t "
      "WHERE a NOT IN (1, 2) AND b NOT LIKE 'a%' AND c ILIKE 'A%' "
      "ORDER BY 2 DESC NULLS FIRST, a NULLS LAST LIMIT 10 OFFSET 5");
  ASSERT_NE(s, nullptr);
  EXPECT_TRUE(s->distinct);
  ASSERT_EQ(s->items.size(), 12u);
  EXPECT_EQ(s->items[0].expr->as<ColumnRef>()->column, "mycol");
  EXPECT_EQ(s->items[1].expr->as<ColumnRef>()->column, "MyCol");
  EXPECT_EQ(s->items[2].expr->as<ColumnRef>()->table, "t");
  EXPECT_EQ(s->items[2].expr->as<ColumnRef>()->column, "c");
  EXPECT_EQ(s->items[3].expr->as<StarExpr>()->qualifier, "t");
  EXPECT_TRUE(s->items[4].expr->as<AggExpr>()->star);
  EXPECT_TRUE(s->items[4].expr->as<AggExpr>()->args.empty());
  EXPECT_TRUE(s->items[5].expr->as<AggExpr>()->distinct);
  EXPECT_EQ(s->items[6].expr->as<FuncExpr>()->name, "upper");
  EXPECT_EQ(s->items[6].alias, "u");
  EXPECT_EQ(s->items[7].expr->as<FuncExpr>()->name, "coalesce");
  EXPECT_EQ(std::get<int64_t>(s->items[8].expr->as<LiteralExpr>()->value), -1);
  EXPECT_EQ(s->items[9].expr->as<LiteralExpr>()->type, Type::Double);
  EXPECT_DOUBLE_EQ(std::get<double>(s->items[9].expr->as<LiteralExpr>()->value), 1500.0);
  EXPECT_EQ(s->items[10].expr->as<LiteralExpr>()->type, Type::String);
  EXPECT_EQ(s->items[11].expr->as<LiteralExpr>()->type, Type::Null);

  // WHERE: ((NOT IN) AND (NOT LIKE)) AND ILIKE, left-deep.
  auto* top = s->where->as<LogicExpr>();
  ASSERT_NE(top, nullptr);
  auto* ilike = top->rhs->as<LikeExpr>();
  ASSERT_NE(ilike, nullptr);
  EXPECT_TRUE(ilike->case_insensitive);
  EXPECT_EQ(ilike->escape, '\\');
  auto* left = top->lhs->as<LogicExpr>();
  ASSERT_NE(left, nullptr);
  ASSERT_NE(left->lhs->as<UnaryExpr>(), nullptr);
  EXPECT_NE(left->lhs->as<UnaryExpr>()->operand->as<InExpr>(), nullptr);
  EXPECT_NE(left->rhs->as<UnaryExpr>()->operand->as<LikeExpr>(), nullptr);

  ASSERT_EQ(s->order_by.size(), 2u);
  EXPECT_EQ(s->order_by[0].ordinal, 2);
  EXPECT_TRUE(s->order_by[0].descending);
  EXPECT_TRUE(s->order_by[0].nulls_first);
  EXPECT_TRUE(s->order_by[0].nulls_specified);
  EXPECT_FALSE(s->order_by[1].nulls_first);
  EXPECT_TRUE(s->order_by[1].nulls_specified);
  EXPECT_EQ(s->limit, 10);
  EXPECT_EQ(s->offset, 5);

  s = parse_ok(
      "SELECT CASE a WHEN 1 THEN 'x' END, CAST(a AS bigint), a::text, b IS NOT NULL, "
      "EXISTS (SELECT 1 FROM u) e, (SELECT max(x) FROM u) m, a IN (SELECT x FROM u) i, "
      "a = ANY (SELECT x FROM u) y, pg_catalog.lower(a) l, myschema.upper(a) z FROM t");
  ASSERT_NE(s, nullptr);
  auto* c = s->items[0].expr->as<CaseExpr>();
  ASSERT_NE(c, nullptr);
  EXPECT_NE(c->operand, nullptr);
  EXPECT_EQ(c->else_expr, nullptr);
  EXPECT_EQ(s->items[1].expr->as<CastExpr>()->target, Type::Int64);
  EXPECT_EQ(s->items[2].expr->as<CastExpr>()->target, Type::String);
  EXPECT_EQ(s->items[3].expr->as<UnaryExpr>()->op, UnaryOp::IsNotNull);
  EXPECT_FALSE(s->items[4].expr->as<ExistsExpr>()->negated);
  EXPECT_NE(s->items[5].expr->as<ScalarSubqueryExpr>(), nullptr);
  EXPECT_NE(s->items[6].expr->as<InExpr>()->subquery, nullptr);
  EXPECT_NE(s->items[7].expr->as<InExpr>()->subquery, nullptr);
  EXPECT_EQ(s->items[8].expr->as<FuncExpr>()->name, "lower");
  // A user schema's function never maps to a built-in of the same name.
  EXPECT_EQ(s->items[9].expr->as<FuncExpr>()->name, "myschema.upper");
}

TEST(ParserBridge, SetOperationsWithHavingAndOperatorForms) {
  auto s = parse_ok(
      "WITH w AS (SELECT a FROM t) SELECT a FROM w UNION ALL (SELECT b FROM u INTERSECT "
      "SELECT c FROM v) ORDER BY 1 LIMIT 3");
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(s->ctes.size(), 1u);
  EXPECT_EQ(s->ctes[0].name, "w");
  EXPECT_EQ(s->set_op, SetOp::Union);
  EXPECT_TRUE(s->set_all);
  EXPECT_EQ(s->from, nullptr);
  ASSERT_NE(s->set_right, nullptr);
  EXPECT_EQ(s->set_right->set_op, SetOp::Intersect);
  EXPECT_FALSE(s->set_right->set_all);
  EXPECT_EQ(s->order_by.size(), 1u);
  EXPECT_EQ(s->limit, 3);

  s = parse_ok(
      "SELECT a BETWEEN 1 AND 2, a NOT BETWEEN 1 AND 2, NULLIF(a, b), a IS DISTINCT FROM b, "
      "a IS NOT DISTINCT FROM b, 9007199254740993, -9223372036854775808, "
      "string_agg(b, ',' ORDER BY c DESC) FROM t GROUP BY a HAVING count(*) > 1");
  ASSERT_NE(s, nullptr);
  // x BETWEEN lo AND hi is (x >= lo) AND (x <= hi) with x converted twice.
  auto* between = s->items[0].expr->as<LogicExpr>();
  ASSERT_NE(between, nullptr);
  EXPECT_EQ(between->lhs->as<CmpExpr>()->op, CmpOp::Ge);
  EXPECT_EQ(between->rhs->as<CmpExpr>()->op, CmpOp::Le);
  EXPECT_NE(between->lhs->as<CmpExpr>()->lhs.get(), between->rhs->as<CmpExpr>()->lhs.get());
  EXPECT_NE(s->items[1].expr->as<UnaryExpr>()->operand->as<LogicExpr>(), nullptr);
  EXPECT_EQ(s->items[2].expr->as<FuncExpr>()->name, kFuncNullif);
  EXPECT_EQ(s->items[3].expr->as<FuncExpr>()->name, kFuncIsDistinct);
  EXPECT_EQ(s->items[4].expr->as<FuncExpr>()->name, kFuncIsNotDistinct);
  EXPECT_EQ(std::get<int64_t>(s->items[5].expr->as<LiteralExpr>()->value), 9007199254740993LL);
  EXPECT_EQ(s->items[5].expr->as<LiteralExpr>()->type, Type::Int64);
  EXPECT_EQ(std::get<int64_t>(s->items[6].expr->as<LiteralExpr>()->value), INT64_MIN);
  auto* agg = s->items[7].expr->as<AggExpr>();
  ASSERT_NE(agg, nullptr);
  ASSERT_EQ(agg->order_by.size(), 1u);
  EXPECT_TRUE(agg->order_by[0].descending);
  ASSERT_NE(s->having, nullptr);
  EXPECT_NE(s->having->as<CmpExpr>(), nullptr);

  s = parse_ok("SELECT d.x FROM (SELECT a AS x FROM t) d");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->from->alias, "d");
}

// The names the compute node gives unaliased items, aliases as written, and nothing for a column
// reference (its column names it). Expected names were taken from DuckDB for the same statements.
TEST(ParserBridge, OutputNamesAreTheComputeNodes) {
  struct Case {
    const char* sql;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {"SELECT - -1, -(1), 01, 1_000, 1.50, 'it''s', -2.5e3, TRUE, NULL FROM t",
       {"1", "-1", "01", "1_000", "1.50", "'it''s'", "-2.5e3", "true", "NULL"}},
      {"SELECT t.\"Name\", upper(t.\"Name\"), c AS \"a b\", c AS TableName, "
       "a IS DISTINCT FROM b AS Flag, a IS NOT DISTINCT FROM b FROM t",
       {"", "upper(t.\"Name\")", "a b", "TableName", "Flag", "(a IS NOT DISTINCT FROM b)"}},
      {"SELECT a = 1 AND (b = 2 AND c = 'x'), a = 1 OR b = 2 AND c = 'x', NOT a = 1, "
       "a BETWEEN 1 AND 2 FROM t",
       {"((a = 1) AND (b = 2) AND (c = 'x'))", "((a = 1) OR ((b = 2) AND (c = 'x')))",
        "(NOT (a = 1))", "(a BETWEEN 1 AND 2)"}},
      {"SELECT CASE a WHEN 1 THEN 'one' ELSE 'other' END, CASE WHEN a > 1 THEN b END, "
       "c LIKE 'x%', c NOT LIKE 'x!%' ESCAPE '!', c ILIKE 'x!%' ESCAPE '!', c NOT ILIKE 'X%' "
       "FROM t",
       {"CASE  WHEN ((a = 1)) THEN ('one') ELSE 'other' END",
        "CASE  WHEN ((a > 1)) THEN (b) ELSE NULL END", "(c ~~ 'x%')",
        "(NOT like_escape(c, 'x!%', '!'))", "ilike_escape(c, 'x!%', '!')", "(c !~~* 'X%')"}},
      {"SELECT count(*), count(DISTINCT c), string_agg(c, ',' ORDER BY d ASC NULLS LAST), "
       "sum(a), min(c), max(d), avg(b) FROM t",
       {"count_star()", "count(DISTINCT c)", "string_agg(c, ',' ORDER BY d ASC NULLS LAST)",
        "sum(a)", "min(c)", "max(d)", "avg(b)"}},
      {"SELECT CAST(a AS INT), CAST(a AS double precision), CAST(c AS text), CAST(a AS Int8), "
       "CAST(c AS timestamp), CAST(c AS CHARACTER VARYING), CAST(a AS BOOLEAN), c::Date FROM t",
       {"CAST(a AS INTEGER)", "CAST(a AS DOUBLE)", "CAST(c AS text)", "CAST(a AS Int8)",
        "CAST(c AS TIMESTAMP)", "CAST(c AS VARCHAR)", "CAST(a AS BOOLEAN)", "CAST(c AS Date)"}},
      {"SELECT substring(c FOR 2), substring(c FROM 2), trim(BOTH 'x' FROM c), "
       "trim(TRAILING FROM c), position('x' IN c), coalesce(c, d, 'z'), nullif(c, 'z') FROM t",
       {"\"substring\"(c, 1, 2)", "\"substring\"(c, 2)", "\"trim\"(c, 'x')", "rtrim(c)",
        "\"position\"(c, 'x')", "COALESCE(c, d, 'z')", "\"nullif\"(c, 'z')"}},
      {"SELECT a + b * 2, (a + b) * 2, a - b - 1, c || d || 'x', a % 2, a / 2 FROM t",
       {"(a + (b * 2))", "((a + b) * 2)", "((a - b) - 1)", "((c || d) || 'x')", "(a % 2)",
        "(a / 2)"}},
      {"SELECT a IN (1, 2, NULL), a NOT IN (3), c IS NULL, c IS NOT NULL, upper(lower(c)), "
       "length(c) = 2 FROM t",
       {"(a IN (1, 2, NULL))", "(NOT (a IN (3)))", "(c IS NULL)", "(c IS NOT NULL)",
        "upper(lower(c))", "(length(c) = 2)"}},
      // Names the node quotes: its keywords, and names that are not plain identifiers.
      {"SELECT upper(x.name), lower(x.Type), x.\"a b\" || x.Ab FROM t x",
       {"upper(x.\"name\")", "lower(x.\"Type\")", "(x.\"a b\" || x.Ab)"}},
  };
  for (const auto& c : cases) {
    auto stmt = parse_ok(c.sql);
    if (!stmt) continue;
    std::vector<std::string> names;
    for (const auto& item : stmt->items) names.push_back(item.name);
    EXPECT_EQ(names, c.names) << c.sql;
  }
}

TEST(ParserBridge, DeepNestingIsRefusedNotCrashing) {
  // Parentheses alone make no nodes; nested calls do.
  std::string deep = "SELECT a FROM t WHERE ";
  for (int i = 0; i < 3000; ++i) deep += "lower(";
  deep += "a";
  for (int i = 0; i < 3000; ++i) deep += ")";
  ParseError err;
  EXPECT_EQ(nv_sql_parse(deep, &err), nullptr);
  EXPECT_NE(err.status, ParseStatus::Ok);

  std::string chain = "SELECT a FROM t WHERE a = 0";
  for (int i = 1; i < 5000; ++i) chain += " OR a = " + std::to_string(i);
  EXPECT_EQ(nv_sql_parse(chain, &err), nullptr);
  EXPECT_EQ(err.status, ParseStatus::Unsupported);
}

TEST(ParserBridge, DeepSubqueryNestingIsRefused) {
  auto nested = [](int levels) {
    std::string sql = "SELECT a FROM t";
    for (int i = 0; i < levels; ++i) sql = "SELECT a FROM (" + sql + ") s" + std::to_string(i);
    return sql;
  };
  ParseError err;
  EXPECT_NE(nv_sql_parse(nested(30), &err), nullptr) << err.message;
  EXPECT_EQ(nv_sql_parse(nested(200), &err), nullptr);
  EXPECT_EQ(err.status, ParseStatus::Unsupported);
  EXPECT_EQ(err.message, "statement nesting too deep");
}

TEST(ParserBridge, ConcurrentParses) {
  std::vector<std::thread> threads;
  std::atomic<int> ok{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        ParseError err;
        if (nv_sql_parse("SELECT a, b FROM t WHERE a = " + std::to_string(i), &err)) ++ok;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(ok.load(), 800);
}

// The text a result-schema probe may wrap: exactly one query that only reads, cut at its own
// end; nothing for statements that write, lock or hide a second statement.
TEST(ParserBridge, ReadOnlyQueryText) {
  struct Case {
    const char* sql;
    std::optional<std::string> query;
  };
  const Case cases[] = {
      {"SELECT 42", "SELECT 42"},
      {"  SELECT a FROM t;  ", "SELECT a FROM t"},
      {"SELECT 1; -- trailing words", "SELECT 1"},
      {"SELECT 1 -- no semicolon", "SELECT 1 -- no semicolon"},
      {"VALUES (1, 'x')", "VALUES (1, 'x')"},
      {"(SELECT 1) UNION ALL (SELECT 2) ORDER BY 1", "(SELECT 1) UNION ALL (SELECT 2) ORDER BY 1"},
      {"WITH x AS (SELECT 1 AS v) SELECT v FROM x", "WITH x AS (SELECT 1 AS v) SELECT v FROM x"},
      {"SELECT 'it''s; fine'", "SELECT 'it''s; fine'"},
      {"SELECT 1; SELECT 2", std::nullopt},
      {"SELECT 1) LIMIT 0; DROP TABLE t; --", std::nullopt},
      {"INSERT INTO t VALUES (1)", std::nullopt},
      {"CREATE TABLE t AS SELECT 1", std::nullopt},
      {"WITH d AS (DELETE FROM t RETURNING *) SELECT * FROM d", std::nullopt},
      {"WITH u AS (UPDATE t SET a = 1 RETURNING a) SELECT * FROM u", std::nullopt},
      {"SELECT * INTO t2 FROM t", std::nullopt},
      {"SELECT * FROM t FOR UPDATE", std::nullopt},
      {"SELECT * FROM (SELECT * FROM t FOR SHARE) s", std::nullopt},
      {"SELEC 1", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(nv_sql_read_only_query(c.sql), c.query);
  }
}

}  // namespace
}  // namespace nv_sql
