// Helpers for the local service's protocol tests.
#pragma once

#include <curl/curl.h>
#include <gtest/gtest.h>

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

/// One easy handle, so that libcurl keeps its connection between requests; it keeps each
/// answer's head and body.
class KeptClient {
 public:
  KeptClient() : curl_(curl_easy_init(), &curl_easy_cleanup) {
    curl_easy_setopt(curl_.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl_.get(), CURLOPT_WRITEFUNCTION, &KeptClient::Append);
    curl_easy_setopt(curl_.get(), CURLOPT_WRITEDATA, &body_);
    curl_easy_setopt(curl_.get(), CURLOPT_HEADERFUNCTION, &KeptClient::Append);
    curl_easy_setopt(curl_.get(), CURLOPT_HEADERDATA, &head_);
  }

  struct Reply {
    long status = 0;
    long new_connections = 0;  // 0: the request went over a kept connection
    std::string head;
    std::string body;  // decoded when a content coding was asked for
  };

  /// GET, or POST of `post` when not empty. `accept_encoding` non-empty: asked for and
  /// decoded by libcurl. `headers` are extra "Name: value" lines.
  Reply Send(const std::string& url, const std::string& token, const std::string& post = {},
             const std::string& accept_encoding = {},
             const std::vector<std::string>& headers = {}) {
    body_.clear();
    head_.clear();
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> list(nullptr,
                                                                     &curl_slist_free_all);
    std::vector<std::string> lines = headers;
    if (!token.empty()) lines.push_back("Authorization: Bearer " + token);
    for (const std::string& line : lines) {
      list.reset(curl_slist_append(list.release(), line.c_str()));
    }
    curl_easy_setopt(curl_.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl_.get(), CURLOPT_HTTPHEADER, list.get());
    curl_easy_setopt(curl_.get(), CURLOPT_ACCEPT_ENCODING,
                     accept_encoding.empty() ? nullptr : accept_encoding.c_str());
    if (post.empty()) {
      curl_easy_setopt(curl_.get(), CURLOPT_HTTPGET, 1L);
    } else {
      curl_easy_setopt(curl_.get(), CURLOPT_POSTFIELDS, post.c_str());
    }
    Reply r;
    EXPECT_EQ(curl_easy_perform(curl_.get()), CURLE_OK) << url;
    curl_easy_getinfo(curl_.get(), CURLINFO_RESPONSE_CODE, &r.status);
    curl_easy_getinfo(curl_.get(), CURLINFO_NUM_CONNECTS, &r.new_connections);
    r.head = head_;
    r.body = body_;
    return r;
  }

  /// The value of header `name` (as the service spells it) in the last answer, or "".
  static std::string Header(const Reply& r, const std::string& name) {
    const size_t at = r.head.find("\r\n" + name + ": ");
    if (at == std::string::npos) return {};
    const size_t start = at + name.size() + 4;
    return r.head.substr(start, r.head.find("\r\n", start) - start);
  }

 private:
  static size_t Append(char* data, size_t size, size_t n, void* user) {
    static_cast<std::string*>(user)->append(data, size * n);
    return size * n;
  }
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl_;
  std::string body_;
  std::string head_;
};

}  // namespace nv_test
