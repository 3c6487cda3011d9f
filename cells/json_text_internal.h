// Bounded JSON text writer used to render nested cells.
#pragma once

#include <cstddef>
#include <string>

namespace norvale::cells {

/// Appends text up to a maximum length; a write that does not fit is cut so that "..." ends
/// the text exactly at the maximum, and every later write is ignored.
struct JsonCtx {
  std::string out;
  size_t max_length = 0;
  bool truncated = false;

  explicit JsonCtx(size_t max) : max_length(max) {}
  void put(const char* text, size_t length);
  void put(char c) { put(&c, 1); }
};

/// Writes text as a JSON string: quote and backslash escaped, \b \f \n \r \t, other control
/// bytes as \u00XX, everything else (UTF-8 included) unchanged.
void emit_json_string(JsonCtx& ctx, const char* text, size_t length);

}  // namespace norvale::cells
