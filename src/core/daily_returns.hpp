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

// The same change for every date but the first (dropped), with NaN replaced by `missing`.
Panel daily_change(PanelView price, double missing);

// A split or cash dividend of instrument `id` (panel position) on `ex_date`.
struct CorporateAction {
    std::int32_t id;
    std::int64_t ex_date;
    double amount; // split factor, or pre-tax cash per share
};

// Adjusts `change` (daily_change of `price`, first date dropped) on ex-dates. Per
// instrument, actions dated after the first date of the panel land on the first date on
// or after their ex-date that has a price; on such a date the return becomes
// (P * product of split factors + sum of cash) / previous known P - 1, or `missing` when
// there is no previous price.
void adjust_for_actions(Panel& change, PanelView price, std::span<const std::int64_t> dates,
                        std::span<const CorporateAction> splits,
                        std::span<const CorporateAction> dividends, double missing);

} // namespace brelvox::core
