// The service's content coding: which coding an Accept-Encoding list gets, and that what the
// encoders write decodes to the body, also piece by piece as a client reads a stream.
#include "localsvc/content_coding.h"

#include <gtest/gtest.h>
#include <zlib.h>
#include <zstd.h>

#include <random>
#include <string>

namespace nv_localsvc {
namespace {

TEST(ContentCoding, ChoiceFollowsTheAcceptEncodingList) {
  struct Case {
    const char* accept;
    Coding expected;
  };
  const Case cases[] = {
      {"", Coding::kIdentity},
      {"identity", Coding::kIdentity},
      {"br, deflate", Coding::kIdentity},
      {"gzip", Coding::kGzip},
      {"x-gzip", Coding::kGzip},
      {"zstd", Coding::kZstd},
      {"gzip, zstd", Coding::kZstd},       // zstd whenever it is accepted
      {"ZSTD;q=0.5, GZIP", Coding::kZstd},  // case-insensitive, any positive quality
      {"zstd;q=0, gzip", Coding::kGzip},   // q=0 refuses
      {"zstd ; q=0.0 , gzip;q=0", Coding::kIdentity},
      {"*", Coding::kZstd},
      {" gzip ;level=1", Coding::kGzip},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(choose_coding(c.accept), c.expected) << c.accept;
  }
}

// Decodes what has arrived so far into `out`; `ctx` carries the state between pieces. Output
// may still be pending while the input is used up: the loop ends on an output buffer that
// was not filled.
void unzstd_more(ZSTD_DCtx* ctx, const std::string& coded, std::string* out) {
  ZSTD_inBuffer in{coded.data(), coded.size(), 0};
  for (;;) {
    char buf[65536];
    ZSTD_outBuffer dst{buf, sizeof buf, 0};
    const size_t rc = ZSTD_decompressStream(ctx, &dst, &in);
    if (ZSTD_isError(rc)) {
      ADD_FAILURE() << ZSTD_getErrorName(rc);
      return;
    }
    out->append(buf, dst.pos);
    if (in.pos == in.size && dst.pos < dst.size) return;
  }
}

std::string unzstd(const std::string& coded) {
  ZSTD_DCtx* ctx = ZSTD_createDCtx();
  std::string out;
  unzstd_more(ctx, coded, &out);
  ZSTD_freeDCtx(ctx);
  return out;
}

// Decodes what has arrived so far; `z` carries the state between pieces.
std::string gunzip_more(z_stream* z, const std::string& coded) {
  std::string out;
  z->next_in = reinterpret_cast<Bytef*>(const_cast<char*>(coded.data()));
  z->avail_in = static_cast<uInt>(coded.size());
  for (;;) {
    char buf[65536];
    z->next_out = reinterpret_cast<Bytef*>(buf);
    z->avail_out = sizeof buf;
    const int rc = inflate(z, Z_NO_FLUSH);
    out.append(buf, sizeof buf - z->avail_out);
    if (rc == Z_STREAM_END || (z->avail_in == 0 && z->avail_out != 0)) break;
    if (rc != Z_OK && rc != Z_BUF_ERROR) {
      ADD_FAILURE() << "inflate " << rc;
      break;
    }
  }
  return out;
}

// Text that compresses the way a catalog does, with some noise.
std::string catalog_like(size_t rows) {
  std::mt19937 rng(7);
  std::string s;
  for (size_t i = 0; i < rows; ++i) {
    s += "schema_" + std::to_string(i % 50) + "\x1ftable_" + std::to_string(i) +
         "\x1f" "BASE TABLE\x1f" + std::to_string(rng()) + "\n";
  }
  return s;
}

TEST(ContentCoding, WholeBodiesDecodeAndShrink) {
  const std::string body = catalog_like(20000);
  const std::string zstd = encode_body(Coding::kZstd, body);
  EXPECT_LT(zstd.size(), body.size() / 3);
  EXPECT_TRUE(unzstd(zstd) == body);

  const std::string gzip = encode_body(Coding::kGzip, body);
  EXPECT_LT(gzip.size(), body.size() / 3);
  z_stream z{};
  ASSERT_EQ(inflateInit2(&z, 15 + 16), Z_OK);
  EXPECT_TRUE(gunzip_more(&z, gzip) == body);
  inflateEnd(&z);

  EXPECT_EQ(encode_body(Coding::kIdentity, body), body);
  EXPECT_EQ(unzstd(encode_body(Coding::kZstd, "")), "");
}

// A streamed body is flushed piece by piece: the client decodes each piece as soon as it has
// it, without waiting for the end of the body.
TEST(ContentCoding, EachPieceDecodesOnArrival) {
  const std::string pieces[] = {"first frame", std::string(100000, 'x'), "", catalog_like(100),
                                "last"};
  for (Coding coding : {Coding::kZstd, Coding::kGzip}) {
    SCOPED_TRACE(coding_token(coding));
    auto encoder = make_encoder(coding);
    ASSERT_NE(encoder, nullptr);
    ZSTD_DCtx* zctx = ZSTD_createDCtx();
    z_stream z{};
    ASSERT_EQ(inflateInit2(&z, 15 + 16), Z_OK);
    const size_t n = std::size(pieces);
    for (size_t i = 0; i < n; ++i) {
      const std::string coded = encoder->Encode(pieces[i], i + 1 == n);
      std::string decoded;
      if (coding == Coding::kZstd) {
        unzstd_more(zctx, coded, &decoded);
      } else {
        decoded = gunzip_more(&z, coded);
      }
      EXPECT_TRUE(decoded == pieces[i]) << "piece " << i << ": " << decoded.size() << " bytes";
    }
    ZSTD_freeDCtx(zctx);
    inflateEnd(&z);
  }
  EXPECT_EQ(make_encoder(Coding::kIdentity), nullptr);
}

}  // namespace
}  // namespace nv_localsvc
