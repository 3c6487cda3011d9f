// Hexadecimal encoding: a table routine and 16- and 32-byte-wide shuffle routines that look
// each nibble up in a register holding "0123456789abcdef".
#include "cells/hex_encode_internal.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define NV_HEX_X86 1
#endif

namespace norvale::cells {
namespace {

constexpr char kDigits[] = "0123456789abcdef";

#if NV_HEX_X86
__attribute__((target("ssse3"))) void hex_encode_ssse3(const uint8_t* data, size_t length,
                                                        char* out) {
  const __m128i table = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kDigits));
  const __m128i low_mask = _mm_set1_epi8(0x0F);
  size_t i = 0;
  for (; i + 16 <= length; i += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
    const __m128i high = _mm_and_si128(_mm_srli_epi16(bytes, 4), low_mask);
    const __m128i low = _mm_and_si128(bytes, low_mask);
    const __m128i high_chars = _mm_shuffle_epi8(table, high);
    const __m128i low_chars = _mm_shuffle_epi8(table, low);
    // Interleave so each byte's high digit comes first.
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i),
                     _mm_unpacklo_epi8(high_chars, low_chars));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i + 16),
                     _mm_unpackhi_epi8(high_chars, low_chars));
  }
  hex_encode_table(data + i, length - i, out + 2 * i);
}

__attribute__((target("avx2"))) void hex_encode_avx2(const uint8_t* data, size_t length,
                                                      char* out) {
  const __m256i table =
      _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(kDigits)));
  const __m256i low_mask = _mm256_set1_epi8(0x0F);
  size_t i = 0;
  for (; i + 32 <= length; i += 32) {
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i));
    const __m256i high = _mm256_and_si256(_mm256_srli_epi16(bytes, 4), low_mask);
    const __m256i low = _mm256_and_si256(bytes, low_mask);
    const __m256i high_chars = _mm256_shuffle_epi8(table, high);
    const __m256i low_chars = _mm256_shuffle_epi8(table, low);
    // The unpacks work per 128-bit lane: lane 0 holds bytes 0-7 | 16-23, lane 1 8-15 | 24-31.
    const __m256i lo = _mm256_unpacklo_epi8(high_chars, low_chars);
    const __m256i hi = _mm256_unpackhi_epi8(high_chars, low_chars);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * i),
                        _mm256_permute2x128_si256(lo, hi, 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * i + 32),
                        _mm256_permute2x128_si256(lo, hi, 0x31));
  }
  hex_encode_table(data + i, length - i, out + 2 * i);
}
#endif

struct Choice {
  HexEncodeFn fn;
  const char* name;
};

Choice choose() {
#if NV_HEX_X86
  __builtin_cpu_init();
#endif
  if (HexEncodeFn f = hex_encode_avx2_if_supported()) return {f, "avx2"};
  if (HexEncodeFn f = hex_encode_ssse3_if_supported()) return {f, "ssse3"};
  return {hex_encode_table, "table"};
}

const Choice& chosen() {
  static const Choice choice = choose();
  return choice;
}

}  // namespace

void hex_encode_table(const uint8_t* data, size_t length, char* out) {
  for (size_t i = 0; i < length; ++i) {
    out[2 * i] = kDigits[data[i] >> 4];
    out[2 * i + 1] = kDigits[data[i] & 0x0F];
  }
}

HexEncodeFn hex_encode_ssse3_if_supported() {
#if NV_HEX_X86
  if (__builtin_cpu_supports("ssse3")) return hex_encode_ssse3;
#endif
  return nullptr;
}

HexEncodeFn hex_encode_avx2_if_supported() {
#if NV_HEX_X86
  if (__builtin_cpu_supports("avx2")) return hex_encode_avx2;
#endif
  return nullptr;
}

void hex_encode_bytes(const uint8_t* data, size_t length, char* out) {
  chosen().fn(data, length, out);
}

const char* hex_encode_routine_name() { return chosen().name; }

}  // namespace norvale::cells
