#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/nvsql/options.h"

namespace {

struct Parsed {
  bool ok;
  std::string err;
  nvsql::Options options;
};

Parsed parse(std::vector<const char*> args) {
  args.insert(args.begin(), "nvsql");
  Parsed p;
  p.ok = nvsql::parse_options(static_cast<int>(args.size()), args.data(), &p.options, &p.err);
  return p;
}

TEST(NvsqlOptions, ConnectionAndOutputFlags) {
  const Parsed p = parse({"--uri", "http://127.0.0.1:1", "--user", "u", "--password", "pw",
                          "--compute-node", "node-1", "--tls-encrypt", "mandatory",
                          "--tls-trust-server-cert", "--option", "adbc.norvale.proxy_url=http://p",
                          "--format", "csv", "--max-rows", "-1", "SELECT 1", "SELECT 2"});
  ASSERT_TRUE(p.ok) << p.err;
  EXPECT_EQ(p.options.uri, "http://127.0.0.1:1");
  EXPECT_EQ(p.options.user, "u");
  EXPECT_TRUE(p.options.password_given);
  EXPECT_EQ(p.options.compute_node, "node-1");
  EXPECT_EQ(p.options.format, nvsql::Format::kCsv);
  EXPECT_EQ(p.options.max_rows, -1);
  const std::vector<std::pair<std::string, std::string>> db = {
      {"adbc.norvale.tls.encrypt", "mandatory"},
      {"adbc.norvale.tls.trust_server_cert", "true"},
      {"adbc.norvale.proxy_url", "http://p"}};
  EXPECT_EQ(p.options.db_options, db);
  EXPECT_EQ(p.options.statements, (std::vector<std::string>{"SELECT 1", "SELECT 2"}));
}

TEST(NvsqlOptions, Refusals) {
  struct Case {
    std::vector<const char*> args;
    std::string err;
  };
  const std::vector<Case> cases = {
      {{"SELECT 1"}, "give --uri or --local"},
      {{"--local", "--format", "xml", "SELECT 1"}, "--format must be table, csv, arrow or parquet"},
      {{"--local", "--format", "parquet", "SELECT 1"},
       "--format arrow and parquet write to a file: give --output FILE"},
      {{"--local", "--max-rows", "ten", "SELECT 1"}, "--max-rows must be an integer of -1 or more"},
      {{"--local", "--max-rows", "-2", "SELECT 1"}, "--max-rows must be an integer of -1 or more"},
      {{"--local", "--option", "=x", "SELECT 1"}, "--option takes KEY=VALUE"},
      {{"--local", "--option", "novalue", "SELECT 1"}, "--option takes KEY=VALUE"},
      {{"--local", "--bogus", "SELECT 1"}, "unknown option --bogus"},
      {{"--local", "SELECT 1", "--uri"}, "missing value for --uri"},
      {{"--local", "-f", "/nonexistent/file.sql"}, "cannot read /nonexistent/file.sql"},
  };
  for (const auto& c : cases) {
    const Parsed p = parse(c.args);
    EXPECT_FALSE(p.ok);
    EXPECT_EQ(p.err, c.err);
  }
  EXPECT_TRUE(parse({"--help"}).options.help);
  // Without SQL the shell reads standard input; --format arrow then needs \o, not --output.
  const Parsed shell = parse({"--local", "--no-progress", "--format", "arrow"});
  EXPECT_TRUE(shell.ok) << shell.err;
  EXPECT_TRUE(shell.options.statements.empty());
  EXPECT_FALSE(shell.options.progress);
  EXPECT_TRUE(parse({"--local", "--format", "arrow", "-o", "/tmp/x.arrow", "SELECT 1"}).ok);
}

}  // namespace
