// Seeds for the property tests: NV_TEST_SEED when set, otherwise a fresh one; always printed
// so that a failing run can be repeated.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include <gtest/gtest.h>

inline uint64_t nv_test_seed() {
  uint64_t seed;
  if (const char* env = std::getenv("NV_TEST_SEED"); env != nullptr && *env != '\0') {
    seed = std::strtoull(env, nullptr, 10);
  } else {
    seed = (static_cast<uint64_t>(std::random_device{}()) << 32) ^ std::random_device{}();
  }
  const auto* info = testing::UnitTest::GetInstance()->current_test_info();
  std::printf("[ seed     ] %s.%s NV_TEST_SEED=%llu\n", info ? info->test_suite_name() : "?",
              info ? info->name() : "?", static_cast<unsigned long long>(seed));
  return seed;
}
