// The typed option entry points of ADBC 1.1 (Get/Set Option, OptionBytes, OptionInt,
// OptionDouble) for the three handle kinds. Each handle kind supplies two functions: its string
// setter, through which every typed setter goes, and a lookup that says what a key holds. The
// rules of the published header (buffer lengths, conversions between the types) live here once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "norvale_adbc.h"

namespace norvale::adbc {

/// What a handle holds under an option key.
struct OptionValue {
  enum Kind { kAbsent, kText, kInt } kind = kAbsent;
  std::string text;
  int64_t number = 0;

  static OptionValue Absent() { return {}; }
  /// Absent for a null text.
  static OptionValue Text(const char* text);
  static OptionValue Text(std::string text);
  static OptionValue Int(int64_t number);
  static OptionValue Bool(bool flag) { return Text(std::string(flag ? "true" : "false")); }
};

/// Guards the option fields of every handle between setters and getters: getters may be called
/// from any thread while the handle is in use. Held only around memory operations.
std::mutex& option_mutex();

/// One handle kind's option functions. `lookup` answers OK with the value (kAbsent when the key
/// is known but has nothing to read back), NOT_FOUND for a key it does not know or never reveals,
/// or another status with the error filled.
template <typename Handle>
struct OptionAccess {
  const char* kind;  // "AdbcDatabase", "AdbcConnection", "AdbcStatement"
  AdbcStatusCode (*set)(Handle*, const char*, const char*, AdbcError*);
  AdbcStatusCode (*lookup)(Handle*, const char*, OptionValue*, AdbcError*);
};

/// The text a typed setter hands to the string setter.
std::string int_option_text(int64_t value);
/// Integral values as integers ("30", not "30.0"); others in their shortest round-trip form.
std::string double_option_text(double value);

namespace detail {

enum class Getter { kString, kBytes, kInt, kDouble };

/// Looks the key up and reports NOT_FOUND (and null-argument failures) in the error; OK with
/// a non-absent value otherwise.
AdbcStatusCode find_value(const char* call, const char* key, bool has_output,
                          AdbcStatusCode lookup_status, OptionValue* value, AdbcError* error);
AdbcStatusCode hand_out_text(const char* call, const OptionValue& value, Getter getter, void* out,
                             size_t* length, AdbcError* error);
AdbcStatusCode hand_out_int(const char* call, const char* key, const OptionValue& value,
                            int64_t* out, AdbcError* error);
AdbcStatusCode hand_out_double(const char* call, const char* key, const OptionValue& value,
                               double* out, AdbcError* error);
/// The bytes as text for the string setter; false (error filled) when they hold a NUL byte.
bool bytes_as_text(const char* call, const uint8_t* value, size_t length, std::string* text,
                   AdbcError* error);
AdbcStatusCode internal_failure(const char* call, AdbcError* error);
void log_call(const char* call, const void* handle, const char* key);

template <typename Handle>
AdbcStatusCode get(const OptionAccess<Handle>& access, const char* suffix, Handle* handle,
                   const char* key, OptionValue* value, bool has_output, std::string* call,
                   AdbcError* error) {
  *call = std::string(access.kind) + "GetOption" + suffix;
  log_call(call->c_str(), handle, key);
  AdbcStatusCode status = ADBC_STATUS_NOT_FOUND;
  if (handle != nullptr && key != nullptr) status = access.lookup(handle, key, value, error);
  return find_value(call->c_str(), handle == nullptr ? nullptr : key, has_output, status, value,
                    error);
}

}  // namespace detail

template <typename Handle>
AdbcStatusCode get_option_text(const OptionAccess<Handle>& access, Handle* handle,
                               const char* key, char* out, size_t* length, AdbcError* error) {
  std::string call;
  try {
    OptionValue value;
    const AdbcStatusCode status =
        detail::get(access, "", handle, key, &value, length != nullptr, &call, error);
    if (status != ADBC_STATUS_OK) return status;
    return detail::hand_out_text(call.c_str(), value, detail::Getter::kString, out, length,
                                 error);
  } catch (...) {
    return detail::internal_failure(call.c_str(), error);
  }
}

template <typename Handle>
AdbcStatusCode get_option_bytes(const OptionAccess<Handle>& access, Handle* handle,
                                const char* key, uint8_t* out, size_t* length,
                                AdbcError* error) {
  std::string call;
  try {
    OptionValue value;
    const AdbcStatusCode status =
        detail::get(access, "Bytes", handle, key, &value, length != nullptr, &call, error);
    if (status != ADBC_STATUS_OK) return status;
    return detail::hand_out_text(call.c_str(), value, detail::Getter::kBytes, out, length,
                                 error);
  } catch (...) {
    return detail::internal_failure(call.c_str(), error);
  }
}

template <typename Handle>
AdbcStatusCode get_option_int(const OptionAccess<Handle>& access, Handle* handle,
                              const char* key, int64_t* out, AdbcError* error) {
  std::string call;
  try {
    OptionValue value;
    const AdbcStatusCode status =
        detail::get(access, "Int", handle, key, &value, out != nullptr, &call, error);
    if (status != ADBC_STATUS_OK) return status;
    return detail::hand_out_int(call.c_str(), key, value, out, error);
  } catch (...) {
    return detail::internal_failure(call.c_str(), error);
  }
}

template <typename Handle>
AdbcStatusCode get_option_double(const OptionAccess<Handle>& access, Handle* handle,
                                 const char* key, double* out, AdbcError* error) {
  std::string call;
  try {
    OptionValue value;
    const AdbcStatusCode status =
        detail::get(access, "Double", handle, key, &value, out != nullptr, &call, error);
    if (status != ADBC_STATUS_OK) return status;
    return detail::hand_out_double(call.c_str(), key, value, out, error);
  } catch (...) {
    return detail::internal_failure(call.c_str(), error);
  }
}

template <typename Handle>
AdbcStatusCode set_option_int(const OptionAccess<Handle>& access, Handle* handle,
                              const char* key, int64_t value, AdbcError* error) {
  try {
    return access.set(handle, key, int_option_text(value).c_str(), error);
  } catch (...) {
    return detail::internal_failure((std::string(access.kind) + "SetOptionInt").c_str(), error);
  }
}

template <typename Handle>
AdbcStatusCode set_option_double(const OptionAccess<Handle>& access, Handle* handle,
                                 const char* key, double value, AdbcError* error) {
  try {
    return access.set(handle, key, double_option_text(value).c_str(), error);
  } catch (...) {
    return detail::internal_failure((std::string(access.kind) + "SetOptionDouble").c_str(),
                                    error);
  }
}

template <typename Handle>
AdbcStatusCode set_option_bytes(const OptionAccess<Handle>& access, Handle* handle,
                                const char* key, const uint8_t* value, size_t length,
                                AdbcError* error) {
  const std::string call = std::string(access.kind) + "SetOptionBytes";
  try {
    std::string text;
    if (!detail::bytes_as_text(call.c_str(), value, length, &text, error)) {
      return ADBC_STATUS_INVALID_ARGUMENT;
    }
    return access.set(handle, key, value == nullptr ? nullptr : text.c_str(), error);
  } catch (...) {
    return detail::internal_failure(call.c_str(), error);
  }
}

}  // namespace norvale::adbc
