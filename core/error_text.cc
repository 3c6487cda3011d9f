#include "core/error_text_internal.h"

#include <cstdarg>
#include <cstdio>

namespace norvale {

void write_error(char* err, size_t err_size, const char* fmt, ...) {
  if (err == nullptr || err_size == 0) return;
  va_list args;
  va_start(args, fmt);
  if (std::vsnprintf(err, err_size, fmt, args) < 0) err[0] = '\0';
  va_end(args);
}

const char* error_or_no_detail(const char* err, size_t err_size) {
  if (err == nullptr || err_size == 0) return "(no detail)";
  return err;
}

}  // namespace norvale
