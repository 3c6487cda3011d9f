// Small text helpers that every layer uses: C-string presence and ASCII case folding. Folding
// touches A-Z and a-z only, whatever the locale; other bytes (UTF-8 included) stay as they are.
// Header only and standard library only, so the tools that compile a library source on their
// own (the nvsql shell and its SQL lexer) need nothing else.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace norvale {

/// True for a non-null C string with at least one character.
constexpr bool non_empty(const char* text) { return text != nullptr && text[0] != '\0'; }

constexpr char ascii_lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr char ascii_upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

inline std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = ascii_lower(c);
  return out;
}

inline std::string ascii_upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = ascii_upper(c);
  return out;
}

/// ASCII case-insensitive equality.
constexpr bool ascii_eq_ci(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

/// Whether `word` occurs in `text`, ASCII case-insensitively.
constexpr bool ascii_contains_ci(std::string_view text, std::string_view word) {
  for (size_t at = 0; at + word.size() <= text.size(); ++at) {
    if (ascii_eq_ci(text.substr(at, word.size()), word)) return true;
  }
  return false;
}

}  // namespace norvale
