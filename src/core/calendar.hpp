// Calendar arithmetic of the proleptic Gregorian calendar: leap years, month lengths, valid
// dates and days since 1970.
#pragma once

#include <cstdint>
#include <limits>

namespace brelvox::core {

bool is_leap_year(std::int64_t year);
// Days in `month` (1 to 12) of `year`.
int days_in_month(std::int64_t year, int month);
// Whether year, month and day name a real day (years from 1 on).
bool is_valid_date(std::int64_t year, int month, int day);

// Days since 1970-01-01 of a date.
std::int32_t days_from_civil(std::int64_t year, unsigned month, unsigned day);

// A day that no history or listing bound ever contains (unknown or missing dates).
inline constexpr std::int32_t kNoDay = std::numeric_limits<std::int32_t>::min();
// Calendar day of microseconds since 1970 (wall clock); INT64_MIN (NaT) gives kNoDay.
std::int32_t day_of_us(std::int64_t us);

} // namespace brelvox::core
