#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "norvale/nv_cells.h"
#include "test_seed.h"

namespace {

std::string bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s.push_back(static_cast<char>(b));
  return s;
}

TEST(Utf16, WcslenStopsAtZeroAndAcceptsNull) {
  EXPECT_EQ(nv_wcslen(nullptr), 0u);
  const uint16_t empty[] = {0, 'a'};
  EXPECT_EQ(nv_wcslen(empty), 0u);
  const uint16_t abc[] = {'a', 'b', 'c', 0};
  EXPECT_EQ(nv_wcslen(abc), 3u);
}

TEST(Utf16, MixedTextRoundTrips) {
  // A, e with acute accent, U+1F600.
  const std::string text = "A\xC3\xA9\xF0\x9F\x98\x80";
  std::u16string wide;
  ASSERT_EQ(nv_utf8_to_utf16(text, wide), 1);
  EXPECT_EQ(wide, (std::u16string{u'A', 0x00E9, 0xD83D, 0xDE00}));
  std::string back;
  ASSERT_EQ(nv_utf16_to_utf8(reinterpret_cast<const uint16_t*>(wide.data()), wide.size(), back),
            1);
  EXPECT_EQ(back, text);
  // NUL-terminated forms: SIZE_MAX and a negative signed length.
  std::u16string terminated = wide + u'\0';
  std::string a, b;
  EXPECT_EQ(nv_utf16_to_utf8(reinterpret_cast<const uint16_t*>(terminated.data()),
                             std::numeric_limits<size_t>::max(), a),
            1);
  EXPECT_EQ(nv_utf16_to_utf8_n(reinterpret_cast<const uint16_t*>(terminated.data()), -1, b), 1);
  EXPECT_EQ(a, text);
  EXPECT_EQ(b, text);
}

TEST(Utf16, NullInputsConvertToNothing) {
  std::string out = "keep";
  std::u16string wide = u"keep";
  EXPECT_EQ(nv_utf16_to_utf8(nullptr, 5, out), 1);
  EXPECT_EQ(nv_utf8_to_utf16(nullptr, 5, wide), 1);
  EXPECT_EQ(out, "keep");
  EXPECT_EQ(wide, u"keep");
}

TEST(Utf16, RefusedUtf8KeepsConvertedPrefix) {
  struct Case {
    const char* what;
    std::string bad;
  };
  const Case cases[] = {
      {"stray continuation", bytes({0x80})},
      {"lead F8", bytes({0xF8, 0x88, 0x80, 0x80, 0x80})},
      {"lead FF", bytes({0xFF})},
      {"cut 2-byte", bytes({0xC3})},
      {"cut 3-byte", bytes({0xE2, 0x82})},
      {"cut 4-byte", bytes({0xF0, 0x9F, 0x98})},
      {"bad continuation", bytes({0xC3, 0x41})},
      {"overlong NUL", bytes({0xC0, 0x80})},
      {"overlong 2-byte", bytes({0xC1, 0xBF})},
      {"overlong 3-byte", bytes({0xE0, 0x9F, 0xBF})},
      {"overlong 4-byte", bytes({0xF0, 0x8F, 0xBF, 0xBF})},
      {"encoded high surrogate", bytes({0xED, 0xA0, 0x80})},
      {"encoded low surrogate", bytes({0xED, 0xBF, 0xBF})},
      {"above U+10FFFF", bytes({0xF4, 0x90, 0x80, 0x80})},
      {"lead F5", bytes({0xF5, 0x80, 0x80, 0x80})},
  };
  for (const Case& c : cases) {
    std::u16string wide;
    EXPECT_EQ(nv_utf8_to_utf16("ab" + c.bad + "cd", wide), 0) << c.what;
    EXPECT_EQ(wide, u"ab") << c.what;
    uint16_t buffer[8] = {'x', 'x', 'x'};
    EXPECT_EQ(nv_write_wstring(("ab" + c.bad).c_str(), buffer, 8), 0) << c.what;
    EXPECT_EQ(buffer[0], 0) << c.what;
  }
}

TEST(Utf16, RefusedUtf16) {
  struct Case {
    const char* what;
    std::vector<uint16_t> units;
  };
  const Case cases[] = {
      {"lone low", {'a', 0xDC00}},
      {"high then letter", {'a', 0xD800, 0x0041}},
      {"high at end", {'a', 0xDBFF}},
      {"two highs", {'a', 0xD800, 0xD800, 0xDC00}},
  };
  for (const Case& c : cases) {
    std::string out;
    EXPECT_EQ(nv_utf16_to_utf8(c.units.data(), c.units.size(), out), 0) << c.what;
    EXPECT_EQ(out, "a") << c.what;
  }
}

TEST(Utf16, WideWriterTruncatesLikeOdbc) {
  struct Case {
    std::string text;
    int capacity;
    int32_t result;
    std::vector<uint16_t> written;  // up to and including the terminator
  };
  const std::string emoji = "\xF0\x9F\x98\x80";
  const Case cases[] = {
      {"abc", 3, 3, {'a', 'b', 0}},
      {"abc", 4, 3, {'a', 'b', 'c', 0}},
      {"abc", 1, 3, {0}},
      {"", 1, 0, {0}},
      {"a" + emoji, 4, 3, {'a', 0xD83D, 0xDE00, 0}},
      // The pair does not fit whole: left out, and nothing after it is written.
      {"a" + emoji + "b", 3, 4, {'a', 0}},
      {"a" + emoji, 2, 3, {'a', 0}},
  };
  for (const Case& c : cases) {
    std::vector<uint16_t> buffer(8, 0xFFFF);
    EXPECT_EQ(nv_write_wstring(c.text.c_str(), buffer.data(), static_cast<int16_t>(c.capacity)),
              c.result)
        << c.text << " cap " << c.capacity;
    EXPECT_EQ(std::vector<uint16_t>(buffer.begin(), buffer.begin() + c.written.size()),
              c.written)
        << c.text << " cap " << c.capacity;
    EXPECT_EQ(buffer[c.written.size()], 0xFFFF) << "wrote past the terminator";
  }
  // Without a buffer only the length is computed.
  uint16_t untouched = 0xFFFF;
  EXPECT_EQ(nv_write_wstring("abc", &untouched, 0), 3);
  EXPECT_EQ(nv_write_wstring_i("abc", &untouched, -5), 3);
  EXPECT_EQ(nv_write_wstring("abc" , nullptr, 10), 3);
  EXPECT_EQ(untouched, 0xFFFF);
  EXPECT_EQ(nv_write_wstring_i(("x" + emoji).c_str(), nullptr, 0), 3);
}

