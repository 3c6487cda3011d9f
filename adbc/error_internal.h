// Error reporting and small helpers shared by every ADBC entry point.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "adbc/state_internal.h"
#include "norvale_adbc.h"

namespace norvale::adbc {

/// True when `key` is non-null and equal byte for byte to `expected`.
bool key_is(const char* key, std::string_view expected);

/// The database handle's state record; null for a null handle.
NVAdbcDatabaseState* database_state_of(AdbcDatabase* database);
/// The `initialized` flag; false for a null handle or state.
bool database_initialized(AdbcDatabase* database);

/// One thing an error knows beyond its message and SQLSTATE, readable by ADBC 1.1 hosts through
/// AdbcErrorGetDetail. Keys start with "norvale."; values are text.
struct ErrorDetail {
  std::string key;
  std::string value;
};

inline constexpr const char* kDetailNativeCode = "norvale.native_code";
inline constexpr const char* kDetailStreamId = "norvale.stream_id";
inline constexpr const char* kDetailHttpStatus = "norvale.http_status";

/// What the service said about a failure besides its text: its own code (0 when it gave none)
/// and further details.
struct ErrorOrigin {
  int32_t native_code = 0;
  std::vector<ErrorDetail> details;
};

/// Releases what the error holds (through its release member) and zeroes it. An error whose
/// host announced the ADBC 1.1 members keeps that announcement (see set_error).
void clear_error(AdbcError* error);
/// Fills the error with a heap copy of `message` and the five-character SQLSTATE. The vendor
/// code is the origin's native code (0 without one), unless the host passed
/// ADBC_ERROR_VENDOR_CODE_PRIVATE_DATA: then the vendor code keeps that value, as ADBC 1.1 hosts
/// need it to reach the details, and `private_data` holds the details, the native code among
/// them. `private_driver` is never written.
void set_error(AdbcError* error, std::string_view message, const char* sqlstate,
               const ErrorOrigin& origin = {});
/// Fills the error from a core-client message, choosing the SQLSTATE from the message's text.
void set_error_from_nv(AdbcError* error, const char* message, const ErrorOrigin& origin = {});
/// The SQLSTATE that goes with an ADBC status when nothing more specific is known.
const char* default_sqlstate_for(uint8_t status);
/// The text set_error_from_nv reports for `message`: the message, or its fixed text for a null
/// or empty one.
const char* transport_message_text(const char* message);
/// The SQLSTATE that set_error_from_nv picks for `message` (null or empty: HY000).
const char* sqlstate_from_message(const char* message);

/// The ADBC status that goes with a SQLSTATE: 42S02/42S22/42704 NOT_FOUND, 42S01/42P07
/// ALREADY_EXISTS, 42501 UNAUTHORIZED, other 42xxx INVALID_ARGUMENT, 22xxx INVALID_DATA, 23xxx
/// INTEGRITY, 28xxx UNAUTHENTICATED, HY008/57014 CANCELLED, HYT00 TIMEOUT, 0A000 and 07006
/// NOT_IMPLEMENTED, 07002 INVALID_ARGUMENT, 25xxx INVALID_STATE, else IO.
AdbcStatusCode status_for_sqlstate(const char* sqlstate);

/// Heap copy (malloc) of `text`; null in, null out; null on allocation failure.
char* dup_cstr(const char* text);
/// Frees *slot and stores a copy of `value` (null leaves null).
void replace_cstr(char** slot, const char* value);
/// Frees *slot after overwriting it with zero bytes, then stores null. For secrets.
void wipe_cstr(char** slot);

/// Parses 1/0, on/no, yes/off, true/false (ASCII case-insensitive). False when not parsed.
bool parse_bool_option(std::string_view text, bool* out);

/// Parses a decimal integer from 0 to `max`, consumed whole. False when not parsed.
bool parse_count_option(const char* text, int64_t max, int64_t* out);

/// Installed as AdbcError.release. Leaves the structure ready for reuse: an ADBC 1.1 error
/// keeps ADBC_ERROR_VENDOR_CODE_PRIVATE_DATA and gets a null `private_data`.
void release_error(AdbcError* error);

}  // namespace norvale::adbc
