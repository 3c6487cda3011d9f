// A statement's parameter markers, their binding to bound columns, the rows written into the
// SQL, and which INSERTs may carry many rows at once.
#include "adbc/bound_sql_internal.h"

#include <arrow/api.h>
#include <arrow/json/from_string.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "adbc/parameter_markers_internal.h"
#include "cells/sql_state_internal.h"

namespace norvale::adbc {
namespace {

std::shared_ptr<arrow::Schema> schema_of(const std::vector<std::string>& names) {
  arrow::FieldVector fields;
  for (const auto& name : names) fields.push_back(arrow::field(name, arrow::int64()));
  return arrow::schema(fields);
}

// "names -> columns", or "SQLSTATE: message".
std::string binding(const std::string& sql, const std::vector<std::string>& columns,
                    bool by_name) {
  auto params = find_parameters(sql, by_name);
  if (!params.ok()) return cells::sqlstate_of(params.status()) + ": " + params.status().message();
  auto bound = bind_columns(*params, *schema_of(columns), by_name);
  if (!bound.ok()) return cells::sqlstate_of(bound.status()) + ": " + bound.status().message();
  std::string out;
  for (size_t i = 0; i < bound->size(); ++i) {
    out += (i > 0 ? " " : "") + params->names[i] + "=" + std::to_string((*bound)[i]);
  }
  return out;
}

TEST(ParameterMarkers, EachStyleBindsItsColumns) {
  struct Case {
    const char* sql;
    std::vector<std::string> columns;
    bool by_name;
    const char* want;
  };
  const Case cases[] = {
      {"SELECT ?, ? /* ? */ FROM t WHERE s = '?'", {"a", "b"}, false, "=0 =1"},
      {"SELECT $2, $1, $2", {"a", "b"}, false, "$1=0 $2=1"},
      {"SELECT $name, :name", {"name"}, false, "07002: set adbc.statement.bind_by_name=true"},
      // Without named binding a :name is not a parameter.
      {"SELECT :x, ?", {"a"}, false, "=0"},
      {"SELECT $b || $a, $b", {"a", "b"}, true, "b=1 a=0"},
      {"SELECT :b, :a", {"a", "b"}, true, "b=1 a=0"},
      {"SELECT x::INT, l[:n], :v", {"v"}, true, "v=0"},
      {"SELECT 1", {}, false, ""},
      // Mismatches name what is missing.
      {"SELECT ?, ?", {"a"}, false,
       "07002: COUNT field incorrect: SQL has 2 placeholder(s) but 1 parameter(s) bound"},
      {"SELECT 1", {"a"}, true,
       "07002: COUNT field incorrect: SQL has 0 placeholder(s) but 1 parameter(s) bound"},
      {"SELECT $1, $3", {"a", "b", "c"}, false,
       "07002: never uses $2"},
      {"SELECT $2", {"a"}, false,
       "07002: never uses $1"},
      {"SELECT :a, :zz", {"a", "b", "c"}, true,
       "07002: no bound column for :zz; no parameter for bound column(s) b, c"},
      {"SELECT $a", {"a", "a"}, true,
       "07002: share a name"},
      {"SELECT ?", {"a"}, true,
       "07002: positional (?)"},
      // One style per statement; $0 is no parameter.
      {"SELECT ?, $1", {"a"}, false,
       "42000: mixes placeholder styles (? and $1)"},
      {"SELECT $a, :b", {"a", "b"}, true,
       "42000: mixes placeholder styles ($name and :name)"},
      {"SELECT $0", {}, false, "42000: $0 is not a parameter number"},
      {"SELECT ?, $0, $1", {}, false, "42000: $0 is not a parameter number"},
      {"SELECT $99999999999999999999", {}, false,
       "42000: $99999999999999999999 is not a parameter number"},
  };
  for (const Case& c : cases) {
    const std::string got = binding(c.sql, c.columns, c.by_name);
    const std::string want = c.want;
    if (want.size() > 7 && want.compare(5, 2, ": ") == 0) {
      // A failure: its SQLSTATE, and a telling part of its message (the whole of it where the
      // text is a documented one, as COUNT field incorrect is).
      EXPECT_EQ(got.substr(0, 5), want.substr(0, 5)) << c.sql << ": " << got;
      EXPECT_NE(got.find(want.substr(7)), std::string::npos) << c.sql << ": " << got;
    } else {
      EXPECT_EQ(got, want) << c.sql;
    }
  }
}

// `sql` with the literals of row `row` of the given int64 and utf8 columns.
std::string written(const std::string& sql, const std::string& ints, const std::string& texts,
                    int64_t row, bool by_name = false) {
  auto a = arrow::json::ArrayFromJSONString(arrow::int64(), ints).ValueOrDie();
  auto b = arrow::json::ArrayFromJSONString(arrow::utf8(), texts).ValueOrDie();
  auto schema = arrow::schema({arrow::field("a", a->type()), arrow::field("b", b->type())});
  auto params = find_parameters(sql, by_name).ValueOrDie();
  auto columns = bind_columns(params, *schema, by_name).ValueOrDie();
  std::vector<cells::SqlLiteralColumn> literals;
  literals.push_back(cells::SqlLiteralColumn::Make(a).ValueOrDie());
  literals.push_back(cells::SqlLiteralColumn::Make(b).ValueOrDie());
  std::string out;
  SqlTemplate(sql, 0, sql.size(), params, columns).AppendRow(literals, row, &out);
  return out;
}

TEST(SqlTemplate, WritesEachRowsLiteralsWhereTheMarkersStand) {
  EXPECT_EQ(written("UPDATE t SET s = ? /* ? */ WHERE i = ? AND n <> '?' -- ?\n", "[1, 2]",
                    R"(["x", "it's"])", 1),
            "UPDATE t SET s = BIGINT '2' /* ? */ WHERE i = 'it''s' AND n <> '?' -- ?\n");
  EXPECT_EQ(written("SELECT $2 || $2, $1", "[7]", "[null]", 0),
            "SELECT CAST(NULL AS VARCHAR) || CAST(NULL AS VARCHAR), BIGINT '7'");
  EXPECT_EQ(written("SELECT :b, :a", "[7]", R"(["v"])", 0, true), "SELECT 'v', BIGINT '7'");
  // A literal never joins the text around it into another token.
  EXPECT_EQ(written("SELECT E?, x:?", "[1]", R"(["\\'; --"])", 0),
            "SELECT E BIGINT '1', x: '\\''; --'");
  EXPECT_EQ(written("SELECT ?AS c, 1-?", "[-1]", R"(["-"])", 0), "SELECT BIGINT '-1' AS c, 1-'-'");
  EXPECT_EQ(written("SELECT [$2$2, $1]", "[1]", R"(["a"])", 0), "SELECT ['a' 'a', BIGINT '1']");
}

TEST(InsertValuesRow, OnlyPlainSingleRowInsertsCarryManyRows) {
  struct Case {
    const char* sql;
    const char* row;  // the row's text, or nullptr when the statement runs row by row
  };
  const Case cases[] = {
      {"INSERT INTO t VALUES (?, ?)", "(?, ?)"},
      {"insert into s.\"T\" (a, b) values(?, lower(?)) ;  -- done", "(?, lower(?))"},
      {"INSERT INTO t VALUES (?, (SELECT max(x) + ? FROM u))", "(?, (SELECT max(x) + ? FROM u))"},
      {"INSERT INTO t VALUES ('values (', ?)", "('values (', ?)"},
      {"/* c */ INSERT INTO t VALUES (?)", "(?)"},
      {"INSERT INTO t VALUES (?), (?)", nullptr},
      {"INSERT OR REPLACE INTO t VALUES (?)", nullptr},
      {"INSERT INTO t VALUES (?) ON CONFLICT DO NOTHING", nullptr},
      {"INSERT INTO t VALUES (?) RETURNING *", nullptr},
      {"INSERT INTO t VALUES (?); SELECT 1", nullptr},
      {"INSERT INTO t SELECT ? FROM (VALUES (1))", nullptr},
      // Several rows at once would be one UNION: duplicate rows would be stored once.
      {"INSERT INTO t SELECT 1 UNION VALUES (?)", nullptr},
      {"INSERT INTO t BY NAME SELECT 1 AS a UNION ALL VALUES (?)", nullptr},
      {"INSERT INTO t VALUES (1)", nullptr},
      {"WITH x AS (SELECT 1) INSERT INTO t VALUES (?)", nullptr},
      {"UPDATE t SET a = ?", nullptr},
      {"INSERT INTO t VALUES (?", nullptr},
  };
  for (const Case& c : cases) {
    const std::string sql = c.sql;
    auto row = find_insert_values_row(sql, find_parameters(sql, false).ValueOrDie());
    if (c.row == nullptr) {
      EXPECT_FALSE(row.has_value()) << sql;
    } else {
      ASSERT_TRUE(row.has_value()) << sql;
      EXPECT_EQ(sql.substr(row->begin, row->end - row->begin), c.row);
    }
  }
}

}  // namespace
}  // namespace norvale::adbc
