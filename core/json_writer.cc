#include "core/json_writer_internal.h"

#include <algorithm>
#include <cstdio>

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
  for (size_t i = 0; i < length && !ctx.truncated; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    switch (byte) {
      case '"': ctx.put("\\\"", 2); break;
      case '\\': ctx.put("\\\\", 2); break;
      case '\b': ctx.put("\\b", 2); break;
      case '\f': ctx.put("\\f", 2); break;
      case '\n': ctx.put("\\n", 2); break;
      case '\r': ctx.put("\\r", 2); break;
      case '\t': ctx.put("\\t", 2); break;
      default:
        if (byte < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof(escape), "\\u%04x", byte);
          ctx.put(escape, 6);
        } else {
          ctx.put(static_cast<char>(byte));
        }
    }
  }
  if (!ctx.truncated) ctx.put('"');
}

}  // namespace norvale
