// The process's socket pool against the local service: connections of the process reuse each
// other's TCP connections, a connection's token never travels in another's requests, a child of
// fork() works over sockets of its own, and many threads may open and close connections at once.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "norvale/nv_cells.h"
#include "norvale/nv_core.h"
#include "norvale/nv_query.h"
#include "support/delay_proxy.h"
#include "support/localsvc_fixture.h"
#include "support/sanitizer_build.h"

namespace {

using nv_test::LocalSvc;

constexpr const char* kBob = "bob";
constexpr const char* kBobPassword = "bob-secret";

class SocketPoolNet : public nv_test::LocalSvcTest {
 public:
  static void SetUpTestSuite() {
    nv_test::LocalSvcOptions opts;
    opts.seed_demo = false;
    opts.extra_args = {"--user", std::string(kBob) + ":" + kBobPassword};
    StartShared(opts);
  }

 protected:
  NVConnection* connect(const char* user, const char* password,
                        const NVConnExtras* extras = nullptr) {
    char err[512] = "";
    NVConnection* conn = nv_connect(svc().control_plane_url().c_str(), nullptr, nullptr, nullptr,
                                    user, password, nullptr, extras, err, sizeof(err));
    EXPECT_NE(conn, nullptr) << err;
    return conn;
  }

  // Runs `sql` to the end; false (with a test failure) when it fails.
  static bool query(NVConnection* conn, const std::string& sql) {
    char err[512] = "";
    NVQueryHandle* q = nv_execute(conn, sql.c_str(), 0, 30, err, sizeof(err));
    if (q == nullptr) {
      ADD_FAILURE() << sql << ": " << err;
      return false;
    }
    while (NVArrowBatch* b = nv_next_batch(q, err, sizeof(err))) nv_batch_free(b);
    const bool ok = nv_query_error(q) == nullptr;
    if (!ok) ADD_FAILURE() << sql << ": " << nv_query_error(q);
    nv_query_close(q);
    return ok;
  }
};

TEST_F(SocketPoolNet, ALaterConnectionReusesTheSocketsOfAReleasedOne) {
  NVConnection* first = connect(LocalSvc::kUser, LocalSvc::kPassword);
  ASSERT_NE(first, nullptr);
  ASSERT_TRUE(query(first, "SELECT 1"));
  svc().AwaitCounter("confirms", 1);
  nv_disconnect(first);
  svc().ClearFaults();  // counts from here on

  // Cached token: recommend and confirm on the control-plane socket, the query on the node's.
  NVConnection* second = connect(LocalSvc::kUser, LocalSvc::kPassword);
  ASSERT_NE(second, nullptr);
  ASSERT_TRUE(query(second, "SELECT 2"));
  svc().AwaitCounter("confirms", 1);
  nv_disconnect(second);
  EXPECT_EQ(svc().Counter("connections_opened"), 0) << "control plane and node";
  EXPECT_GE(svc().Counter("connections"), 2);
  EXPECT_EQ(svc().Counter("logins"), 0);
}

// A child of fork() queries over sockets of its own; the parent's sockets, idle in the pool
// meanwhile, still carry the parent's next query. Had the child written on an inherited TLS
// connection, or closed one down, the parent would need a new one.
TEST_F(SocketPoolNet, AForkedChildLeavesTheParentsSocketsWorking) {
  if (nv_test::kThreadSanitizer) GTEST_SKIP() << "no threads after fork under ThreadSanitizer";
  NVConnection* parent = connect(LocalSvc::kUser, LocalSvc::kPassword);
  ASSERT_NE(parent, nullptr);
  ASSERT_TRUE(query(parent, "SELECT 1"));
  svc().AwaitCounter("confirms", 1);
  svc().ClearFaults();  // counts from here on

  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    char err[512] = "";
    NVConnection* own = nv_connect(svc().control_plane_url().c_str(), nullptr, nullptr, nullptr,
                                   LocalSvc::kUser, LocalSvc::kPassword, nullptr, nullptr, err,
                                   sizeof(err));
    if (own == nullptr) _exit(1);
    NVQueryHandle* q = nv_execute(own, "SELECT 'child'", 0, 30, err, sizeof(err));
    if (q == nullptr) _exit(2);
    while (NVArrowBatch* b = nv_next_batch(q, err, sizeof(err))) nv_batch_free(b);
    const bool ok = nv_query_error(q) == nullptr;
    nv_query_close(q);
    nv_disconnect(own);
    _exit(ok ? 0 : 3);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0) << "1: connect, 2: execute, 3: reading the result";
  const int64_t opened_by_child = svc().Counter("connections_opened");
  EXPECT_GE(opened_by_child, 1) << "the child used the parent's sockets";

