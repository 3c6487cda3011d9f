#include "sql/like_match_internal.h"

#include <cstddef>

namespace nv {
namespace {

char fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool like_match_ci(std::string_view pattern, std::string_view text) {
  if (pattern.empty()) return true;
  size_t p = 0;
  size_t t = 0;
  // Resume point after the last '%': pattern position and the text position it was tried at.
  size_t star_p = std::string_view::npos;
  size_t star_t = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '%') {
      star_p = ++p;
      star_t = t;
      continue;
    }
    bool matched = false;
    size_t step = 1;
    if (p < pattern.size()) {
      char pc = pattern[p];
      if (pc == '_') {
        matched = true;
      } else if (pc == '\\') {
        char lit = p + 1 < pattern.size() ? pattern[p + 1] : '\\';
        step = p + 1 < pattern.size() ? 2 : 1;
        matched = fold(lit) == fold(text[t]);
      } else {
        matched = fold(pc) == fold(text[t]);
      }
    }
    if (matched) {
      p += step;
      ++t;
      continue;
    }
    if (star_p == std::string_view::npos) return false;
    p = star_p;
    t = ++star_t;
  }
  while (p < pattern.size() && pattern[p] == '%') ++p;
  return p == pattern.size();
}

}  // namespace nv
