#include <string>
#include <string_view>

#include "core/tls_internal.h"
#include "util/strings_internal.h"

namespace norvale {
namespace {

constexpr std::string_view kSchemeSeparator = "://";

}  // namespace

UrlParts parse_url(std::string_view url) {
  UrlParts parts;
  const size_t sep = url.find(kSchemeSeparator);
  if (sep == std::string_view::npos) return parts;
  parts.scheme = ascii_lower(url.substr(0, sep));

  std::string_view rest = url.substr(sep + kSchemeSeparator.size());
  const std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));

  const size_t colon = authority.rfind(':');
  bool split = false;
  if (colon != std::string_view::npos) {
    if (!authority.starts_with('[')) {
      split = true;
    } else {
      // An IPv6 literal: only a colon after the closing bracket starts the port.
      const size_t close = authority.find(']');
      split = close != std::string_view::npos && close < colon;
    }
  }
  if (split) {
    parts.host = std::string(authority.substr(0, colon));
    parts.port = std::string(authority.substr(colon + 1));
  } else {
    parts.host = std::string(authority);
  }
  if (parts.port.empty()) parts.port = parts.scheme == "https" ? "443" : "80";
  return parts;
}

std::string_view url_rest_after_authority(std::string_view url) {
  const size_t sep = url.find(kSchemeSeparator);
  if (sep == std::string_view::npos) return {};
  const std::string_view rest = url.substr(sep + kSchemeSeparator.size());
  const size_t pos = rest.find_first_of("/?#");
  if (pos == std::string_view::npos) return {};
  return rest.substr(pos);
}

HostOverride host_override_for(std::string_view url, std::string_view name) {
  const UrlParts parts = parse_url(url);
  if (parts.host.empty()) return {};
  HostOverride out;
  out.connect_to_entry.append(name).append(":").append(parts.port).append(":");
  out.connect_to_entry.append(parts.host).append(":").append(parts.port);
  out.url.append(parts.scheme).append("://").append(name).append(":").append(parts.port);
  out.url.append(url_rest_after_authority(url));
  return out;
}

}  // namespace norvale
