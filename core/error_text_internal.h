// Error text for the C-style interfaces of the core client.
#pragma once

#include <cstddef>

namespace norvale {

/// Formats into the caller's buffer, truncated to fit and NUL-terminated. A NULL buffer or a
/// size of 0 means the caller wants no text.
void write_error(char* err, size_t err_size, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));

/// The caller's text for a log line, or "(no detail)" when there is none.
const char* error_or_no_detail(const char* err, size_t err_size);

}  // namespace norvale
