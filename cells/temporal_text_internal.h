// Text of dates, times and timestamps in UTC.
#pragma once

#include <arrow/type_fwd.h>

#include <cstddef>
#include <cstdint>

namespace norvale::cells {

/// Room for any of the texts below.
constexpr size_t kMaxTemporalText = 64;

/// "YYYY-MM-DD HH:MM:SS.ffffff" in UTC with microseconds, plus "+00:00" when with_zone; the
/// value is split by its unit, flooring for negative values. Returns the length, or -1 when
/// the calendar conversion fails.
int format_timestamp_text(int64_t value, arrow::TimeUnit::type unit, bool with_zone, char* out);

/// "YYYY-MM-DD" of a day count since 1970-01-01; -1 when the calendar conversion fails.
int format_date_text(int64_t days, char* out);

/// "HH:MM:SS.ffffff" of a time of day in its unit; negative values get a leading "-".
int format_time_text(int64_t value, arrow::TimeUnit::type unit, char* out);

}  // namespace norvale::cells
