// Strict base64 (RFC 4648 alphabet, "=" padding) as carried in stream metadata.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace norvale {

/// The decoded bytes, or nullopt for text whose length is not a multiple of 4, that holds a
/// character outside the alphabet (white space included) or misplaced padding.
std::optional<std::string> base64_decode_strict(std::string_view text);

}  // namespace norvale
