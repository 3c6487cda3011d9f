#include "adbc/option_text_internal.h"

#include <string_view>

namespace norvale::adbc {

bool non_empty(const char* text) { return text != nullptr && text[0] != '\0'; }

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool secret_key(const char* key) {
  if (key == nullptr) return false;
  const std::string_view text(key);
  for (std::string_view word : {"password", "passwd", "pwd", "token", "secret", "client_key",
                                "proxy_pass", "api_key", "apikey", "credential"}) {
    for (size_t at = 0; at + word.size() <= text.size(); ++at) {
      if (iequals(text.substr(at, word.size()), word)) return true;
    }
  }
  return false;
}

}  // namespace norvale::adbc
