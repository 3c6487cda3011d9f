// SetSqlQuery, Prepare and the checks ExecuteQuery makes before anything reaches the network.
#include <gtest/gtest.h>

#include <arrow/api.h>
#include <arrow/c/bridge.h>

#include <string>
#include <vector>

#include "adbc/bound_data_internal.h"
#include "adbc/state_internal.h"
#include "core/connection_internal.h"
#include "norvale_adbc.h"

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

// A statement as StatementNew makes it, over a connection record whose core connection is
// taken away again, so that nothing can reach a server.
struct Fixture {
  NVConnection core;
  NVAdbcConnectionState conn{};
  AdbcConnection connection{};
  AdbcStatement stmt{};
  NVAdbcStatementState* state = nullptr;
  Fixture() {
    conn.connection = &core;
    connection.private_data = &conn;
    AdbcError error{};
    EXPECT_EQ(nv_adbc_statement_new(&connection, &stmt, &error), ADBC_STATUS_OK);
    state = static_cast<NVAdbcStatementState*>(stmt.private_data);
    conn.connection = nullptr;
  }
  ~Fixture() {
    AdbcError error{};
    nv_adbc_statement_release(&stmt, &error);
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
    ASSERT_EQ(nv_adbc_statement_set_option(&f.stmt, "adbc.ingest.target_table", "t", &error), 0);
    auto batch = arrow::RecordBatch::Make(arrow::schema({}), 1, arrow::ArrayVector{});
    ArrowArrayStream bound{};
    ASSERT_TRUE(
        arrow::ExportRecordBatchReader(*arrow::RecordBatchReader::Make({batch}), &bound).ok());
    ASSERT_EQ(nv_adbc_statement_bind_stream(&f.stmt, &bound, &error), 0);
    const Result r = take(nv_adbc_statement_execute_query(&f.stmt, &out, &rows, &error), &error);
    EXPECT_EQ(r.status, 6);
    EXPECT_TRUE(r.message.starts_with(
        "AdbcStatementExecuteQuery: bulk Arrow ingest is a DML operation; pass out_stream=NULL"))
        << r.message;
    EXPECT_EQ(r.sqlstate, "HY010");
  }
}

// What a statement is follows the calls made on it; ExecuteQuery dispatches on it.
TEST(Statement, KindFollowsTheCalls) {
  struct Step {
    const char* call;  // "sql", "prepare", "target", "location", "clear target", "clear location"
    int32_t kind;      // afterwards
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"new", {}},
      {"query then prepared", {{"sql", kStatementQuery}, {"prepare", kStatementPrepared}}},
      {"prepared again by new text", {{"sql", kStatementQuery}, {"prepare", kStatementPrepared},
                                      {"sql", kStatementQuery}}},
      {"target makes an ingest", {{"target", kStatementIngest}}},
      {"location too", {{"location", kStatementIngest}, {"clear location", kStatementEmpty}}},
      {"SQL ends the ingest", {{"target", kStatementIngest}, {"sql", kStatementQuery}}},
      {"prepare keeps an ingest", {{"sql", kStatementQuery}, {"target", kStatementIngest},
                                   {"prepare", kStatementIngest},
                                   {"clear target", kStatementQuery}}},
      {"both targets must go", {{"target", kStatementIngest}, {"location", kStatementIngest},
                                {"clear target", kStatementIngest},
                                {"clear location", kStatementEmpty}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    EXPECT_EQ(f.state->kind, kStatementEmpty);
    AdbcError error{};
    for (const Step& step : c.steps) {
      const std::string call = step.call;
      AdbcStatusCode rc = ADBC_STATUS_OK;
      if (call == "sql") rc = nv_adbc_statement_set_sql_query(&f.stmt, "SELECT 1", &error);
      if (call == "prepare") rc = nv_adbc_statement_prepare(&f.stmt, &error);
      if (call == "target" || call == "clear target") {
        rc = nv_adbc_statement_set_option(&f.stmt, "adbc.ingest.target_table",
                                          call == "target" ? "t" : nullptr, &error);
      }
      if (call == "location" || call == "clear location") {
        rc = nv_adbc_statement_set_option(&f.stmt, "nv.ingest.target_location",
                                          call == "location" ? "s3://b/p" : nullptr, &error);
      }
      ASSERT_EQ(rc, ADBC_STATUS_OK) << call;
      EXPECT_EQ(f.state->kind, step.kind) << call;
    }
  }
}

}  // namespace
