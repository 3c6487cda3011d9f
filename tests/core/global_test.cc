#include <curl/curl.h>

#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/global_internal.h"
#include "norvale/nv_global.h"

namespace {

TEST(GlobalInit, ConcurrentCallsInitialiseOnceAndCount) {
  int before = norvale::global_init_refcount();
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([] {
      for (int j = 0; j < 10; ++j) EXPECT_EQ(nv_global_init(), 0);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(norvale::global_init_refcount(), before + 80);
  for (int i = 0; i < 80; ++i) nv_global_cleanup();
  EXPECT_EQ(norvale::global_init_refcount(), before);
  // libcurl is never de-initialised: a handle still works after every cleanup.
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy(curl_easy_init(), curl_easy_cleanup);
  EXPECT_NE(easy, nullptr);
}

TEST(GlobalInit, FailedInitialisationIsFinal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        norvale::global_init_force_failure_for_test();
        bool ok = nv_global_init() == -1 && nv_global_init() == -1 &&
                  norvale::global_init_refcount() == 0;
        std::_Exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(UserAgent, WithAndWithoutApplicationName) {
  EXPECT_STREQ(nv_version(), "1.0.0-alpha");
  EXPECT_EQ(norvale::user_agent_from_extras(nullptr), "Norvale-ODBC/1.0.0-alpha");
  NVConnExtras extras{};
  EXPECT_EQ(norvale::user_agent_from_extras(&extras), "Norvale-ODBC/1.0.0-alpha");
  extras.application_name = "";
  EXPECT_EQ(norvale::user_agent_from_extras(&extras), "Norvale-ODBC/1.0.0-alpha");
  extras.application_name = "BI";
  EXPECT_EQ(norvale::user_agent_from_extras(&extras), "Norvale-ODBC/1.0.0-alpha BI");
}

TEST(ShareAndKeepAlive, NullHandlesAndAShare) {
  ASSERT_EQ(nv_global_init(), 0);
  EXPECT_EQ(nv_curl_apply_share_and_keepalive(nullptr, nullptr), 0);
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy(curl_easy_init(), curl_easy_cleanup);
  ASSERT_NE(easy, nullptr);
  EXPECT_EQ(nv_curl_apply_share_and_keepalive(easy.get(), nullptr), CURLE_OK);
  std::unique_ptr<CURLSH, decltype(&curl_share_cleanup)> share(curl_share_init(),
                                                               curl_share_cleanup);
  curl_share_setopt(share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  EXPECT_EQ(nv_curl_apply_share_and_keepalive(easy.get(), share.get()), CURLE_OK);
  easy.reset();  // the easy handle must go before its share
  nv_global_cleanup();
}

}  // namespace
