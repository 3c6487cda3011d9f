#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "norvale/nv_log.h"
#include "support/test_files.h"

namespace {

using nv_test::read_file;


bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = tmp_.path();
    path_ = dir_ + "/engine.log";
    for (const char* v : {"NV_LOG_PATH", "NV_LOG_LEVEL", "NV_TRACE_SSE", "NV_LOG_MAX_BYTES"}) {
      unsetenv(v);
    }
  }
  void TearDown() override {
    // Back to the process defaults: off, standard error, 10 MiB rotation.
    setenv("NV_LOG_MAX_BYTES", "10485760", 1);
    unsetenv("NV_LOG_PATH");
    unsetenv("NV_LOG_LEVEL");
    nv_log_init_from_env();
    unsetenv("NV_LOG_MAX_BYTES");
  }
  nv_test::TempDir tmp_;
  std::string dir_;
  std::string path_;
};

TEST_F(LogTest, NothingIsWrittenAtLevelOff) {
  nv_log_init(path_.c_str(), NV_LOG_OFF);
  for (int level = 1; level <= 5; ++level) nv_log_emit(level, "api", "level %d", level);
  EXPECT_EQ(read_file(path_), "");
  testing::internal::CaptureStderr();
  nv_log_init(nullptr, NV_LOG_OFF);
  nv_log_emit(NV_LOG_ERROR, "api", "to stderr");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(LogTest, LevelGatingAndLineFormat) {
  nv_log_init(path_.c_str(), NV_LOG_WARN);
  EXPECT_EQ(nv_log_level(), NV_LOG_WARN);
  nv_log_emit(NV_LOG_ERROR, "auth", "bad %s", "thing");
  nv_log_emit(NV_LOG_WARN, nullptr, "careful");
  nv_log_emit(NV_LOG_INFO, "api", "not written");
  nv_log_emit(NV_LOG_ERROR, "api", nullptr);
  std::string text = read_file(path_);
  std::regex line(
      "\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}\\.\\d{3}Z \\[tid=\\d+\\] \\[ERROR\\] \\[auth\\] "
      "bad thing\n"
      "\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}\\.\\d{3}Z \\[tid=\\d+\\] \\[WARN \\] \\[nv\\] "
      "careful\n");
  EXPECT_TRUE(std::regex_match(text, line)) << text;
}

TEST_F(LogTest, LongMessagesAreFormattedWholeAndLinesCutTo5119Bytes) {
  nv_log_init(path_.c_str(), NV_LOG_TRACE);
  std::string medium(3000, 'm');  // longer than the stack buffer, shorter than a line
  nv_log_emit(NV_LOG_INFO, "api", "%s", medium.c_str());
  std::string text = read_file(path_);
  EXPECT_NE(text.find(medium + "\n"), std::string::npos);

  nv_log_init(path_.c_str(), NV_LOG_TRACE);
  ::truncate(path_.c_str(), 0);
  nv_log_emit(NV_LOG_INFO, "api", "%s", std::string(6000, 'x').c_str());
  text = read_file(path_);
  ASSERT_EQ(text.size(), 5119u);
  EXPECT_EQ(text.back(), '\n');
}

TEST_F(LogTest, EnvironmentLevels) {
  struct Case {
    const char* level;
    const char* trace_sse;
    int expected;
  };
  const Case cases[] = {
      {"debug", nullptr, 4}, {"TRACE", nullptr, 5}, {"3", nullptr, 3},     {"7", nullptr, 0},
      {"WARNING", nullptr, 0}, {"warn", nullptr, 2}, {"error", "1", 5},    {"error", "", 1},
      {nullptr, nullptr, 0},  {"-1", nullptr, 0},    {"2x", nullptr, 0},
  };
  for (const Case& c : cases) {
    if (c.level) setenv("NV_LOG_LEVEL", c.level, 1); else unsetenv("NV_LOG_LEVEL");
    if (c.trace_sse) setenv("NV_TRACE_SSE", c.trace_sse, 1); else unsetenv("NV_TRACE_SSE");
    nv_log_init_from_env();
    EXPECT_EQ(nv_log_level(), c.expected)
        << "NV_LOG_LEVEL=" << (c.level ? c.level : "(unset)")
        << " NV_TRACE_SSE=" << (c.trace_sse ? c.trace_sse : "(unset)");
  }
  unsetenv("NV_TRACE_SSE");
}

TEST_F(LogTest, RotationKeepsFiveOldFiles) {
  setenv("NV_LOG_PATH", path_.c_str(), 1);
  setenv("NV_LOG_LEVEL", "info", 1);
  setenv("NV_LOG_MAX_BYTES", "100", 1);
  nv_log_init_from_env();
  // Each line is well over 50 bytes, so every second line reaches the limit.
  nv_log_emit(NV_LOG_INFO, "api", "first line of generation %d", 0);
  EXPECT_FALSE(exists(path_ + ".1"));
  nv_log_emit(NV_LOG_INFO, "api", "second line of generation %d", 0);
  ASSERT_TRUE(exists(path_ + ".1"));
  EXPECT_NE(read_file(path_ + ".1").find("second line of generation 0"), std::string::npos)
      << "the line that reaches the limit is written to the old file";
  EXPECT_EQ(read_file(path_), "");
  for (int generation = 1; generation <= 6; ++generation) {
    nv_log_emit(NV_LOG_INFO, "api", "first line of generation %d", generation);
    nv_log_emit(NV_LOG_INFO, "api", "second line of generation %d", generation);
  }
  for (int n = 1; n <= 5; ++n) {
    std::string content = read_file(path_ + "." + std::to_string(n));
    EXPECT_NE(content.find("generation " + std::to_string(7 - n)), std::string::npos) << n;
  }
  EXPECT_FALSE(exists(path_ + ".6"));
}

TEST_F(LogTest, RotationLimitFromEnvironment) {
  setenv("NV_LOG_PATH", path_.c_str(), 1);
  setenv("NV_LOG_LEVEL", "info", 1);
  setenv("NV_LOG_MAX_BYTES", "0", 1);
  nv_log_init_from_env();
  for (int i = 0; i < 50; ++i) nv_log_emit(NV_LOG_INFO, "api", "line %d", i);
  EXPECT_FALSE(exists(path_ + ".1")) << "0 disables rotation";

  setenv("NV_LOG_MAX_BYTES", "100", 1);
  nv_log_init_from_env();
  setenv("NV_LOG_MAX_BYTES", "abc", 1);  // unparsable: the limit stays as it was
  nv_log_init_from_env();
  nv_log_emit(NV_LOG_INFO, "api", "this line reaches one hundred bytes with the existing file");
  EXPECT_TRUE(exists(path_ + ".1"));
}

TEST_F(LogTest, UnopenableFileFallsBackToStderr) {
  std::string bad = dir_ + "/missing/dir/log";
  testing::internal::CaptureStderr();
  nv_log_init(bad.c_str(), NV_LOG_INFO);
  nv_log_emit(NV_LOG_INFO, "api", "still logged");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("nv_log: failed to open '" + bad + "' for append: "), std::string::npos);
  EXPECT_NE(err.find("; falling back to stderr\n"), std::string::npos);
  EXPECT_NE(err.find("[INFO ] [api] still logged\n"), std::string::npos);
}

