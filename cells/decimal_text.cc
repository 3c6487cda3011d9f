// Decimal text of wide two's-complement integers.
#include <charconv>
#include <cstring>

#include "cells/decimal_text_internal.h"

namespace norvale::cells {

size_t magnitude_digits(const uint64_t* words, size_t word_count, char* out) {
  bool one_word = true;
  for (size_t i = 1; i < word_count; ++i) one_word = one_word && words[i] == 0;
  if (one_word) {
    // Most values fit in 64 bits: skip the wide division.
    return static_cast<size_t>(std::to_chars(out, out + 20, words[0]).ptr - out);
  }
  uint64_t w[4] = {0, 0, 0, 0};
  std::memcpy(w, words, word_count * sizeof(uint64_t));
  // Divide by 10^19 repeatedly, most significant word first; each remainder gives 19 digits.
  constexpr uint64_t kChunk = 10000000000000000000ULL;
  char reversed[80];
  size_t n = 0;
  auto is_zero = [&] {
    for (size_t i = 0; i < word_count; ++i)
      if (w[i] != 0) return false;
    return true;
  };
  do {
    unsigned __int128 remainder = 0;
    for (size_t i = word_count; i-- > 0;) {
      const unsigned __int128 current = (remainder << 64) | w[i];
      w[i] = static_cast<uint64_t>(current / kChunk);
      remainder = current % kChunk;
    }
    uint64_t chunk = static_cast<uint64_t>(remainder);
    const bool last = is_zero();
    for (int k = 0; k < 19 && (!last || chunk != 0 || k == 0); ++k) {
      reversed[n++] = static_cast<char>('0' + chunk % 10);
      chunk /= 10;
    }
  } while (!is_zero());
  for (size_t i = 0; i < n; ++i) out[i] = reversed[n - 1 - i];
  return n;
}

void append_scaled_digits(std::string& out, bool negative, std::string_view digits,
                          int32_t scale) {
  if (negative) out.push_back('-');
  const auto count = static_cast<int64_t>(digits.size());
  if (scale <= 0) {
    out.append(digits);
    out.append(static_cast<size_t>(-static_cast<int64_t>(scale)), '0');
  } else if (scale < count) {
    out.append(digits.substr(0, count - scale));
    out.push_back('.');
    out.append(digits.substr(count - scale));
  } else {
    out.append("0.");
    out.append(static_cast<size_t>(scale - count), '0');
    out.append(digits);
  }
}

void format_decimal_le(std::string& out, const uint8_t* bytes, size_t width, int32_t scale) {
  const size_t word_count = width / 8;
  uint64_t words[4];
  std::memcpy(words, bytes, word_count * 8);
  const bool negative = (words[word_count - 1] >> 63) != 0;
  if (negative) {
    // Two's-complement negation: invert and add one with carry.
    uint64_t carry = 1;
    for (size_t i = 0; i < word_count; ++i) {
      words[i] = ~words[i] + carry;
      carry = (carry && words[i] == 0) ? 1 : 0;
    }
  }
  char digits[80];
  const size_t n = magnitude_digits(words, word_count, digits);
  append_scaled_digits(out, negative, std::string_view(digits, n), scale);
}

}  // namespace norvale::cells
