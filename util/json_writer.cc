#include "util/json_writer_internal.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace norvale {

void JsonCtx::put(const char* text, size_t length) {
  if (truncated) return;
  if (out.size() + length <= max_length) {
    out.append(text, length);
    return;
  }
  const long room = static_cast<long>(max_length) - 3 - static_cast<long>(out.size());
  if (room > 0) out.append(text, std::min(static_cast<size_t>(room), length));
  out.append("...");
  truncated = true;
}

void emit_json_string(JsonCtx& ctx, const char* text, size_t length) {
  ctx.put('"');
  // Bytes that need no escape go out in runs, so that a cut lands where the limit is.
  size_t run = 0;
  for (size_t i = 0; i < length && !ctx.truncated; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const char* escape = nullptr;
    char unicode[8];
    switch (byte) {
      case '"': escape = "\\\""; break;
      case '\\': escape = "\\\\"; break;
      case '\b': escape = "\\b"; break;
      case '\f': escape = "\\f"; break;
      case '\n': escape = "\\n"; break;
      case '\r': escape = "\\r"; break;
      case '\t': escape = "\\t"; break;
      default:
        if (byte >= 0x20) continue;
        std::snprintf(unicode, sizeof(unicode), "\\u%04x", byte);
        escape = unicode;
    }
    ctx.put(text + run, i - run);
    ctx.put(escape, std::strlen(escape));
    run = i + 1;
  }
  ctx.put(text + run, length - run);
  ctx.put('"');
}

}  // namespace norvale
