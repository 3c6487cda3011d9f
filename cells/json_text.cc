// Bounded JSON text writer.
#include "cells/json_text_internal.h"

namespace norvale::cells {

void JsonCtx::put(const char* text, size_t length) {
  if (truncated) return;
  if (out.size() + length <= max_length) {
    out.append(text, length);
    return;
  }
  if (max_length > out.size() + 3) out.append(text, max_length - out.size() - 3);
  out.append("...");
  truncated = true;
}

void emit_json_string(JsonCtx& ctx, const char* text, size_t length) {
  static constexpr char kHex[] = "0123456789abcdef";
  ctx.put('"');
  size_t run = 0;  // start of the current run of bytes that need no escape
  for (size_t i = 0; i < length && !ctx.truncated; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const char* escape = nullptr;
    char unicode[6];
    switch (c) {
      case '"': escape = "\\\""; break;
      case '\\': escape = "\\\\"; break;
      case '\b': escape = "\\b"; break;
      case '\f': escape = "\\f"; break;
      case '\n': escape = "\\n"; break;
      case '\r': escape = "\\r"; break;
      case '\t': escape = "\\t"; break;
      default:
        if (c >= 0x20) continue;
        unicode[0] = '\\', unicode[1] = 'u', unicode[2] = '0', unicode[3] = '0';
        unicode[4] = kHex[c >> 4], unicode[5] = kHex[c & 15];
    }
    ctx.put(text + run, i - run);
    if (escape != nullptr) {
      ctx.put(escape, 2);
    } else {
      ctx.put(unicode, 6);
    }
    run = i + 1;
  }
  if (run < length) ctx.put(text + run, length - run);
  ctx.put('"');
}

}  // namespace norvale::cells
