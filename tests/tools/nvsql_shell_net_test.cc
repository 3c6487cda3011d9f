// The nvsql shell end to end against the local service: at a (pseudo-)terminal, and as a script
// on standard input. The service's counters show which requests reached a compute node.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "nvsql_process.h"
#include "support/localsvc_fixture.h"

namespace {

using nvsql_test::NvsqlRun;
using nvsql_test::NvsqlTerminal;

class NvsqlShellNet : public nv_test::LocalSvcTest {
 protected:
  std::vector<std::string> connection() const {
    return {"--uri", svc().control_plane_url(), "--user", nv_test::LocalSvc::kUser,
            "--password", nv_test::LocalSvc::kPassword};
  }
  std::vector<std::string> with(std::vector<std::string> extra) const {
    std::vector<std::string> args = connection();
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
  // A statement the service holds back for `ms` before answering.
  void delay_next_query(int ms) const {
    svc().AddFault({{"endpoint", "query"}, {"delay_ms", ms}});
  }
};

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST_F(NvsqlShellNet, InteractiveSession) {
  const std::string data_home = nvsql_test::temp_path("data");
  const std::string history = data_home + "/nvsql/history";
  // A history file left readable by others is made private again.
  ASSERT_EQ(system(("mkdir -p " + data_home + "/nvsql").c_str()), 0);
  std::ofstream(history) << "";
  chmod(history.c_str(), 0644);

  NvsqlTerminal term(connection(), {"XDG_DATA_HOME=" + data_home, "TERM=xterm"});
  ASSERT_TRUE(term.started());
  ASSERT_TRUE(term.expect("nvsql=> ")) << term.shown();

  // A statement over two lines: the second prompt says the statement goes on.
  term.type("SELECT 6 *\r");
  ASSERT_TRUE(term.expect("nvsql-> ")) << term.unmatched();
  term.type("7000 AS answer;\r");
  ASSERT_TRUE(term.expect("42000")) << term.unmatched();
  ASSERT_TRUE(term.expect("(1 row)")) << term.unmatched();
  ASSERT_TRUE(term.expect("nvsql=> ")) << term.unmatched();

  // A ; inside quotes does not end the statement.
  term.type("SELECT 'semi;colon' || '!' AS quoted;\r");
  ASSERT_TRUE(term.expect("semi;colon!")) << term.unmatched();
  ASSERT_TRUE(term.expect("nvsql=> ")) << term.unmatched();

  term.type("\\dt sales.%\r");
  ASSERT_TRUE(term.expect("customers")) << term.unmatched();
  ASSERT_TRUE(term.expect("BASE TABLE")) << term.unmatched();
  ASSERT_TRUE(term.expect("nvsql=> ")) << term.unmatched();

  term.type("\\d sales.customers\r");
  ASSERT_TRUE(term.expect("Table \"sales.customers\"")) << term.unmatched();
  const std::string described_until = "Constraints:";
  ASSERT_TRUE(term.expect(described_until)) << term.unmatched();
  ASSERT_TRUE(term.expect("nvsql=> ")) << term.unmatched();
  const std::string described = term.shown();
  std::string customer_id_line;
  std::string full_name_line;
  std::istringstream lines(described);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("customer_id ", 0) == 0) customer_id_line = line;
    if (line.rfind("full_name ", 0) == 0) full_name_line = line;
  }
  EXPECT_NE(customer_id_line.find("INTEGER"), std::string::npos) << described;
  EXPECT_NE(customer_id_line.find("int32"), std::string::npos) << described;
  EXPECT_NE(customer_id_line.find("NOT NULL"), std::string::npos) << described;
  EXPECT_NE(customer_id_line.find("PRIMARY KEY"), std::string::npos) << described;
  EXPECT_NE(full_name_line.find("NOT NULL"), std::string::npos) << described;
  EXPECT_EQ(full_name_line.find("KEY"), std::string::npos) << described;

