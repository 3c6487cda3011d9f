// Helpers for the local service's protocol tests.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <arrow/api.h>
#include <arrow/io/memory.h>
#include <arrow/ipc/api.h>
#include <nlohmann/json.hpp>

#include "localsvc/wire.h"
#include "support/localsvc_fixture.h"

namespace nv_test {

inline uint32_t be32(const std::string& s, size_t at = 0) {
  return nv_localsvc::read_be32(reinterpret_cast<const unsigned char*>(s.data() + at));
}

/// Decodes an IPC stream; the schema and every batch.
inline arrow::Result<std::shared_ptr<arrow::Table>> DecodeIpc(const std::string& bytes) {
  auto buf = arrow::Buffer::FromString(bytes);
  auto in = std::make_shared<arrow::io::BufferReader>(buf);
  ARROW_ASSIGN_OR_RAISE(auto reader, arrow::ipc::RecordBatchStreamReader::Open(in));
  return reader->ToTable();
}

/// POSTs SQL to the node's query endpoint.
inline HttpReply PostQuery(const LocalSvc& svc, const std::string& token, const std::string& sql,
                           int64_t max_batch_bytes = 0, size_t node = 0) {
  nlohmann::json body = {{"sql", sql}};
  if (max_batch_bytes > 0) body["stream_options"] = {{"max_batch_bytes", max_batch_bytes}};
  return svc.Http("POST", svc.node_url(node) + "/api/v1/query/stream/binary", body.dump(), token,
                  {"Accept: application/vnd.norvale.stream.v1", "X-Norvale-Client: adbc"});
}

/// A decoded query stream.
struct QueryStream {
  nlohmann::json init;
  std::vector<std::shared_ptr<arrow::RecordBatch>> batches;  // result set 0 only
  std::vector<uint8_t> types;                                // every frame type in order
  bool eos = false;
  std::string error;  // payload of an ERROR frame
  bool clean = true;  // body ended at a frame boundary
};

inline QueryStream DecodeQueryStream(const std::string& body) {
  QueryStream q;
  std::vector<WireFrame> frames;
  q.clean = SplitFrames(body, &frames);
  for (const auto& f : frames) {
    q.types.push_back(f.type);
    if (f.type == 1) q.init = nlohmann::json::parse(f.payload, nullptr, false);
    if (f.type == 3 && f.payload.size() >= 4 && be32(f.payload) == 0) q.eos = true;
    if (f.type == 4) q.error = f.payload;
    if (f.type == 2 && f.payload.size() > 8 && be32(f.payload) == 0) {
      auto t = DecodeIpc(f.payload.substr(8));
      if (t.ok()) {
        arrow::TableBatchReader r(**t);
        std::shared_ptr<arrow::RecordBatch> b;
        while (r.ReadNext(&b).ok() && b) q.batches.push_back(b);
      }
    }
  }
  return q;
}

inline int64_t TotalRows(const QueryStream& q) {
  int64_t n = 0;
  for (const auto& b : q.batches) n += b->num_rows();
  return n;
}

}  // namespace nv_test
