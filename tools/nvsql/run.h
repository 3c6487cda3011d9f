// nvsql's work: connect through the driver, run each statement, write its result.
#pragma once

#include <ostream>

#include "tools/nvsql/options.h"

namespace nvsql {

/// Runs the statements; returns the process exit status. Results go to `out` (table and CSV
/// without --output), the summary and errors to `diag`.
int run(const Options& options, std::ostream& diag);

}  // namespace nvsql