  term.type("\\timing on\r");
  ASSERT_TRUE(term.expect("Timing is on.")) << term.unmatched();
  term.type("SELECT 1 AS one;\r");
  ASSERT_TRUE(term.expect("Time: ")) << term.unmatched();
  ASSERT_TRUE(term.expect(" ms")) << term.unmatched();
  ASSERT_TRUE(term.expect("nvsql=> ")) << term.unmatched();

  // Ctrl-C while the service holds a statement back: the prompt comes back at once (well before
  // the 15 s delay ends), and the next statement runs.
  delay_next_query(15000);
  term.type("SELECT count(*) AS slow FROM sales.orders;\r");
  ASSERT_TRUE(term.expect("rows/s")) << "the progress line after a second: " << term.unmatched();
  const auto cancel_at = std::chrono::steady_clock::now();
  term.type("\x03");
  ASSERT_TRUE(term.expect("statement cancelled", 10)) << term.unmatched();
  ASSERT_TRUE(term.expect("nvsql=> ", 10)) << term.unmatched();
  EXPECT_LT(std::chrono::steady_clock::now() - cancel_at, std::chrono::seconds(10));
  term.type("SELECT 'after' || 'cancel' AS next;\r");
  ASSERT_TRUE(term.expect("aftercancel")) << term.unmatched();
  ASSERT_TRUE(term.expect("nvsql=> ")) << term.unmatched();
  EXPECT_EQ(term.shown().find("slow\r\n"), std::string::npos) << "the cancelled result prints";

  // A statement that holds the password given on the command line stays out of the history.
  term.type("SELECT 'alice-secret' AS pw;\r");
  ASSERT_TRUE(term.expect("nvsql=> ")) << term.unmatched();
  // Ctrl-C at the prompt drops the half-typed line; typed UTF-8 comes through whole.
  term.type("SELECT 'dropped'");
  term.type("\x03");
  ASSERT_TRUE(term.expect("nvsql=> ")) << term.unmatched();
  term.type("SELECT 'k\u00e9pt' || '!' AS k;\r");
  ASSERT_TRUE(term.expect("k\u00e9pt!")) << term.unmatched();
  ASSERT_TRUE(term.expect("nvsql=> ")) << term.unmatched();

  term.type("\x04");
  EXPECT_EQ(term.wait(), 0) << term.shown();

