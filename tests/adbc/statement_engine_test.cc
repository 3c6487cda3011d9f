// Statements the connection's metadata engine answers never leave the process.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include <arrow/api.h>
#include <arrow/c/bridge.h>

#include "adbc/state_internal.h"
#include "core/connection_internal.h"
#include "norvale/nv_log.h"
#include "sql/metadata_engine_internal.h"

namespace {

std::shared_ptr<arrow::RecordBatch> tables_batch() {
  arrow::StringBuilder names;
  (void)names.AppendValues({"orders", "customers"});
  auto schema = arrow::schema({arrow::field("table_name", arrow::utf8())});
  return arrow::RecordBatch::Make(schema, 2, {names.Finish().ValueOrDie()});
}

TEST(StatementEngine, ServedFromTheEngineAndTraced) {
  // A connection record with a core connection that has no endpoint at all: any request to a
  // compute node would fail, so a result proves the engine answered.
  NVConnection core;
  nv_sql::MetadataEngine engine;
  const auto batch = tables_batch();
  ASSERT_TRUE(engine.register_relation("information_schema.tables", batch->schema(), {batch}));
  NVAdbcConnectionState conn{};
  conn.connection = &core;
  conn.meta_engine = &engine;
  AdbcConnection connection{};
  connection.private_data = &conn;
  AdbcStatement stmt{};
  AdbcError error{};
  ASSERT_EQ(nv_adbc_statement_new(&connection, &stmt, &error), ADBC_STATUS_OK);

  char trace_path[] = "/tmp/nv_engine_traceXXXXXX";
  const int fd = mkstemp(trace_path);
  ASSERT_GE(fd, 0);
  close(fd);
  nv_apilog_init(trace_path);

  const std::string sql =
      "SELECT table_name FROM information_schema.tables ORDER BY table_name";
  ASSERT_EQ(nv_adbc_statement_set_sql_query(&stmt, sql.c_str(), &error), ADBC_STATUS_OK);
  ArrowArrayStream out{};
  int64_t rows = 0;
  ASSERT_EQ(nv_adbc_statement_execute_query(&stmt, &out, &rows, &error), ADBC_STATUS_OK)
      << (error.message ? error.message : "");
  EXPECT_EQ(rows, -1) << "a metadata result has no rows-affected count";
  auto reader = arrow::ImportRecordBatchReader(&out);
  ASSERT_TRUE(reader.ok());
  auto table = (*reader)->ToTable().ValueOrDie();
  ASSERT_EQ(table->num_rows(), 2);
  EXPECT_EQ(table->column(0)->GetScalar(0).ValueOrDie()->ToString(), "customers");

  nv_apilog_init(nullptr);
  std::ifstream in(trace_path);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("MetadataEngine(cache hit)"), std::string::npos) << text.str();
  std::remove(trace_path);

  nv_adbc_statement_release(&stmt, &error);
}

}  // namespace
