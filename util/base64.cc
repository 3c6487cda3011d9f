#include <array>
#include <cstdint>

#include "util/base64_internal.h"

namespace norvale {
namespace {

constexpr std::array<int8_t, 256> make_table() {
  std::array<int8_t, 256> t{};
  for (auto& v : t) v = -1;
  const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(alphabet[i])] = static_cast<int8_t>(i);
  return t;
}

constexpr auto kTable = make_table();
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::optional<std::string> refuse(std::string* partial) {
  for (char& c : *partial) *static_cast<volatile char*>(&c) = '\0';
  return std::nullopt;
}

}  // namespace

std::string base64_encode(std::string_view data) {
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  auto byte = [&](size_t i) { return uint32_t{static_cast<uint8_t>(data[i])}; };
  size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    const uint32_t group = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
    out.push_back(kAlphabet[group >> 18 & 63]);
    out.push_back(kAlphabet[group >> 12 & 63]);
    out.push_back(kAlphabet[group >> 6 & 63]);
    out.push_back(kAlphabet[group & 63]);
  }
  const size_t rest = data.size() - i;
  if (rest > 0) {
    uint32_t group = byte(i) << 16;
    if (rest == 2) group |= byte(i + 1) << 8;
    out.push_back(kAlphabet[group >> 18 & 63]);
    out.push_back(kAlphabet[group >> 12 & 63]);
    out.push_back(rest == 2 ? kAlphabet[group >> 6 & 63] : '=');
    out.push_back('=');
  }
  return out;
}

std::optional<std::string> base64_decode_strict(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    int pad = 0;
    if (last && text[i + 3] == '=') pad = text[i + 2] == '=' ? 2 : 1;
    uint32_t group = 0;
    for (int k = 0; k < 4; ++k) {
      int8_t v = 0;
      if (k < 4 - pad) {
        v = kTable[static_cast<unsigned char>(text[i + k])];
        if (v < 0) return refuse(&out);
      }
      group = (group << 6) | static_cast<uint32_t>(v);
    }
    out.push_back(static_cast<char>(group >> 16));
    if (pad < 2) out.push_back(static_cast<char>(group >> 8));
    if (pad < 1) out.push_back(static_cast<char>(group));
  }
  return out;
}

}  // namespace norvale
