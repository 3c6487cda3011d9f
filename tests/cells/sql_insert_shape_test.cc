// The shape of one-row INSERT ... VALUES statements: the table, the column list and each value,
// one statement per row; anything else has no shape.
#include "cells/sql_insert_shape.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using norvale::cells::InsertValuesShape;
using norvale::cells::parse_insert_values;
using norvale::cells::SqlIdentifier;

std::string names(const std::vector<SqlIdentifier>& ids) {
  std::string out;
  for (const SqlIdentifier& id : ids) {
    out += (out.empty() ? "" : ".") + (id.quoted ? "\"" + id.name + "\"" : id.name);
  }
  return out;
}

// "table (columns) values: v1 | v2" with each value's token count, or "none".
std::string described(const std::string& sql) {
  const auto shape = parse_insert_values(sql);
  if (!shape) return "none";
  std::string out = names(shape->table);
  if (shape->has_column_list) {
    out += " (";
    for (size_t i = 0; i < shape->columns.size(); ++i) {
      out += (i > 0 ? ", " : "") + names({shape->columns[i]});
    }
    out += ")";
  }
  out += " values:";
  for (size_t i = 0; i < shape->values.size(); ++i) {
    const InsertValuesShape::Span& v = shape->values[i];
    out += (i > 0 ? " |" : "") + std::string(" ") + sql.substr(v.begin, v.end - v.begin) + " #" +
           std::to_string(v.tokens);
  }
  EXPECT_EQ(sql[shape->row.begin], '(') << sql;
  EXPECT_EQ(sql[shape->row.end - 1], ')') << sql;
  return out;
}

TEST(InsertValuesShape, ReadsTableColumnsAndValues) {
  struct Case {
    const char* sql;
    const char* want;
  };
  const Case cases[] = {
      {"INSERT INTO t VALUES (?, ?)", "t values: ? #1 | ? #1"},
      {"insert into S.\"My \"\"T\"\"\" (a, \"B c\") values($2,$1);", "S.\"My \"T\"\" (a, \"B c\") values: $2 #1 | $1 #1"},
      {"/* x */ INSERT /* y */ INTO c.s.t(a)VALUES(:a) -- done\n", "c.s.t (a) values: :a #1"},
      {"INSERT INTO t VALUES ( ? /* one */ , lower(?), (SELECT 1, 2), [1, ?], {'a': ?} )",
       "t values: ? #1 | lower(?) #4 | (SELECT 1, 2) #6 | [1, ?] #5 | {'a': ?} #5"},
      {"INSERT INTO t VALUES ('values (', DEFAULT, 1.5)",
       "t values: 'values (' #1 | DEFAULT #1 | 1.5 #3"},
      {"INSERT INTO données VALUES ($nom)", "données values: $nom #1"},
      {"INSERT INTO t VALUES (?) ;  ", "t values: ? #1"},
      // Not one plain row into a named table.
      {"INSERT INTO t VALUES (?), (?)", "none"},
      {"INSERT INTO t VALUES (?);;", "none"},
      {"INSERT INTO t VALUES (?); SELECT 1", "none"},
      {"INSERT OR REPLACE INTO t VALUES (?)", "none"},
      {"INSERT INTO t VALUES (?) ON CONFLICT DO NOTHING", "none"},
      {"INSERT INTO t VALUES (?) RETURNING *", "none"},
      {"INSERT INTO t AS x VALUES (?)", "none"},
      {"INSERT INTO t BY NAME VALUES (?)", "none"},
      {"INSERT INTO t DEFAULT VALUES", "none"},
      {"INSERT INTO t SELECT ?", "none"},
      {"INSERT INTO t SELECT * FROM (VALUES (?))", "none"},
      {"INSERT INTO t (a, b VALUES (?)", "none"},
      {"INSERT INTO t () VALUES (?)", "none"},
      {"INSERT INTO t (a,) VALUES (?)", "none"},
      {"INSERT INTO t (a.b) VALUES (?)", "none"},
      {"INSERT INTO t (1) VALUES (?)", "none"},
      {"INSERT INTO a.b.c.d VALUES (?)", "none"},
      {"INSERT INTO a. VALUES (?)", "none"},
      {"INSERT INTO $1 VALUES (?)", "none"},
      {"INSERT INTO [t] VALUES (?)", "none"},
      {"INSERT INTO t VALUES ()", "none"},
      {"INSERT INTO t VALUES (?, )", "none"},
      {"INSERT INTO t VALUES (?", "none"},
      {"INSERT INTO t VALUES (?))", "none"},
      {"INSERT INTO t VALUES ('?)", "none"},
      {"INSERT INTO t VALUES (?) /* open", "none"},
      {"WITH x AS (SELECT 1) INSERT INTO t VALUES (?)", "none"},
      {"INSERT t VALUES (?)", "none"},
      {"UPDATE t SET a = ?", "none"},
      {"", "none"},
  };
  for (const Case& c : cases) EXPECT_EQ(described(c.sql), c.want) << c.sql;
}

}  // namespace
