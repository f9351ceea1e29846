#include "fund_returns.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "align.hpp"

#include "wide_vectors.hpp"

namespace brelvox::core {

std::size_t bisect_right(std::span<const std::int64_t> values, std::int64_t x) {
    std::size_t lo = 0, hi = values.size();
    while (lo < hi) {
        const std::size_t mid = (lo + hi) / 2;
        if (x < values[mid])
            hi = mid;
        else
            lo = mid + 1;
    }
    return lo;
}

namespace {
double known(double v) {
    return v != v ? 0.0 : v;
}

// Where the profit of each data date goes: its own wanted label (distinct position), or
// the label it is carried to, or nowhere (-1).
struct Landing {
    std::vector<std::int64_t> own;
    std::vector<std::int64_t> carried_to;
    // When every label's carried days form one run [from, to) of data dates (always so for
    // ascending wanted dates), the sums need no scattering.
    bool runs = true;
    struct Run {
        std::size_t own = SIZE_MAX; // the label's own data date, SIZE_MAX if none
        std::size_t from = 0, to = 0;
    };
    std::vector<Run> run;              // per label
    std::vector<std::int64_t> own_at;  // per label: run.own, or -1
    std::vector<std::size_t> carrying; // the labels that receive carried days
};

Landing landing(std::span<const std::int64_t> dates, std::span<const std::int64_t> wanted,
                const Ranked& labels) {
    Landing out;
    const std::size_t n_labels = labels.distinct.size();
    out.own = positions_in_sorted(labels.distinct, dates);
    out.carried_to.assign(dates.size(), -1);
    for (std::size_t t = 0; t < dates.size(); ++t) {
        if (out.own[t] >= 0) continue;
        const std::size_t next = bisect_right(wanted, dates[t]);
        if (next < wanted.size()) out.carried_to[t] = labels.rank[next];
    }
    out.run.assign(n_labels, {});
    std::vector<bool> seen(n_labels, false);
    std::int64_t last = -1;
    for (std::size_t t = 0; t < dates.size(); ++t) {
        if (out.own[t] >= 0) out.run[static_cast<std::size_t>(out.own[t])].own = t;
        const std::int64_t c = out.carried_to[t];
        if (c < 0) { // a run must not reach over a day that lands elsewhere or nowhere
            last = -1;
            continue;
        }
        Landing::Run& run = out.run[static_cast<std::size_t>(c)];
        if (c != last) {
            if (seen[static_cast<std::size_t>(c)]) out.runs = false; // not one run of days
            seen[static_cast<std::size_t>(c)] = true;
            run.from = t;
            last = c;
        }
        run.to = t + 1;
    }
    out.own_at.resize(n_labels);
    for (std::size_t l = 0; l < n_labels; ++l) {
        out.own_at[l] = out.run[l].own == SIZE_MAX ? -1 : static_cast<std::int64_t>(out.run[l].own);
        if (out.run[l].from < out.run[l].to) out.carrying.push_back(l);
    }
    return out;
}

// into[l] = the profit of label l's own day (0 when missing or none).
BRELVOX_WIDE_VECTORS void own_profits(const double* p, const std::int64_t* own_at, std::size_t n,
                                      double* into) {
    for (std::size_t l = 0; l < n; ++l) {
        const double v = own_at[l] < 0 ? 0.0 : p[own_at[l] < 0 ? 0 : own_at[l]];
        into[l] = v != v ? 0.0 : v;
    }
}

BRELVOX_WIDE_VECTORS void scale(double* values, std::size_t n, double factor) {
    for (std::size_t l = 0; l < n; ++l) values[l] *= factor;
}
// dst[t - 1] = v[t] / v[t - 1] - 1 (0 where unknown or from 0) for t >= 1; true when v
// holds a NaN, which these changes do not pad over.
BRELVOX_WIDE_VECTORS bool plain_change(const double* v, std::size_t n, double* dst) {
    double gaps = 0.0; // a select on doubles, which vectorises where a test would not
    for (std::size_t t = 0; t < n; ++t) gaps = v[t] != v[t] ? 1.0 : gaps;
    for (std::size_t t = 1; t < n; ++t) {
        double c = v[t] / v[t - 1] - 1.0;
        c = c != c ? 0.0 : c;
        dst[t - 1] = v[t - 1] == 0.0 ? 0.0 : c;
    }
    return gaps != 0.0;
}
} // namespace

void carried_daily_profit(const FundSeries& profit, std::span<const std::int64_t> wanted,
                          std::span<double> out) {
    const std::span<const std::int64_t> dates = profit.dates;
    const Ranked labels = rank_labels(wanted);
    const Landing land = landing(dates, wanted, labels);
    const std::size_t n_labels = labels.distinct.size();
    bool distinct = n_labels == wanted.size();
    for (std::size_t j = 0; distinct && j < wanted.size(); ++j)
        distinct = labels.rank[j] == static_cast<std::int32_t>(j);

    // The sum of a label is its own day's profit plus the carried ones in date order.
    std::vector<double> sums(n_labels);
    for (std::size_t f = 0; f < profit.n_funds; ++f) {
        const double* p = profit.values.data() + f * dates.size();
        double* r = out.data() + f * wanted.size();
        if (land.runs) {
            double* into = distinct ? r : sums.data();
            own_profits(p, land.own_at.data(), n_labels, into);
            for (std::size_t l : land.carrying) {
                const Landing::Run& run = land.run[l];
                for (std::size_t t = run.from; t < run.to; ++t) into[l] += known(p[t]);
            }
            if (distinct) {
                scale(into, n_labels, 0.0001);
                continue;
            }
        } else {
            std::fill(sums.begin(), sums.end(), 0.0);
            for (std::size_t t = 0; t < dates.size(); ++t)
                if (land.own[t] >= 0) sums[static_cast<std::size_t>(land.own[t])] = known(p[t]);
            for (std::size_t t = 0; t < dates.size(); ++t)
                if (land.carried_to[t] >= 0)
                    sums[static_cast<std::size_t>(land.carried_to[t])] += known(p[t]);
        }
        for (std::size_t j = 0; j < wanted.size(); ++j)
            r[j] = sums[static_cast<std::size_t>(labels.rank[j])] * 0.0001;
    }
}

void net_value_change(const FundSeries& net_value, std::span<const std::int64_t> wanted,
                      std::span<double> out) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const std::size_t n_dates = net_value.dates.size();
    const std::size_t n_out = wanted.size();
    if (n_dates == 0) {
        std::fill(out.begin(), out.end(), 0.0);
        return;
    }
    const std::vector<std::int64_t> at = positions_in_sorted(net_value.dates, wanted);
    // Usually the wanted dates are the data's dates after the first: then the changes are
    // written in place.
    bool in_place = n_dates == n_out + 1;
    for (std::size_t j = 0; in_place && j < n_out; ++j)
        in_place = at[j] == static_cast<std::int64_t>(j + 1);

    std::vector<double> change(n_dates);
    for (std::size_t f = 0; f < net_value.n_funds; ++f) {
        const double* v = net_value.values.data() + f * n_dates;
        double* r = out.data() + f * n_out;
        // The change on date t goes to dst[t - 1].
        double* dst = in_place ? r : change.data() + 1;
        const bool gaps = plain_change(v, n_dates, dst);
        if (gaps) { // pad the missing values forward and start again
            double last = v[0];
            for (std::size_t t = 1; t < n_dates; ++t) {
                const double now = v[t] != v[t] ? last : v[t];
                const double c = last != 0.0 ? now / last - 1.0 : nan;
                dst[t - 1] = known(c);
                last = now;
            }
        }
        if (in_place) continue;
        change[0] = 0.0;
        for (std::size_t j = 0; j < n_out; ++j)
            r[j] = at[j] >= 0 ? change[static_cast<std::size_t>(at[j])] : 0.0;
    }
}

} // namespace brelvox::core
