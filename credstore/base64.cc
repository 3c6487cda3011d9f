#include "credstore/base64_internal.h"

#include <cstdint>

namespace norvale::credstore {
namespace {

constexpr char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int sextet(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string base64_encode(std::string_view data) {
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    const uint32_t v = static_cast<uint8_t>(data[i]) << 16 |
                       static_cast<uint8_t>(data[i + 1]) << 8 | static_cast<uint8_t>(data[i + 2]);
    out += kAlphabet[v >> 18 & 63];
    out += kAlphabet[v >> 12 & 63];
    out += kAlphabet[v >> 6 & 63];
    out += kAlphabet[v & 63];
  }
  const size_t rest = data.size() - i;
  if (rest > 0) {
    uint32_t v = static_cast<uint8_t>(data[i]) << 16;
    if (rest == 2) v |= static_cast<uint8_t>(data[i + 1]) << 8;
    out += kAlphabet[v >> 18 & 63];
    out += kAlphabet[v >> 12 & 63];
    out += rest == 2 ? kAlphabet[v >> 6 & 63] : '=';
    out += '=';
  }
  return out;
}

bool base64_decode(std::string_view text, std::string* out) {
  out->clear();
  if (text.size() % 4 != 0) return false;
  out->reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    const int pad = last ? (text[i + 3] == '=') + (text[i + 2] == '=' && text[i + 3] == '=') : 0;
    uint32_t v = 0;
    for (size_t j = 0; j < 4; ++j) {
      if (j >= 4 - static_cast<size_t>(pad)) {
        v <<= 6;
        continue;
      }
      const int s = sextet(text[i + j]);
      if (s < 0) return false;
      v = v << 6 | static_cast<uint32_t>(s);
    }
    out->push_back(static_cast<char>(v >> 16 & 0xff));
    if (pad < 2) out->push_back(static_cast<char>(v >> 8 & 0xff));
    if (pad < 1) out->push_back(static_cast<char>(v & 0xff));
  }
  return true;
}

}  // namespace norvale::credstore
