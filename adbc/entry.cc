#include "adbc/entry_internal.h"

#include <exception>
#include <string>

namespace norvale::adbc {

AdbcStatusCode report_exception(const char* name, AdbcError* error) noexcept {
  // Building the message may throw in turn (out of memory): the fixed text is the last resort.
  try {
    try {
      throw;
    } catch (const std::exception& e) {
      return to_adbc(internal_failure(std::string(name) + ": internal error: " + e.what()), error);
    } catch (...) {
      return to_adbc(internal_failure(std::string(name) + ": internal error"), error);
    }
  } catch (...) {
    set_error(error, "internal error", "HY000");
    return ADBC_STATUS_INTERNAL;
  }
}

}  // namespace norvale::adbc
