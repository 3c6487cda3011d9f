// Zeroing of secrets held in std::string buffers.
#include <gtest/gtest.h>

#include <string>

#include "util/secure_zero_internal.h"

namespace {

bool all_zero(const char* data, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (data[i] != '\0') return false;
  }
  return true;
}

TEST(SecureZero, WholeBufferOfShortAndLongStrings) {
  for (size_t length : {3u, 15u, 64u, 5000u}) {
    std::string secret(length, 'k');
    secret.resize(length / 2);  // bytes past the length stay in the buffer
    const char* data = secret.data();
    const size_t capacity = secret.capacity();
    norvale::secure_zero(secret);
    EXPECT_TRUE(secret.empty());
    ASSERT_EQ(secret.data(), data);  // clear() keeps the buffer, so it can be inspected
    EXPECT_TRUE(all_zero(data, capacity)) << length;
  }
}

}  // namespace
