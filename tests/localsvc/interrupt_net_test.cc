// A client that goes away stops the service's work: a query's DuckDB work is interrupted when
// its client closes the connection (the driver's cancel), and an ingest whose upload is cut
// applies nothing. Each is counted, and the next statement runs normally.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/localsvc/net_helpers.h"

namespace nv_test {
namespace {

using nlohmann::json;

// A raw HTTP/1.1 client connection: the test decides exactly when it goes away.
class RawClient {
 public:
  explicit RawClient(const std::string& base_url) {
    // base_url is "http://127.0.0.1:PORT".
    const int port = std::stoi(base_url.substr(base_url.rfind(':') + 1));
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    connected_ = fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~RawClient() { Close(); }
  bool connected() const { return connected_; }
  bool Send(const std::string& bytes) {
    return connected_ && write(fd_, bytes.data(), bytes.size()) ==
                             static_cast<ssize_t>(bytes.size());
  }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

std::string Chunk(const std::string& data) {
  char size[32];
  std::snprintf(size, sizeof size, "%zx\r\n", data.size());
  return size + data + "\r\n";
}

class InterruptTest : public LocalSvcTest {};

TEST_F(InterruptTest, QueryWhoseClientLeavesIsInterruptedAndTheNextRuns) {
  // Hours of DuckDB work if nothing stops it.
  const std::string body = json{{"sql", "SELECT count(*) FROM range(10000000000000) t(i)"}}.dump();
  RawClient client(svc().node_url(0));
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(client.Send("POST /api/v1/query/stream/binary HTTP/1.1\r\nHost: x\r\n"
                          "Authorization: Bearer " + svc().Login() + "\r\n"
                          "Content-Type: application/json\r\nContent-Length: " +
                          std::to_string(body.size()) + "\r\n\r\n" + body));
  ASSERT_EQ(svc().AwaitCounter("requests.query", 1), 1);
  client.Close();
  // Counted once the query's work has actually stopped.
  EXPECT_EQ(svc().AwaitCounter("queries_interrupted", 1), 1);
  std::string err;
  EXPECT_TRUE(svc().Sql("SELECT 42", &err)) << err;
  EXPECT_EQ(svc().Counter("queries_interrupted"), 1) << "a finished query is not counted";
}

TEST_F(InterruptTest, IngestWhoseUploadIsCutAppliesNothing) {
  ASSERT_TRUE(svc().Sql("DROP TABLE IF EXISTS interrupt_cut_t"));
  auto schema = arrow::schema({arrow::field("id", arrow::int64())});
  arrow::Int64Builder ids;
  ASSERT_TRUE(ids.AppendValues({1, 2, 3}).ok());
  auto batch = arrow::RecordBatch::Make(schema, 3, {ids.Finish().ValueOrDie()});
  auto sink = arrow::io::BufferOutputStream::Create().ValueOrDie();
  auto writer = arrow::ipc::MakeStreamWriter(sink, schema).ValueOrDie();
  ASSERT_TRUE(writer->WriteRecordBatch(*batch).ok());
  ASSERT_TRUE(writer->Close().ok());
  const std::string ipc = sink->Finish().ValueOrDie()->ToString();
  const json manifest = {{"target_table", "interrupt_cut_t"}, {"mode", "overwrite"},
                         {"payload_format", "arrow_ipc"}, {"key_columns", json::array()},
                         {"coerce", true}};

  RawClient client(svc().node_url(0));
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(client.Send("POST /api/v1/ingest/stream HTTP/1.1\r\nHost: x\r\n"
                          "Authorization: Bearer " + svc().Login() + "\r\n"
                          "Content-Type: application/vnd.norvale.stream.v1\r\n"
                          "Transfer-Encoding: chunked\r\n\r\n"));
  // The manifest and a batch, then the client goes: no EOS frame, no final chunk.
  ASSERT_TRUE(client.Send(Chunk(nv_localsvc::make_frame(1, manifest.dump()))));
  ASSERT_TRUE(client.Send(Chunk(nv_localsvc::make_frame(2, std::string(8, '\0') + ipc))));
  ASSERT_EQ(svc().AwaitCounter("requests.ingest", 1), 1);
  client.Close();
  EXPECT_EQ(svc().AwaitCounter("ingests_interrupted", 1), 1);
  std::string err;
  EXPECT_FALSE(svc().Sql("SELECT * FROM interrupt_cut_t", &err)) << "the cut ingest was applied";
  EXPECT_EQ(svc().Counter("ingests"), 0);
  EXPECT_TRUE(svc().Sql("SELECT 42", &err)) << err;
}

}  // namespace
}  // namespace nv_test
