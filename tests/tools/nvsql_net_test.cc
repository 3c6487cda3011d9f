// The nvsql program end to end: it starts the local service itself (--local) and loads the
// driver with dlopen, as a user runs it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include <arrow/api.h>
#include <arrow/io/file.h>
#include <arrow/ipc/reader.h>
#include <parquet/arrow/reader.h>

#include "nvsql_process.h"
#include "support/localsvc_fixture.h"

namespace {

using nvsql_test::NvsqlRun;
using nvsql_test::temp_path;

// Runs nvsql with `args`, by default against the local service it starts itself.
NvsqlRun nvsql(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
               bool local = true) {
  std::vector<std::string> all;
  if (local) all.push_back("--local");
  all.insert(all.end(), args.begin(), args.end());
  return nvsql_test::run_nvsql(all, env);
}

TEST(NvsqlNet, TableOfDemoTypes) {
  const NvsqlRun r = nvsql({"SELECT customer_id, full_name, signup_date, credit_limit, tags "
                       "FROM sales.customers ORDER BY customer_id"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::istringstream lines(r.out);
  std::string names, types, rule, first;
  std::getline(lines, names);
  std::getline(lines, types);
  std::getline(lines, rule);
  std::getline(lines, first);
  EXPECT_EQ(names.substr(0, 11), "customer_id");
  EXPECT_NE(names.find("| credit_limit"), std::string::npos) << names;
  EXPECT_NE(types.find("int32"), std::string::npos) << types;
  EXPECT_NE(types.find("date32[day]"), std::string::npos) << types;
  EXPECT_NE(types.find("decimal128(12, 2)"), std::string::npos) << types;
  EXPECT_NE(first.find("Ada Lovelace"), std::string::npos) << first;
  EXPECT_NE(first.find("2021-03-14"), std::string::npos) << first;
  EXPECT_NE(r.out.find("| NULL"), std::string::npos) << "NULL shown for null cells\n" << r.out;
  EXPECT_NE(r.err.find("nvsql: 5 rows, 1 batches, "), std::string::npos) << r.err;
}

TEST(NvsqlNet, DdlAndDmlInOneRun) {
  const NvsqlRun r = nvsql({"CREATE TABLE nvsql_t (i INTEGER, s VARCHAR)",
                       "INSERT INTO nvsql_t VALUES (1, 'x'), (2, NULL), (3, 'z')",
                       "SELECT count(*) AS n FROM nvsql_t WHERE s IS NOT NULL"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("3 rows affected"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("-----\n    2\n"), std::string::npos) << r.out;
}

TEST(NvsqlNet, ErrorsCarrySqlstateAndVendorCode) {
  const NvsqlRun r = nvsql({"SELECT * FROM no_such_table"});
  EXPECT_EQ(r.exit_code, 1);
  // The vendor code is the service's: here the HTTP status that reported the missing table.
  EXPECT_NE(r.err.find("nvsql: error [42S02] (vendor code 404): "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("no_such_table"), std::string::npos) << r.err;
}

TEST(NvsqlNet, CsvToStandardOutput) {
  const NvsqlRun r = nvsql({"--format", "csv", "-q",
                       "SELECT product_id, sku FROM inventory.products ORDER BY 1 LIMIT 2"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "\"product_id\",\"sku\"\n100,\"KB-001\"\n101,\"MS-002\"\n");
  EXPECT_EQ(r.err, "") << "-q suppresses the summary";
}

TEST(NvsqlNet, ArrowAndParquetFiles) {
  const std::string sql =
      "SELECT order_id, customer_id, ordered_at, total, note FROM sales.orders ORDER BY order_id";
  const std::string ipc_path = temp_path("out.arrow");
  NvsqlRun r = nvsql({"--format", "arrow", "-o", ipc_path, sql});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  auto file = arrow::io::ReadableFile::Open(ipc_path).ValueOrDie();
  auto reader = arrow::ipc::RecordBatchFileReader::Open(file).ValueOrDie();
  int64_t rows = 0;
  for (int i = 0; i < reader->num_record_batches(); ++i) {
    rows += reader->ReadRecordBatch(i).ValueOrDie()->num_rows();
  }
  EXPECT_EQ(rows, 4);
  EXPECT_EQ(reader->schema()->num_fields(), 5);
  unlink(ipc_path.c_str());

  const std::string pq_path = temp_path("out.parquet");
  r = nvsql({"--format", "parquet", "-o", pq_path, sql});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  auto pq_file = arrow::io::ReadableFile::Open(pq_path).ValueOrDie();
  auto pq = parquet::arrow::OpenFile(pq_file, arrow::default_memory_pool()).ValueOrDie();
  auto table = pq->ReadTable();
  ASSERT_TRUE(table.ok()) << table.status().ToString();
  EXPECT_EQ((*table)->num_rows(), 4);
  unlink(pq_path.c_str());
}

TEST(NvsqlNet, TlsServiceWithExplicitConnection) {
  nv_test::LocalSvcOptions opts;
  opts.tls = true;
  std::string err;
  auto svc = nv_test::LocalSvc::Start(opts, &err);
  ASSERT_NE(svc, nullptr) << err;
  const std::vector<std::string> connection = {
      "--uri", svc->control_plane_url(), "--user", nv_test::LocalSvc::kUser, "--password",
      nv_test::LocalSvc::kPassword, "--tls-encrypt", "mandatory"};
  auto with = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = connection;
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back("SELECT 40 + 2 AS answer");
    return nvsql(args, {}, /*local=*/false);
  };
  const NvsqlRun trusted = with({"--tls-ca-bundle", svc->tls_files().ca_cert});
  ASSERT_EQ(trusted.exit_code, 0) << trusted.err;
  EXPECT_NE(trusted.out.find("42"), std::string::npos) << trusted.out;

  const int64_t lookups = svc->Counter("requests.lookup");
  const NvsqlRun by_ref = with({"--tls-ca-bundle", svc->tls_files().ca_cert, "--compute-node",
                                svc->nodes().at(0).entity_ref});
  ASSERT_EQ(by_ref.exit_code, 0) << by_ref.err;
  EXPECT_EQ(svc->Counter("requests.lookup"), lookups + 1) << "the node was looked up by ref";

  const NvsqlRun unverified = with({});
  EXPECT_EQ(unverified.exit_code, 1) << "the test CA is not trusted by default";
  EXPECT_NE(unverified.err.find("nvsql: error ["), std::string::npos) << unverified.err;
}

TEST(NvsqlNet, ProfileLineWhenAskedFor) {
  const NvsqlRun r = nvsql({"SELECT * FROM sales.order_items"}, {"NV_ADBC_PROFILE=1"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("[adbc-bridge-profile nvsql] batches=1 rows=5 "), std::string::npos)
      << r.err;
}

}  // namespace
