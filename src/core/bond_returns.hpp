// Holding returns of bonds from their daily valuations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "panel.hpp"

namespace brelvox::core {

// Valuation rows as the data client sent them, one entry per row in every span. Bonds and
// dates are positions: `bond[r]` among `n_bonds` bonds, `date[r]` among `dates` (ascending,
// distinct, nanoseconds); a negative position marks a row without a usable key.
struct BondValuations {
    std::span<const std::int32_t> bond;
    std::span<const std::int32_t> date;
    std::span<const std::int64_t> dates;
    std::span<const double> dirty_price;      // end-of-day dirty price
    std::span<const double> accrued_intraday; // accrued interest quoted during the day
    std::span<const double> accrued_eod;      // accrued interest at the end of the day
    std::span<const double> residual_principal;
    std::size_t n_bonds = 0;
};

// Per bond, over its valuations in date order (the first row of a repeated (bond, date)
// counts, later ones are ignored), the return from each valuation to the next:
//   (dirty + principal repaid + coupon - previous dirty) / previous dirty
// where a coupon is counted whenever the end-of-day accrued interest does not rise:
//   previous accrued eod + (days between - 1) * today's accrual - accrued intraday.
// The result is an n_bonds x dates panel; a bond's first valuation, dates it has no
// valuation on, and returns from a previous dirty price of 0 are NaN.
Panel bond_holding_returns(const BondValuations& rows);

} // namespace brelvox::core
