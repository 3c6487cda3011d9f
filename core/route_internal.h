// Helpers of compute routing.
#pragma once

#include <string>
#include <string_view>

namespace norvale {

/// Percent-encodes every byte except ASCII letters, digits, "-", ".", "_" and "~" (libcurl's
/// URL escaping). When escaping fails the text is returned as it is.
std::string percent_encode(std::string_view text);

}  // namespace norvale
