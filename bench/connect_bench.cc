// Connect cost with the session-token cache warm, beside one plain control-plane request to
// the same local service in the same run:
//   ConnectExplicitUrl  - cached token, explicit compute URL: no request at all (client cost)
//   ConnectRecommend    - cached token, recommend + confirm (two requests per connect)
//   PlainRequest        - one GET of the catalog version through do_http
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

#include "core/http_internal.h"
#include "core/session_cache_internal.h"
#include "norvale/nv_core.h"
#include "support/localsvc_fixture.h"

namespace {

nv_test::LocalSvc* service() {
  static std::unique_ptr<nv_test::LocalSvc> svc = [] {
    std::string err;
    auto s = nv_test::LocalSvc::Start(nv_test::LocalSvcOptions{}, &err);
    if (!s) std::fprintf(stderr, "local service failed to start: %s\n", err.c_str());
    return s;
  }();
  return svc.get();
}

void connect_loop(benchmark::State& state, bool explicit_url) {
  nv_test::LocalSvc* svc = service();
  if (svc == nullptr) {
    state.SkipWithError("no local service");
    return;
  }
  const std::string cp = svc->control_plane_url();
  const char* compute = explicit_url ? svc->node_url().c_str() : nullptr;
  char err[1024];
  // Warm the token cache with one login.
  norvale::session_cache_clear_for_test();
  nv_disconnect(nv_connect(cp.c_str(), compute, nullptr, nullptr, nv_test::LocalSvc::kUser,
                           nv_test::LocalSvc::kPassword, nullptr, nullptr, err, sizeof(err)));
  for (auto _ : state) {
    NVConnection* conn =
        nv_connect(cp.c_str(), compute, nullptr, nullptr, nv_test::LocalSvc::kUser,
                   nv_test::LocalSvc::kPassword, nullptr, nullptr, err, sizeof(err));
    if (conn == nullptr) {
      state.SkipWithError(err);
      return;
    }
    nv_disconnect(conn);
  }
  state.counters["logins"] = static_cast<double>(svc->Counter("logins"));
}

void BM_ConnectExplicitUrl(benchmark::State& state) { connect_loop(state, true); }
void BM_ConnectRecommend(benchmark::State& state) { connect_loop(state, false); }

void BM_PlainRequest(benchmark::State& state) {
  nv_test::LocalSvc* svc = service();
  if (svc == nullptr) {
    state.SkipWithError("no local service");
    return;
  }
  const std::string token = svc->Login();
  const std::string url = svc->control_plane_url() + "/api/v1/events/version";
  std::string response;
  char err[512];
  for (auto _ : state) {
    if (norvale::do_http(url.c_str(), "GET", nullptr, token.c_str(), nullptr, nullptr, nullptr,
                         &response, err, sizeof(err)) != 200) {
      state.SkipWithError(err);
      return;
    }
  }
}

BENCHMARK(BM_ConnectExplicitUrl)->Iterations(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ConnectRecommend)->Iterations(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PlainRequest)->Iterations(1000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
