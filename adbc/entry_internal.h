// The seam between the exported ADBC functions and the C++ that implements them. Every exported
// function is one call of call_entry, which logs the call, runs the implementation, catches
// whatever it throws, and turns the status it returns into AdbcError and a status code.
#pragma once

#include "adbc/status_internal.h"
#include "norvale/nv_log.h"
#include "norvale_adbc.h"

namespace norvale::adbc {

/// An exported function as the seam knows it: its name, which starts the message of a failure
/// caught here, and its "api" log line (a printf format for the log arguments), or null where
/// the implementation logs the call itself once it has read what the line shows.
struct Entry {
  const char* name;
  const char* log_format;
};

/// The "api" log line of an implementation that logs its call itself (see Entry).
template <typename... Args>
void log_api(const char* format, Args... args) {
  if (nv_log_level() >= NV_LOG_INFO) nv_log_emit(NV_LOG_INFO, "api", format, args...);
}

/// "<name>: internal error" (with the exception's text when it has one), HY000, INTERNAL.
/// Called only from a catch block.
AdbcStatusCode report_exception(const char* name, AdbcError* error) noexcept;

template <typename Impl, typename... LogArgs>
AdbcStatusCode call_entry(const Entry& entry, AdbcError* error, Impl&& impl,
                          LogArgs... log_args) noexcept {
  try {
    if (entry.log_format != nullptr && nv_log_level() >= NV_LOG_INFO) {
      if constexpr (sizeof...(LogArgs) == 0) {
        nv_log_emit(NV_LOG_INFO, "api", "%s", entry.log_format);
      } else {
        nv_log_emit(NV_LOG_INFO, "api", entry.log_format, log_args...);
      }
    }
    return to_adbc(impl(), error);
  } catch (...) {
    return report_exception(entry.name, error);
  }
}

}  // namespace norvale::adbc
