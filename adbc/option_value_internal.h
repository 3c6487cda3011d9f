// The typed option entry points of ADBC 1.1 (Get/Set Option, OptionBytes, OptionInt,
// OptionDouble) for the three handle kinds. Each handle kind supplies two functions: its string
// setter, through which every typed setter goes, and a lookup that says what a key holds. The
// rules of the published header (buffer lengths, conversions between the types) live here once.
#pragma once

#include <arrow/result.h>
#include <arrow/status.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>

#include "adbc/entry_internal.h"
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

/// One handle kind's option functions: the implementation of its string setter (which logs
/// the call), through which every typed setter goes, and a lookup that says what a key holds:
/// kAbsent for a key it does not know, never reveals or holds nothing for.
template <typename Handle>
struct OptionAccess {
  const char* kind;  // "AdbcDatabase", "AdbcConnection", "AdbcStatement"
  arrow::Status (*set)(Handle*, const char* key, const char* value);
  arrow::Result<OptionValue> (*lookup)(Handle*, const char* key);
};

/// How an option's value shows in the "api" log line of a setter: "[REDACTED]" for a secret's
/// key, "(null)" for a null value, else the value.
const char* option_value_for_log(const char* key, const char* value);

/// The text a typed setter hands to the string setter.
std::string int_option_text(int64_t value);
/// Integral values as integers ("30", not "30.0"); others in their shortest round-trip form.
std::string double_option_text(double value);

namespace detail {

enum class Getter { kString, kBytes };

/// The entry point's name ("AdbcStatementGetOptionInt") into `out`; never throws.
const char* entry_name(char (&out)[64], const char* kind, const char* verb, const char* suffix);

/// What was found under the key, or the failure to report: a null key or output, the lookup's
/// own failure, or NOT_FOUND when there is nothing to read back.
arrow::Result<OptionValue> find_value(const char* call, const char* key, bool has_output,
                                      arrow::Result<OptionValue> looked_up);
arrow::Status hand_out_text(const char* call, const OptionValue& value, Getter getter, void* out,
                            size_t* length);
arrow::Status hand_out_number(const char* call, const char* key, const OptionValue& value,
                              int64_t* out);
arrow::Status hand_out_number(const char* call, const char* key, const OptionValue& value,
                              double* out);
/// The bytes as text for the string setter; fails when they hold a NUL byte.
arrow::Status bytes_as_text(const char* call, const uint8_t* value, size_t length,
                            std::string* text);

/// A getter: looks the key up, then `hand_out(call, value)` delivers what it found.
template <typename Handle, typename HandOut>
AdbcStatusCode get(const OptionAccess<Handle>& access, const char* suffix, Handle* handle,
                   const char* key, bool has_output, AdbcError* error, HandOut hand_out) {
  char call[64];
  entry_name(call, access.kind, "GetOption", suffix);
  return call_entry(
      Entry{call, "%s(handle=%p, key=\"%s\")"}, error,
      [&]() -> arrow::Status {
        arrow::Result<OptionValue> looked_up = OptionValue::Absent();
        if (handle != nullptr && key != nullptr) looked_up = access.lookup(handle, key);
        ARROW_ASSIGN_OR_RAISE(const OptionValue value,
                              find_value(call, handle == nullptr ? nullptr : key, has_output,
                                         std::move(looked_up)));
        return hand_out(call, value);
      },
      static_cast<const char*>(call), static_cast<const void*>(handle),
      key != nullptr ? key : "(null)");
}

/// A typed setter: hands the text `make_text()` gives (or a failure it reports) to the string
/// setter.
template <typename Handle, typename MakeText>
AdbcStatusCode set(const OptionAccess<Handle>& access, const char* suffix, Handle* handle,
                   const char* key, AdbcError* error, MakeText make_text) {
  char call[64];
  entry_name(call, access.kind, "SetOption", suffix);
  return call_entry(Entry{call, nullptr}, error, [&]() -> arrow::Status {
    std::string text;
    const char* value = nullptr;
    ARROW_RETURN_NOT_OK(make_text(static_cast<const char*>(call), &text, &value));
    return access.set(handle, key, value);
  });
}

}  // namespace detail

template <typename Handle>
AdbcStatusCode get_option_text(const OptionAccess<Handle>& access, Handle* handle,
                               const char* key, char* out, size_t* length, AdbcError* error) {
  return detail::get(access, "", handle, key, length != nullptr, error,
                     [&](const char* call, const OptionValue& value) {
                       return detail::hand_out_text(call, value, detail::Getter::kString, out,
                                                    length);
                     });
}