  struct stat st {};
  ASSERT_EQ(stat(history.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const std::string saved = slurp(history);
  EXPECT_NE(saved.find("answer"), std::string::npos) << saved;
  EXPECT_NE(saved.find("semi;colon"), std::string::npos) << saved;
  EXPECT_NE(saved.find("\\134dt"), std::string::npos) << "\\dt, as libedit writes it: " << saved;
  EXPECT_EQ(saved.find("alice-secret"), std::string::npos) << saved;
  EXPECT_EQ(saved.find("dropped"), std::string::npos) << saved;
  ASSERT_EQ(system(("rm -rf " + data_home).c_str()), 0);
}

// Ctrl-C cancels the statement through the driver: the service stops its work (it counts the
// interrupted query), and leaving right after does not wait for that work.
TEST_F(NvsqlShellNet, CtrlCStopsTheStatementInTheService) {
  NvsqlTerminal term(connection(), {"TERM=xterm", "XDG_DATA_HOME=" + nvsql_test::temp_path("x")});
  ASSERT_TRUE(term.expect("nvsql=> ")) << term.shown();
  // Hours of DuckDB work if nothing stops it.
  term.type("SELECT count(*) FROM range(10000000000000) t(i);\r");
  ASSERT_TRUE(term.expect("rows/s")) << term.unmatched();
  term.type("\x03");
  ASSERT_TRUE(term.expect("statement cancelled")) << term.unmatched();
  ASSERT_TRUE(term.expect("nvsql=> ")) << term.unmatched();
  EXPECT_EQ(svc().AwaitCounter("queries_interrupted", 1), 1);
  term.type("\x04");
  EXPECT_EQ(term.wait(30), 0) << term.shown();
  EXPECT_EQ(system(("rm -rf " + nvsql_test::temp_path("x")).c_str()), 0);
}

TEST_F(NvsqlShellNet, MetaCommandsNeverReachAComputeNode) {
  const NvsqlRun r = nvsql_test::run_nvsql(connection(), {},
                                           "\\dn\n"
                                           "\\dt\n"
                                           "\\dv sales.%\n"
                                           "\\d sales.customers\n"
                                           "\\d SALES.ORDER_ITEMS\n");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  for (const char* expected : {"inventory", "analytics", "stock_movements", "open_orders",
                               "PRIMARY KEY", "UNIQUE", "order_items", "FOREIGN KEY"}) {
    EXPECT_NE(r.out.find(expected), std::string::npos) << expected << " in\n" << r.out;
  }
  EXPECT_EQ(r.out.find("revenue_by_customer"), std::string::npos) << "\\dv sales.% only";
  EXPECT_EQ(svc().Counter("requests.query"), 0) << r.out;

  // The counter does count: a statement reaches the node.
  const NvsqlRun q = nvsql_test::run_nvsql(connection(), {}, "SELECT count(*) FROM sales.orders;");
  ASSERT_EQ(q.exit_code, 0) << q.err;
  EXPECT_EQ(svc().Counter("requests.query"), 1);
}

// \d shows each column's SQL type as the service reports it, with the Arrow type beside it.
TEST_F(NvsqlShellNet, DescribeShowsTheServicesTypes) {
  const NvsqlRun r = nvsql_test::run_nvsql(
      connection(), {},
      "CREATE TABLE sales.typed (flag BOOLEAN, amount DECIMAL(12, 2), tags VARCHAR[], "
      "dims STRUCT(w DOUBLE, h DOUBLE), seen_at TIMESTAMP WITH TIME ZONE);\n"
      "\\d sales.typed\n"
      "DROP TABLE sales.typed;\n");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  for (const char* row : {
           "flag    | BOOLEAN                    | bool                         |",
           "amount  | DECIMAL(12,2)              | decimal128(12, 2)            |",
           "tags    | VARCHAR[]                  | list<item: string>           |",
           "dims    | STRUCT(w DOUBLE, h DOUBLE) | struct<w: double, h: double> |",
           "seen_at | TIMESTAMP WITH TIME ZONE   | timestamp[us, tz=UTC]        |"}) {
    EXPECT_NE(r.out.find(std::string("\n") + row), std::string::npos) << row << " in\n" << r.out;
  }
  // CREATE and DROP reach the node; \d does not.
  EXPECT_EQ(svc().Counter("requests.query"), 2) << r.out;
}

TEST_F(NvsqlShellNet, Scripts) {
  const std::string included = nvsql_test::temp_path("included.sql");
  std::ofstream(included) << "SELECT 'from' || '-include' AS inc;\n";
  const std::string out_file = nvsql_test::temp_path("out.csv");
  // Statements over several lines, a quoted ;, a dollar-quoted body, comments holding ;, an
  // included file, output redirected as CSV, and a last statement without its ;.
  const NvsqlRun r = nvsql_test::run_nvsql(
      with({"-q"}), {},
      "-- a comment; with a semicolon\n"
      "SELECT 1 + /* ; */ 1\n"
      "  AS two;\n"
      "SELECT $$a;b$$ || 'c;' AS dollar; ;\n"
      "\\i " + included + "\n"
      "\\format csv\n"
      "\\o " + out_file + "\n"
      "SELECT 'to' || 'file' AS f;\n"
      "\\o\n"
      "\\conninfo\n"
      "\\format table\n"
      "\\x on\n"
      "SELECT 'ex' || 'panded' AS e;\n"
      "\\format csv\n"
      "SELECT 'last' || 'one' AS l");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("a;bc;"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("from-include"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"lastone\""), std::string::npos) << "CSV, after \\o: " << r.out;
  EXPECT_EQ(r.out.find("tofile"), std::string::npos) << r.out;
  EXPECT_EQ(slurp(out_file), "\"f\"\n\"tofile\"\n");
  EXPECT_NE(r.out.find("User:          alice\nControl plane: " + svc().control_plane_url()),
            std::string::npos)
      << r.out;
  // The node the control plane chose, as the driver reports it.
  EXPECT_NE(r.out.find("Compute node:  " + svc().nodes()[0].id + " at " + svc().node_url(0) +
                       "\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("-[ RECORD 1 ]"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("e | expanded\n"), std::string::npos) << r.out;

  // A script stops at its first failure, with status 1.
  const NvsqlRun failed = nvsql_test::run_nvsql(
      connection(), {}, "SELECT * FROM no_such_table;\nSELECT 'not' || 'reached';\n");
  EXPECT_EQ(failed.exit_code, 1);
  EXPECT_NE(failed.err.find("no_such_table"), std::string::npos) << failed.err;
  EXPECT_EQ(failed.out.find("notreached"), std::string::npos) << failed.out;
  unlink(included.c_str());
  unlink(out_file.c_str());
}

TEST_F(NvsqlShellNet, ProgressOnlyOnATerminal) {
  const std::string slow = "SELECT count(*) AS n FROM sales.orders";
  delay_next_query(1800);
  const NvsqlRun piped = nvsql_test::run_nvsql(with({slow}));
  ASSERT_EQ(piped.exit_code, 0) << piped.err;
  EXPECT_EQ(piped.err.find("rows/s"), std::string::npos) << piped.err;
  EXPECT_EQ(piped.err.find("\x1b[K"), std::string::npos) << piped.err;

  delay_next_query(1800);
  NvsqlTerminal quiet(with({"--no-progress", slow}), {"TERM=xterm"});
  EXPECT_EQ(quiet.wait(), 0) << quiet.shown();
  EXPECT_EQ(quiet.shown().find("rows/s"), std::string::npos) << quiet.shown();

  delay_next_query(1800);
  NvsqlTerminal shown(with({slow}), {"TERM=xterm"});
  EXPECT_EQ(shown.wait(), 0) << shown.shown();
  const std::string& text = shown.shown();
  const size_t progress = text.find("rows/s");
  ASSERT_NE(progress, std::string::npos) << text;
  // Cleared before the result prints.
  const size_t cleared = text.find("\r\x1b[K", progress);
  const size_t result = text.find("int64", progress);  // the type line of the result
  ASSERT_NE(cleared, std::string::npos) << text;
  ASSERT_NE(result, std::string::npos) << text;
  EXPECT_LT(cleared, result) << text;
}

// With --local the service is nvsql's child: Ctrl-C at the terminal reaches every process of
// the terminal's foreground group, and must leave the service running.
TEST(NvsqlShellLocal, CtrlCLeavesTheLocalServiceRunning) {
  NvsqlTerminal term({"--local"}, {"TERM=xterm", "XDG_DATA_HOME=" + nvsql_test::temp_path("xdg")});
  ASSERT_TRUE(term.expect("nvsql=> ")) << term.shown();
  term.type("SELECT 1 +");
  term.type("\x03");
  ASSERT_TRUE(term.expect("nvsql=> ")) << term.unmatched();
  term.type("SELECT 'still' || 'up' AS s;\r");
  ASSERT_TRUE(term.expect("stillup")) << term.unmatched();
  ASSERT_TRUE(term.expect("nvsql=> ")) << term.unmatched();
  term.type("\\q\r");
  EXPECT_EQ(term.wait(), 0) << term.shown();
  EXPECT_EQ(system(("rm -rf " + nvsql_test::temp_path("xdg")).c_str()), 0);
}

}  // namespace
