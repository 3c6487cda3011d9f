// Helpers of compute routing.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "norvale/nv_core.h"

namespace norvale {

/// Percent-encodes every byte except ASCII letters, digits, "-", ".", "_" and "~" (libcurl's
/// URL escaping). When escaping fails the text is returned as it is.
std::string percent_encode(std::string_view text);

/// Fills `route` from the answer of a compute-node lookup by reference; 0, or -1 with a
/// message (the route is then left for the caller to free).
int parse_lookup_response(const char* control_plane_url, const char* entity_ref,
                          const std::string& response, NVNodeRoute* route, char* err,
                          size_t err_size);

/// Fills `route` from the answer of a node recommendation; 0, or -1 with a message.
int parse_recommend_response(const char* control_plane_url, const std::string& response,
                             NVNodeRoute* route, char* err, size_t err_size);

}  // namespace norvale
