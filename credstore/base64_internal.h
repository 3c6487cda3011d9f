// Standard base64 (RFC 4648 alphabet, "=" padding) for secrets in the credential file.
#pragma once

#include <string>
#include <string_view>

namespace norvale::credstore {

std::string base64_encode(std::string_view data);

/// False for text that is not canonical padded base64 (wrong length, foreign characters,
/// misplaced padding).
bool base64_decode(std::string_view text, std::string* out);

}  // namespace norvale::credstore
