// The process's socket pools, without a server: which connections share one, and what a child
// of fork() does with the pools it inherits.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "core/socket_pool_internal.h"
#include "norvale/nv_core.h"
#include "support/test_files.h"

namespace {

/// Owns an NVConnection for a test.
struct Conn {
  NVConnection* c = nullptr;
  ~Conn() { nv_disconnect(c); }
};

// A connection with a caller-given token and an explicit compute URL: no request is made.
NVConnection* connect(const NVTlsConfig* tls, const NVConnExtras* extras, const char* token) {
  char err[256] = "";
  NVConnection* conn = nv_connect("http://127.0.0.1:9", "http://127.0.0.1:9", nullptr, token,
                                  nullptr, nullptr, tls, extras, err, sizeof(err));
  EXPECT_NE(conn, nullptr) << err;
  return conn;
}

TEST(SocketPool, ConnectionsShareOnlyWithEqualTransportSettings) {
  // The TLS files only have to be readable.
  nv_test::TempDir dir;
  const std::string ca = dir.path() + "/ca.pem", cert = dir.path() + "/client.pem",
                    key = dir.path() + "/client.key";
  for (const std::string& path : {ca, cert, key}) std::ofstream(path) << "-";
  NVTlsConfig plain;
  nv_tls_config_init(&plain);
  const NVConnExtras no_extras{};
  Conn first{connect(&plain, &no_extras, "token-a")};
  void* shared = nv_connection_curl_share(first.c);
  ASSERT_NE(shared, nullptr);
  {
    // Another user's token, another application name: the same sockets.
    NVConnExtras named{};
    named.application_name = "BI";
    Conn second{connect(&plain, &named, "token-b")};
    EXPECT_EQ(nv_connection_curl_share(second.c), shared);
  }
  {
    // A released connection leaves its pool to the next one.
    Conn again{connect(&plain, &no_extras, "token-c")};
    EXPECT_EQ(nv_connection_curl_share(again.c), shared);
  }

  struct Case {
    const char* what;
    NVTlsConfig tls;
    NVConnExtras extras;
  };
  auto tls_with = [&](auto change) {
    NVTlsConfig t = plain;
    change(t);
    return t;
  };
  auto extras_with = [](const char* url, const char* user, const char* pass) {
    NVConnExtras e{};
    e.proxy_url = url;
    e.proxy_user = user;
    e.proxy_pass = pass;
    return e;
  };
  const Case cases[] = {
      {"CA bundle", tls_with([&](NVTlsConfig& t) { t.ca_certificate = ca.c_str(); }),
       no_extras},
      {"client certificate", tls_with([&](NVTlsConfig& t) {
         t.client_cert = cert.c_str();
         t.client_key = key.c_str();
       }),
       no_extras},
      {"verification off", tls_with([](NVTlsConfig& t) { t.trust_server_certificate = 1; }),
       no_extras},
      {"minimum version", tls_with([](NVTlsConfig& t) { t.min_tls_version = 13; }), no_extras},
      {"host name in certificate",
       tls_with([](NVTlsConfig& t) { t.hostname_in_certificate = "node.example"; }), no_extras},
      {"proxy", plain, extras_with("http://127.0.0.1:3128", nullptr, nullptr)},
      {"proxy user", plain, extras_with("http://127.0.0.1:3128", "u1", "p")},
      {"proxy password", plain, extras_with("http://127.0.0.1:3128", "u1", "p2")},
  };
  std::vector<void*> seen = {shared};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Conn conn{connect(&c.tls, &c.extras, "token-a")};
    void* share = nv_connection_curl_share(conn.c);
    ASSERT_NE(share, nullptr);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), share), 0) << "shares sockets with another";
    seen.push_back(share);
    // The same settings again meet the same pool.
    Conn twin{connect(&c.tls, &c.extras, "token-b")};
    EXPECT_EQ(nv_connection_curl_share(twin.c), share);
  }
}

// A child of fork() must not use the sockets and TLS states it inherited: the parent still
// uses them. Its inherited connections go without a pool, new ones get pools of their own, and
// the parent's pool is untouched.
TEST(SocketPool, ForkedChildLeavesTheParentsSocketsAlone) {
  NVTlsConfig plain;
  nv_tls_config_init(&plain);
  Conn parent{connect(&plain, nullptr, "token-a")};
  void* before = nv_connection_curl_share(parent.c);
  ASSERT_NE(before, nullptr);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int failures = 0;
    if (nv_connection_curl_share(parent.c) != nullptr) failures |= 1;
    NVConnection* fresh = connect(&plain, nullptr, "token-b");
    void* own = nv_connection_curl_share(fresh);
    if (own == nullptr || own == before) failures |= 2;
    nv_disconnect(fresh);
    nv_disconnect(parent.c);  // the inherited pool is forgotten, not cleaned up
    _exit(failures);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: inherited pool used, 2: no new pool in the child";
  EXPECT_EQ(nv_connection_curl_share(parent.c), before);
}

}  // namespace
