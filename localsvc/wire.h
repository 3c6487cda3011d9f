// Frame encoding of the framed stream (media type application/vnd.norvale.stream.v1) and the
// base64 used inside its JSON members.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nv_localsvc {

inline constexpr const char* kStreamMediaType = "application/vnd.norvale.stream.v1";
inline constexpr uint32_t kMaxFramePayload = 268435456;

enum class FrameType : uint8_t {
  kInit = 1,
  kBatch = 2,
  kEos = 3,
  kError = 4,
  kTrace = 5,
  kStats = 6,
};

/// Appends one frame: type, a zero byte, zero flags, the big-endian payload length, payload.
void append_frame(std::string* out, uint8_t type, std::string_view payload);

/// A whole frame as a string.
std::string make_frame(uint8_t type, std::string_view payload);

/// BATCH payload header: result-set index (big-endian) and four zero bytes.
std::string batch_header(uint32_t result_set);

/// EOS payload: the result-set index, big-endian.
std::string eos_payload(uint32_t result_set);

std::string base64_encode(std::string_view bytes);
/// Strict RFC 4648 decoding ("=" padding, no whitespace); nullopt for malformed text.
std::optional<std::string> base64_decode(std::string_view text);

uint32_t read_be32(const unsigned char* p);

/// Incremental frame splitter for request bodies that arrive in arbitrary chunks.
class FrameReader {
 public:
  struct Frame {
    uint8_t type;
    std::string payload;
  };
  /// Adds bytes; false when a header announces a payload above the frame limit.
  bool feed(const char* data, size_t len);
  /// Takes the next whole frame, if one is buffered.
  std::optional<Frame> next();
  /// True when bytes of an unfinished frame are buffered.
  bool has_partial() const { return pos_ < buf_.size(); }
  /// True once a header announced a payload above the frame limit.
  bool oversized() const { return oversized_; }

 private:
  bool oversized_ = false;
  std::string buf_;
  size_t pos_ = 0;
};

}  // namespace nv_localsvc
