// Bounded JSON text writer, used to render nested cells as JSON text.
#pragma once

#include <cstddef>
#include <string>

namespace norvale {

/// Output text limited to `max_length` characters. A write that does not fit is cut so that
/// "..." still fits below the limit, the writer is marked truncated and ignores later writes.
struct JsonCtx {
  std::string out;
  size_t max_length = 0;
  bool truncated = false;
  /// Set by a writer that met a value with no text (out of its type's range): `out` is then not
  /// the value's text and must not be shown as it.
  bool failed = false;

  explicit JsonCtx(size_t max) : max_length(max) {}

  void put(const char* text, size_t length);
  void put(char c) { put(&c, 1); }
};

/// Writes `text` as a quoted JSON string (escapes for quote, backslash and control bytes;
/// other bytes, UTF-8 included, unchanged). Stops as soon as the writer is truncated.
void emit_json_string(JsonCtx& ctx, const char* text, size_t length);

}  // namespace norvale
