#include "localsvc/wire.h"

#include <array>

namespace nv_localsvc {

namespace {
constexpr char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int decode_char(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

void put_be32(std::string* out, uint32_t v) {
  out->push_back(static_cast<char>((v >> 24) & 0xff));
  out->push_back(static_cast<char>((v >> 16) & 0xff));
  out->push_back(static_cast<char>((v >> 8) & 0xff));
  out->push_back(static_cast<char>(v & 0xff));
}
}  // namespace

uint32_t read_be32(const unsigned char* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void append_frame(std::string* out, uint8_t type, std::string_view payload) {
  out->push_back(static_cast<char>(type));
  out->push_back('\0');
  out->push_back('\0');
  out->push_back('\0');
  put_be32(out, static_cast<uint32_t>(payload.size()));
  out->append(payload);
}

std::string make_frame(uint8_t type, std::string_view payload) {
  std::string out;
  out.reserve(8 + payload.size());
  append_frame(&out, type, payload);
  return out;
}

std::string batch_header(uint32_t result_set) {
  std::string out;
  put_be32(&out, result_set);
  out.append(4, '\0');
  return out;
}

std::string eos_payload(uint32_t result_set) {
  std::string out;
  put_be32(&out, result_set);
  return out;
}

std::string base64_encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  auto at = [&](size_t k) { return static_cast<unsigned char>(bytes[k]); };
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t v = (uint32_t{at(i)} << 16) | (uint32_t{at(i + 1)} << 8) | at(i + 2);
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(kAlphabet[(v >> 6) & 63]);
    out.push_back(kAlphabet[v & 63]);
  }
  size_t rest = bytes.size() - i;
  if (rest == 1) {
    uint32_t v = uint32_t{at(i)} << 16;
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.append("==");
  } else if (rest == 2) {
    uint32_t v = (uint32_t{at(i)} << 16) | (uint32_t{at(i + 1)} << 8);
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(kAlphabet[(v >> 6) & 63]);
    out.push_back('=');
  }
  return out;
}

std::optional<std::string> base64_decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    std::array<int, 4> v{};
    int pad = 0;
    for (int k = 0; k < 4; ++k) {
      char c = text[i + k];
      if (c == '=') {
        // Padding only at the very end, in the last one or two places.
        if (i + 4 != text.size() || k < 2) return std::nullopt;
        ++pad;
        v[k] = 0;
        continue;
      }
      if (pad > 0) return std::nullopt;
      v[k] = decode_char(c);
      if (v[k] < 0) return std::nullopt;
    }
    uint32_t n = (uint32_t(v[0]) << 18) | (uint32_t(v[1]) << 12) | (uint32_t(v[2]) << 6) | v[3];
    out.push_back(static_cast<char>((n >> 16) & 0xff));
    if (pad < 2) out.push_back(static_cast<char>((n >> 8) & 0xff));
    if (pad < 1) out.push_back(static_cast<char>(n & 0xff));
  }
  return out;
}

bool FrameReader::feed(const char* data, size_t len) {
  if (pos_ > 0 && pos_ == buf_.size()) {
    buf_.clear();
    pos_ = 0;
  } else if (pos_ > (1u << 20) && pos_ * 2 > buf_.size()) {
    buf_.erase(0, pos_);
    pos_ = 0;
  }
  buf_.append(data, len);
  if (buf_.size() - pos_ >= 8) {
    uint32_t n = read_be32(reinterpret_cast<const unsigned char*>(buf_.data() + pos_ + 4));
    if (n > kMaxFramePayload) oversized_ = true;
  }
  return !oversized_;
}

std::optional<FrameReader::Frame> FrameReader::next() {
  if (buf_.size() - pos_ < 8) return std::nullopt;
  const auto* h = reinterpret_cast<const unsigned char*>(buf_.data() + pos_);
  uint32_t n = read_be32(h + 4);
  if (n > kMaxFramePayload) {
    oversized_ = true;
    return std::nullopt;
  }
  if (buf_.size() - pos_ < 8 + size_t{n}) return std::nullopt;
  Frame f{h[0], buf_.substr(pos_ + 8, n)};
  pos_ += 8 + size_t{n};
  return f;
}

}  // namespace nv_localsvc
