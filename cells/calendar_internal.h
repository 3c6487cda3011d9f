// Proleptic Gregorian calendar arithmetic on day and second counts since 1970-01-01.
#pragma once

#include <cstdint>

namespace norvale::cells {

/// Floor division and its non-negative remainder (for a positive divisor).
inline int64_t floor_div(int64_t a, int64_t b) {
  const int64_t q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}
inline int64_t floor_mod(int64_t a, int64_t b) { return a - floor_div(a, b) * b; }

struct CivilDate {
  int64_t year;
  unsigned month;  // 1..12
  unsigned day;    // 1..31
};

/// The civil date of a day count, computed in 400-year eras of 146097 days.
inline CivilDate civil_from_days(int64_t days) {
  // Shift the epoch to 0000-03-01 so that leap days fall at the end of each year.
  const int64_t z = days + 719468;
  const int64_t era = floor_div(z, 146097);
  const int64_t doe = z - era * 146097;                                   // [0, 146096]
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // [0, 399]
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);            // [0, 365]
  const int64_t mp = (5 * doy + 2) / 153;                                 // [0, 11]
  const unsigned day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
  const unsigned month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
  const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  return {year, month, day};
}

/// Calendar fields of a second count; false when the year does not fit in 32 bits.
struct CivilTime {
  int64_t year;
  unsigned month, day, hour, minute, second;
};
inline bool civil_from_seconds(int64_t seconds, CivilTime& out) {
  const int64_t days = floor_div(seconds, 86400);
  const int64_t of_day = floor_mod(seconds, 86400);
  const CivilDate d = civil_from_days(days);
  if (d.year < INT32_MIN || d.year > INT32_MAX) return false;
  out = {d.year, d.month, d.day, static_cast<unsigned>(of_day / 3600),
         static_cast<unsigned>(of_day / 60 % 60), static_cast<unsigned>(of_day % 60)};
  return true;
}

}  // namespace norvale::cells
