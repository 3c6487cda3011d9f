// Text of dates, times, timestamps and intervals; one text per value on every path (cell text,
// the single-type formatters and nested JSON).
#pragma once

#include <arrow/type_fwd.h>

#include <cstddef>
#include <cstdint>

namespace norvale::cells {

/// Room for any of the texts below.
constexpr size_t kMaxTemporalText = 96;

/// "YYYY-MM-DD HH:MM:SS" in UTC, then the unit's fraction digits (".fff" for milliseconds,
/// ".ffffff" for microseconds, ".fffffffff" for nanoseconds, none for seconds) and "+00:00"
/// when with_zone. The value is split by its unit, flooring for negative values. Returns the
/// length, or -1 for an unknown unit or a year beyond 32 bits.
int format_timestamp_text(int64_t value, arrow::TimeUnit::type unit, bool with_zone, char* out);

/// "YYYY-MM-DD" of a day count since 1970-01-01; -1 when the calendar conversion fails.
int format_date_text(int64_t days, char* out);

/// "HH:MM:SS" and the unit's fraction digits of a time of day; -1 for a value outside
/// 00:00:00 to 24:00:00 or an unknown unit.
int format_time_text(int64_t value, arrow::TimeUnit::type unit, char* out);

/// An interval as "Y years M mons D days HH:MM:SS.fffffffff": zero parts left out, each part
/// with its own sign, years and months split from the month count, only 1 in the singular
/// ("1 year", "1 mon", "1 day", but "-1 mons"), the fraction without trailing zeros; the time part appears when it
/// is not zero or when every part is zero ("00:00:00"). Hours may exceed 24.
int format_interval_text(int64_t months, int64_t days, int64_t nanos, char* out);

/// The interval text of one cell of a month, day-time or month-day-nano interval array; -1
/// for any other array.
int format_interval_cell(const arrow::Array& array, int64_t row, char* out);

}  // namespace norvale::cells
