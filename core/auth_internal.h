// Token response parsing and the refused-login text.
#pragma once

#include <cstddef>
#include <string>

#include "norvale/nv_core.h"

namespace norvale {

/// Fills `result` (zeroed first) from a token response. -1 with a message when the body is not
/// a JSON object, carries no session token, or a token holds a line feed or carriage return;
/// the result then holds nothing to free.
int parse_auth_response(const std::string& body, NVAuthResult* result, char* err,
                        size_t err_size);

/// "control plane auth failed (HTTP <status>): <text>" from the body's message, error and
/// details members, or its first 256 bytes.
void format_auth_error(long status, const std::string& body, char* err, size_t err_size);

}  // namespace norvale
