#include "bond_returns.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace brelvox::core {

namespace {
constexpr std::int64_t kNanosPerDay = 86400LL * 1000000000LL;

// Whole days from `from` to `to` (floor, as a timedelta's `days`).
std::int64_t days_between(std::int64_t from, std::int64_t to) {
    const std::int64_t diff = to - from;
    std::int64_t days = diff / kNanosPerDay;
    if (diff % kNanosPerDay != 0 && diff < 0) --days;
    return days;
}

// Row numbers grouped by bond (bond order), each group in date order; rows without a key
// are left out. Stable, so the first of repeated (bond, date) rows stays first.
std::vector<std::uint32_t> rows_by_bond_and_date(const BondValuations& v, std::size_t n_rows,
                                                 std::vector<std::size_t>& starts) {
    starts.assign(v.n_bonds + 1, 0);
    for (std::size_t r = 0; r < n_rows; ++r)
        if (v.bond[r] >= 0 && v.date[r] >= 0) ++starts[static_cast<std::size_t>(v.bond[r]) + 1];
    for (std::size_t b = 0; b < v.n_bonds; ++b) starts[b + 1] += starts[b];
    std::vector<std::uint32_t> order(starts[v.n_bonds]);
    std::vector<std::size_t> next(starts.begin(), starts.end() - 1);
    for (std::size_t r = 0; r < n_rows; ++r)
        if (v.bond[r] >= 0 && v.date[r] >= 0)
            order[next[static_cast<std::size_t>(v.bond[r])]++] = static_cast<std::uint32_t>(r);
    auto by_date = [&](std::uint32_t a, std::uint32_t b) { return v.date[a] < v.date[b]; };
    for (std::size_t b = 0; b < v.n_bonds; ++b) {
        auto first = order.begin() + static_cast<std::ptrdiff_t>(starts[b]);
        auto last = order.begin() + static_cast<std::ptrdiff_t>(starts[b + 1]);
        if (!std::is_sorted(first, last, by_date)) std::stable_sort(first, last, by_date);
    }
    return order;
}
} // namespace

Panel bond_holding_returns(const BondValuations& v) {
    const std::size_t n_rows =
        std::min({v.bond.size(), v.date.size(), v.dirty_price.size(), v.accrued_intraday.size(),
                  v.accrued_eod.size(), v.residual_principal.size()});
    const std::size_t n_dates = v.dates.size();
    Panel out(v.n_bonds, n_dates, std::numeric_limits<double>::quiet_NaN());
    std::vector<std::size_t> starts;
    const std::vector<std::uint32_t> order = rows_by_bond_and_date(v, n_rows, starts);

    for (std::size_t b = 0; b < v.n_bonds; ++b) {
        double* series = out.series(b);
        std::ptrdiff_t prev = -1;
        for (std::size_t k = starts[b]; k < starts[b + 1]; ++k) {
            const std::uint32_t r = order[k];
            if (prev >= 0 && v.date[r] == v.date[static_cast<std::size_t>(prev)]) continue;
            if (prev < 0) {
                prev = r;
                continue;
            }
            const auto p = static_cast<std::size_t>(prev);
            const auto day = static_cast<std::size_t>(v.date[r]);
            const double interval = static_cast<double>(
                days_between(v.dates[static_cast<std::size_t>(v.date[p])], v.dates[day]));
            const double accrual = v.accrued_eod[r] - v.accrued_intraday[r];
            const double principal_paid = v.residual_principal[p] - v.residual_principal[r];
            const double accrued_rise = v.accrued_eod[r] - v.accrued_eod[p];
            const double remaining = (interval - 1.0) * accrual;
            double coupon = 0.0;
            // No rise (or an unknown one) marks a coupon date.
            if (!(accrued_rise > 0)) {
                coupon = v.accrued_eod[p] + remaining - v.accrued_intraday[r];
                if (std::isnan(coupon)) coupon = 0.0;
            }
            const double base = v.dirty_price[p];
            if (base != 0.0)
                series[day] = (v.dirty_price[r] + principal_paid + coupon - base) / base;
            prev = r;
        }
    }
    return out;
}

} // namespace brelvox::core
