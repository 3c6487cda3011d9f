// URL splitting used by the TLS settings and the host-name-in-certificate override.
#pragma once

#include <string>
#include <string_view>

namespace norvale {

struct UrlParts {
  std::string scheme;  // lower-cased
  std::string host;    // IPv6 literals keep their brackets
  std::string port;    // "443" for https and "80" otherwise when the URL names none
};

/// Splits "scheme://host[:port][/...]". Without "://" every part is empty. The port text is
/// not checked for digits.
UrlParts parse_url(std::string_view url);

/// The part of `url` from the first "/", "?" or "#" after "://" (empty when there is none).
std::string_view url_rest_after_authority(std::string_view url);

}  // namespace norvale