template <typename Handle>
AdbcStatusCode get_option_bytes(const OptionAccess<Handle>& access, Handle* handle,
                                const char* key, uint8_t* out, size_t* length,
                                AdbcError* error) {
  return detail::get(access, "Bytes", handle, key, length != nullptr, error,
                     [&](const char* call, const OptionValue& value) {
                       return detail::hand_out_text(call, value, detail::Getter::kBytes, out,
                                                    length);
                     });
}

/// GetOptionInt (Number int64_t) and GetOptionDouble (Number double).
template <typename Handle, typename Number>
AdbcStatusCode get_option_number(const OptionAccess<Handle>& access, Handle* handle,
                                 const char* key, Number* out, AdbcError* error) {
  return detail::get(access, std::is_same_v<Number, double> ? "Double" : "Int", handle, key,
                     out != nullptr, error, [&](const char* call, const OptionValue& value) {
                       return detail::hand_out_number(call, key, value, out);
                     });
}

/// SetOptionInt (Number int64_t) and SetOptionDouble (Number double).
template <typename Handle, typename Number>
AdbcStatusCode set_option_number(const OptionAccess<Handle>& access, Handle* handle,
                                 const char* key, Number value, AdbcError* error) {
  constexpr bool kDouble = std::is_same_v<Number, double>;
  return detail::set(access, kDouble ? "Double" : "Int", handle, key, error,
                     [&](const char*, std::string* text, const char** chosen) {
                       *text = kDouble ? double_option_text(value) : int_option_text(value);
                       *chosen = text->c_str();
                       return arrow::Status::OK();
                     });
}

template <typename Handle>
AdbcStatusCode set_option_bytes(const OptionAccess<Handle>& access, Handle* handle,
                                const char* key, const uint8_t* value, size_t length,
                                AdbcError* error) {
  return detail::set(access, "Bytes", handle, key, error,
                     [&](const char* call, std::string* text, const char** chosen) {
                       ARROW_RETURN_NOT_OK(detail::bytes_as_text(call, value, length, text));
                       *chosen = value == nullptr ? nullptr : text->c_str();
                       return arrow::Status::OK();
                     });
}

/// The seven exported typed-option entries of one handle kind, named nv_adbc_<level>_... and
/// served by `access`.
#define NV_ADBC_TYPED_OPTION_ENTRIES(level, Handle, access)                                    \
  extern "C" AdbcStatusCode nv_adbc_##level##_get_option(Handle* h, const char* key,           \
                                                         char* value, size_t* length,          \
                                                         AdbcError* error) {                   \
    return norvale::adbc::get_option_text(access, h, key, value, length, error);               \
  }                                                                                            \
  extern "C" AdbcStatusCode nv_adbc_##level##_get_option_bytes(                                \
      Handle* h, const char* key, uint8_t* value, size_t* length, AdbcError* error) {          \
    return norvale::adbc::get_option_bytes(access, h, key, value, length, error);              \
  }                                                                                            \
  extern "C" AdbcStatusCode nv_adbc_##level##_get_option_int(Handle* h, const char* key,       \
                                                             int64_t* value, AdbcError* error) \
  {                                                                                            \
    return norvale::adbc::get_option_number(access, h, key, value, error);                     \
  }                                                                                            \
  extern "C" AdbcStatusCode nv_adbc_##level##_get_option_double(                               \
      Handle* h, const char* key, double* value, AdbcError* error) {                           \
    return norvale::adbc::get_option_number(access, h, key, value, error);                     \
  }                                                                                            \
  extern "C" AdbcStatusCode nv_adbc_##level##_set_option_bytes(                                \
      Handle* h, const char* key, const uint8_t* value, size_t length, AdbcError* error) {     \
    return norvale::adbc::set_option_bytes(access, h, key, value, length, error);              \
  }                                                                                            \
  extern "C" AdbcStatusCode nv_adbc_##level##_set_option_int(Handle* h, const char* key,       \
                                                             int64_t value, AdbcError* error)  \
  {                                                                                            \
    return norvale::adbc::set_option_number(access, h, key, value, error);                        \
  }                                                                                            \
  extern "C" AdbcStatusCode nv_adbc_##level##_set_option_double(                               \
      Handle* h, const char* key, double value, AdbcError* error) {                            \
    return norvale::adbc::set_option_number(access, h, key, value, error);                     \
  }

}  // namespace norvale::adbc
