// SetSqlQuery, Prepare and the checks ExecuteQuery makes before anything reaches the network.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "adbc/error_internal.h"
#include "adbc/state_internal.h"
#include "norvale_adbc.h"

extern "C" {
AdbcStatusCode nv_adbc_statement_set_sql_query(AdbcStatement*, const char*, AdbcError*);
AdbcStatusCode nv_adbc_statement_prepare(AdbcStatement*, AdbcError*);
AdbcStatusCode nv_adbc_statement_execute_query(AdbcStatement*, ArrowArrayStream*, int64_t*,
                                               AdbcError*);
}

namespace {

struct Result {
  AdbcStatusCode status;
  std::string message;
  std::string sqlstate;
};

Result take(AdbcStatusCode status, AdbcError* error) {
  Result r{status, error->message ? error->message : "", std::string(error->sqlstate, 5)};
  if (error->release) error->release(error);
  *error = AdbcError{};
  return r;
}

// A statement record as StatementNew leaves it, over a connection record without a core
// connection.
struct Fixture {
  NVAdbcConnectionState conn{};
  NVAdbcStatementState* state =
      static_cast<NVAdbcStatementState*>(std::calloc(1, sizeof(NVAdbcStatementState)));
  AdbcStatement stmt{};
  Fixture() {
    state->connection = &conn;
    state->coerce = 1;
    stmt.private_data = state;
  }
  ~Fixture() {
    std::free(state->sql);
    std::free(state->target_table);
    std::free(state->bound_stream);
    std::free(state);
  }
};

TEST(Statement, SetSqlQueryAndPrepare) {
  Fixture f;
  AdbcError error{};
  AdbcStatement unallocated{};
  struct Case {
    const char* name;
    Result got;
    Result expected;
  };
  const std::vector<Case> cases = {
      {"prepare before sql", take(nv_adbc_statement_prepare(&f.stmt, &error), &error),
       {6, "AdbcStatementPrepare: SetSqlQuery must be called first", "HY010"}},
      {"null statement", take(nv_adbc_statement_set_sql_query(nullptr, "x", &error), &error),
       {5, "AdbcStatementSetSqlQuery: null statement or query", "HY009"}},
      {"null text", take(nv_adbc_statement_set_sql_query(&f.stmt, nullptr, &error), &error),
       {5, "AdbcStatementSetSqlQuery: null statement or query", "HY009"}},
      {"no state", take(nv_adbc_statement_set_sql_query(&unallocated, "x", &error), &error),
       {6, "AdbcStatementSetSqlQuery: statement not allocated", "HY010"}},
      {"prepare null", take(nv_adbc_statement_prepare(nullptr, &error), &error),
       {5, "AdbcStatementPrepare: null statement", "HY009"}},
      {"prepare no state", take(nv_adbc_statement_prepare(&unallocated, &error), &error),
       {6, "AdbcStatementPrepare: statement not allocated", "HY010"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.got.status, c.expected.status);
    EXPECT_EQ(c.got.message, c.expected.message);
    EXPECT_EQ(c.got.sqlstate, c.expected.sqlstate);
  }

  ASSERT_EQ(nv_adbc_statement_set_sql_query(&f.stmt, "SELECT 1", &error), ADBC_STATUS_OK);
  ASSERT_EQ(nv_adbc_statement_set_sql_query(&f.stmt, "SELECT 2", &error), ADBC_STATUS_OK);
  EXPECT_STREQ(f.state->sql, "SELECT 2");
  EXPECT_EQ(nv_adbc_statement_prepare(&f.stmt, &error), ADBC_STATUS_OK);
}

TEST(Statement, ExecuteQueryChecksBeforeRunning) {
  AdbcError error{};
  ArrowArrayStream out{};
  int64_t rows = 99;
  {
    Fixture f;
    Result r = take(nv_adbc_statement_execute_query(nullptr, &out, &rows, &error), &error);
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(r.message, "AdbcStatementExecuteQuery: null statement");

    AdbcStatement unallocated{};
    r = take(nv_adbc_statement_execute_query(&unallocated, &out, &rows, &error), &error);
    EXPECT_EQ(r.status, 6);
    EXPECT_EQ(r.message, "AdbcStatementExecuteQuery: statement not allocated");

    r = take(nv_adbc_statement_execute_query(&f.stmt, &out, &rows, &error), &error);
    EXPECT_EQ(r.status, 6);
    EXPECT_EQ(r.message,
              "AdbcStatementExecuteQuery: SetSqlQuery must be called with a non-empty SQL string "
              "before Execute");
    nv_adbc_statement_set_sql_query(&f.stmt, "", &error);
    EXPECT_EQ(take(nv_adbc_statement_execute_query(&f.stmt, &out, &rows, &error), &error).status,
              6);

    nv_adbc_statement_set_sql_query(&f.stmt, "SELECT 1", &error);
    r = take(nv_adbc_statement_execute_query(&f.stmt, &out, &rows, &error), &error);
    EXPECT_EQ(r.status, 6);
    EXPECT_EQ(r.message,
              "AdbcStatementExecuteQuery: parent connection is not initialised (call "
              "AdbcConnectionInit first)");
    EXPECT_EQ(r.sqlstate, "HY010");
    EXPECT_EQ(rows, 99) << "outputs are untouched before the query starts";
  }
  {
    // A bound stream with a target is an ingest: refused with an output stream.
    Fixture f;
    f.state->target_table = norvale::adbc::dup_cstr("t");
    f.state->bound_stream =
        static_cast<ArrowArrayStream*>(std::calloc(1, sizeof(ArrowArrayStream)));
    const Result r = take(nv_adbc_statement_execute_query(&f.stmt, &out, &rows, &error), &error);
    EXPECT_EQ(r.status, 6);
    EXPECT_TRUE(r.message.starts_with(
        "AdbcStatementExecuteQuery: bulk Arrow ingest is a DML operation; pass out_stream=NULL"))
        << r.message;
    EXPECT_EQ(r.sqlstate, "HY010");
  }
}

}  // namespace
