// Error reporting and small helpers shared by every ADBC entry point.
#pragma once

#include <cstdint>
#include <string_view>

#include "adbc/state_internal.h"
#include "norvale_adbc.h"

namespace norvale::adbc {

/// True when `key` is non-null and equal byte for byte to `expected`.
bool key_is(const char* key, std::string_view expected);

/// The database handle's state record; null for a null handle.
NVAdbcDatabaseState* database_state_of(AdbcDatabase* database);
/// The `initialized` flag; false for a null handle or state.
bool database_initialized(AdbcDatabase* database);

/// Releases what the error holds (through its release member) and zeroes it.
void clear_error(AdbcError* error);
/// Fills the error with a heap copy of `message`, vendor code 0 and the five-character SQLSTATE.
void set_error(AdbcError* error, std::string_view message, const char* sqlstate);
/// Fills the error from a core-client message, choosing the SQLSTATE from the message's text;
/// the vendor code is `status`.
void set_error_from_nv(AdbcError* error, const char* message, uint8_t status);
/// Puts `prefix` before the message of an error this driver filled, keeping its SQLSTATE,
/// vendor code and everything else (context such as which bound rows failed).
void prepend_error_message(AdbcError* error, std::string_view prefix);
/// The SQLSTATE that goes with an ADBC status when nothing more specific is known.
const char* default_sqlstate_for(uint8_t status);
/// The SQLSTATE that set_error_from_nv picks for `message` (null or empty: HY000).
const char* sqlstate_from_message(const char* message);

/// The ADBC status of a failure reported by a compute node or the ingest service, from its
/// SQLSTATE: 42S02/42S22/42704 NOT_FOUND, 42S01/42P07 ALREADY_EXISTS, 42501 UNAUTHORIZED, other
/// 42xxx INVALID_ARGUMENT, 22xxx INVALID_DATA, 23xxx INTEGRITY, 28xxx UNAUTHENTICATED,
/// HY008/57014 CANCELLED, HYT00 TIMEOUT, 0A000 NOT_IMPLEMENTED, 25xxx INVALID_STATE, else IO.
AdbcStatusCode status_for_sqlstate(const char* sqlstate);

/// Heap copy (malloc) of `text`; null in, null out; null on allocation failure.
char* dup_cstr(const char* text);
/// Frees *slot and stores a copy of `value` (null leaves null).
void replace_cstr(char** slot, const char* value);
/// Frees *slot after overwriting it with zero bytes, then stores null. For secrets.
void wipe_cstr(char** slot);

/// Parses 1/0, on/no, yes/off, true/false (ASCII case-insensitive). False when not parsed.
bool parse_bool_option(std::string_view text, bool* out);

/// Installed as AdbcError.release.
void release_error(AdbcError* error);

}  // namespace norvale::adbc
