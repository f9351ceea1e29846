// Daily returns of public funds: daily profit carried onto wanted dates, net value change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "panel.hpp"

namespace brelvox::core {

// Position of the first entry of `values` greater than `x`, by the same halving search as
// Python's bisect.bisect_right (so the answer matches it even on unsorted input).
std::size_t bisect_right(std::span<const std::int64_t> values, std::int64_t x);

// Returns on `wanted` dates (nanoseconds, ascending) from daily profits per 10,000 units on
// `dates` (the panel's dates, ascending, distinct). A wanted date receives the profit of
// its own day plus, summed in date order, those of the days that are not wanted dates
// since the wanted date before it; a day after the last wanted date reaches none. Missing
// profits count as 0; the result holds no NaN.
Panel carried_daily_profit(const Panel& profit, std::span<const std::int64_t> dates,
                           std::span<const std::int64_t> wanted);

// Change of each net value from the last known one before it (missing values padded
// forward, so a gap gives 0). NaN on the first date, before the first value, and where the
// last known value is 0 (no return can be measured from it).
Panel net_value_change(const Panel& net_value);

} // namespace brelvox::core
