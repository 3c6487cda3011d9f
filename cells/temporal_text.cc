// Text of dates, times, timestamps and intervals.
#include <arrow/array.h>
#include <arrow/type.h>

#include <cstdio>
#include <cstdlib>

#include "cells/arrow_batch_internal.h"
#include "cells/calendar_internal.h"
#include "cells/temporal_text_internal.h"

namespace norvale::cells {
namespace {

// Digits of the fraction of a second that a unit carries.
int fraction_digits(int64_t per_second) {
  switch (per_second) {
    case 1000: return 3;
    case 1000000: return 6;
    case 1000000000: return 9;
    default: return 0;
  }
}

// ".fff", ".ffffff" or ".fffffffff" for `digits`, nothing for 0; the length written.
int put_fraction(char* out, size_t room, int64_t fraction, int digits) {
  if (digits == 0) return 0;
  return std::snprintf(out, room, ".%0*lld", digits, static_cast<long long>(fraction));
}

}  // namespace

int format_timestamp_text(int64_t value, arrow::TimeUnit::type unit, bool with_zone, char* out) {
  const int64_t per_second = units_per_second(unit);
  if (per_second == 0) return -1;
  const int64_t seconds = floor_div(value, per_second);
  const int64_t fraction = floor_mod(value, per_second);
  CivilTime t;
  if (!civil_from_seconds(seconds, t)) return -1;
  int n = std::snprintf(out, kMaxTemporalText, "%04d-%02d-%02d %02d:%02d:%02d",
                        static_cast<int>(t.year), t.month, t.day, t.hour, t.minute, t.second);
  n += put_fraction(out + n, kMaxTemporalText - n, fraction, fraction_digits(per_second));
  if (with_zone) n += std::snprintf(out + n, kMaxTemporalText - n, "+00:00");
  return n;
}

int format_date_text(int64_t days, char* out) {
  // Beyond this many days the second count of the calendar would overflow.
  constexpr int64_t kMaxDays = INT64_MAX / 86400 - 1;
  if (days > kMaxDays || days < -kMaxDays) return -1;
  CivilTime t;
  if (!civil_from_seconds(days * 86400, t)) return -1;
  return std::snprintf(out, kMaxTemporalText, "%04d-%02d-%02d", static_cast<int>(t.year),
                       t.month, t.day);
}

int format_time_text(int64_t value, arrow::TimeUnit::type unit, char* out) {
  const int64_t per_second = units_per_second(unit);
  if (per_second == 0) return -1;
  // A time of day runs from 00:00:00 up to and including 24:00:00.
  if (value < 0 || value > 86400 * per_second) return -1;
  const int64_t seconds = value / per_second;
  int n = std::snprintf(out, kMaxTemporalText, "%02lld:%02lld:%02lld",
                        static_cast<long long>(seconds / 3600),
                        static_cast<long long>(seconds / 60 % 60),
                        static_cast<long long>(seconds % 60));
  n += put_fraction(out + n, kMaxTemporalText - n, value % per_second,
                    fraction_digits(per_second));
  return n;
}

int format_interval_text(int64_t months, int64_t days, int64_t nanos, char* out) {
  int n = 0;
  auto part = [&](int64_t v, const char* one, const char* many) {
    if (v == 0) return;
    n += std::snprintf(out + n, kMaxTemporalText - n, "%s%lld %s", n > 0 ? " " : "",
                       static_cast<long long>(v), v == 1 ? one : many);
  };
  part(months / 12, "year", "years");
  part(months % 12, "mon", "mons");
  part(days, "day", "days");
  if (nanos != 0 || n == 0) {
    const uint64_t magnitude = nanos < 0 ? 0 - static_cast<uint64_t>(nanos)
                                         : static_cast<uint64_t>(nanos);
    const uint64_t seconds = magnitude / 1000000000;
    uint64_t fraction = magnitude % 1000000000;
    n += std::snprintf(out + n, kMaxTemporalText - n, "%s%s%02llu:%02llu:%02llu",
                       n > 0 ? " " : "", nanos < 0 ? "-" : "",
                       static_cast<unsigned long long>(seconds / 3600),
                       static_cast<unsigned long long>(seconds / 60 % 60),
                       static_cast<unsigned long long>(seconds % 60));
    if (fraction != 0) {
      int digits = 9;
      while (fraction % 10 == 0) {
        fraction /= 10;
        --digits;
      }
      n += std::snprintf(out + n, kMaxTemporalText - n, ".%0*llu", digits,
                         static_cast<unsigned long long>(fraction));
    }
  }
  return n;
}

int format_interval_cell(const arrow::Array& array, int64_t row, char* out) {
  switch (array.type_id()) {
    case arrow::Type::INTERVAL_MONTHS:
      return format_interval_text(static_cast<const arrow::MonthIntervalArray&>(array).Value(row),
                                  0, 0, out);
    case arrow::Type::INTERVAL_DAY_TIME: {
      const auto v = static_cast<const arrow::DayTimeIntervalArray&>(array).GetValue(row);
      return format_interval_text(0, v.days, int64_t{v.milliseconds} * 1000000, out);
    }
    case arrow::Type::INTERVAL_MONTH_DAY_NANO: {
      const auto v = static_cast<const arrow::MonthDayNanoIntervalArray&>(array).GetValue(row);
      return format_interval_text(v.months, v.days, v.nanoseconds, out);
    }
    default:
      return -1;
  }
}

}  // namespace norvale::cells
