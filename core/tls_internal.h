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

/// What the host-name-in-certificate override makes of a request: the connect-to entry
/// "name:port:host:port" that sends connections for `name` to the URL's host, and the URL
/// rewritten to `name`.
struct HostOverride {
  std::string connect_to_entry;
  std::string url;
};

/// The override for `url`; empty fields when the URL has no host.
HostOverride host_override_for(std::string_view url, std::string_view name);

}  // namespace norvale
