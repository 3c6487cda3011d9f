// Pieces of the engine log shared with the SQL trace.
#pragma once

#include <cstddef>

namespace norvale::diag {

/// The calling thread's number as printed in log lines (hash of its id, cached per thread).
unsigned long log_thread_number();

/// Formats "YYYY-MM-DDTHH:MM:SS.mmmZ" for the current UTC time into `out` (at least 32 bytes);
/// returns the length, or -1 on failure.
int format_utc_timestamp(char* out, size_t size);

}  // namespace norvale::diag
