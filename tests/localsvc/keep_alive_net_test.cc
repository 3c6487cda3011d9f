// Client connections stay open: after error answers as after successful ones, and while they
// idle, for the service's keep-alive time.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/localsvc/net_helpers.h"

namespace nv_test {
namespace {

class KeepAliveTest : public LocalSvcTest {};

TEST_F(KeepAliveTest, ErrorAnswersKeepTheConnection) {
  const std::string token = svc().Login();
  const std::string cp = svc().control_plane_url();
  const std::string node = svc().node_url();
  struct Step {
    std::string url;
    std::string token;
    std::string post;
    long status;
  };
  const Step steps[] = {
      {cp + "/api/v1/events/version", "", "", 401},
      {cp + "/api/v1/events/version", token, "", 200},
      {cp + "/api/v1/no/such/endpoint", token, "", 404},
      {node + "/api/v1/query/stream/binary", token, R"({"sql":"SELECT * FROM no_such_table"})",
       404},
      {node + "/api/v1/query/stream/binary", token, R"({"sql":"SELEC 1"})", 400},
      {node + "/api/v1/query/stream/binary", token, R"({"sql":"SELECT 1"})", 200},
  };
  KeptClient control, compute;
  for (size_t i = 0; i < std::size(steps); ++i) {
    const Step& s = steps[i];
    SCOPED_TRACE(s.url + " " + s.post);
    KeptClient& client = s.url.rfind(node, 0) == 0 ? compute : control;
    const KeptClient::Reply r = client.Send(s.url, s.token, s.post);
    EXPECT_EQ(r.status, s.status);
    EXPECT_EQ(r.head.find("Connection: close"), std::string::npos);
    // Each client connects once, for its first request (steps 0 and 3).
    EXPECT_EQ(r.new_connections, (i == 0 || i == 3) ? 1 : 0);
  }
}

TEST_F(KeepAliveTest, AnIdleConnectionIsKeptForAMinuteByDefault) {
  KeptClient client;
  const KeptClient::Reply r = client.Send(svc().control_plane_url() + "/api/v1/events/version",
                                      svc().Login());
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.head.find("Keep-Alive: timeout=60"), std::string::npos) << r.head;
}

TEST(KeepAliveOption, AConnectionIdleLongerThanTheKeepAliveTimeIsClosed) {
  LocalSvcOptions opts;
  opts.seed_demo = false;
  opts.extra_args = {"--keep-alive", "1"};
  std::string err;
  auto svc = LocalSvc::Start(opts, &err);
  ASSERT_NE(svc, nullptr) << err;
  const std::string url = svc->control_plane_url() + "/api/v1/events/version";
  const std::string token = svc->admin_token();
  KeptClient client;
  EXPECT_EQ(client.Send(url, token).new_connections, 1);
  EXPECT_EQ(client.Send(url, token).new_connections, 0);  // within the keep-alive time
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_EQ(client.Send(url, token).new_connections, 1);  // the service closed it
}

}  // namespace
}  // namespace nv_test
