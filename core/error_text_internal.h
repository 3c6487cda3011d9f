// Error text for the C-style interfaces of the core client.
#pragma once

#include <cstddef>
#include <exception>

namespace norvale {

/// Formats into the caller's buffer, truncated to fit and NUL-terminated. A NULL buffer or a
/// size of 0 means the caller wants no text.
void write_error(char* err, size_t err_size, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));

/// The body of a C-style function that returns -1 with an error text when it fails: whatever
/// the body throws ends there, as -1 and "<prefix><what>" ("<prefix>internal error" for an
/// exception of no standard type), so that nothing crosses the C boundary.
template <typename Body>
int guard_c_call(char* err, size_t err_size, const char* prefix, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::exception& e) {
    write_error(err, err_size, "%s%s", prefix, e.what());
  } catch (...) {
    write_error(err, err_size, "%sinternal error", prefix);
  }
  return -1;
}

/// The caller's text for a log line, or "(no detail)" when there is none.
const char* error_or_no_detail(const char* err, size_t err_size);

}  // namespace norvale
