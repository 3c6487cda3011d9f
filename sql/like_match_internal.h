// Byte-wise LIKE matching for catalog pattern filters.
#pragma once

#include <string_view>

namespace nv {

/// Whether `text` matches the LIKE `pattern`, ignoring ASCII case; backslash escapes.
bool like_match_ci(std::string_view pattern, std::string_view text);

}  // namespace nv
