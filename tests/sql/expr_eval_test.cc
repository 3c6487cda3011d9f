#include <gtest/gtest.h>

#include <random>

#include <arrow/json/from_string.h>

#include "sql/expr_eval_internal.h"
#include "sql/like_match_internal.h"
#include "sql/parser_bridge_internal.h"

namespace nv_sql {
namespace {

using arrow::json::ArrayFromJSONString;

// t(s utf8, i int64, d float64, b bool): four rows with nulls in every column.
Frame make_frame() {
  ensure_arrow_compute_initialized();
  auto schema = arrow::schema({arrow::field("s", arrow::utf8()), arrow::field("I", arrow::int64()),
                               arrow::field("d", arrow::float64()),
                               arrow::field("b", arrow::boolean())});
  auto s = *ArrayFromJSONString(arrow::utf8(), R"(["ab", "a_b", null, "ABC"])");
  auto i = *ArrayFromJSONString(arrow::int64(), "[1, 2, null, 3]");
  auto d = *ArrayFromJSONString(arrow::float64(), "[0.5, null, 2.0, 0]");
  auto b = *ArrayFromJSONString(arrow::boolean(), "[true, false, null, true]");
  return Frame{arrow::RecordBatch::Make(schema, 4, {s, i, d, b}), {}};
}

std::string render(const arrow::Datum& d, int64_t rows) {
  auto arr = to_array(d, rows);
  if (!arr.ok()) return "<" + arr.status().ToString() + ">";
  std::string out;
  for (int64_t r = 0; r < rows; ++r) {
    auto sc = *(*arr)->GetScalar(r);
    out += (r ? "," : "") + (sc->is_valid ? sc->ToString() : std::string("null"));
  }
  return out;
}

// The rows of `expr` over the frame, or "<error>" with the status's message in `message`.
std::string eval_text(const std::string& expr, std::string* message = nullptr) {
  ParseError err;
  auto stmt = nv_sql_parse("SELECT " + expr + " FROM t", &err);
  if (!stmt) return "<parse: " + err.message + ">";
  Frame frame = make_frame();
  auto r = ExprEval(frame).eval(*stmt->items[0].expr);
  if (!r.ok()) {
    if (message != nullptr) *message = r.status().message();
    return "<error>";
  }
  return render(*r, 4);
}

TEST(ExprEval, CaseTable) {
  struct Case {
    const char* expr;
    const char* want;
  };
  const Case cases[] = {
      {"i = NULL", "null,null,null,null"},
      {"i IS NULL", "false,false,true,false"},
      {"s IS NOT NULL", "true,true,false,true"},
      {"i + 1", "2,3,null,4"},
      {"i * d", "0.5,null,null,0"},
      {"i > 1 AND b", "false,false,null,true"},
      {"false AND NULL", "false,false,false,false"},
      {"true OR NULL", "true,true,true,true"},
      {"NOT (i = 1)", "false,true,null,true"},
      {"NOT NULL", "null,null,null,null"},
      // SQL three-valued IN: NULL tested value or an unmatched value against a list with
      // NULL give NULL, so NOT IN over them is not true either.
      {"i IN (1, NULL)", "true,null,null,null"},
      {"i NOT IN (1, NULL)", "false,null,null,null"},
      {"i IN (1, 3)", "true,false,null,true"},
      {"i NOT IN (1, 3)", "false,true,null,false"},
      {"d IN (2)", "false,null,true,false"},
      {"s LIKE 'a_'", "true,false,null,false"},
      {"s LIKE 'a\\_b' ESCAPE '\\'", "false,true,null,false"},
      {"s LIKE 'a%'", "true,true,null,false"},
      {"s ILIKE 'abc'", "false,false,null,true"},
      {"s ILIKE 'A%'", "true,true,null,true"},
      {"s NOT LIKE '%b'", "false,false,null,true"},
      {"s LIKE 'a.c'", "false,false,null,false"},
      {"'a.c' LIKE 'a.c'", "true,true,true,true"},
      {"'a\nb' LIKE 'a%b'", "true,true,true,true"},
      {"'x' LIKE NULL", "null,null,null,null"},
      {"CASE WHEN NULL THEN 1 ELSE 2 END", "2,2,2,2"},
      {"CASE WHEN i = 1 THEN 'one' WHEN i = 2 THEN 'two' END", "one,two,null,null"},
      {"CASE i WHEN 3 THEN 1.5 ELSE 0 END", "0,0,0,1.5"},
      {"CASE WHEN b THEN NULL ELSE s END", "null,a_b,null,null"},
      {"length('é')", "1,1,1,1"},
      {"upper('é')", "É,É,É,É"},
      {"lower(s)", "ab,a_b,null,abc"},
      {"coalesce(i, 7)", "1,2,7,3"},
      {"coalesce(NULL, d, i)", "0.5,2,2,0"},
      {"'a' || s", "aab,aa_b,null,aABC"},
      {"s || NULL", "null,null,null,null"},
      {"CAST(i AS varchar)", "1,2,null,3"},
      {"CAST('12' AS int) + i", "13,14,null,15"},
      {"CAST(d AS boolean)", "true,null,true,false"},
      {"CAST('2024-01-02' AS date)", "2024-01-02,2024-01-02,2024-01-02,2024-01-02"},
      {"\"I\" - 1", "0,1,null,2"},
      {"CAST('abc' AS integer)", "<error>"},
      {"s = 1", "<error>"},
      {"nosuch(s)", "<error>"},
      {"zz", "<error>"},
      {"s LIKE s", "<error>"},
      {"i IN (i)", "<error>"},
      {"s IN (1)", "<error>"},
      {"count(*)", "<error>"},
      {"i % 2", "<error>"},
  };
  for (const auto& c : cases) EXPECT_EQ(eval_text(c.expr), c.want) << c.expr;
}

// A failure's status carries the first failing step's own message.
TEST(ExprEval, StatusCarriesTheFirstMessage) {
  std::string msg;
  EXPECT_EQ(eval_text("zz + yy", &msg), "<error>");
  EXPECT_EQ(msg, "unknown column: zz");
  EXPECT_EQ(eval_text("nosuch(1)", &msg), "<error>");
  EXPECT_EQ(msg, "unsupported function: nosuch");
  EXPECT_EQ(eval_text("s LIKE s", &msg), "<error>");
  EXPECT_EQ(msg, "LIKE pattern must be a literal");
  EXPECT_EQ(eval_text("i IN (i)", &msg), "<error>");
  EXPECT_EQ(msg, "IN list element must be a literal");
}

TEST(ExprEval, ModuloDeclines) {
  ParseError err;
  auto stmt = nv_sql_parse("SELECT i % 2 FROM t", &err);
  Frame frame = make_frame();
  auto r = ExprEval(frame).eval(*stmt->items[0].expr);
  if (arrow::compute::GetFunctionRegistry()->GetFunction("mod").ok()) {
    ASSERT_TRUE(r.ok());
  } else {
    ASSERT_FALSE(r.ok());
    EXPECT_TRUE(is_decline(r.status()));
  }
}

TEST(ExprEval, ScopeChecksQualifiers) {
  Frame frame = make_frame();
  frame.scope = {{"s", {"t"}, false}, {"i", {"t"}, false}, {"d", {"u"}, false},
                 {"s", {"u"}, false}};
  EXPECT_EQ(*resolve_column(frame, ColumnRef{"t", "S"}), 0);
  EXPECT_EQ(*resolve_column(frame, ColumnRef{"u", "s"}), 3);
  EXPECT_EQ(*resolve_column(frame, ColumnRef{"", "d"}), 2);
  EXPECT_EQ(resolve_column(frame, ColumnRef{"x", "s"}).status().message(), "unknown column: x.s");
  EXPECT_EQ(resolve_column(frame, ColumnRef{"", "s"}).status().message(),
            "ambiguous column reference: s");
}

TEST(ExprEval, MaskAndLiterals) {
  auto m = *to_mask(arrow::Datum(std::make_shared<arrow::BooleanScalar>(true)), 3);
  EXPECT_EQ(m->length(), 3);
  auto ints = *ArrayFromJSONString(arrow::int64(), "[0, 5, null]");
  EXPECT_EQ(render(*to_mask(ints, 3), 3), "false,true,null");
  auto texts = *ArrayFromJSONString(arrow::utf8(), R"(["maybe"])");
  EXPECT_FALSE(to_mask(texts, 1).ok());
  EXPECT_EQ((*literal_to_scalar(Literal{std::string("x")}))->type->id(), arrow::Type::STRING);
  EXPECT_EQ((*literal_to_scalar(Literal{}))->type->id(), arrow::Type::NA);
  EXPECT_EQ((*type_to_arrow(Type::Timestamp))->ToString(), "timestamp[us]");
  EXPECT_FALSE(type_to_arrow(Type::Null).ok());
}

TEST(LikeMatchCi, Table) {
  struct Case {
    const char* pattern;
    const char* text;
    bool want;
  };
  const Case cases[] = {
      {"abc%", "ABCdef", true}, {"%b", "ab", true},      {"%b", "abc", false},
      {"", "anything", true},   {"%", "", true},          {"%%", "", true},
      {"_", "", false},         {"a_c", "AxC", true},     {"a\\_c", "axc", false},
      {"a\\_c", "a_c", true},   {"a\\", "a\\", true},     {"a%b%c", "aXbYc", true},
      {"a%b%c", "aXbY", false}, {"%a%a%", "banana", true}, {"abc", "abcd", false},
      {"ab%", "a", false},      {"\\%", "%", true},       {"\\%", "x", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(nv::like_match_ci(c.pattern, c.text), c.want) << c.pattern << " / " << c.text;
  }
}

}  // namespace
}  // namespace nv_sql

namespace nv_sql {
namespace {

// The byte-wise matcher and the evaluator's ILIKE (equality or anchored regex) must agree on
// ASCII input, apart from the matcher's rule that an empty pattern matches everything.
TEST(LikeMatchCi, AgreesWithEvaluatorIlike) {
  const unsigned seed = 4242;
  std::mt19937 rng(seed);
  const char alphabet[] = {'a', 'B', 'b', '_', '%', '\\', 'x', '.'};
  auto word = [&](int max_len) {
    std::string s;
    int n = std::uniform_int_distribution<int>(0, max_len)(rng);
    for (int i = 0; i < n; ++i) s += alphabet[std::uniform_int_distribution<int>(0, 7)(rng)];
    return s;
  };
  Frame frame = make_frame();
  for (int i = 0; i < 2000; ++i) {
    std::string pattern = word(6);
    std::string text = word(6);
    // ESCAPE '\' makes the backslash an escape, as the matcher reads it; a trailing escape
    // is an error there.
    if (pattern.empty() || pattern.back() == '\\') continue;
    ParseError err;
    auto stmt = nv_sql_parse(
        "SELECT '" + text + "' ILIKE '" + pattern + "' ESCAPE '\\' FROM t", &err);
    ASSERT_NE(stmt, nullptr) << err.message;
    auto r = ExprEval(frame).eval(*stmt->items[0].expr);
    ASSERT_TRUE(r.ok()) << r.status().ToString();
    bool engine = std::static_pointer_cast<arrow::BooleanScalar>(r->scalar())->value;
    EXPECT_EQ(nv::like_match_ci(pattern, text), engine)
        << "seed " << seed << " pattern " << pattern << " text " << text;
  }
}

}  // namespace
}  // namespace nv_sql
