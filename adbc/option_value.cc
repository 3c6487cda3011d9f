#include "adbc/option_value_internal.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>

#include "adbc/status_internal.h"
#include "diag/secret_names_internal.h"
#include "norvale/nv_cells.h"

namespace norvale::adbc {

OptionValue OptionValue::Text(const char* text) {
  return text == nullptr ? Absent() : Text(std::string(text));
}

OptionValue OptionValue::Text(std::string text) {
  OptionValue v;
  v.kind = kText;
  v.text = std::move(text);
  return v;
}

OptionValue OptionValue::Int(int64_t number) {
  OptionValue v;
  v.kind = kInt;
  v.number = number;
  return v;
}

std::mutex& option_mutex() {
  static std::mutex mutex;
  return mutex;
}

const char* option_value_for_log(const char* key, const char* value) {
  if (key != nullptr && diag::secret_name(key)) return "[REDACTED]";
  return value != nullptr ? value : "(null)";
}

std::string int_option_text(int64_t value) { return std::to_string(value); }

std::string double_option_text(double value) {
  // Every double of magnitude below 2^63 with no fraction converts to int64 exactly.
  if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 9.2e18) {
    return int_option_text(static_cast<int64_t>(value));
  }
  char text[64];
  const int n = nv_ryu_format_double_general(text, sizeof text, value);
  return n < 0 ? std::string("nan") : std::string(text, static_cast<size_t>(n));
}

namespace detail {
namespace {

// The whole text as a decimal integer, or as a number.
bool text_as(const std::string& text, int64_t* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long long parsed = std::strtoll(text.c_str(), &end, 10);
  if (*end != '\0' || errno == ERANGE) return false;
  *out = parsed;
  return true;
}

bool text_as(const std::string& text, double* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const double parsed = std::strtod(text.c_str(), &end);
  if (*end != '\0' || errno == ERANGE) return false;
  *out = parsed;
  return true;
}

template <typename Number>
arrow::Status hand_out(const char* call, const char* key, const OptionValue& value,
                       Number* out) {
  if (value.kind == OptionValue::kInt) {
    *out = static_cast<Number>(value.number);
    return arrow::Status::OK();
  }
  if (text_as(value.text, out)) return arrow::Status::OK();
  return adbc_failure(ADBC_STATUS_NOT_FOUND, "HY092",
                      std::string(call) + ": option " + key + " does not hold " +
                          (std::is_same_v<Number, double> ? "a number" : "an integer"));
}

}  // namespace

const char* entry_name(char (&out)[64], const char* kind, const char* verb, const char* suffix) {
  std::snprintf(out, sizeof out, "%s%s%s", kind, verb, suffix);
  return out;
}

arrow::Result<OptionValue> find_value(const char* call, const char* key, bool has_output,
                                      arrow::Result<OptionValue> looked_up) {
  if (key == nullptr || !has_output) {
    return invalid_argument(std::string(call) + ": null handle, key or output");
  }
  ARROW_RETURN_NOT_OK(looked_up.status());  // the lookup's own failure
  if (looked_up->kind == OptionValue::kAbsent) {
    return adbc_failure(ADBC_STATUS_NOT_FOUND, "HY092",
                        std::string(call) + ": no readable value for option " + key);
  }
  return looked_up;
}

arrow::Status hand_out_text(const char* call, const OptionValue& value, Getter getter, void* out,
                            size_t* length) {
  const std::string text =
      value.kind == OptionValue::kInt ? int_option_text(value.number) : value.text;
  // A string carries its terminating NUL; bytes are the value alone. Nothing is written when
  // the caller's buffer is too small, and the length needed is always reported.
  const size_t needed = text.size() + (getter == Getter::kString ? 1 : 0);
  if (needed <= *length) {
    if (out == nullptr && needed > 0) {
      return invalid_argument(std::string(call) + ": null value buffer");
    }
    if (needed > 0) std::memcpy(out, text.c_str(), needed);
  }
  *length = needed;
  return arrow::Status::OK();
}

arrow::Status hand_out_number(const char* call, const char* key, const OptionValue& value,
                              int64_t* out) {
  return hand_out(call, key, value, out);
}

arrow::Status hand_out_number(const char* call, const char* key, const OptionValue& value,
                              double* out) {
  return hand_out(call, key, value, out);
}

arrow::Status bytes_as_text(const char* call, const uint8_t* value, size_t length,
                            std::string* text) {
  if (value == nullptr) return arrow::Status::OK();  // a null value, as the string setter knows it
  if (std::memchr(value, '\0', length) != nullptr) {
    return invalid_argument(std::string(call) +
                         ": the value holds a NUL byte; this driver's options are text");
  }
  text->assign(reinterpret_cast<const char*>(value), length);
  return arrow::Status::OK();
}

}  // namespace detail
}  // namespace norvale::adbc
