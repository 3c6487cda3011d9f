// A keyed digest of secret-bearing texts, for process-wide lookup keys that must not hold the
// secrets themselves.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace norvale {

/// HMAC-SHA256 of the parts under a key drawn at random once per process. The parts are
/// length-prefixed, so ("a\x1fb", "c") and ("a", "b\x1fc") differ. Empty when no random key
/// could be drawn (callers then do without the lookup).
std::string keyed_digest(std::initializer_list<std::string_view> parts);

}  // namespace norvale
