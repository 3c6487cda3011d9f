// Session tokens the service expired or revoked, and passwords left in memory: a refused token
// is forgotten and the login done once more, at connect time and by an open connection; after
// every handle is released the process holds no copy of the password.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <arrow/c/abi.h>
#include <gtest/gtest.h>

#include "core/session_cache_internal.h"
#include "norvale/nv_core.h"
#include "norvale/nv_cells.h"
#include "norvale/nv_query.h"
#include "norvale_adbc.h"
#include "support/child_process.h"
#include "support/localsvc_fixture.h"
#include "support/sanitizer_build.h"

namespace {

class ExpiringTokenNetTest : public nv_test::LocalSvcTest {
 protected:
  static void SetUpTestSuite() {
    nv_test::LocalSvcOptions opts;
    opts.token_ttl_seconds = 1;
    StartShared(opts);
  }
  void SetUp() override {
    LocalSvcTest::SetUp();
    norvale::session_cache_clear_for_test();
  }
  NVConnection* connect(const char* compute_url, std::string* err) {
    char text[1024] = "";
    NVConnection* conn =
        nv_connect(svc().control_plane_url().c_str(), compute_url, nullptr, nullptr,
                   nv_test::LocalSvc::kUser, nv_test::LocalSvc::kPassword, nullptr, nullptr,
                   text, sizeof text);
    *err = text;
    return conn;
  }
};

TEST_F(ExpiringTokenNetTest, RefusedCachedTokenIsForgottenAndLoginRepeatedOnce) {
  std::string err;
  nv_disconnect(connect(nullptr, &err));
  ASSERT_EQ(svc().Counter("logins"), 1) << err;
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));  // the token expires

  // Routing refuses the cached token: the connection still opens, with one more login.
  NVConnection* conn = connect(nullptr, &err);
  ASSERT_NE(conn, nullptr) << err;
  EXPECT_EQ(svc().Counter("logins"), 2);
  nv_disconnect(conn);
  // The fresh token was cached in place of the refused one.
  nv_disconnect(connect(nullptr, &err));
  EXPECT_EQ(svc().Counter("logins"), 2);
}

// Runs `sql` to its end on `conn`; the query's SQLSTATE, or "" when it succeeded.
std::string run(NVConnection* conn, const char* sql) {
  char text[512] = "";
  NVQueryHandle* q = nv_execute(conn, sql, 0, 0, text, sizeof text);
  if (q == nullptr) return std::string("not started: ") + text;
  while (NVArrowBatch* b = nv_next_batch(q, nullptr, 0)) nv_batch_free(b);
  const std::string sqlstate = nv_query_error(q) != nullptr ? nv_query_sqlstate(q) : "";
  nv_query_close(q);
  return sqlstate;
}

TEST_F(ExpiringTokenNetTest, AComputeNodeRefusingTheTokenMakesTheConnectionLogInAgain) {
  // With an explicit compute URL connecting makes no request: the node is the first to refuse.
  std::string err;
  nv_disconnect(connect(svc().node_url().c_str(), &err));
  ASSERT_EQ(svc().Counter("logins"), 1) << err;
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  NVConnection* conn = connect(svc().node_url().c_str(), &err);
  ASSERT_NE(conn, nullptr) << err;
  EXPECT_EQ(svc().Counter("logins"), 1);  // the cached token, not yet known to be dead
  // The node refuses it before running anything: one more login, and the statement again.
  EXPECT_EQ(run(conn, "SELECT 1"), "");
  EXPECT_EQ(svc().Counter("logins"), 2);
  EXPECT_EQ(svc().Counter("requests.query"), 2);
  nv_disconnect(conn);

  // The refused token left the cache and the new one took its place.
  conn = connect(svc().node_url().c_str(), &err);
  ASSERT_NE(conn, nullptr) << err;
  EXPECT_EQ(run(conn, "SELECT 1"), "");
  EXPECT_EQ(svc().Counter("logins"), 2);
  nv_disconnect(conn);
}

