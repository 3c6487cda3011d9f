// The snapshot poller asks for the catalog version exactly as a live connection of the cached
// entry would: with its TLS settings (a private CA) and through its proxy.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "adbc/loopback_proxy.h"
#include "adbc/state_internal.h"
#include "adbc/catalog_internal.h"
#include "metadata/snapshot_cache_internal.h"
#include "norvale/nv_core.h"
#include "norvale/nv_snapshot.h"
#include "support/localsvc_fixture.h"
#include "snapshot_fixture.h"

namespace {

using namespace norvale::adbc;

// A connection as AdbcConnectionInit and a first metadata call set it up, with the given
// request settings.
class PolledConnection {
 public:
  PolledConnection(const nv_test::LocalSvc& svc, const NVTlsConfig* tls,
                   const NVConnExtras* extras) {
    db_.uri = strdup(svc.control_plane_url().c_str());
    db_.username = strdup(nv_test::LocalSvc::kUser);
    state_.database = &db_;
    char err[1024] = "";
    state_.connection = nv_connect(db_.uri, svc.node_url(0).c_str(), nullptr, nullptr,
                                   db_.username, nv_test::LocalSvc::kPassword, tls, extras, err,
                                   sizeof err);
    EXPECT_NE(state_.connection, nullptr) << err;
    info_schema_attach(&state_);
    info_schema_refresh(&state_);
  }
  ~PolledConnection() {
    info_schema_detach(&state_);
    nv_disconnect(state_.connection);
    std::free(db_.uri);
    std::free(db_.username);
  }
  NVAdbcConnectionState* state() { return &state_; }

 private:
  NVAdbcDatabaseState db_{};
  NVAdbcConnectionState state_{};
};

// The sequence the service reports now, asked for with the given TLS settings.
uint64_t sequence_now(const nv_test::LocalSvc& svc, const NVTlsConfig* tls) {
  const std::string token = svc.Login();
  NVCatalogVersion v{};
  char err[256] = "";
  EXPECT_EQ(nv_route_fetch_epoch(svc.control_plane_url().c_str(), token.c_str(), tls, nullptr,
                                 nullptr, &v, err, sizeof err),
            0)
      << err;
  return v.sequence;
}

class PollerTlsNetTest : public nv_test::LocalSvcTest {
 protected:
  static void SetUpTestSuite() {
    nv_test::LocalSvcOptions opts;
    opts.tls = true;
    StartShared(opts);
  }
  void SetUp() override {
    LocalSvcTest::SetUp();
    snapshot_cache_clear();
  }
  void TearDown() override { snapshot_cache_clear(); }
};

TEST_F(PollerTlsNetTest, PollsWithTheConnectionsPrivateCa) {
  NVTlsConfig tls;
  nv_tls_config_init(&tls);
  tls.encrypt = 3;  // strict: the certificate must chain to the CA given
  tls.ca_certificate = svc().tls_files().ca_cert.c_str();
  PolledConnection conn(svc(), &tls, nullptr);
  ASSERT_NE(info_schema_batch_get(conn.state(), kRsTables), nullptr);
  ASSERT_TRUE(snapshot_poller_started_for_test());

  const int64_t polls = svc().Counter("requests.version");
  const uint64_t rounds = snapshot_poller_rounds_for_test();
  ASSERT_TRUE(nvtest::wait_for_poller([&] { return svc().Counter("requests.version") >= polls + 2; }))
      << "the poller never reached the service over TLS: rounds " << rounds << " -> "
      << snapshot_poller_rounds_for_test() << ", target "
      << (snapshot_cache_poll_target() ? snapshot_cache_poll_target()->url : "none")
      << ", cache " << snapshot_cache_size_for_test();
  EXPECT_EQ(snapshot_poller_last_sequence_for_test(), sequence_now(svc(), &tls));
}

class PollerProxyNetTest : public nv_test::LocalSvcTest {
 protected:
  void SetUp() override {
    LocalSvcTest::SetUp();
    snapshot_cache_clear();
  }
  void TearDown() override { snapshot_cache_clear(); }
};

TEST_F(PollerProxyNetTest, PollsThroughTheConnectionsProxy) {
  nv_test::LoopbackProxy proxy;
  ASSERT_TRUE(proxy.ok());
  const std::string proxy_url = proxy.url();
  NVConnExtras extras{};
  extras.proxy_url = proxy_url.c_str();
  {
    PolledConnection conn(svc(), nullptr, &extras);
    ASSERT_NE(info_schema_batch_get(conn.state(), kRsTables), nullptr);
    const std::string version_line =
        "GET " + svc().control_plane_url() + "/api/v1/events/version HTTP/1.1";
    auto proxied_polls = [&] {
      int n = 0;
      for (const auto& line : proxy.request_lines()) n += line == version_line ? 1 : 0;
      return n;
    };
    ASSERT_TRUE(nvtest::wait_for_poller([&] { return proxied_polls() >= 2; }))
        << "the poller bypassed the proxy";
  }
  // With the connection released the entry has no settings to poll with: nothing is sent.
  const size_t lines = proxy.request_lines().size();
  const int64_t polls = svc().Counter("requests.version");
  const uint64_t rounds = snapshot_poller_rounds_for_test();
  ASSERT_TRUE(nvtest::wait_for_poller([&] { return snapshot_poller_rounds_for_test() >= rounds + 3; }));
  EXPECT_EQ(proxy.request_lines().size(), lines);
  EXPECT_EQ(svc().Counter("requests.version"), polls);
}

}  // namespace
