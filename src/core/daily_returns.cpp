#include "daily_returns.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace brelvox::core {

namespace {
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

struct CellAdjustment {
    double factor = 1.0;
    double cash = 0.0;
    bool split = false;
    bool dividend = false;
};

// Date position an action applies on, or -1 when it falls outside the panel.
std::ptrdiff_t landing_date(const double* series, std::span<const std::int64_t> dates,
                            std::int64_t ex_date) {
    if (dates.size() < 2 || ex_date < dates[1]) return -1;
    auto it = std::lower_bound(dates.begin() + 1, dates.end(), ex_date);
    for (auto t = static_cast<std::size_t>(it - dates.begin()); t < dates.size(); ++t)
        if (!std::isnan(series[t])) return static_cast<std::ptrdiff_t>(t);
    return -1;
}
} // namespace

Panel padded_change(PanelView price) {
    Panel out(price.n_ids, price.n_dates, nan);
    for (std::size_t i = 0; i < price.n_ids; ++i) {
        const double* p = price.series(i);
        double* r = out.series(i);
        double last = nan;
        for (std::size_t t = 0; t < price.n_dates; ++t) {
            const double now = std::isnan(p[t]) ? last : p[t];
            if (t > 0) r[t] = now / last - 1.0;
            last = now;
        }
    }
    return out;
}

Panel daily_change(PanelView price, double missing) {
    const std::size_t n = price.n_dates == 0 ? 0 : price.n_dates - 1;
    Panel out(price.n_ids, n, missing);
    for (std::size_t i = 0; i < price.n_ids; ++i) {
        const double* p = price.series(i);
        double* r = out.series(i);
        // Plain element-wise change (vectorised); redone below when a price is missing. A
        // series is a few KB, so the extra passes run in cache.
        std::size_t gaps = 0;
        for (std::size_t t = 0; t <= n; ++t) gaps += p[t] != p[t];
        if (gaps == 0) {
            for (std::size_t t = 1; t <= n; ++t) r[t - 1] = p[t] / p[t - 1] - 1.0;
            if (missing == missing)
                for (std::size_t t = 0; t < n; ++t)
                    if (r[t] != r[t]) r[t] = missing;
            continue;
        }
        double last = p[0];
        for (std::size_t t = 1; t <= n; ++t) {
            const double now = std::isnan(p[t]) ? last : p[t];
            const double change = now / last - 1.0;
            r[t - 1] = std::isnan(change) ? missing : change;
            last = now;
        }
    }
    return out;
}

void adjust_for_actions(Panel& change, PanelView price, std::span<const std::int64_t> dates,
                        std::span<const CorporateAction> splits,
                        std::span<const CorporateAction> dividends, double missing) {
    if (splits.empty() && dividends.empty()) return;
    // Actions ordered by instrument and ex-date (record order kept among equals), so that
    // the price series are visited in memory order and the cells come out sorted.
    struct Pending {
        std::int32_t id;
        std::int64_t ex_date;
        std::uint32_t seq;
        bool split;
        double amount;
    };
    std::vector<Pending> pending;
    pending.reserve(splits.size() + dividends.size());
    auto queue = [&](std::span<const CorporateAction> actions, bool is_split) {
        for (const CorporateAction& a : actions)
            if (a.id >= 0 && static_cast<std::size_t>(a.id) < price.n_ids)
                pending.push_back({a.id, a.ex_date, static_cast<std::uint32_t>(pending.size()),
                                   is_split, a.amount});
    };
    queue(splits, true);
    queue(dividends, false);
    std::sort(pending.begin(), pending.end(), [](const Pending& a, const Pending& b) {
        if (a.id != b.id) return a.id < b.id;
        if (a.ex_date != b.ex_date) return a.ex_date < b.ex_date;
        return a.seq < b.seq;
    });
    // Sparse per-cell adjustments, so that several records on one date compound.
    std::vector<std::pair<std::size_t, CellAdjustment>> cells;
    cells.reserve(pending.size());
    for (const Pending& a : pending) {
        const auto id = static_cast<std::size_t>(a.id);
        const std::ptrdiff_t t = landing_date(price.series(id), dates, a.ex_date);
        if (t < 0) continue;
        CellAdjustment adj;
        if (a.split) {
            adj.factor = a.amount;
            adj.split = true;
        } else {
            adj.cash = a.amount;
            adj.dividend = true;
        }
        cells.emplace_back(id * price.n_dates + static_cast<std::size_t>(t), adj);
    }

    for (std::size_t k = 0; k < cells.size();) {
        const std::size_t cell = cells[k].first;
        CellAdjustment total;
        for (; k < cells.size() && cells[k].first == cell; ++k) {
            const CellAdjustment& a = cells[k].second;
            if (a.split) {
                total.factor *= a.factor;
                total.split = true;
            }
            if (a.dividend) {
                total.cash += a.cash;
                total.dividend = true;
            }
        }
        const std::size_t id = cell / price.n_dates, t = cell % price.n_dates;
        const double* p = price.series(id);
        double previous = nan;
        for (std::size_t s = t; s-- > 0;)
            if (!std::isnan(p[s])) {
                previous = p[s];
                break;
            }
        double r = (total.split ? (p[t] * total.factor) / previous : p[t] / previous) - 1.0;
        if (total.dividend) r += total.cash / previous;
        change.at(id, t - 1) = std::isnan(r) ? missing : r;
    }
}

} // namespace brelvox::core
