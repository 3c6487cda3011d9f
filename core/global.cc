#include <curl/curl.h>

#include <atomic>
#include <mutex>
#include <string>

#include "core/global_internal.h"

namespace norvale {
namespace {

std::once_flag g_curl_once;
int g_curl_init_result = -1;  // 0 once curl_global_init succeeded
std::atomic<int> g_refcount{0};
bool g_force_failure = false;

constexpr long kKeepAliveSeconds = 30;
// Idle connections a shared pool keeps (libcurl's default, 5, is for one handle's own pool:
// with many threads using one share it would close most connections as they return to it).
constexpr long kSharedPoolConnections = 64;

}  // namespace

std::string user_agent_from_extras(const NVConnExtras* extras) {
  std::string agent = "Norvale-ODBC/";
  agent += nv_version();
  if (extras != nullptr && extras->application_name != nullptr &&
      extras->application_name[0] != '\0') {
    agent += ' ';
    agent += extras->application_name;
  }
  return agent;
}

void global_init_force_failure_for_test() { g_force_failure = true; }

int global_init_refcount() { return g_refcount.load(); }

}  // namespace norvale

extern "C" {

int nv_global_init(void) {
  std::call_once(norvale::g_curl_once, [] {
    if (norvale::g_force_failure) {
      norvale::g_curl_init_result = -1;
      return;
    }
    norvale::g_curl_init_result = curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK ? 0 : -1;
  });
  if (norvale::g_curl_init_result == -1) return -1;
  norvale::g_refcount.fetch_add(1);
  return 0;
}

// libcurl stays initialised for the life of the process: other threads may still hold handles.
void nv_global_cleanup(void) { norvale::g_refcount.fetch_sub(1); }

const char* nv_version(void) { return "1.0.0-alpha"; }

int nv_curl_apply_share_and_keepalive(void* curl, void* share) {
  if (curl == nullptr) return 0;
  CURL* easy = static_cast<CURL*>(curl);
  if (share != nullptr) {
    curl_easy_setopt(easy, CURLOPT_SHARE, static_cast<CURLSH*>(share));
    curl_easy_setopt(easy, CURLOPT_MAXCONNECTS, norvale::kSharedPoolConnections);
  }
  curl_easy_setopt(easy, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(easy, CURLOPT_TCP_KEEPIDLE, norvale::kKeepAliveSeconds);
  return static_cast<int>(
      curl_easy_setopt(easy, CURLOPT_TCP_KEEPINTVL, norvale::kKeepAliveSeconds));
}

}  // extern "C"
