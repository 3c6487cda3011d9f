// HTTP content coding of response bodies (Content-Encoding zstd or gzip), chosen from the
// request's Accept-Encoding. Clients that ask for neither get the body as it is.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include <httplib.h>

namespace nv_localsvc {

enum class Coding { kIdentity, kZstd, kGzip };

/// zstd when the request accepts it, else gzip when it accepts that, else identity. A coding
/// listed with q=0 is refused; "*" accepts both.
Coding choose_coding(std::string_view accept_encoding);
Coding choose_coding(const httplib::Request& req);

/// The Content-Encoding token ("zstd", "gzip"); empty for identity.
const char* coding_token(Coding coding);

/// A compressor for one body. Encode() takes the next piece and returns the coded bytes for
/// it, flushed so that the client can decode everything sent so far; `last` ends the body.
class Encoder {
 public:
  virtual ~Encoder() = default;
  virtual std::string Encode(std::string_view piece, bool last) = 0;
};

/// An encoder for `coding` (null for identity). Throws std::runtime_error when the compression
/// library cannot be set up.
std::unique_ptr<Encoder> make_encoder(Coding coding);

/// A whole body in `coding`.
std::string encode_body(Coding coding, std::string_view body);

}  // namespace nv_localsvc
