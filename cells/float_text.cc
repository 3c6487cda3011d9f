// Shortest float text: the digits come from std::to_chars, whose shortest form is the same as
// Ryu's (fewest digits, then the nearest to the value), laid out in the library's own notation.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "cells/float_text_internal.h"
#include "norvale/nv_cells.h"

namespace norvale::cells {
namespace {

template <typename T>
ShortestDigits shortest_digits_of(T value) {
  ShortestDigits d;
  d.negative = std::signbit(value);
  if (value == 0) {
    d.digits[0] = '0';
    d.count = 1;
    return d;
  }
  // Scientific shortest form: [-]D[.DDD]e(+|-)XX
  char text[40];
  const auto result =
      std::to_chars(text, text + sizeof(text), std::fabs(value), std::chars_format::scientific);
  const char* p = text;
  const char* end = result.ptr;
  while (p < end && *p != 'e') {
    if (*p != '.') d.digits[d.count++] = *p;
    ++p;
  }
  ++p;  // 'e'
  const bool negative_exponent = *p == '-';
  ++p;
  int exponent = 0;
  for (; p < end; ++p) exponent = exponent * 10 + (*p - '0');
  d.exponent = negative_exponent ? -exponent : exponent;
  return d;
}

size_t write_general(const ShortestDigits& d, char* out) {
  char* p = out;
  if (d.negative) *p++ = '-';
  const int n = d.count;
  const int x = d.exponent;
  if (n == 1 && d.digits[0] == '0') {
    *p++ = '0';
  } else if (x >= -4 && x <= 16) {
    if (x >= n - 1) {
      std::memcpy(p, d.digits, n);
      p += n;
      std::memset(p, '0', x - n + 1);
      p += x - n + 1;
    } else if (x >= 0) {
      std::memcpy(p, d.digits, x + 1);
      p += x + 1;
      *p++ = '.';
      std::memcpy(p, d.digits + x + 1, n - x - 1);
      p += n - x - 1;
    } else {
      *p++ = '0';
      *p++ = '.';
      std::memset(p, '0', -x - 1);
      p += -x - 1;
      std::memcpy(p, d.digits, n);
      p += n;
    }
  } else {
    *p++ = d.digits[0];
    if (n > 1) {
      *p++ = '.';
      std::memcpy(p, d.digits + 1, n - 1);
      p += n - 1;
    }
    *p++ = 'e';
    *p++ = x < 0 ? '-' : '+';
    const int magnitude = x < 0 ? -x : x;
    if (magnitude >= 100) *p++ = static_cast<char>('0' + magnitude / 100);
    *p++ = static_cast<char>('0' + magnitude / 10 % 10);
    *p++ = static_cast<char>('0' + magnitude % 10);
  }
  return static_cast<size_t>(p - out);
}

template <typename T>
size_t format_general_of(T value, char* out) {
  if (std::isnan(value)) {
    std::memcpy(out, "NaN", 3);
    return 3;
  }
  if (std::isinf(value)) {
    if (value < 0) {
      std::memcpy(out, "-Infinity", 9);
      return 9;
    }
    std::memcpy(out, "Infinity", 8);
    return 8;
  }
  return write_general(shortest_digits_of(value), out);
}

template <typename T>
NVRyuDecimal to_decimal(T value) {
  NVRyuDecimal r{0, 0, std::signbit(value) ? 1 : 0};
  if (!std::isfinite(value)) {
    r.exponent = std::numeric_limits<int32_t>::max();
    return r;
  }
  if (value == 0) return r;
  const ShortestDigits d = shortest_digits_of(value);
  for (int i = 0; i < d.count; ++i) r.mantissa = r.mantissa * 10 + (d.digits[i] - '0');
  r.exponent = d.exponent - (d.count - 1);
  return r;
}

}  // namespace

ShortestDigits shortest_digits(double value) { return shortest_digits_of(value); }
ShortestDigits shortest_digits(float value) { return shortest_digits_of(value); }
size_t format_general(double value, char* out) { return format_general_of(value, out); }
size_t format_general(float value, char* out) { return format_general_of(value, out); }

}  // namespace norvale::cells

extern "C" int nv_ryu_format_double_general(char* buffer, size_t capacity, double value) {
  if (buffer == nullptr || capacity < 32) return -1;
  return static_cast<int>(norvale::cells::format_general(value, buffer));
}

extern "C" int nv_ryu_format_float_general(char* buffer, size_t capacity, float value) {
  if (buffer == nullptr || capacity < 24) return -1;
  return static_cast<int>(norvale::cells::format_general(value, buffer));
}

extern "C" NVRyuDecimal nv_ryu_double_to_decimal(double value) {
  return norvale::cells::to_decimal(value);
}

extern "C" NVRyuDecimal nv_ryu_float_to_decimal(float value) {
  return norvale::cells::to_decimal(value);
}
