// Prices carried forward: a date without a trade shows the last price traded before it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "panel.hpp"

namespace brelvox::core {

// For each wanted date, the position in `sorted_dates` (ascending, distinct) of the last
// date at or before it, ignoring dates before `earliest`; -1 when there is none.
std::vector<std::int64_t> last_at_or_before(std::span<const std::int64_t> sorted_dates,
                                            std::span<const std::int64_t> wanted,
                                            std::int64_t earliest);

// Writes an instrument-major panel into `out` (id_pos.size() * date_pos.size() values):
// instrument k, date j holds the last non-NaN price of `prices`' instrument id_pos[k] at
// a date in [from, date_pos[j]], or NaN when there is none or either position is -1.
void carry_onto(const SeriesSource& prices, std::span<const std::int64_t> id_pos,
                std::span<const std::int64_t> date_pos, std::size_t from, std::span<double> out);

} // namespace brelvox::core
