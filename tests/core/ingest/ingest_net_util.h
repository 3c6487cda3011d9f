// Helpers shared by the ingest tests that run against the local service.
#pragma once

#include <arrow/api.h>
#include <arrow/io/memory.h>
#include <arrow/ipc/reader.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "norvale/nv_core.h"
#include "support/localsvc_fixture.h"

namespace nv_ingest_test {

struct ConnDeleter {
  void operator()(NVConnection* c) const { nv_disconnect(c); }
};
using ConnPtr = std::unique_ptr<NVConnection, ConnDeleter>;

/// A core connection to the service's first node with a fresh session token.
inline ConnPtr Connect(const nv_test::LocalSvc& svc) {
  const std::string token = svc.Login();
  char err[512] = "";
  NVConnection* c = nv_connect(svc.control_plane_url().c_str(), svc.node_url(0).c_str(), nullptr,
                               token.c_str(), nullptr, nullptr, nullptr, nullptr, err, sizeof err);
  EXPECT_NE(c, nullptr) << err;
  return ConnPtr(c);
}

/// Runs a query on the first node and collects its result; null (with a test failure) when the
/// service reports an error.
inline std::shared_ptr<arrow::Table> QueryTable(const nv_test::LocalSvc& svc,
                                                const std::string& sql) {
  nlohmann::json body = {{"sql", sql}};
  nv_test::HttpReply r = svc.Http("POST", svc.node_url(0) + "/api/v1/query/stream/binary",
                                  body.dump(), svc.admin_token());
  EXPECT_EQ(r.status, 200) << r.body << r.error;
  std::vector<nv_test::WireFrame> frames;
  EXPECT_TRUE(nv_test::SplitFrames(r.body, &frames));
  std::vector<std::shared_ptr<arrow::RecordBatch>> batches;
  std::shared_ptr<arrow::Schema> schema;
  for (const auto& f : frames) {
    if (f.type == 4) {
      ADD_FAILURE() << "query failed: " << f.payload;
      return nullptr;
    }
    if (f.type != 2 || f.payload.size() <= 8) continue;
    auto buffer = arrow::Buffer::FromString(f.payload.substr(8));
    auto reader = arrow::ipc::RecordBatchStreamReader::Open(
        std::make_shared<arrow::io::BufferReader>(buffer));
    if (!reader.ok()) {
      ADD_FAILURE() << reader.status().ToString();
      return nullptr;
    }
    schema = (*reader)->schema();
    for (;;) {
      std::shared_ptr<arrow::RecordBatch> b;
      if (!(*reader)->ReadNext(&b).ok() || b == nullptr) break;
      batches.push_back(b);
    }
  }
  if (schema == nullptr) return nullptr;
  return *arrow::Table::FromRecordBatches(schema, batches);
}

/// Rows of `sql` as text lines "v1|v2|...", for easy comparison.
inline std::vector<std::string> Rows(const nv_test::LocalSvc& svc, const std::string& sql) {
  std::vector<std::string> out;
  auto table = QueryTable(svc, sql);
  if (table == nullptr) return out;
  for (int64_t r = 0; r < table->num_rows(); ++r) {
    std::string line;
    for (int c = 0; c < table->num_columns(); ++c) {
      auto scalar = *table->column(c)->GetScalar(r);
      if (c > 0) line += "|";
      line += scalar->is_valid ? scalar->ToString() : "null";
    }
    out.push_back(line);
  }
  return out;
}

/// id BIGINT, name VARCHAR rows [first, first + n).
inline std::shared_ptr<arrow::RecordBatch> IdNameBatch(int64_t first, int64_t n,
                                                       const std::string& prefix = "n") {
  arrow::Int64Builder ids;
  arrow::StringBuilder names;
  for (int64_t i = first; i < first + n; ++i) {
    EXPECT_TRUE(ids.Append(i).ok());
    EXPECT_TRUE(names.Append(prefix + std::to_string(i)).ok());
  }
  auto schema =
      arrow::schema({arrow::field("id", arrow::int64()), arrow::field("name", arrow::utf8())});
  return arrow::RecordBatch::Make(schema, n, {*ids.Finish(), *names.Finish()});
}

/// A frame of the stream format with a payload below 128 bytes, as JSON-safe text for a fault
/// body.
inline std::string SmallFrame(uint8_t type, const std::string& payload) {
  std::string out{static_cast<char>(type), 0, 0, 0, 0, 0, 0, static_cast<char>(payload.size())};
  return out + payload;
}

/// Resident memory of this process in bytes.
inline int64_t SelfResidentBytes() {
  std::ifstream in("/proc/self/statm");
  int64_t pages = 0, resident = 0;
  in >> pages >> resident;
  return resident * static_cast<int64_t>(sysconf(_SC_PAGESIZE));
}

}  // namespace nv_ingest_test
