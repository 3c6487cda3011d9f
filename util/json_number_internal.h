// Range-checked reading of JSON numbers from server answers: a number is converted only when
// it fits the target, so no answer can make a conversion undefined.
#pragma once

#include <cstdint>
#include <optional>

#include <nlohmann/json.hpp>

namespace norvale {

/// The value of `v` when it is a JSON integer (signed or unsigned) within [lo, hi]; nullopt for
/// floating-point numbers, other types and integers outside the range.
std::optional<int64_t> json_integer_in(const nlohmann::json& v, int64_t lo, int64_t hi);

/// The value of `v` when it is a JSON integer, clamped to [lo, hi]; nullopt for anything else.
std::optional<int64_t> json_integer_clamped(const nlohmann::json& v, int64_t lo, int64_t hi);

}  // namespace norvale