// A connection made with a token alone has nothing to log in with: the refusal is the caller's.
TEST_F(ExpiringTokenNetTest, ATokenWithoutPasswordIsNotRenewed) {
  const std::string token = svc().Login();
  char text[512] = "";
  NVConnection* conn =
      nv_connect(svc().control_plane_url().c_str(), svc().node_url().c_str(), nullptr,
                 token.c_str(), nullptr, nullptr, nullptr, nullptr, text, sizeof text);
  ASSERT_NE(conn, nullptr) << text;
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  EXPECT_EQ(run(conn, "SELECT 1"), "28000");
  EXPECT_EQ(svc().Counter("logins"), 1);
  EXPECT_EQ(svc().Counter("requests.query"), 1);
  nv_disconnect(conn);
}

// Queries refused at once on several threads share one new login.
TEST_F(ExpiringTokenNetTest, ConcurrentRefusalsShareOneLogin) {
  std::string err;
  NVConnection* conn = connect(svc().node_url().c_str(), &err);
  ASSERT_NE(conn, nullptr) << err;
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  std::vector<std::string> outcomes(4);
  std::vector<std::thread> threads;
  for (std::string& outcome : outcomes) {
    threads.emplace_back([&] { outcome = run(conn, "SELECT 1"); });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(outcomes, std::vector<std::string>(4, ""));
  EXPECT_EQ(svc().Counter("logins"), 2);
  nv_disconnect(conn);
}

// ---- No password left in memory -------------------------------------------------------------

// The password is only ever held masked here (each byte XOR kMask), so that the scan cannot
// find the test's own copy.
constexpr unsigned char kMask = 0x5a;

// Counts occurrences of the unmasked pattern in every private writable mapping of the process,
// read through /proc/self/mem so that a page that cannot be read is skipped instead of faulting.
size_t count_in_memory(const std::string& masked) {
  // Compared byte by byte against the masked copy: the plain text is never assembled here.
  auto match_at = [&](const char* p) {
    for (size_t k = 0; k < masked.size(); ++k) {
      if (static_cast<unsigned char>(p[k]) !=
          (static_cast<unsigned char>(masked[k]) ^ kMask)) {
        return false;
      }
    }
    return true;
  };
  const size_t n = masked.size();
  std::ifstream maps("/proc/self/maps");
  const int mem = open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
  if (mem < 0) return SIZE_MAX;
  std::string line;
  size_t found = 0;
  std::vector<char> chunk(1 << 20);
  while (std::getline(maps, line)) {
    std::istringstream fields(line);
    std::string range, perms;
    fields >> range >> perms;
    if (perms.size() < 4 || perms[0] != 'r' || perms[1] != 'w' || perms[3] != 'p') continue;
    const size_t dash = range.find('-');
    const uint64_t begin = std::stoull(range.substr(0, dash), nullptr, 16);
    const uint64_t end = std::stoull(range.substr(dash + 1), nullptr, 16);
    // Chunks overlap by the pattern's length so that no match is cut in two.
    for (uint64_t at = begin; at < end;) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(chunk.size(), end - at));
      const ssize_t got = pread(mem, chunk.data(), want, static_cast<off_t>(at));
      if (got <= 0) {
        at += 4096;
        continue;
      }
      const size_t len = static_cast<size_t>(got);
      for (size_t pos = 0; pos + n <= len; ++pos) {
        if (match_at(chunk.data() + pos)) ++found;
      }
      explicit_bzero(chunk.data(), len);
      if (len <= n || at + len >= end) {
        at += len;
      } else {
        at += len - n + 1;
      }
    }
  }
  close(mem);
  return found;
}

