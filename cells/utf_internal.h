// Strict UTF-8 and UTF-16 decoding steps shared by the conversions and the parameter literals.
#pragma once

#include <cstddef>
#include <cstdint>

namespace norvale::cells {

/// Decodes one strict UTF-8 sequence starting at text[i]; advances i past it and stores the
/// code point. False (i unchanged) for a stray continuation byte, a lead byte of 0xF8 or more,
/// a sequence cut by the end, an overlong form, an encoded surrogate or a value above U+10FFFF.
inline bool decode_utf8(const uint8_t* text, size_t length, size_t& i, uint32_t& code_point) {
  const uint8_t lead = text[i];
  if (lead < 0x80) {
    code_point = lead;
    ++i;
    return true;
  }
  size_t extra;
  uint32_t value;
  uint32_t minimum;
  if ((lead & 0xE0) == 0xC0) {
    extra = 1, value = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, value = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, value = lead & 0x07, minimum = 0x10000;
  } else {
    return false;
  }
  if (length - i <= extra) return false;
  for (size_t k = 1; k <= extra; ++k) {
    const uint8_t c = text[i + k];
    if ((c & 0xC0) != 0x80) return false;
    value = (value << 6) | (c & 0x3F);
  }
  // Overlong forms of every length are refused: they would let one character pass as another.
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
  code_point = value;
  i += extra + 1;
  return true;
}

/// Appends the UTF-8 bytes of a code point (at most 4) at out; returns the count.
inline size_t encode_utf8(uint32_t cp, char* out) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

/// Decodes one strict UTF-16 code point at text[i]; advances i by one or two units. False for
/// a lone low surrogate or a high surrogate not followed by a low one.
inline bool decode_utf16(const uint16_t* text, size_t length, size_t& i, uint32_t& code_point) {
  const uint32_t unit = text[i];
  if (unit < 0xD800 || unit > 0xDFFF) {
    code_point = unit;
    ++i;
    return true;
  }
  if (unit >= 0xDC00 || i + 1 >= length) return false;
  const uint32_t low = text[i + 1];
  if (low < 0xDC00 || low > 0xDFFF) return false;
  code_point = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
  i += 2;
  return true;
}

}  // namespace norvale::cells
