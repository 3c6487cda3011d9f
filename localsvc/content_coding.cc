#include "localsvc/content_coding.h"

#include <zlib.h>
#include <zstd.h>

#include <cctype>
#include <cstdlib>
#include <stdexcept>

namespace nv_localsvc {
namespace {

constexpr int kZstdLevel = 3;

std::string_view trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// The q value of one list element ("gzip;q=0.5"): 1 without one.
double quality(std::string_view params) {
  while (!params.empty()) {
    const size_t semi = params.find(';');
    std::string_view param = trim(params.substr(0, semi));
    params = semi == std::string_view::npos ? std::string_view() : params.substr(semi + 1);
    if (param.size() > 2 && (param[0] == 'q' || param[0] == 'Q') && param[1] == '=') {
      return std::strtod(std::string(param.substr(2)).c_str(), nullptr);
    }
  }
  return 1.0;
}

class ZstdEncoder : public Encoder {
 public:
  ZstdEncoder() : ctx_(ZSTD_createCCtx()) {
    if (ctx_ == nullptr) throw std::runtime_error("ZSTD_createCCtx failed");
    ZSTD_CCtx_setParameter(ctx_, ZSTD_c_compressionLevel, kZstdLevel);
  }
  ~ZstdEncoder() override { ZSTD_freeCCtx(ctx_); }
  ZstdEncoder(const ZstdEncoder&) = delete;
  ZstdEncoder& operator=(const ZstdEncoder&) = delete;

  std::string Encode(std::string_view piece, bool last) override {
    std::string out;
    ZSTD_inBuffer in{piece.data(), piece.size(), 0};
    const ZSTD_EndDirective mode = last ? ZSTD_e_end : ZSTD_e_flush;
    for (;;) {
      const size_t at = out.size();
      out.resize(at + ZSTD_CStreamOutSize());
      ZSTD_outBuffer dst{out.data() + at, out.size() - at, 0};
      const size_t left = ZSTD_compressStream2(ctx_, &dst, &in, mode);
      if (ZSTD_isError(left)) throw std::runtime_error(ZSTD_getErrorName(left));
      out.resize(at + dst.pos);
      if (left == 0 && in.pos == in.size) return out;
    }
  }

 private:
  ZSTD_CCtx* ctx_;
};

class GzipEncoder : public Encoder {
 public:
  GzipEncoder() {
    // 15 window bits plus 16: a gzip wrapper rather than a zlib one.
    if (deflateInit2(&z_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
      throw std::runtime_error("deflateInit2 failed");
    }
  }
  ~GzipEncoder() override { deflateEnd(&z_); }
  GzipEncoder(const GzipEncoder&) = delete;
  GzipEncoder& operator=(const GzipEncoder&) = delete;

  std::string Encode(std::string_view piece, bool last) override {
    std::string out;
    z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(piece.data()));
    z_.avail_in = static_cast<uInt>(piece.size());
    const int flush = last ? Z_FINISH : Z_SYNC_FLUSH;
    for (;;) {
      const size_t at = out.size();
      const size_t room = 64 * 1024;
      out.resize(at + room);
      z_.next_out = reinterpret_cast<Bytef*>(out.data() + at);
      z_.avail_out = static_cast<uInt>(room);
      const int rc = deflate(&z_, flush);
      if (rc == Z_STREAM_ERROR) throw std::runtime_error("deflate failed");
      out.resize(at + room - z_.avail_out);
      // Done once the input is taken and deflate left output room unused (or ended the stream).
      if (rc == Z_STREAM_END || (z_.avail_in == 0 && z_.avail_out != 0 && !last)) return out;
    }
  }

 private:
  z_stream z_{};
};

}  // namespace

Coding choose_coding(std::string_view accept_encoding) {
  bool zstd = false, gzip = false;
  while (!accept_encoding.empty()) {
    const size_t comma = accept_encoding.find(',');
    const std::string_view element = accept_encoding.substr(0, comma);
    accept_encoding = comma == std::string_view::npos ? std::string_view()
                                                      : accept_encoding.substr(comma + 1);
    const size_t semi = element.find(';');
    const std::string_view name = trim(element.substr(0, semi));
    const bool accepted =
        semi == std::string_view::npos || quality(element.substr(semi + 1)) > 0.0;
    if (!accepted) continue;
    if (iequals(name, "zstd")) zstd = true;
    if (iequals(name, "gzip") || iequals(name, "x-gzip")) gzip = true;
    if (name == "*") zstd = gzip = true;
  }
  return zstd ? Coding::kZstd : gzip ? Coding::kGzip : Coding::kIdentity;
}

Coding choose_coding(const httplib::Request& req) {
  return choose_coding(req.get_header_value("Accept-Encoding"));
}

const char* coding_token(Coding coding) {
  switch (coding) {
    case Coding::kZstd: return "zstd";
    case Coding::kGzip: return "gzip";
    case Coding::kIdentity: break;
  }
  return "";
}

std::unique_ptr<Encoder> make_encoder(Coding coding) {
  switch (coding) {
    case Coding::kZstd: return std::make_unique<ZstdEncoder>();
    case Coding::kGzip: return std::make_unique<GzipEncoder>();
    case Coding::kIdentity: break;
  }
  return nullptr;
}

std::string encode_body(Coding coding, std::string_view body) {
  std::unique_ptr<Encoder> encoder = make_encoder(coding);
  return encoder ? encoder->Encode(body, /*last=*/true) : std::string(body);
}

}  // namespace nv_localsvc
