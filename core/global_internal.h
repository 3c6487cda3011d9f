// Process-wide set-up helpers shared inside the core client.
#pragma once

#include <string>

#include "norvale/nv_global.h"

namespace norvale {

/// "Norvale-ODBC/<version>", plus one blank and the application name when `extras` carries a
/// non-empty one. Used by requests that have extras but no connection.
std::string user_agent_from_extras(const NVConnExtras* extras);

/// Test hook: makes the next first-time initialisation fail as if curl_global_init had failed.
/// Only meaningful before any nv_global_init call of the process.
void global_init_force_failure_for_test();

/// Successful nv_global_init calls minus nv_global_cleanup calls.
int global_init_refcount();

}  // namespace norvale
