#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "cells/hex_encode_internal.h"
#include "test_seed.h"

namespace {

using norvale::cells::HexEncodeFn;

std::string encode(HexEncodeFn fn, const uint8_t* data, size_t n) {
  // Guard bytes on both sides catch writes outside the 2n characters.
  std::string out(2 * n + 64, '#');
  fn(data, n, out.data() + 32);
  EXPECT_EQ(out.substr(0, 32), std::string(32, '#'));
  EXPECT_EQ(out.substr(32 + 2 * n), std::string(32, '#'));
  return out.substr(32, 2 * n);
}

std::vector<std::pair<const char*, HexEncodeFn>> routines() {
  std::vector<std::pair<const char*, HexEncodeFn>> list = {
      {"chosen", norvale::cells::hex_encode_bytes}};
  if (HexEncodeFn f = norvale::cells::hex_encode_ssse3_if_supported()) {
    list.emplace_back("ssse3", f);
  }
  if (HexEncodeFn f = norvale::cells::hex_encode_avx2_if_supported()) {
    list.emplace_back("avx2", f);
  }
  return list;
}

TEST(HexEncode, TableRoutine) {
  const uint8_t bytes[] = {0x00, 0xAB, 0x0F, 0xF0, 0x7F, 0x80, 0xFF, 0x12};
  EXPECT_EQ(encode(norvale::cells::hex_encode_table, bytes, sizeof(bytes)), "00ab0ff07f80ff12");
  EXPECT_EQ(encode(norvale::cells::hex_encode_table, bytes, 0), "");
}

TEST(HexEncode, VectorisedRoutinesMatchTheTable) {
  std::printf("hex routine in use: %s\n", norvale::cells::hex_encode_routine_name());
  std::mt19937_64 rng(nv_test_seed());
  const auto list = routines();
  ASSERT_GE(list.size(), 1u);
  std::vector<uint8_t> data(4096 + 64);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  for (const auto& [name, fn] : list) {
    for (size_t n = 0; n <= 100; ++n) {
      for (size_t start : {size_t{0}, size_t{1}, size_t{7}, size_t{31}}) {
        for (int trial = 0; trial < 4; ++trial) {
          for (size_t i = 0; i < n; ++i) data[start + i] = static_cast<uint8_t>(rng());
          ASSERT_EQ(encode(fn, data.data() + start, n),
                    encode(norvale::cells::hex_encode_table, data.data() + start, n))
              << name << " length " << n << " start " << start;
        }
      }
    }
  }
  // Large buffers, including every byte value.
  std::vector<uint8_t> big(3 * 1024 * 1024 + 17);
  for (size_t i = 0; i < big.size(); ++i) big[i] = i < 256 ? static_cast<uint8_t>(i)
                                                           : static_cast<uint8_t>(rng());
  const std::string want = encode(norvale::cells::hex_encode_table, big.data(), big.size());
  for (const auto& [name, fn] : list) {
    ASSERT_EQ(encode(fn, big.data(), big.size()), want) << name;
  }
}

}  // namespace
