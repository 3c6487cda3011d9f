// Text of dates, times and timestamps.
#include <arrow/type.h>

#include <cstdio>

#include "cells/arrow_batch_internal.h"
#include "cells/calendar_internal.h"
#include "cells/temporal_text_internal.h"

namespace norvale::cells {

int format_timestamp_text(int64_t value, arrow::TimeUnit::type unit, bool with_zone, char* out) {
  const int64_t per_second = units_per_second(unit);
  if (per_second == 0) value = 0;
  const int64_t divisor = per_second == 0 ? 1 : per_second;
  const int64_t seconds = floor_div(value, divisor);
  const int64_t nanos = floor_mod(value, divisor) * (1000000000 / divisor);
  CivilTime t;
  if (!civil_from_seconds(seconds, t)) return -1;
  return std::snprintf(out, kMaxTemporalText, "%04d-%02d-%02d %02d:%02d:%02d.%06ld%s",
                       static_cast<int>(t.year), t.month, t.day, t.hour, t.minute, t.second,
                       static_cast<long>(nanos / 1000), with_zone ? "+00:00" : "");
}

int format_date_text(int64_t days, char* out) {
  CivilTime t;
  if (!civil_from_seconds(days * 86400, t)) return -1;
  return std::snprintf(out, kMaxTemporalText, "%04d-%02d-%02d", static_cast<int>(t.year),
                       t.month, t.day);
}

int format_time_text(int64_t value, arrow::TimeUnit::type unit, char* out) {
  const int64_t per_second = units_per_second(unit);
  if (per_second == 0) value = 0;
  const int64_t divisor = per_second == 0 ? 1 : per_second;
  // Times of day are not negative; a negative value is shown as one rather than wrapped.
  const bool negative = value < 0;
  const uint64_t magnitude =
      negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  const uint64_t seconds = magnitude / divisor;
  const uint64_t micros = magnitude % divisor * (1000000000 / divisor) / 1000;
  return std::snprintf(out, kMaxTemporalText, "%s%02llu:%02llu:%02llu.%06llu",
                       negative ? "-" : "", static_cast<unsigned long long>(seconds / 3600),
                       static_cast<unsigned long long>(seconds / 60 % 60),
                       static_cast<unsigned long long>(seconds % 60),
                       static_cast<unsigned long long>(micros));
}

}  // namespace norvale::cells
