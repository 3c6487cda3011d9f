// Answers in the content coding the client asks for (the snapshot, query streams, JSON), the
// same bytes once decoded; and the snapshot's entity tag, answered "not modified" while the
// catalog stays where the client's copy is.
#include <gtest/gtest.h>

#include <string>

#include "tests/localsvc/net_helpers.h"

namespace nv_test {
namespace {

using nlohmann::json;

class ContentCodingTest : public LocalSvcTest {
 protected:
  std::string snapshot_url() {
    return svc().control_plane_url() + "/api/v1/odbc/info_schema/snapshot";
  }
  // The answer and the bytes it took on the wire.
  KeptClient::Reply Fetch(const std::string& url, const std::string& accept,
                          const std::string& post = {}, int64_t* wire = nullptr) {
    const int64_t before = svc().Counter("bytes_sent");
    KeptClient client;
    KeptClient::Reply r = client.Send(url, svc().admin_token(), post, accept);
    if (wire != nullptr) *wire = svc().Counter("bytes_sent") - before;
    return r;
  }
};

TEST_F(ContentCodingTest, SnapshotComesInTheAskedCodingAndDecodesToTheSameFrames) {
  int64_t plain_bytes = 0;
  const KeptClient::Reply plain = Fetch(snapshot_url(), "", {}, &plain_bytes);
  ASSERT_EQ(plain.status, 200);
  EXPECT_EQ(KeptClient::Header(plain, "Content-Encoding"), "");
  EXPECT_EQ(plain_bytes, static_cast<int64_t>(plain.body.size()));
  struct Case {
    const char* accept;
    const char* coding;
  };
  for (const Case c : {Case{"zstd", "zstd"}, Case{"gzip", "gzip"}, Case{"gzip, zstd", "zstd"},
                       Case{"br", ""}}) {
    SCOPED_TRACE(c.accept);
    int64_t wire = 0;
    const KeptClient::Reply coded = Fetch(snapshot_url(), c.accept, {}, &wire);
    ASSERT_EQ(coded.status, 200);
    EXPECT_EQ(KeptClient::Header(coded, "Content-Encoding"), c.coding);
    EXPECT_TRUE(coded.body == plain.body) << "decoded body differs";
    if (c.coding[0] != '\0') {
      EXPECT_LT(wire, plain_bytes / 2);
    }
  }
}

TEST_F(ContentCodingTest, QueryStreamsAndJsonAnswersAreCodedToo) {
  const std::string query_url = svc().node_url() + "/api/v1/query/stream/binary";
  const std::string body = R"json({"sql":"SELECT * FROM range(20000) t(i)"})json";
  const KeptClient::Reply plain = Fetch(query_url, "", body);
  int64_t wire = 0;
  const KeptClient::Reply coded = Fetch(query_url, "zstd", body, &wire);
  ASSERT_EQ(coded.status, 200);
  EXPECT_EQ(KeptClient::Header(coded, "Content-Encoding"), "zstd");
  EXPECT_LT(wire, static_cast<int64_t>(plain.body.size()));
  const QueryStream a = DecodeQueryStream(plain.body), b = DecodeQueryStream(coded.body);
  EXPECT_TRUE(b.clean && b.eos);
  EXPECT_EQ(TotalRows(b), 20000);
  EXPECT_EQ(a.types, b.types);

  const KeptClient::Reply version =
      Fetch(svc().control_plane_url() + "/api/v1/events/version", "zstd, gzip");
  EXPECT_NE(KeptClient::Header(version, "Content-Encoding"), "");
  EXPECT_TRUE(json::parse(version.body, nullptr, false).contains("sequence"));
}

// A fault that shapes the delivery counts the framed bytes themselves: no coding then.
TEST_F(ContentCodingTest, DeliveryFaultsAnswerUncoded) {
  svc().AddFault({{"endpoint", "snapshot"}, {"trickle_bps", 50000000}});
  const KeptClient::Reply r = Fetch(snapshot_url(), "zstd");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(KeptClient::Header(r, "Content-Encoding"), "");
}

TEST_F(ContentCodingTest, SnapshotIsNotSentAgainWhileTheCatalogStays) {
  KeptClient client;
  const std::string token = svc().admin_token();
  const KeptClient::Reply first = client.Send(snapshot_url(), token);
  const std::string tag = KeptClient::Header(first, "ETag");
  const json version = json::parse(
      client.Send(svc().control_plane_url() + "/api/v1/events/version", token).body);
  EXPECT_EQ(tag, "\"" + std::to_string(version["sequence"].get<int64_t>()) + "\"")
      << first.head;

  for (const std::string& condition : {tag, "W/" + tag, "\"0\", " + tag, std::string("*")}) {
    SCOPED_TRACE(condition);
    const KeptClient::Reply again =
        client.Send(snapshot_url(), token, {}, {}, {"If-None-Match: " + condition});
    EXPECT_EQ(again.status, 304);
    EXPECT_TRUE(again.body.empty());
    EXPECT_EQ(KeptClient::Header(again, "ETag"), tag);
    EXPECT_EQ(again.new_connections, 0);
  }
  EXPECT_EQ(svc().Counter("snapshot_not_modified"), 4);

  ASSERT_TRUE(svc().Sql("CREATE TABLE etag_moved (i INTEGER)"));
  const KeptClient::Reply moved =
      client.Send(snapshot_url(), token, {}, {}, {"If-None-Match: " + tag});
  EXPECT_EQ(moved.status, 200);
  EXPECT_NE(KeptClient::Header(moved, "ETag"), tag);
  EXPECT_FALSE(moved.body.empty());

  svc().AddFault({{"endpoint", "snapshot"}, {"omit_etag", true}});
  const KeptClient::Reply untagged =
      client.Send(snapshot_url(), token, {}, {}, {"If-None-Match: *"});
  EXPECT_EQ(untagged.status, 200);
  EXPECT_EQ(KeptClient::Header(untagged, "ETag"), "");
}

}  // namespace
}  // namespace nv_test
