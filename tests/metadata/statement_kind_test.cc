#include <gtest/gtest.h>

#include "metadata/info_schema_internal.h"

namespace {

// Only statements that may be queries are offered to the metadata engine; the rest go to the
// compute node without being parsed here.
TEST(StatementKind, MayBeQuery) {
  struct Case {
    const char* sql;
    bool query;
  };
  const Case cases[] = {
      {"SELECT 1", true},
      {"  select * from t", true},
      {"((SELECT 1) UNION (SELECT 2))", true},
      {"-- note\n/* block */ WITH x AS (SELECT 1) SELECT * FROM x", true},
      {"VALUES (1)", true},
      {"FROM information_schema.tables", true},
      {"TABLE information_schema.tables", true},
      {"SHOW TABLES", true},
      {"DESCRIBE t", true},
      {"INSERT INTO t VALUES (1)", false},
      {"update t set a = 1", false},
      {"CREATE TABLE t (a INT)", false},
      {"/* SELECT */ DELETE FROM t", false},
      {"-- SELECT", true},  // no keyword at all: the engine decides
      {"", true},
      {"SELECTED", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(norvale::adbc::sql_may_be_query(c.sql), c.query) << c.sql;
  }
}

}  // namespace
