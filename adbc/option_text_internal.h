// Text helpers shared by the database and connection option code.
#pragma once

#include <string_view>

namespace norvale::adbc {

/// True for a non-null, non-empty C string.
bool non_empty(const char* text);

/// ASCII case-insensitive equality.
bool iequals(std::string_view a, std::string_view b);

/// Keys whose values never reach the log (passwords, tokens, secrets, keys, proxy password).
bool secret_key(const char* key);

}  // namespace norvale::adbc
