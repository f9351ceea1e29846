#include "bond_returns.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "wide_vectors.hpp"

namespace brelvox::core {

namespace {
constexpr std::int64_t kMicrosPerDay = 86400LL * 1000000LL;

// Whole days from `from` to `to` (floor, as a timedelta's `days`).
std::int64_t days_between(std::int64_t from, std::int64_t to) {
    const std::int64_t diff = to - from;
    std::int64_t days = diff / kMicrosPerDay;
    if (diff % kMicrosPerDay != 0 && diff < 0) --days;
    return days;
}

// Row numbers grouped by bond, each group in date order, rows without a key left out;
// bond b's rows are order[starts[b], starts[b + 1]). Stable, so the first of repeated
// (bond, date) rows stays first.
struct RowOrder {
    std::vector<std::uint32_t> order;
    std::vector<std::size_t> starts;
};

RowOrder rows_by_bond_and_date(const BondValuations& v, std::size_t n_rows) {
    RowOrder out;
    out.starts.assign(v.n_bonds + 1, 0);
    auto keyed = [&](std::size_t r) { return v.bond[r] >= 0 && v.date[r] >= 0; };
    for (std::size_t r = 0; r < n_rows; ++r)
        if (keyed(r)) ++out.starts[static_cast<std::size_t>(v.bond[r]) + 1];
    for (std::size_t b = 0; b < v.n_bonds; ++b) out.starts[b + 1] += out.starts[b];
    out.order.resize(out.starts[v.n_bonds]);
    std::vector<std::size_t> next(out.starts.begin(), out.starts.end() - 1);
    for (std::size_t r = 0; r < n_rows; ++r)
        if (keyed(r))
            out.order[next[static_cast<std::size_t>(v.bond[r])]++] = static_cast<std::uint32_t>(r);
    auto by_date = [&](std::uint32_t a, std::uint32_t b) { return v.date[a] < v.date[b]; };
    for (std::size_t b = 0; b < v.n_bonds; ++b) {
        auto first = out.order.begin() + static_cast<std::ptrdiff_t>(out.starts[b]);
        auto last = out.order.begin() + static_cast<std::ptrdiff_t>(out.starts[b + 1]);
        if (!std::is_sorted(first, last, by_date)) std::stable_sort(first, last, by_date);
    }
    return out;
}

// The holding return of valuation `r` over valuation `p` of the same bond; NaN when
// unknown.
double holding_return(const BondValuations& v, std::size_t p, std::size_t r, double days) {
    const double accrual = v.accrued_eod[r] - v.accrued_intraday[r];
    const double principal_paid = v.residual_principal[p] - v.residual_principal[r];
    const double accrued_rise = v.accrued_eod[r] - v.accrued_eod[p];
    const double remaining = (days - 1.0) * accrual;
    double coupon = 0.0;
    // No rise (or an unknown one) marks a coupon date.
    if (!(accrued_rise > 0)) {
        coupon = v.accrued_eod[p] + remaining - v.accrued_intraday[r];
        if (std::isnan(coupon)) coupon = 0.0;
    }
    const double base = v.dirty_price[p];
    if (base == 0.0) return std::numeric_limits<double>::quiet_NaN();
    return (v.dirty_price[r] + principal_paid + coupon - base) / base;
}

// The returns of dense bond `bond` on dates t = 1 .. n_dates - 1 into into[t - 1]: every
// row has a previous one, so the loop runs without branches. gap[t] is the day count to
// date t less one.
BRELVOX_WIDE_VECTORS void dense_series(const BondValuations& v, std::size_t bond,
                                       std::span<const double> gap, double* into) {
    const std::size_t n_dates = v.dates.size();
    const std::size_t first = bond * n_dates;
    const double* dirty = v.dirty_price.data() + first;
    const double* intraday = v.accrued_intraday.data() + first;
    const double* eod = v.accrued_eod.data() + first;
    const double* principal = v.residual_principal.data() + first;
    for (std::size_t t = 1; t < n_dates; ++t) {
        const double accrual = eod[t] - intraday[t];
        const double principal_paid = principal[t - 1] - principal[t];
        const double accrued_rise = eod[t] - eod[t - 1];
        const double remaining = gap[t] * accrual;
        // Selects rather than branches, so that the loop vectorises (x != x: NaN).
        double coupon = eod[t - 1] + remaining - intraday[t];
        coupon = coupon != coupon ? 0.0 : coupon;
        coupon = accrued_rise > 0 ? 0.0 : coupon;
        const double base = dirty[t - 1];
        double ret = (dirty[t] + principal_paid + coupon - base) / base;
        ret = ret != ret ? 0.0 : ret;
        into[t - 1] = base == 0.0 ? 0.0 : ret;
    }
}

// The returns of bond `bond` into `series` (by date) from its rows in `rows`.
void sorted_series(const BondValuations& v, const RowOrder& rows, std::size_t bond,
                   double* series) {
    std::size_t prev = 0, prev_date = 0;
    bool have_prev = false;
    for (std::size_t i = rows.starts[bond]; i < rows.starts[bond + 1]; ++i) {
        const std::size_t r = rows.order[i];
        const auto day = static_cast<std::size_t>(v.date[r]);
        if (have_prev) {
            if (day == prev_date) continue; // a repeated row
            const double days = static_cast<double>(days_between(v.dates[prev_date], v.dates[day]));
            const double ret = holding_return(v, prev, r, days);
            series[day] = std::isnan(ret) ? 0.0 : ret;
        }
        prev = r;
        prev_date = day;
        have_prev = true;
    }
}
} // namespace

void bond_holding_returns(const BondValuations& v, std::span<const std::int64_t> wanted_bonds,
                          std::span<const std::int64_t> wanted_dates, std::span<double> out) {
    const std::size_t n_dates = v.dates.size();
    const bool dense = v.bond.empty() && v.date.empty();
    const std::size_t n_values = std::min({v.dirty_price.size(), v.accrued_intraday.size(),
                                           v.accrued_eod.size(), v.residual_principal.size()});
    const std::size_t n_out = wanted_dates.size();
    if (dense && n_values < v.n_bonds * n_dates) { // not the rows it claims to be
        std::fill(out.begin(), out.end(), 0.0);
        return;
    }
    RowOrder rows;
    std::vector<double> gap;
    if (dense) {
        gap.resize(n_dates, 0.0);
        for (std::size_t t = 1; t < n_dates; ++t)
            gap[t] = static_cast<double>(days_between(v.dates[t - 1], v.dates[t])) - 1.0;
    } else {
        rows = rows_by_bond_and_date(v, std::min({v.bond.size(), v.date.size(), n_values}));
    }

    // Usually the wanted dates are a run of consecutive dates of the data.
    std::ptrdiff_t run_from = wanted_dates.empty() ? -1 : wanted_dates[0];
    for (std::size_t j = 0; j < n_out && run_from >= 0; ++j)
        if (wanted_dates[j] != run_from + static_cast<std::ptrdiff_t>(j)) run_from = -1;

    std::vector<double> series(n_dates, 0.0);
    for (std::size_t k = 0; k < wanted_bonds.size(); ++k) {
        double* dst = out.data() + k * n_out;
        const std::int64_t b = wanted_bonds[k];
        if (b < 0 || static_cast<std::size_t>(b) >= v.n_bonds) {
            std::fill(dst, dst + n_out, 0.0);
            continue;
        }
        const auto bond = static_cast<std::size_t>(b);
        if (dense && run_from == 1 && n_out + 1 == n_dates) {
            dense_series(v, bond, gap, dst); // the wanted dates are all dates but the first
            continue;
        }
        if (dense) {
            dense_series(v, bond, gap, series.data() + 1);
        } else {
            std::fill(series.begin(), series.end(), 0.0);
            sorted_series(v, rows, bond, series.data());
        }
        if (run_from >= 0) {
            std::copy_n(series.begin() + run_from, n_out, dst);
            continue;
        }
        for (std::size_t j = 0; j < n_out; ++j) {
            const std::int64_t t = wanted_dates[j];
            dst[j] = t >= 0 && static_cast<std::size_t>(t) < n_dates
                         ? series[static_cast<std::size_t>(t)]
                         : 0.0;
        }
    }
}

} // namespace brelvox::core
