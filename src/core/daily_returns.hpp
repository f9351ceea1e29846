// Day-over-day returns of price panels and their corporate-action adjustment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "panel.hpp"

namespace brelvox::core {

// Simple change from the previous date, a missing price first padded from the last known
// one (so a gap yields 0.0 and the day after it the change since the last price). The
// first date and dates before any price are NaN.
Panel padded_change(PanelView price);

// A split or cash dividend of instrument `id` (panel position) on `ex_date`.
struct CorporateAction {
    std::int32_t id;
    std::int64_t ex_date;
    double amount; // split factor, or pre-tax cash per share
};

// The padded change of every date of `price` but the first, written instrument-major into
// `out` (n_ids * (n_dates - 1) values), NaN replaced by `missing`. Actions of an instrument
// dated after the first date land on the first date on or after their ex-date that has a
// price; there the return is (P * product of split factors + sum of cash) / previous known
// P - 1. Each series is adjusted while it is in cache.
void adjusted_returns(const SeriesSource& price, std::span<const std::int64_t> dates,
                      std::span<const CorporateAction> splits,
                      std::span<const CorporateAction> dividends, double missing, double* out);

} // namespace brelvox::core