TEST_F(LogTest, ConcurrentLinesNeverInterleave) {
  nv_log_init(path_.c_str(), NV_LOG_INFO);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) nv_log_emit(NV_LOG_INFO, "api", "thread %d line %d", t, i);
    });
  }
  for (auto& th : threads) th.join();
  std::istringstream lines(read_file(path_));
  std::string line;
  int count = 0;
  std::regex shape(".*Z \\[tid=\\d+\\] \\[INFO \\] \\[api\\] thread \\d line \\d+");
  while (std::getline(lines, line)) {
    ++count;
    ASSERT_TRUE(std::regex_match(line, shape)) << line;
  }
  EXPECT_EQ(count, 800);
}

TEST(PerCellTrace, DecidedFromTheEnvironment) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    const char* value;
    int expected;
  };
  const Case cases[] = {{nullptr, 0}, {"", 0},     {"0", 0},    {"No", 0}, {"OFF", 0},
                        {"false", 0}, {"yes", 1},  {"00", 1},   {"1", 1},  {"anything", 1}};
  for (const Case& c : cases) {
    EXPECT_EXIT(
        {
          if (c.value) setenv("NV_TRACE_PERCELL", c.value, 1); else unsetenv("NV_TRACE_PERCELL");
          int first = nv_log_percell_enabled();
          // Decided once: a later change of the environment does not matter.
          setenv("NV_TRACE_PERCELL", first ? "0" : "1", 1);
          std::_Exit(first == nv_log_percell_enabled() ? first : 7);
        },
        ::testing::ExitedWithCode(c.expected), "")
        << (c.value ? c.value : "(unset)");
  }
}

}  // namespace

namespace {

mode_t mode_of(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// The engine log and the SQL trace share one way of opening their files.
class PrivateFiles : public LogTest {
 protected:
  void TearDown() override {
    nv_apilog_init(nullptr);
    LogTest::TearDown();
  }
  // Opens the log or the trace on `path` and writes one line carrying a secret.
  void Open(bool trace, const std::string& path) {
    if (trace) {
      nv_apilog_init(path.c_str());
      nv_sql_trace("t", "SELECT 1 -- password=tracepw");
    } else {
      nv_log_init(path.c_str(), NV_LOG_INFO);
      nv_log_emit(NV_LOG_INFO, "api", "x password=logpw");
    }
  }
};

TEST_F(PrivateFiles, CreatedPrivateAndNeverThroughALink) {
  for (const bool trace : {false, true}) {
    SCOPED_TRACE(trace ? "trace" : "log");
    const std::string path = dir_ + (trace ? "/trace.txt" : "/log.txt");
    ::umask(022);
    Open(trace, path);
    EXPECT_EQ(mode_of(path), 0600u);
    EXPECT_EQ(read_file(path).find(trace ? "tracepw" : "logpw"), std::string::npos);

    // A file left open to others is closed to them.
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    Open(trace, path);
    EXPECT_EQ(mode_of(path), 0600u);

    // A planted link is not followed: the secret lines never reach its target.
    const std::string link = path + ".link";
    const std::string target = dir_ + "/target-" + (trace ? "t" : "l");
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    testing::internal::CaptureStderr();
    Open(trace, link);
    testing::internal::GetCapturedStderr();
    EXPECT_FALSE(exists(target));
  }
}

}  // namespace
