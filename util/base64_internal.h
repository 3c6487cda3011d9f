// Base64 (RFC 4648 alphabet, "=" padding, no line breaks): stream metadata, the ingest manifest
// and the credential file.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace norvale {

std::string base64_encode(std::string_view data);

/// The decoded bytes, or nullopt for text whose length is not a multiple of 4, that holds a
/// character outside the alphabet (white space included) or misplaced padding. Bytes decoded
/// before a refusal are overwritten, since the text may hold a secret.
std::optional<std::string> base64_decode_strict(std::string_view text);

}  // namespace norvale