  ASSERT_TRUE(query(parent, "SELECT 2"));
  EXPECT_EQ(svc().Counter("connections_opened"), opened_by_child)
      << "the parent's sockets did not survive the child";
  nv_disconnect(parent);
}

// Requests of two users in one process, interleaved over the shared sockets: each carries its
// own token and nobody else's. The proxy records what each TCP connection carried.
TEST_F(SocketPoolNet, TokensNeverCrossConnections) {
  nv_test::DelayProxy proxy(std::chrono::microseconds(0), /*record=*/true);
  ASSERT_TRUE(proxy.ok());
  const std::string proxy_url = proxy.url();
  NVConnExtras extras{};
  extras.proxy_url = proxy_url.c_str();
  NVConnection* alice = connect(LocalSvc::kUser, LocalSvc::kPassword, &extras);
  NVConnection* bob = connect(kBob, kBobPassword, &extras);
  ASSERT_NE(alice, nullptr);
  ASSERT_NE(bob, nullptr);
  const std::string alice_token = nv_connection_session_token(alice);
  const std::string bob_token = nv_connection_session_token(bob);
  ASSERT_NE(alice_token, bob_token);
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(query(alice, "SELECT 'from-alice' AS who"));
    ASSERT_TRUE(query(bob, "SELECT 'from-bob' AS who"));
  }
  nv_disconnect(alice);
  nv_disconnect(bob);

  int shared = 0, queries = 0;
  for (const auto& conn : proxy.recorded()) {
    bool carried_alice = false, carried_bob = false;
    // Requests one after another: head, blank line, body of Content-Length bytes.
    size_t at = 0;
    while (at < conn.sent.size()) {
      const size_t head_end = conn.sent.find("\r\n\r\n", at);
      ASSERT_NE(head_end, std::string::npos);
      const std::string head = conn.sent.substr(at, head_end - at);
      size_t length = 0;
      const size_t cl = head.find("Content-Length: ");
      if (cl != std::string::npos) length = std::strtoul(head.c_str() + cl + 16, nullptr, 10);
      const std::string request = conn.sent.substr(at, head_end + 4 + length - at);
      at = head_end + 4 + length;
      const bool has_alice = request.find(alice_token) != std::string::npos;
      const bool has_bob = request.find(bob_token) != std::string::npos;
      EXPECT_FALSE(has_alice && has_bob) << request;
      carried_alice |= has_alice;
      carried_bob |= has_bob;
      if (request.find("from-alice") != std::string::npos) {
        ++queries;
        EXPECT_TRUE(has_alice && !has_bob) << request;
      }
      if (request.find("from-bob") != std::string::npos) {
        ++queries;
        EXPECT_TRUE(has_bob && !has_alice) << request;
      }
    }
    if (carried_alice && carried_bob) ++shared;
  }
  EXPECT_EQ(queries, 8);
  EXPECT_GT(shared, 0) << "the two connections never shared a socket";
}

// Sixteen threads open connections, run a query and close them again, all at once (run under
// ThreadSanitizer by scripts/tsan).
TEST_F(SocketPoolNet, SixteenThreadsOpenAndCloseConnections) {
  constexpr int kThreads = 16, kRounds = 4;
  std::atomic<int> done{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int r = 0; r < kRounds; ++r) {
        const bool as_bob = (t + r) % 2 == 1;
        NVConnection* conn = connect(as_bob ? kBob : LocalSvc::kUser,
                                     as_bob ? kBobPassword : LocalSvc::kPassword);
        if (conn == nullptr) return;
        if (query(conn, "SELECT " + std::to_string(t * 100 + r))) ++done;
        nv_disconnect(conn);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(done.load(), kThreads * kRounds);
  // Far fewer sockets than connections: most connections found one left by another.
  EXPECT_LT(svc().Counter("connections_opened"), kThreads * kRounds);
}

}  // namespace
