// Daily returns of public funds: daily profit carried onto wanted dates, net value change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace brelvox::core {

// Values of `n_funds` funds on `dates` (ascending, distinct, microseconds), fund-major:
// fund f on date t is values[f * dates.size() + t]; NaN where nothing was reported.
struct FundSeries {
    std::span<const double> values;
    std::size_t n_funds = 0;
    std::span<const std::int64_t> dates;
};

// Position of the first entry of `values` greater than `x`, by the same halving search as
// Python's bisect.bisect_right (so the answer matches it even on unsorted input).
std::size_t bisect_right(std::span<const std::int64_t> values, std::int64_t x);

// Returns on the `wanted` dates (microseconds, ascending) from daily profits per 10,000
// units, written to every cell of `out`, fund-major: fund f on wanted date j is
// out[f * wanted.size() + j]. A wanted date receives
// the profit of its own day plus, summed in date order, those of the days that are not
// wanted dates since the wanted date before it; a day after the last wanted date reaches
// none. Missing profits count as 0.
void carried_daily_profit(const FundSeries& profit, std::span<const std::int64_t> wanted,
                          std::span<double> out);

// Change of each net value from the last known one before it (missing values padded
// forward, so a gap gives 0), picked on the wanted dates and written to every cell of
// `out` as above. 0.0 where no change is known: the first date, dates before
// the first value, wanted dates without data, and changes from a last known value of 0.
void net_value_change(const FundSeries& net_value, std::span<const std::int64_t> wanted,
                      std::span<double> out);

} // namespace brelvox::core
