#include "localsvc/wire.h"

#include <gtest/gtest.h>

#include <random>

namespace nv_localsvc {
namespace {

TEST(Base64, KnownVectorsAndRejects) {
  struct Case {
    std::string raw, text;
  };
  for (const Case& c : std::vector<Case>{{"", ""},
                                         {"f", "Zg=="},
                                         {"fo", "Zm8="},
                                         {"foo", "Zm9v"},
                                         {"foobar", "Zm9vYmFy"},
                                         {std::string("\xff\x00\xfe", 3), "/wD+"}}) {
    EXPECT_EQ(base64_encode(c.raw), c.text);
    EXPECT_EQ(base64_decode(c.text), c.raw) << c.text;
  }
  for (const char* bad : {"Zg=", "Z===", "Zg=a", "Zm9v\n", "Zm 9", "=Zm9"})
    EXPECT_FALSE(base64_decode(bad).has_value()) << bad;
}

TEST(Base64, RoundTripsRandomBytes) {
  unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  for (int i = 0; i < 200; ++i) {
    std::string raw(rng() % 64, '\0');
    for (auto& ch : raw) ch = static_cast<char>(rng());
    EXPECT_EQ(base64_decode(base64_encode(raw)), raw);
  }
}

TEST(FrameReader, ReassemblesFramesSplitAnywhere) {
  std::string body = make_frame(1, "{\"a\":1}") + make_frame(2, batch_header(3) + "xyz") +
                     make_frame(3, eos_payload(0)) + make_frame(9, "");
  for (size_t step : {size_t{1}, size_t{3}, size_t{8}, body.size()}) {
    FrameReader r;
    std::vector<FrameReader::Frame> got;
    for (size_t pos = 0; pos < body.size(); pos += step) {
      ASSERT_TRUE(r.feed(body.data() + pos, std::min(step, body.size() - pos)));
      while (auto f = r.next()) got.push_back(*f);
    }
    ASSERT_EQ(got.size(), 4u) << "step " << step;
    EXPECT_EQ(got[0].payload, "{\"a\":1}");
    EXPECT_EQ(got[1].type, 2);
    EXPECT_EQ(read_be32(reinterpret_cast<const unsigned char*>(got[1].payload.data())), 3u);
    EXPECT_EQ(got[1].payload.substr(8), "xyz");
    EXPECT_EQ(got[3].type, 9);
    EXPECT_TRUE(got[3].payload.empty());
    EXPECT_FALSE(r.has_partial());
  }
}

TEST(FrameReader, FlagsOversizedHeaderAndPartialTail) {
  FrameReader r;
  std::string h = {'\x02', 0, 0, 0, '\x10', 0, 0, '\x01'};  // 268435457 bytes announced
  EXPECT_FALSE(r.feed(h.data(), h.size()));
  EXPECT_TRUE(r.oversized());

  FrameReader t;
  std::string f = make_frame(1, "abcdef");
  ASSERT_TRUE(t.feed(f.data(), f.size() - 2));
  EXPECT_FALSE(t.next().has_value());
  EXPECT_TRUE(t.has_partial());
}

}  // namespace
}  // namespace nv_localsvc
