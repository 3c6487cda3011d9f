#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core/frame_decoder_internal.h"
#include "norvale/nv_stream.h"
#include "tests/core/frame_builder.h"

namespace {

struct Call {
  uint8_t type;
  uint16_t flags;
  std::string payload;
  bool operator==(const Call&) const = default;
};

struct Recorder {
  std::vector<Call> calls;
  size_t stop_at = SIZE_MAX;  // index of the call that returns `stop_value`
  int stop_value = 7;
};

int record(uint8_t type, uint16_t flags, const uint8_t* payload, size_t len, void* user) {
  auto* r = static_cast<Recorder*>(user);
  r->calls.push_back({type, flags, std::string(reinterpret_cast<const char*>(payload), len)});
  return r->calls.size() - 1 == r->stop_at ? r->stop_value : 0;
}

struct Outcome {
  std::vector<Call> calls;
  int rc = 0;  // first non-zero feed result
  int mid_frame = 0;
};

// Feeds `body` cut at the given sizes (the last piece takes the rest) and stops at the first
// non-zero feed result, as the transfer callback does.
Outcome decode(const std::string& body, const std::vector<size_t>& pieces,
               size_t stop_at = SIZE_MAX) {
  Recorder rec;
  rec.stop_at = stop_at;
  NVFrameDecoder* d = nv_frame_create(record, &rec);
  Outcome out;
  size_t pos = 0;
  for (size_t i = 0; pos < body.size(); ++i) {
    const size_t n = i < pieces.size() ? std::min(pieces[i], body.size() - pos) : body.size() - pos;
    out.rc = nv_frame_feed(d, body.data() + pos, n);
    pos += n;
    if (out.rc != 0) break;
  }
  out.mid_frame = nv_frame_at_clean_boundary(d);
  nv_frame_destroy(d);
  out.calls = std::move(rec.calls);
  return out;
}

std::string random_body(std::mt19937_64& rng, std::vector<Call>* frames) {
  std::string body;
  const int count = std::uniform_int_distribution<int>(0, 12)(rng);
  for (int i = 0; i < count; ++i) {
    const auto type = static_cast<uint8_t>(std::uniform_int_distribution<int>(0, 9)(rng));
    const auto flags = static_cast<uint16_t>(rng() & 0xffff);
    // Mostly small payloads, some empty, some spanning many chunks.
    size_t len = std::uniform_int_distribution<size_t>(0, 40)(rng);
    if (rng() % 5 == 0) len = 0;
    if (rng() % 7 == 0) len = std::uniform_int_distribution<size_t>(100, 5000)(rng);
    std::string payload(len, '\0');
    for (auto& c : payload) c = static_cast<char>(rng());
    nv_test::append_frame(body, type, payload, flags);
    frames->push_back({type, flags, payload});
  }
  return body;
}

std::vector<size_t> random_pieces(std::mt19937_64& rng, size_t total) {
  std::vector<size_t> pieces;
  const size_t max_piece = std::uniform_int_distribution<size_t>(1, 64)(rng);
  for (size_t sum = 0; sum < total;) {
    const size_t n = std::uniform_int_distribution<size_t>(1, max_piece)(rng);
    pieces.push_back(n);
    sum += n;
  }
  return pieces;
}

TEST(FrameDecoder, SameCallsForAnyChunking) {
  const uint64_t seed = std::random_device{}();
  std::printf("frame decoder property seed=%llu\n", static_cast<unsigned long long>(seed));
  std::mt19937_64 rng(seed);
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE(testing::Message() << "seed=" << seed << " round=" << round);
    std::vector<Call> frames;
    const std::string body = random_body(rng, &frames);
    const Outcome whole = decode(body, {});
    ASSERT_EQ(whole.calls, frames);
    ASSERT_EQ(whole.rc, 0);
    ASSERT_EQ(whole.mid_frame, 0);

    const Outcome bytewise = decode(body, std::vector<size_t>(body.size(), 1));
    ASSERT_EQ(bytewise.calls, frames);
    ASSERT_EQ(bytewise.mid_frame, 0);

    for (int cut = 0; cut < 5; ++cut) {
      const Outcome chunked = decode(body, random_pieces(rng, body.size()));
      ASSERT_EQ(chunked.calls, frames);
      ASSERT_EQ(chunked.rc, 0);
      ASSERT_EQ(chunked.mid_frame, 0);
    }

    // A handler that stops at frame k stops every chunking at the same frame with its value.
    if (!frames.empty()) {
      const size_t k = rng() % frames.size();
      const std::vector<Call> expected(frames.begin(), frames.begin() + k + 1);
      for (const auto& pieces : {std::vector<size_t>{}, std::vector<size_t>(body.size(), 1),
                                 random_pieces(rng, body.size())}) {
        const Outcome stopped = decode(body, pieces, k);
        ASSERT_EQ(stopped.calls, expected);
        ASSERT_EQ(stopped.rc, 7);
        ASSERT_EQ(stopped.mid_frame, 0);
      }
    }

    // A body cut short inside a frame leaves bytes pending under every chunking.
    if (!body.empty()) {
      const size_t cut_at = rng() % body.size();
      const std::string cut_body = body.substr(0, cut_at);
      size_t whole_frames = 0;
      size_t offset = 0;
      for (const auto& f : frames) {
        if (offset + 8 + f.payload.size() > cut_at) break;
        offset += 8 + f.payload.size();
        ++whole_frames;
      }
      const std::vector<Call> expected(frames.begin(), frames.begin() + whole_frames);
      for (const auto& pieces : {std::vector<size_t>{}, random_pieces(rng, cut_at)}) {
        const Outcome cut = decode(cut_body, pieces);
        ASSERT_EQ(cut.calls, expected);
        ASSERT_EQ(cut.mid_frame, offset < cut_at ? 1 : 0);
      }
    }
  }
}

