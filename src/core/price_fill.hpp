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

// From date `from` on, every NaN of a series takes the last non-NaN value of that series
// at or after `from`; dates before `from` are left as they are.
void carry_forward(Panel& panel, std::size_t from);

// The same on a copy of `prices`.
Panel carried_forward(PanelView prices, std::size_t from);

} // namespace brelvox::core
