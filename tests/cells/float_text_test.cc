#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "norvale/nv_cells.h"
#include "test_seed.h"

namespace {

std::string format_double(double v) {
  char buffer[32];
  const int n = nv_ryu_format_double_general(buffer, sizeof(buffer), v);
  return n < 0 ? "<error>" : std::string(buffer, n);
}

std::string format_float(float v) {
  char buffer[24];
  const int n = nv_ryu_format_float_general(buffer, sizeof(buffer), v);
  return n < 0 ? "<error>" : std::string(buffer, n);
}

TEST(FloatText, DoubleCases) {
  struct Case {
    double value;
    const char* text;
  };
  const Case cases[] = {
      {123.0, "123"},
      {1.5, "1.5"},
      {0.1, "0.1"},
      {1e16, "10000000000000000"},
      {1e17, "1e+17"},
      {1.2345678901234567e16, "12345678901234568"},
      {1.2345678901234568e17, "1.2345678901234568e+17"},
      {0.0001, "0.0001"},
      {0.00012345, "0.00012345"},
      {0.00001, "1e-05"},
      {1.2345e-300, "1.2345e-300"},
      {0.0, "0"},
      {-0.0, "-0"},
      {-2.5, "-2.5"},
      {100.25, "100.25"},
      {5e-324, "5e-324"},
      {DBL_MAX, "1.7976931348623157e+308"},
      {-DBL_MIN, "-2.2250738585072014e-308"},
      {1e100, "1e+100"},
      {9007199254740993.0, "9007199254740992"},
  };
  for (const Case& c : cases) EXPECT_EQ(format_double(c.value), c.text) << c.text;
}

TEST(FloatText, FloatCases) {
  struct Case {
    float value;
    const char* text;
  };
  const Case cases[] = {
      {0.1f, "0.1"},        {1.5f, "1.5"},        {1e16f, "10000000000000000"},
      {1e17f, "1e+17"},     {1e-5f, "1e-05"},     {-0.0f, "-0"},
      {FLT_MAX, "3.4028235e+38"}, {1e-45f, "1e-45"}, {16777217.0f, "16777216"},
      {3.14159274f, "3.1415927"},
  };
  for (const Case& c : cases) EXPECT_EQ(format_float(c.value), c.text) << c.text;
}

TEST(FloatText, SmallBuffersAreRefused) {
  char buffer[32];
  EXPECT_EQ(nv_ryu_format_double_general(buffer, 31, 1.0), -1);
  EXPECT_EQ(nv_ryu_format_float_general(buffer, 23, 1.0f), -1);
  EXPECT_EQ(nv_ryu_format_double_general(nullptr, 32, 1.0), -1);
  EXPECT_EQ(nv_ryu_format_float_general(buffer, 24, 1.0f), 1);
}

TEST(FloatText, DecimalOfSpecialValues) {
  const NVRyuDecimal zero = nv_ryu_double_to_decimal(-0.0);
  EXPECT_EQ(zero.mantissa, 0u);
  EXPECT_EQ(zero.exponent, 0);
  EXPECT_EQ(zero.negative, 1);
  const NVRyuDecimal inf = nv_ryu_float_to_decimal(std::numeric_limits<float>::infinity());
  EXPECT_EQ(inf.mantissa, 0u);
  EXPECT_EQ(inf.exponent, std::numeric_limits<int32_t>::max());
  const NVRyuDecimal d = nv_ryu_double_to_decimal(-1.25e-7);
  EXPECT_EQ(d.mantissa, 125u);
  EXPECT_EQ(d.exponent, -9);
  EXPECT_EQ(d.negative, 1);
  const NVRyuDecimal big = nv_ryu_double_to_decimal(1e17);
  EXPECT_EQ(big.mantissa, 1u);
  EXPECT_EQ(big.exponent, 17);
}

// Significant digits in a formatted text (leading zeros and the exponent do not count).
int significant_digits(const std::string& text) {
  std::string digits;
  for (char c : text) {
    if (c == 'e') break;
    if (c >= '0' && c <= '9') digits.push_back(c);
  }
  const size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return 1;
  const size_t last = digits.find_last_not_of('0');
  // Trailing zeros of an integer written in fixed notation are not significant.
  return static_cast<int>(last - first + 1);
}

template <typename T>
T parse(const std::string& text) {
  if constexpr (std::is_same_v<T, float>) {
    return std::strtof(text.c_str(), nullptr);
  } else {
    return std::strtod(text.c_str(), nullptr);
  }
}

// True when some decimal with `digits` significant digits reads back to `value`: the two
// such decimals around the value are tried (and one more on each side for safety).
template <typename T>
bool fewer_digits_round_trip(T value, int digits) {
  if (digits < 1) return false;
  char text[64];
  std::snprintf(text, sizeof(text), "%.*e", digits - 1, static_cast<double>(value));
  char* e = std::strchr(text, 'e');
  const int exponent = std::atoi(e + 1) - (digits - 1);
  *e = '\0';
  std::string mantissa_text;
  for (char* p = text; *p; ++p) {
    if (*p >= '0' && *p <= '9') mantissa_text.push_back(*p);
  }
  const long long mantissa = std::atoll(mantissa_text.c_str());
  for (long long m = mantissa - 2; m <= mantissa + 2; ++m) {
    if (m <= 0) continue;
    const std::string candidate =
        (value < 0 ? "-" : "") + std::to_string(m) + "e" + std::to_string(exponent);
    if (significant_digits(std::to_string(m)) > digits) continue;
    const T back = parse<T>(candidate);
    if (std::memcmp(&back, &value, sizeof(T)) == 0) return true;
  }
  return false;
}

template <typename T, typename Bits>
void check_random_values(uint64_t seed, int iterations) {
  std::mt19937_64 rng(seed);
  for (int i = 0; i < iterations; ++i) {
    const Bits bits = static_cast<Bits>(rng());
    T value;
    std::memcpy(&value, &bits, sizeof(T));
    if (!std::isfinite(value)) continue;
    const std::string text = std::is_same_v<T, float> ? format_float(static_cast<float>(value))
                                                      : format_double(static_cast<double>(value));
    const T back = parse<T>(text);
    ASSERT_EQ(std::memcmp(&back, &value, sizeof(T)), 0) << text;
    if (value == 0) continue;
    const int digits = significant_digits(text);
    ASSERT_FALSE(fewer_digits_round_trip(value, digits - 1)) << text << " is not the shortest";
    // The decimal form agrees with the text: same digits, and it reads back too.
    const NVRyuDecimal d = std::is_same_v<T, float>
                               ? nv_ryu_float_to_decimal(static_cast<float>(value))
                               : nv_ryu_double_to_decimal(static_cast<double>(value));
    ASSERT_EQ(d.negative, std::signbit(value) ? 1 : 0);
    ASSERT_NE(d.mantissa % 10, 0u) << "mantissa keeps a trailing zero";
    ASSERT_EQ(significant_digits(std::to_string(d.mantissa)), digits) << text;
    const std::string decimal_text = (d.negative ? "-" : "") + std::to_string(d.mantissa) + "e" +
                                     std::to_string(d.exponent);
    const T from_decimal = parse<T>(decimal_text);
    ASSERT_EQ(std::memcmp(&from_decimal, &value, sizeof(T)), 0) << decimal_text << " vs " << text;
  }
}

TEST(FloatText, RandomDoublesAreShortestAndRoundTrip) {
  check_random_values<double, uint64_t>(nv_test_seed(), 200000);
}

TEST(FloatText, RandomFloatsAreShortestAndRoundTrip) {
  check_random_values<float, uint32_t>(nv_test_seed(), 200000);
}

TEST(FloatText, RandomDecimalLikeDoublesRoundTrip) {
  // Values with few digits (prices, ratios) exercise the fixed window more than random bits.
  std::mt19937_64 rng(nv_test_seed());
  for (int i = 0; i < 100000; ++i) {
    const double v = static_cast<double>(static_cast<int64_t>(rng() % 2000001) - 1000000) *
                     std::pow(10.0, static_cast<int>(rng() % 41) - 20);
    const std::string text = format_double(v);
    ASSERT_EQ(parse<double>(text), v) << text;
    ASSERT_EQ(text.find('e') == std::string::npos,
              v == 0 || (std::fabs(v) >= 1e-4 && std::fabs(v) < 1e17))
        << text;
  }
}

}  // namespace
