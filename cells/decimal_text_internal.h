// Decimal text of scaled two's-complement integers (decimal128, decimal256, SQL_NUMERIC).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace norvale::cells {

/// Decimal digits of an unsigned little-endian magnitude of `word_count` 64-bit words (at most
/// 4); "0" for zero. out needs 80 bytes; returns the digit count.
size_t magnitude_digits(const uint64_t* words, size_t word_count, char* out);

/// Appends the digits of a magnitude placed at `scale`: the sign when negative, then a point
/// before the last scale digits (leading zeros added as needed); a negative scale appends
/// -scale zeros instead.
void append_scaled_digits(std::string& out, bool negative, std::string_view digits,
                          int32_t scale);

/// Appends the text of a little-endian two's-complement value of 16 or 32 bytes at `scale`:
/// 12345 at scale 2 is 123.45, -5 at scale 3 is -0.005.
void format_decimal_le(std::string& out, const uint8_t* bytes, size_t width, int32_t scale);

}  // namespace norvale::cells
