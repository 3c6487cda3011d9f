// The private credential file under a temporary configuration directory.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <latch>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "credstore/file_store_internal.h"
#include "credstore/secret_service_internal.h"
#include "norvale/nv_credstore.h"
#include "support/test_files.h"
#include "util/base64_internal.h"

namespace {

mode_t mode_of(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

class CredstoreFile : public ::testing::Test {
 protected:
  void SetUp() override {
    norvale::credstore::secret_service_reprobe_for_test({});
    config_ = dir_.path() + "/config";
    ::setenv("XDG_CONFIG_HOME", config_.c_str(), 1);
    file_ = config_ + "/norvale/credstore";
  }
  void TearDown() override { ::unsetenv("XDG_CONFIG_HOME"); }

  std::string get(const char* account, const char* key, int expected_rc = 0) {
    char* out = reinterpret_cast<char*>(0x1);
    const int rc = nv_credstore_get(account, key, &out);
    EXPECT_EQ(rc, expected_rc);
    if (rc != 0) {
      EXPECT_EQ(out, nullptr);
      return "";
    }
    std::string value = out;
    nv_credstore_free(out);
    return value;
  }

  nv_test::TempDir dir_;
  std::string config_;
  std::string file_;
};

TEST_F(CredstoreFile, BackendIsFileWithoutLibsecret) {
  EXPECT_STREQ(nv_credstore_backend(), "file");
}

TEST_F(CredstoreFile, MissingFileIsNotFound) {
  get("https://cp", "Pwd:ann", 1);
  EXPECT_EQ(nv_credstore_delete("https://cp", "Pwd:ann"), 1);
}

TEST_F(CredstoreFile, SetGetReplaceDelete) {
  ASSERT_EQ(nv_credstore_set("https://cp", "Pwd:ann", "first"), 0);
  ASSERT_EQ(nv_credstore_set("https://cp", "Token:ann", "tok"), 0);
  ASSERT_EQ(nv_credstore_set("https://other", "Pwd:ann", "elsewhere"), 0);
  EXPECT_EQ(get("https://cp", "Pwd:ann"), "first");
  ASSERT_EQ(nv_credstore_set("https://cp", "Pwd:ann", "second"), 0);
  EXPECT_EQ(get("https://cp", "Pwd:ann"), "second");
  EXPECT_EQ(get("https://other", "Pwd:ann"), "elsewhere");

  // One line per pair, in first-written order, the secret base64-encoded.
  EXPECT_EQ(nv_test::read_file(file_), "https://cp\tPwd:ann\t" +
                                           norvale::base64_encode("second") +
                                           "\nhttps://cp\tToken:ann\tdG9r\n"
                                           "https://other\tPwd:ann\t" +
                                           norvale::base64_encode("elsewhere") + "\n");

  EXPECT_EQ(nv_credstore_delete("https://cp", "Pwd:ann"), 0);
  get("https://cp", "Pwd:ann", 1);
  EXPECT_EQ(nv_credstore_delete("https://cp", "Pwd:ann"), 1);
  EXPECT_EQ(get("https://cp", "Token:ann"), "tok");
}

TEST_F(CredstoreFile, SecretsWithTabsLineFeedsAndEmpty) {
  const std::string secrets[] = {"a\tb\nc\r\n", "", "=", std::string(1000, '\n')};
  for (const std::string& s : secrets) {
    ASSERT_EQ(nv_credstore_set("acct", "k", s.c_str()), 0);
    EXPECT_EQ(get("acct", "k"), s);
  }
}

TEST_F(CredstoreFile, NamesThatWouldBreakTheLineFormatAreRefused) {
  EXPECT_EQ(nv_credstore_set("acct\nother", "k", "s"), 3);
  EXPECT_EQ(nv_credstore_set("acct", "k\tx", "s"), 3);
  get("acct", "k", 1);
}

TEST_F(CredstoreFile, NullArguments) {
  char* out = nullptr;
  EXPECT_EQ(nv_credstore_set(nullptr, "k", "s"), 3);
  EXPECT_EQ(nv_credstore_set("a", nullptr, "s"), 3);
  EXPECT_EQ(nv_credstore_set("a", "k", nullptr), 3);
  EXPECT_EQ(nv_credstore_get("a", "k", nullptr), 3);
  EXPECT_EQ(nv_credstore_get(nullptr, "k", &out), 3);
  EXPECT_EQ(nv_credstore_delete("a", nullptr), 3);
  nv_credstore_free(nullptr);
}

TEST_F(CredstoreFile, ModesOfDirectoriesAndFile) {
  ASSERT_EQ(nv_credstore_set("a", "k", "s"), 0);
  EXPECT_EQ(mode_of(config_), 0700u);
  EXPECT_EQ(mode_of(config_ + "/norvale"), 0700u);
  EXPECT_EQ(mode_of(file_), 0600u);
  // A file that somebody loosened is tightened again by the next save.
  ASSERT_EQ(::chmod(file_.c_str(), 0644), 0);
  ASSERT_EQ(nv_credstore_set("a", "k", "t"), 0);
  EXPECT_EQ(mode_of(file_), 0600u);
}

TEST_F(CredstoreFile, HomeConfigWhenXdgIsEmpty) {
  const std::string home = dir_.path() + "/home";
  ::setenv("XDG_CONFIG_HOME", "", 1);
  const char* old_home = std::getenv("HOME");
  const std::string saved = old_home != nullptr ? old_home : "";
  ::setenv("HOME", home.c_str(), 1);
  EXPECT_EQ(*norvale::credstore::credential_file_path(), home + "/.config/norvale/credstore");
  ASSERT_EQ(nv_credstore_set("a", "k", "s"), 0);
  EXPECT_EQ(mode_of(home + "/.config"), 0700u);
  EXPECT_EQ(mode_of(home + "/.config/norvale/credstore"), 0600u);
  EXPECT_EQ(get("a", "k"), "s");
  ::setenv("HOME", saved.c_str(), 1);
}

TEST_F(CredstoreFile, UnsafeDirectoriesAndLinksAreRefused) {
  ASSERT_EQ(nv_credstore_set("a", "k", "old"), 0);
  const std::string before = nv_test::read_file(file_);
  const std::string norvale_dir = config_ + "/norvale";
  struct Case {
    const char* what;
    std::function<void()> spoil;
    std::function<void()> mend;
  };
  const std::string elsewhere = dir_.path() + "/elsewhere";
  const Case cases[] = {
      {"group-writable directory", [&] { ::chmod(norvale_dir.c_str(), 0770); },
       [&] { ::chmod(norvale_dir.c_str(), 0700); }},
      {"world-writable configuration directory", [&] { ::chmod(config_.c_str(), 0777); },
       [&] { ::chmod(config_.c_str(), 0700); }},
      {"directory of another user", [&] { ASSERT_EQ(::chown(norvale_dir.c_str(), 4242, -1), 0); },
       [&] { ::chown(norvale_dir.c_str(), ::geteuid(), -1); }},
      {"credential file that is a link",
       [&] {
         ::rename(file_.c_str(), (file_ + ".real").c_str());
         ASSERT_EQ(::symlink(elsewhere.c_str(), file_.c_str()), 0);
       },
       [&] {
         ::unlink(file_.c_str());
         ::rename((file_ + ".real").c_str(), file_.c_str());
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.spoil();
    EXPECT_EQ(nv_credstore_set("a", "k", "new"), 3);
    EXPECT_EQ(nv_credstore_set("b", "k", "new"), 3);
    get("a", "k", 3);
    c.mend();
    EXPECT_EQ(nv_test::read_file(file_), before);
    EXPECT_EQ(::access(elsewhere.c_str(), F_OK), -1) << "a secret followed the link";
  }
  EXPECT_EQ(get("a", "k"), "old");
}

TEST_F(CredstoreFile, TemporaryNameOfAnotherWriterIsLeftAlone) {
  // The old fixed temporary name: a link planted there must neither be followed nor matter.
  ASSERT_EQ(nv_credstore_set("a", "k", "first"), 0);
  const std::string target = dir_.path() + "/planted-target";
  ASSERT_EQ(::symlink(target.c_str(), (file_ + ".tmp").c_str()), 0);
  ASSERT_EQ(nv_credstore_set("a", "k", "second"), 0);
  EXPECT_EQ(get("a", "k"), "second");
  EXPECT_EQ(::access(target.c_str(), F_OK), -1);
  EXPECT_EQ(mode_of(file_), 0600u);
}

TEST_F(CredstoreFile, PathComponentThatIsAFileFailsTheSave) {
  ASSERT_EQ(::mkdir(config_.c_str(), 0700), 0);
  std::ofstream(config_ + "/norvale") << "not a directory";
  EXPECT_EQ(nv_credstore_set("a", "k", "s"), 3);
}

TEST_F(CredstoreFile, CorruptLinesAreSkippedAndBadBase64FailsOnlyItsEntry) {
  ASSERT_EQ(::mkdir(config_.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((config_ + "/norvale").c_str(), 0700), 0);
  std::ofstream(file_) << "\n"
                       << "no tabs at all\n"
                       << "one\ttab\n"
                       << "a\tbad\t!!!!\n"
                       << "a\tgood\t" << norvale::base64_encode("fine") << "\n"
                       << "a\tlast\tbGFzdA==";  // no final line feed
  EXPECT_EQ(get("a", "bad", 3), "");
  EXPECT_EQ(get("a", "good"), "fine");
  EXPECT_EQ(get("a", "last"), "last");
  get("one", "tab", 1);
  // A save writes back only the records it could read.
  ASSERT_EQ(nv_credstore_set("b", "k", "v"), 0);
  std::vector<norvale::credstore::FileRecord> records;
  ASSERT_TRUE(norvale::credstore::load_records(file_, &records).ok());
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0].key, "bad");
  EXPECT_EQ(records[3].account, "b");
}

TEST_F(CredstoreFile, ConcurrentWritersLoseNoEntry) {
  // Each set is a read-modify-write of the whole file: without the file mutex, writers would
  // drop each other's entries.
  constexpr int kThreads = 8;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  std::latch start(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures, &start] {
      start.arrive_and_wait();
      for (int i = 0; i < 25; ++i) {
        const std::string key = "k" + std::to_string(t) + "-" + std::to_string(i);
        if (nv_credstore_set("acct", key.c_str(), key.c_str()) != 0) ++failures;
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  std::vector<norvale::credstore::FileRecord> records;
  ASSERT_TRUE(norvale::credstore::load_records(file_, &records).ok());
  EXPECT_EQ(records.size(), 200u);
  EXPECT_EQ(get("acct", "k3-24"), "k3-24");
}

TEST_F(CredstoreFile, WritersInSeveralProcessesLoseNoEntry) {
  constexpr int kProcesses = 4;
  constexpr int kKeys = 100;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int failed = 0;
      for (int i = 0; i < kKeys; ++i) {
        const std::string key = "p" + std::to_string(p) + "-" + std::to_string(i);
        if (nv_credstore_set("acct", key.c_str(), key.c_str()) != 0) ++failed;
      }
      ::_exit(failed == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  // Meanwhile the file must always read as whole lines of valid entries.
  std::vector<int> statuses(kProcesses, -1);
  int reads = 0;
  for (bool running = true; running; ++reads) {
    running = false;
    for (int p = 0; p < kProcesses; ++p) {
      if (statuses[p] == -1 && ::waitpid(children[p], &statuses[p], WNOHANG) == 0) {
        statuses[p] = -1;
        running = true;
      }
    }
    const std::string content = nv_test::read_file(file_);
    ASSERT_EQ(content.find('\0'), std::string::npos);
    ASSERT_TRUE(content.empty() || content.back() == '\n');
    std::vector<norvale::credstore::FileRecord> seen;
    norvale::credstore::parse_records(content, &seen);
    ASSERT_EQ(static_cast<size_t>(std::count(content.begin(), content.end(), '\n')),
              seen.size());
  }
  for (int status : statuses) EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::vector<norvale::credstore::FileRecord> records;
  ASSERT_TRUE(norvale::credstore::load_records(file_, &records).ok());
  EXPECT_EQ(records.size(), static_cast<size_t>(kProcesses * kKeys)) << reads << " reads";
  EXPECT_EQ(get("acct", "p2-57"), "p2-57");
}

TEST(Base64, RoundTripsRandomBytes) {
  const unsigned seed = std::random_device{}();
  std::mt19937 rng(seed);
  for (int i = 0; i < 200; ++i) {
    std::string data(rng() % 64, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    const auto back = norvale::base64_decode_strict(norvale::base64_encode(data));
    ASSERT_TRUE(back.has_value()) << "seed " << seed;
    ASSERT_EQ(*back, data) << "seed " << seed;
  }
}

TEST(Base64, KnownValuesAndRejects) {
  EXPECT_EQ(norvale::base64_encode("f"), "Zg==");
  EXPECT_EQ(norvale::base64_encode("fo"), "Zm8=");
  EXPECT_EQ(norvale::base64_encode("foo"), "Zm9v");
  EXPECT_EQ(norvale::base64_encode("\xff\xfe"), "//4=");
  for (const char* bad : {"Zg=", "Z===", "Zg=a", "Z!==", "Zm9v\n"}) {
    EXPECT_FALSE(norvale::base64_decode_strict(bad).has_value()) << bad;
  }
}

}  // namespace
