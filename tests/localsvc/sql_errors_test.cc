#include "localsvc/sql_errors.h"

#include <gtest/gtest.h>

namespace nv_localsvc {
namespace {

// Messages as DuckDB words them; the expected status and code make a client derive the
// SQLSTATE family named in the comment.
TEST(MapSqlError, ChoosesStatusAndCodeByErrorClass) {
  struct Case {
    const char* message;
    int status;
    const char* code;
    const char* message_prefix;  // the message as sent starts with this
  };
  const Case cases[] = {
      // 42000 syntax
      {"Parser Error: syntax error at or near \"selec\"", 400, "QUERY_ERROR", "Parser Error"},
      // 42S02 missing table
      {"Catalog Error: Table with name nope does not exist!", 404, "MISSING_OBJECT", "Catalog"},
      // 42S01 duplicate table
      {"Catalog Error: Table with name \"t\" already exists!", 409, "DUPLICATE_OBJECT", "Catalog"},
      // 42S22 missing column
      {"Binder Error: Referenced column \"nope\" not found in FROM clause!", 404,
       "MISSING_OBJECT", "Binder"},
      // a missing function is not a missing relation
      {"Catalog Error: Scalar Function with name foo does not exist!", 400, "QUERY_ERROR",
       "Catalog"},
      // 22018 cast
      {"Conversion Error: Could not convert string 'abc' to INT32", 400, "QUERY_ERROR",
       "Cast error: Conversion Error"},
      // 22007 date and timestamp parsing
      {"Conversion Error: invalid date field format: \"x\"", 400, "QUERY_ERROR",
       "Error parsing date: "},
      {"Conversion Error: invalid timestamp field format: \"x\"", 400, "QUERY_ERROR",
       "Error parsing timestamp: "},
      // 22012 division by zero
      {"Invalid Input Error: Division by zero in expression (1 // 0).", 500, "INTERNAL_ERROR",
       "division by zero: "},
      // 23000 key violation
      {"Constraint Error: PRIMARY KEY or UNIQUE constraint violation: duplicate key \"1\"", 409,
       "INTEGRITY_VIOLATION", "Constraint"},
      {"TransactionContext Error: cannot commit - no transaction is active", 409,
       "TRANSACTION_STATE", "TransactionContext"},
      {"Permission Error: file system operations are disabled", 403, "FORBIDDEN", "Permission"},
      {"INTERNAL Error: something broke", 500, "INTERNAL_ERROR", "INTERNAL"},
      {"no class at all", 500, "INTERNAL_ERROR", "no class"},
  };
  for (const Case& c : cases) {
    HttpSqlError e = map_sql_error(c.message);
    EXPECT_EQ(e.message.find('\n'), std::string::npos);
    EXPECT_EQ(e.status, c.status) << c.message;
    EXPECT_EQ(e.code, c.code) << c.message;
    EXPECT_EQ(e.message.rfind(c.message_prefix, 0), 0u) << e.message;
  }
}

// The hint and the statement text after the first line would mislead a client that looks for
// "column" or "table" in the message.
TEST(MapSqlError, SendsOnlyTheFirstLine) {
  HttpSqlError e = map_sql_error(
      "Catalog Error: Table with name nope does not exist!\nDid you mean \"columns\"?\n\n"
      "LINE 1: SELECT column_a FROM nope\n                            ^");
  EXPECT_EQ(e.code, "MISSING_OBJECT");
  EXPECT_EQ(e.message, "Catalog Error: Table with name nope does not exist!");
}

TEST(IngestSqlstate, FromDuckdbMessages) {
  struct Case {
    const char* message;
    const char* sqlstate;
  };
  const Case cases[] = {
      {"Constraint Error: duplicate key \"1\"", "23000"},
      {"Conversion Error: Could not convert string 'x' to INT32", "22018"},
      {"Binder Error: Table \"t\" does not have a column with name \"zz\"", "42S22"},
      {"Catalog Error: Table with name t does not exist!", "42S02"},
      {"IO Error: disk full", "HY000"},
  };
  for (const Case& c : cases) EXPECT_EQ(ingest_sqlstate_for(c.message), c.sqlstate) << c.message;
}

}  // namespace
}  // namespace nv_localsvc