// Runs in a fresh child process (started by the test below): reads the password from standard
// input, uses it through the driver for a whole session, releases everything and scans.
TEST(PasswordMemoryChild, ScanAfterRelease) {
  const char* cp = std::getenv("NV_PASSWORD_SCAN_URL");
  if (cp == nullptr) GTEST_SKIP() << "runs only as the child of PasswordMemory";
  std::string masked;
  {
    char plain[128] = {0};
    const ssize_t n = read(0, plain, sizeof plain - 1);
    ASSERT_GT(n, 0);
    for (ssize_t i = 0; i < n; ++i) masked.push_back(static_cast<char>(plain[i] ^ kMask));

    void* lib = dlopen(NV_DRIVER_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr);
    auto init = reinterpret_cast<AdbcDriverInitFunc>(dlsym(lib, "AdbcDriverInit"));
    AdbcDriver d{};
    ASSERT_EQ(init(ADBC_VERSION_1_0_0, &d, nullptr), ADBC_STATUS_OK);
    AdbcDatabase db{};
    AdbcConnection conn{};
    AdbcStatement stmt{};
    ASSERT_EQ(d.DatabaseNew(&db, nullptr), ADBC_STATUS_OK);
    d.DatabaseSetOption(&db, "uri", cp, nullptr);
    d.DatabaseSetOption(&db, "username", "scanner", nullptr);
    d.DatabaseSetOption(&db, "password", plain, nullptr);
    explicit_bzero(plain, sizeof plain);
    ASSERT_EQ(d.DatabaseInit(&db, nullptr), ADBC_STATUS_OK);
    // While the database holds the password the scan must find it: proof that it can.
    std::printf("live=%zu\n", count_in_memory(masked));
    for (int round = 0; round < 2; ++round) {  // the second connection reuses the cached token
      ASSERT_EQ(d.ConnectionNew(&conn, nullptr), ADBC_STATUS_OK);
      AdbcError e{};
      ASSERT_EQ(d.ConnectionInit(&conn, &db, &e), ADBC_STATUS_OK) << (e.message ? e.message : "");
      ASSERT_EQ(d.StatementNew(&conn, &stmt, nullptr), ADBC_STATUS_OK);
      d.StatementSetSqlQuery(&stmt, "SELECT 1", nullptr);
      ArrowArrayStream stream{};
      ASSERT_EQ(d.StatementExecuteQuery(&stmt, &stream, nullptr, nullptr), ADBC_STATUS_OK);
      stream.release(&stream);
      d.StatementRelease(&stmt, nullptr);
      d.ConnectionRelease(&conn, nullptr);
    }
    d.DatabaseRelease(&db, nullptr);
  }
  std::printf("copies=%zu\n", count_in_memory(masked));
  std::fflush(stdout);
}

TEST(PasswordMemory, NothingLeftAfterTheLastHandle) {
  if (nv_test::kSanitizerAllocator) GTEST_SKIP() << "memory scan runs without sanitizers";
  // A long random password: no short-string storage, no accidental match.
  std::mt19937_64 rng(std::random_device{}());
  std::string password;
  for (int i = 0; i < 40; ++i) password.push_back(static_cast<char>('a' + rng() % 26));
  nv_test::LocalSvcOptions opts;
  opts.seed_demo = false;
  opts.extra_args = {"--user", "scanner:" + password};
  std::string err;
  auto svc = nv_test::LocalSvc::Start(opts, &err);
  ASSERT_NE(svc, nullptr) << err;

  int status = -1;
  const std::string output = nv_test::run_self(
      {"--gtest_filter=PasswordMemoryChild.ScanAfterRelease"}, &status,
      {password, {"NV_PASSWORD_SCAN_URL=" + svc->control_plane_url()}});
  ASSERT_EQ(status, 0) << output;
  EXPECT_EQ(output.find("live=0\n"), std::string::npos) << output;
  EXPECT_NE(output.find("live="), std::string::npos) << output;
  EXPECT_NE(output.find("copies=0\n"), std::string::npos) << output;
}

}  // namespace