TEST(FrameDecoder, TwoFramesAndThreeBytesOfAThird) {
  std::string body = nv_test::frame(1, "{}") + nv_test::frame(3, nv_test::eos_payload(0));
  body += nv_test::frame(2, "xyz").substr(0, 3);
  const Outcome out = decode(body, {});
  ASSERT_EQ(out.calls.size(), 2u);
  EXPECT_EQ(out.calls[0], (Call{1, 0, "{}"}));
  EXPECT_EQ(out.rc, 0);
  EXPECT_EQ(out.mid_frame, 1);
}

TEST(FrameDecoder, PayloadLengthLimit) {
  // 268435456 is the largest announced length accepted; one more is refused at once.
  Recorder rec;
  NVFrameDecoder* d = nv_frame_create(record, &rec);
  std::string header = nv_test::frame(2, "");
  header[4] = 0x10;  // 0x10000000
  EXPECT_EQ(nv_frame_feed(d, header.data(), header.size()), 0);
  EXPECT_EQ(nv_frame_at_clean_boundary(d), 1);
  nv_frame_destroy(d);

  for (const bool split : {false, true}) {
    SCOPED_TRACE(split ? "header split across chunks" : "header in one chunk");
    d = nv_frame_create(record, &rec);
    std::string big = nv_test::frame(2, "");
    big[4] = 0x10;
    big[7] = 0x01;  // 0x10000001
    big += "payload";
    if (split) {
      EXPECT_EQ(nv_frame_feed(d, big.data(), 5), 0);
      EXPECT_EQ(nv_frame_feed(d, big.data() + 5, big.size() - 5), -1);
    } else {
      EXPECT_EQ(nv_frame_feed(d, big.data(), big.size()), -1);
    }
    EXPECT_EQ(nv_frame_at_clean_boundary(d), 0) << "nothing stays buffered";
    nv_frame_destroy(d);
  }
  EXPECT_TRUE(rec.calls.empty());
}

TEST(FrameDecoder, NullArgumentsAndNoHandler) {
  EXPECT_EQ(nv_frame_feed(nullptr, "x", 1), 0);
  EXPECT_EQ(nv_frame_at_clean_boundary(nullptr), 0);
  nv_frame_destroy(nullptr);

  NVFrameDecoder* d = nv_frame_create(nullptr, nullptr);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(nv_frame_feed(d, nullptr, 10), 0);
  const std::string body = nv_test::frame(1, "abc") + nv_test::frame(4, "");
  EXPECT_EQ(nv_frame_feed(d, body.data(), 0), 0);
  EXPECT_EQ(nv_frame_feed(d, body.data(), 5), 0);
  EXPECT_EQ(nv_frame_feed(d, body.data() + 5, body.size() - 5), 0);
  EXPECT_EQ(nv_frame_at_clean_boundary(d), 0);
  nv_frame_destroy(d);
}

struct TakeProbe {
  NVFrameDecoder* decoder = nullptr;
  std::vector<std::shared_ptr<arrow::Buffer>> taken;
  std::vector<std::string> seen;
};

int take_payload(uint8_t, uint16_t, const uint8_t* payload, size_t len, void* user) {
  auto* probe = static_cast<TakeProbe*>(user);
  probe->seen.emplace_back(reinterpret_cast<const char*>(payload), len);
  probe->taken.push_back(norvale::frame_decoder_take_payload(probe->decoder, payload, len));
  return 0;
}

TEST(FrameDecoder, AssembledFrameCanBeTakenOver) {
  TakeProbe probe;
  probe.decoder = nv_frame_create(take_payload, &probe);
  const std::string a(300, 'a');
  const std::string b(200, 'b');
  const std::string body = nv_test::frame(2, a) + nv_test::frame(2, b) + nv_test::frame(2, "c");
  // First frame split (assembled), second and third whole inside the second chunk.
  ASSERT_EQ(nv_frame_feed(probe.decoder, body.data(), 100), 0);
  ASSERT_EQ(nv_frame_feed(probe.decoder, body.data() + 100, body.size() - 100), 0);
  nv_frame_destroy(probe.decoder);
  ASSERT_EQ(probe.seen, (std::vector<std::string>{a, b, "c"}));
  ASSERT_NE(probe.taken[0], nullptr);
  EXPECT_EQ(probe.taken[0]->ToString(), a) << "the taken buffer outlives the decoder";
  EXPECT_EQ(probe.taken[1], nullptr) << "a frame inside the chunk is not owned by the decoder";
  EXPECT_EQ(probe.taken[2], nullptr);

  // Fed byte by byte, every frame is assembled and each taken buffer holds its own bytes.
  TakeProbe bytewise;
  bytewise.decoder = nv_frame_create(take_payload, &bytewise);
  for (char c : body) ASSERT_EQ(nv_frame_feed(bytewise.decoder, &c, 1), 0);
  nv_frame_destroy(bytewise.decoder);
  ASSERT_EQ(bytewise.taken.size(), 3u);
  EXPECT_EQ(bytewise.taken[0]->ToString(), a);
  EXPECT_EQ(bytewise.taken[1]->ToString(), b);
  EXPECT_EQ(bytewise.taken[2]->ToString(), "c");
}

}  // namespace
