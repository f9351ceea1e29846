// calendar: leap years, month lengths, valid dates, days since 1970 and back from
// microseconds.
#include "check.hpp"

#include "calendar.hpp"

#include <cstdint>
#include <limits>

using namespace brelvox::core;

void test_calendar() {
    CHECK(is_leap_year(2024) && is_leap_year(2000) && !is_leap_year(1900) && !is_leap_year(2025));
    CHECK(days_in_month(2024, 2) == 29 && days_in_month(2023, 2) == 28);
    CHECK(days_in_month(2100, 2) == 28 && days_in_month(2025, 12) == 31);
    CHECK(days_in_month(2025, 4) == 30);
    CHECK(is_valid_date(2024, 2, 29) && !is_valid_date(2023, 2, 29));
    CHECK(!is_valid_date(2025, 13, 1) && !is_valid_date(2025, 0, 1) && !is_valid_date(2025, 1, 0));
    CHECK(!is_valid_date(0, 1, 1) && is_valid_date(1, 1, 1) && is_valid_date(9999, 12, 31));

    CHECK(days_from_civil(1970, 1, 1) == 0);
    CHECK(days_from_civil(1969, 12, 31) == -1);
    CHECK(days_from_civil(2000, 3, 1) == 11017);
    CHECK(days_from_civil(2024, 2, 29) + 1 == days_from_civil(2024, 3, 1));
    CHECK(days_from_civil(1900, 3, 1) - days_from_civil(1900, 2, 28) == 1);
    // consecutive days across a whole leap cycle
    std::int32_t day = days_from_civil(1999, 12, 31);
    bool consecutive = true;
    for (int year = 2000; year < 2401; ++year)
        for (int month = 1; month <= 12; ++month)
            for (int d = 1; d <= days_in_month(year, month); ++d)
                consecutive &= days_from_civil(year, static_cast<unsigned>(month),
                                               static_cast<unsigned>(d)) == ++day;
    CHECK(consecutive);

    constexpr std::int64_t per_day = 86400LL * 1000000LL;
    CHECK(day_of_us(0) == 0 && day_of_us(per_day - 1) == 0 && day_of_us(per_day) == 1);
    CHECK(day_of_us(-1) == -1 && day_of_us(-per_day) == -1 && day_of_us(-per_day - 1) == -2);
    CHECK(day_of_us(std::numeric_limits<std::int64_t>::min()) == kNoDay);
}