// Random code points drawn from every encoding length.
uint32_t random_code_point(std::mt19937_64& rng) {
  switch (rng() % 4) {
    case 0: return rng() % 0x80;
    case 1: return 0x80 + rng() % (0x800 - 0x80);
    case 2: {
      uint32_t cp;
      do cp = 0x800 + rng() % (0x10000 - 0x800);
      while (cp >= 0xD800 && cp <= 0xDFFF);
      return cp;
    }
    default: return 0x10000 + rng() % (0x110000 - 0x10000);
  }
}

TEST(Utf16, RandomTextsRoundTripBothWays) {
  const uint64_t seed = nv_test_seed();
  std::mt19937_64 rng(seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  for (int iter = 0; iter < 3000; ++iter) {
    std::u16string wide;
    size_t utf8_length = 0;
    const int n = static_cast<int>(rng() % 40);
    for (int i = 0; i < n; ++i) {
      const uint32_t cp = random_code_point(rng);
      utf8_length += cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
      if (cp < 0x10000) {
        wide.push_back(static_cast<char16_t>(cp));
      } else {
        wide.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
        wide.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
      }
    }
    std::string utf8;
    ASSERT_EQ(nv_utf16_to_utf8(reinterpret_cast<const uint16_t*>(wide.data()), wide.size(), utf8),
              1);
    ASSERT_EQ(utf8.size(), utf8_length);
    std::u16string back;
    ASSERT_EQ(nv_utf8_to_utf16(utf8, back), 1);
    ASSERT_EQ(back, wide);
    std::string again;
    ASSERT_EQ(nv_utf16_to_utf8(reinterpret_cast<const uint16_t*>(back.data()), back.size(), again),
              1);
    ASSERT_EQ(again, utf8);
    // The wide writer agrees on the length and, with room, on the units.
    if (utf8.find('\0') == std::string::npos) {
      std::vector<uint16_t> buffer(wide.size() + 1, 0xFFFF);
      ASSERT_EQ(nv_write_wstring_i(utf8.c_str(), buffer.data(),
                                   static_cast<int32_t>(buffer.size())),
                static_cast<int32_t>(wide.size()));
      ASSERT_EQ(std::u16string(buffer.begin(), buffer.end() - 1), wide);
      ASSERT_EQ(buffer.back(), 0);
    }
  }
}

TEST(Utf16, RandomMalformedSequencesAreRefused) {
  const uint64_t seed = nv_test_seed();
  std::mt19937_64 rng(seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  auto bad_sequence = [&]() -> std::string {
    switch (rng() % 7) {
      case 0: return bytes({0x80 + static_cast<int>(rng() % 64)});  // stray continuation
      case 1: return bytes({0xF8 + static_cast<int>(rng() % 8)});    // lead F8..FF
      case 2: {                                                      // overlong 2-byte
        return bytes({0xC0 + static_cast<int>(rng() % 2), 0x80 + static_cast<int>(rng() % 64)});
      }
      case 3: {  // overlong 3-byte: E0 followed by 80..9F
        return bytes({0xE0, 0x80 + static_cast<int>(rng() % 32),
                      0x80 + static_cast<int>(rng() % 64)});
      }
      case 4: {  // encoded surrogate: ED A0..BF
        return bytes({0xED, 0xA0 + static_cast<int>(rng() % 32),
                      0x80 + static_cast<int>(rng() % 64)});
      }
      case 5: {  // above U+10FFFF: F4 90..BF, or F5..F7
        if (rng() % 2) return bytes({0xF4, 0x90 + static_cast<int>(rng() % 48), 0x80, 0x80});
        return bytes({0xF5 + static_cast<int>(rng() % 3), 0x80, 0x80, 0x80});
      }
      default: {  // a valid multi-byte sequence cut short by the end of the text
        return std::string("\xF0\x9F\x98\x80").substr(0, 1 + rng() % 3);
      }
    }
  };
  for (int iter = 0; iter < 3000; ++iter) {
    std::u16string prefix_wide;
    for (int i = 0, n = static_cast<int>(rng() % 10); i < n; ++i) {
      prefix_wide.push_back(static_cast<char16_t>('a' + rng() % 26));
    }
    std::string prefix(prefix_wide.begin(), prefix_wide.end());
    const bool cut = rng() % 7 == 0;
    const std::string bad = cut ? std::string("\xE2\x82\xAC").substr(0, 1 + rng() % 2)
                                : bad_sequence();
    const std::string text = prefix + bad + (cut ? "" : "tail");
    std::u16string out;
    ASSERT_EQ(nv_utf8_to_utf16(text, out), 0) << testing::PrintToString(text);
    ASSERT_EQ(out, prefix_wide);
  }
}

}  // namespace
