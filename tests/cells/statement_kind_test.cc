#include <gtest/gtest.h>

#include "cells/statement_kind_internal.h"

namespace {

using norvale::cells::StatementKind;

// One classifier decides what the metadata engine is offered (anything but kOther) and which
// statements run on a compute node tell the catalog of a possible write (anything but
// kReadOnly). Comments are read as the service reads them: block comments nest.
TEST(StatementKind, FirstKeywordAfterBlanksParenthesesAndComments) {
  struct Case {
    const char* sql;
    StatementKind kind;
  };
  const Case cases[] = {
      {"SELECT 1", StatementKind::kReadOnly},
      {"  select * from t", StatementKind::kReadOnly},
      {"((SELECT 1) UNION (SELECT 2))", StatementKind::kReadOnly},
      {"VALUES (1)", StatementKind::kReadOnly},
      {"SHOW TABLES", StatementKind::kReadOnly},
      {"DESCRIBE t", StatementKind::kReadOnly},
      {"explain select 1", StatementKind::kReadOnly},
      {"Summarize t", StatementKind::kReadOnly},
      {"-- note\n/* block */ WITH x AS (SELECT 1) SELECT * FROM x", StatementKind::kQuery},
      {"FROM information_schema.tables", StatementKind::kQuery},
      {"TABLE information_schema.tables", StatementKind::kQuery},
      {"INSERT INTO t VALUES (1)", StatementKind::kOther},
      {"update t set a = 1", StatementKind::kOther},
      {"CREATE TABLE t (a INT)", StatementKind::kOther},
      {"/* SELECT */ DELETE FROM t", StatementKind::kOther},
      {"SELECTED", StatementKind::kOther},
      {"\v\fDROP TABLE t", StatementKind::kOther},
      // Nested block comments: the inner */ does not end the outer comment.
      {"/* a /* b */ SELECT */ DROP TABLE t", StatementKind::kOther},
      {"/* a /* b */ DROP */ SELECT 1", StatementKind::kReadOnly},
      {"/*/**/*/ drop table t", StatementKind::kOther},
      {"( /* c */ -- d\n SELECT 1)", StatementKind::kReadOnly},
      // No keyword at all: the engine decides.
      {"-- SELECT", StatementKind::kNone},
      {"/* a /* b */ SELECT", StatementKind::kNone},  // never closed: all comment
      {"", StatementKind::kNone},
      {"'SELECT'", StatementKind::kNone},
      {"\"select\"", StatementKind::kNone},
      {"? SELECT", StatementKind::kNone},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(norvale::cells::statement_kind(c.sql), c.kind) << c.sql;
    EXPECT_EQ(norvale::cells::sql_may_be_query(c.sql), c.kind != StatementKind::kOther) << c.sql;
    EXPECT_EQ(norvale::cells::sql_may_write_catalog(c.sql), c.kind != StatementKind::kReadOnly)
        << c.sql;
  }
}

TEST(StatementKind, ReadsCatalog) {
  EXPECT_TRUE(norvale::cells::sql_reads_catalog("select * from INFORMATION_SCHEMA.tables"));
  EXPECT_TRUE(norvale::cells::sql_reads_catalog("from Information_Schema.columns"));
  EXPECT_FALSE(norvale::cells::sql_reads_catalog("select * from information_schem"));
  EXPECT_FALSE(norvale::cells::sql_reads_catalog(""));
}

}  // namespace
