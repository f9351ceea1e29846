#include "fund_returns.hpp"

#include <cmath>
#include <limits>
#include <vector>

#include "align.hpp"

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

Panel carried_daily_profit(const Panel& profit, std::span<const std::int64_t> dates,
                           std::span<const std::int64_t> wanted) {
    // Every data date lands on one distinct wanted label (or none): its own when wanted,
    // otherwise the first wanted date after it.
    const Ranked labels = rank_labels(wanted);
    const std::size_t n_labels = labels.distinct.size();
    const std::vector<std::int64_t> own = positions_in_sorted(labels.distinct, dates);
    std::vector<std::int64_t> carried_to(dates.size(), -1);
    for (std::size_t t = 0; t < dates.size(); ++t) {
        if (own[t] >= 0) continue;
        const std::size_t next = bisect_right(wanted, dates[t]);
        if (next < wanted.size()) carried_to[t] = labels.rank[next];
    }

    Panel out(profit.n_ids, wanted.size(), 0.0);
    std::vector<double> sums(n_labels);
    auto known = [](double v) { return std::isnan(v) ? 0.0 : v; };
    for (std::size_t i = 0; i < profit.n_ids; ++i) {
        const double* p = profit.series(i);
        std::fill(sums.begin(), sums.end(), 0.0);
        for (std::size_t t = 0; t < dates.size(); ++t)
            if (own[t] >= 0) sums[static_cast<std::size_t>(own[t])] = known(p[t]);
        for (std::size_t t = 0; t < dates.size(); ++t)
            if (carried_to[t] >= 0) sums[static_cast<std::size_t>(carried_to[t])] += known(p[t]);
        double* r = out.series(i);
        for (std::size_t j = 0; j < wanted.size(); ++j)
            r[j] = sums[static_cast<std::size_t>(labels.rank[j])] * 0.0001;
    }
    return out;
}

Panel net_value_change(const Panel& net_value) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    Panel out(net_value.n_ids, net_value.n_dates, nan);
    for (std::size_t i = 0; i < net_value.n_ids; ++i) {
        const double* v = net_value.series(i);
        double* r = out.series(i);
        double last = nan;
        for (std::size_t t = 0; t < net_value.n_dates; ++t) {
            const double now = std::isnan(v[t]) ? last : v[t];
            if (t > 0 && last != 0.0) r[t] = now / last - 1.0;
            last = now;
        }
    }
    return out;
}

} // namespace brelvox::core
