#include "localsvc/options.h"

#include <gtest/gtest.h>

namespace nv_localsvc {
namespace {

bool Parse(std::vector<std::string> args, Options* o, std::string* err) {
  args.insert(args.begin(), "norvale-localsvc");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  bool help = false;
  return parse_options(static_cast<int>(argv.size()), argv.data(), o, err, &help);
}

TEST(Options, AcceptsTheDocumentedForms) {
  Options o;
  std::string err;
  ASSERT_TRUE(Parse({"--port", "0", "--nodes", "2", "--user", "alice:pa:ss", "--client", "id:s",
                     "--seed", "demo", "--node-port", "9001", "--log-requests",
                     "--token-ttl", "60", "--keep-alive", "120"},
                    &o, &err))
      << err;
  EXPECT_EQ(o.nodes, 2);
  ASSERT_EQ(o.users.size(), 1u);
  EXPECT_EQ(o.users[0].second, "pa:ss");  // only the first colon splits
  EXPECT_EQ(o.node_ports, std::vector<int>{9001});
  EXPECT_TRUE(o.log_requests);
  EXPECT_EQ(o.token_ttl_seconds, 60);
  EXPECT_EQ(o.keep_alive_seconds, 120);
}

TEST(Options, RejectsBadInputWithAMessage) {
  const std::vector<std::vector<std::string>> bad = {
      {"--port", "70000"},       {"--port", "12x"},         {"--nodes", "0"},
      {"--user", "nocolon"},     {"--user", ":pw"},         {"--seed", "huge"},
      {"--tls-cert", "c.pem"},   {"--tls-client-ca", "ca"}, {"--frobnicate", "1"},
      {"--keep-alive", "0"},     {"--port"},
  };
  for (const auto& args : bad) {
    Options o;
    std::string err;
    EXPECT_FALSE(Parse(args, &o, &err)) << args[0];
    EXPECT_FALSE(err.empty()) << args[0];
  }
}

}  // namespace
}  // namespace nv_localsvc
