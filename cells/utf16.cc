// Strict conversions between UTF-8 and UTF-16 and the ODBC wide-buffer writer.
#include <cstring>
#include <limits>
#include <string>

#include "cells/utf_internal.h"
#include "norvale/nv_cells.h"

namespace {

constexpr size_t kMaxWideLength = 0x10000000;

using norvale::cells::decode_utf16;
using norvale::cells::decode_utf8;
using norvale::cells::encode_utf8;

int utf16_to_utf8(const uint16_t* text, size_t length, std::string& out) {
  // Worst case three bytes per unit (a pair of units gives four bytes).
  out.reserve(out.size() + length * 3);
  char bytes[4];
  size_t i = 0;
  while (i < length) {
    uint32_t cp;
    if (!decode_utf16(text, length, i, cp)) return 0;
    out.append(bytes, encode_utf8(cp, bytes));
  }
  return 1;
}

// Counts the UTF-16 units of a UTF-8 text and writes as many as fit before the terminator.
int32_t write_wstring(const char* text, uint16_t* buffer, int64_t capacity) {
  const bool has_buffer = buffer != nullptr && capacity > 0;
  if (text == nullptr || *text == '\0') {
    if (has_buffer) buffer[0] = 0;
    return 0;
  }
  const auto* bytes = reinterpret_cast<const uint8_t*>(text);
  const size_t length = std::strlen(text);
  int64_t room = has_buffer ? capacity - 1 : 0;
  int64_t written = 0;
  int64_t total = 0;
  size_t i = 0;
  while (i < length) {
    uint32_t cp;
    if (!decode_utf8(bytes, length, i, cp)) {
      if (has_buffer) buffer[0] = 0;
      return 0;
    }
    if (cp < 0x10000) {
      if (written < room) buffer[written++] = static_cast<uint16_t>(cp);
      total += 1;
    } else {
      // A pair that does not fit whole is left out, so the buffer never ends in half a pair;
      // nothing after it is written either.
      if (written + 2 <= room) {
        buffer[written++] = static_cast<uint16_t>(0xD800 + ((cp - 0x10000) >> 10));
        buffer[written++] = static_cast<uint16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
      } else {
        room = written;
      }
      total += 2;
    }
  }
  if (has_buffer) buffer[written] = 0;
  return total > std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::max()
                                                     : static_cast<int32_t>(total);
}

}  // namespace

extern "C" size_t nv_wcslen(const uint16_t* text) {
  if (text == nullptr) return 0;
  size_t n = 0;
  while (n < kMaxWideLength && text[n] != 0) ++n;
  return n;
}

int nv_utf16_to_utf8(const uint16_t* text, size_t length, std::string& out) {
  if (text == nullptr) return 1;
  if (length == std::numeric_limits<size_t>::max()) length = nv_wcslen(text);
  try {
    return utf16_to_utf8(text, length, out);
  } catch (...) {
    return 0;
  }
}

int nv_utf16_to_utf8_n(const uint16_t* text, int32_t length, std::string& out) {
  return nv_utf16_to_utf8(
      text, length < 0 ? std::numeric_limits<size_t>::max() : static_cast<size_t>(length), out);
}

int nv_utf8_to_utf16(const char* text, size_t length, std::u16string& out) {
  if (text == nullptr) return 1;
  try {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text);
    out.reserve(out.size() + length);
    size_t i = 0;
    while (i < length) {
      uint32_t cp;
      if (!decode_utf8(bytes, length, i, cp)) return 0;
      if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
      } else {
        out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
      }
    }
    return 1;
  } catch (...) {
    return 0;
  }
}

int nv_utf8_to_utf16(const std::string& text, std::u16string& out) {
  return nv_utf8_to_utf16(text.data(), text.size(), out);
}

extern "C" int32_t nv_write_wstring(const char* text, uint16_t* buffer, int16_t capacity) {
  return write_wstring(text, buffer, capacity);
}

extern "C" int32_t nv_write_wstring_i(const char* text, uint16_t* buffer, int32_t capacity) {
  return write_wstring(text, buffer, capacity);
}
