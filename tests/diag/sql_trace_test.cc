#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "norvale/nv_log.h"
#include "support/test_files.h"

namespace {

using nv_test::read_file;


class SqlTraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = tmp_.path();
  }
  void TearDown() override {
    nv_apilog_init(nullptr);
    unsetenv("NV_SQL_TRACE_PATH");
    unsetenv("NV_API_TRACE_PATH");
  }
  nv_test::TempDir tmp_;
  std::string dir_;
};

TEST_F(SqlTraceTest, LineShapeLabelAndRedaction) {
  std::string path = dir_ + "/sql.trace";
  nv_apilog_init(path.c_str());
  ASSERT_EQ(nv_apilog_enabled(), 1);
  nv_sql_trace("AdbcStatementExecuteQuery", "SELECT 1");
  nv_sql_trace(nullptr, "SET x Password=hunter2;y");
  nv_sql_trace("label", nullptr);
  std::string text = read_file(path);
  std::regex shape(
      "\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}\\.\\d{3}Z \\[tid=\\d+\\] "
      "AdbcStatementExecuteQuery -> SELECT 1\n"
      "\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}\\.\\d{3}Z \\[tid=\\d+\\] "
      "unknown -> SET x Password=\\[REDACTED\\];y\n");
  EXPECT_TRUE(std::regex_match(text, shape)) << text;
  EXPECT_EQ(text.find("hunter2"), std::string::npos);

  nv_apilog_init("");
  EXPECT_EQ(nv_apilog_enabled(), 0);
  nv_sql_trace("x", "SELECT 2");
  EXPECT_EQ(read_file(path), text);
}

TEST_F(SqlTraceTest, LongBodiesAreWrittenWhole) {
  std::string path = dir_ + "/sql.trace";
  nv_apilog_init(path.c_str());
  std::string sql = "SELECT '" + std::string(10000, 'q') + "'";
  nv_sql_trace("L", sql.c_str());
  EXPECT_NE(read_file(path).find("L -> " + sql + "\n"), std::string::npos);
}

TEST_F(SqlTraceTest, EnvironmentPrefersTheSqlTracePath) {
  std::string first = dir_ + "/first.trace";
  std::string second = dir_ + "/second.trace";
  setenv("NV_SQL_TRACE_PATH", first.c_str(), 1);
  setenv("NV_API_TRACE_PATH", second.c_str(), 1);
  nv_apilog_init_from_env();
  nv_apilog_emit("hello %d", 1);
  EXPECT_NE(read_file(first).find("hello 1\n"), std::string::npos);
  EXPECT_EQ(access(second.c_str(), F_OK), -1);

  unsetenv("NV_SQL_TRACE_PATH");
  nv_apilog_init_from_env();
  nv_apilog_emit("hello %d", 2);
  EXPECT_NE(read_file(second).find("hello 2\n"), std::string::npos);

  // With neither variable set an open trace stays open.
  unsetenv("NV_API_TRACE_PATH");
  nv_apilog_init_from_env();
  EXPECT_EQ(nv_apilog_enabled(), 1);
}

TEST_F(SqlTraceTest, UnopenableTraceStaysOff) {
  nv_apilog_init((dir_ + "/no/such/dir/trace").c_str());
  EXPECT_EQ(nv_apilog_enabled(), 0);
}

TEST(SqlCallerStack, DepthLimitAndPerThreadStacks) {
  EXPECT_STREQ(nv_sql_caller_get(), "unknown");
  const char* names[9] = {"a", "b", "c", "d", "e", "f", "g", "h", "i"};
  for (const char* n : names) nv_sql_caller_push(n);
  EXPECT_STREQ(nv_sql_caller_get(), "h") << "the ninth push is ignored";
  std::thread([] { EXPECT_STREQ(nv_sql_caller_get(), "unknown"); }).join();
  for (int i = 0; i < 8; ++i) nv_sql_caller_pop();
  EXPECT_STREQ(nv_sql_caller_get(), "unknown");
  nv_sql_caller_pop();  // popping an empty stack is harmless
  nv_sql_caller_push(nullptr);
  EXPECT_STREQ(nv_sql_caller_get(), "unknown");
  nv_sql_caller_pop();
}

TEST(PerfHooks, AreInert) {
  setenv("NV_PERF", "1", 1);
  EXPECT_EQ(nv_perf_is_enabled(), 0);
  unsetenv("NV_PERF");
}

}  // namespace
