// Holding returns of bonds from their daily valuations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace brelvox::core {

// Valuation rows as the data client sent them, one entry per row in every value span.
// Bonds and dates are positions: among `n_bonds` bonds and among `dates` (ascending,
// distinct, microseconds); a negative position marks a row without a usable key. When
// `bond` and `date` are empty the rows are dense: row r is bond r / dates.size() on date
// r % dates.size().
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
// Writes into `out` one series per wanted bond (a position among the bonds, -1 for none)
// on the wanted dates (positions among `dates`, -1 for none): out[k * wanted_dates.size()
// + j]. Every cell is written; it is 0.0 wherever no return is known: a bond's first
// valuation, dates without a valuation, NaN inputs, and returns from a previous dirty
// price of 0.
void bond_holding_returns(const BondValuations& rows, std::span<const std::int64_t> wanted_bonds,
                          std::span<const std::int64_t> wanted_dates, std::span<double> out);

} // namespace brelvox::core
