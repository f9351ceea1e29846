#include "calendar.hpp"

namespace brelvox::core {

bool is_leap_year(std::int64_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int days_in_month(std::int64_t year, int month) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap_year(year) ? 29 : days[month - 1];
}

bool is_valid_date(std::int64_t year, int month, int day) {
    return year >= 1 && month >= 1 && month <= 12 && day >= 1 && day <= days_in_month(year, month);
}

std::int32_t days_from_civil(std::int64_t year, unsigned month, unsigned day) {
    // H. Hinnant's algorithm on March-based years.
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yoe = static_cast<unsigned>(year - era * 400);
    const unsigned doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return static_cast<std::int32_t>(era * 146097 + static_cast<std::int64_t>(doe) - 719468);
}

std::int32_t day_of_us(std::int64_t us) {
    if (us == std::numeric_limits<std::int64_t>::min()) return kNoDay;
    constexpr std::int64_t per_day = 86400LL * 1000000LL;
    std::int64_t q = us / per_day;
    if (us % per_day < 0) --q;
    return static_cast<std::int32_t>(q);
}

} // namespace brelvox::core
