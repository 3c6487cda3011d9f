#include "sql/like_match_internal.h"

#include <cstddef>

#include "util/strings_internal.h"

namespace nv {

using norvale::ascii_lower;

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
        matched = ascii_lower(lit) == ascii_lower(text[t]);
      } else {
        matched = ascii_lower(pc) == ascii_lower(text[t]);
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
