// Shortest round-trip decimal digits of binary floating-point values.
#pragma once

#include <cstddef>

namespace norvale::cells {

/// The value as D1.D2...Dn x 10^exponent with the fewest digits that read back to it.
struct ShortestDigits {
  char digits[20];
  int count = 0;
  int exponent = 0;
  bool negative = false;
};

/// Digits of a finite value; zero gives the single digit 0 with exponent 0.
ShortestDigits shortest_digits(double value);
ShortestDigits shortest_digits(float value);

/// Longest text written by format_general for either precision.
constexpr size_t kMaxFloatText = 32;

/// Writes the general text of a finite value into out (kMaxFloatText bytes of room); returns
/// its length. Non-finite values give "NaN", "Infinity" or "-Infinity".
size_t format_general(double value, char* out);
size_t format_general(float value, char* out);

}  // namespace norvale::cells
