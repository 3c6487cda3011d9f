// Range-checked reading of JSON numbers.
#include "util/json_number_internal.h"

#include <limits>

namespace norvale {
namespace {

// The integer as a signed 64-bit value and whether it lay beyond INT64_MAX (then max).
std::optional<std::pair<int64_t, bool>> as_int64(const nlohmann::json& v) {
  if (v.is_number_unsigned()) {
    const uint64_t u = v.get<uint64_t>();
    constexpr auto kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    if (u > kMax) return std::make_pair(std::numeric_limits<int64_t>::max(), true);
    return std::make_pair(static_cast<int64_t>(u), false);
  }
  if (v.is_number_integer()) return std::make_pair(v.get<int64_t>(), false);
  return std::nullopt;
}

}  // namespace

std::optional<int64_t> json_integer_in(const nlohmann::json& v, int64_t lo, int64_t hi) {
  const auto i = as_int64(v);
  if (!i || i->second || i->first < lo || i->first > hi) return std::nullopt;
  return i->first;
}

std::optional<int64_t> json_integer_clamped(const nlohmann::json& v, int64_t lo, int64_t hi) {
  const auto i = as_int64(v);
  if (!i) return std::nullopt;
  return i->first < lo ? lo : i->first > hi ? hi : i->first;
}

}  // namespace norvale
