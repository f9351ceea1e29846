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

Panel padded_change(const Panel& price) {
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

void adjust_for_actions(Panel& change, const Panel& price, std::span<const std::int64_t> dates,
                        std::span<const CorporateAction> splits,
                        std::span<const CorporateAction> dividends) {
    if (splits.empty() && dividends.empty()) return;
    // Sparse per-cell adjustments, collected first so that several records compound.
    std::vector<std::pair<std::size_t, CellAdjustment>> cells;
    auto collect = [&](std::span<const CorporateAction> actions, bool is_split) {
        for (const CorporateAction& a : actions) {
            if (a.id < 0 || static_cast<std::size_t>(a.id) >= price.n_ids) continue;
            const auto id = static_cast<std::size_t>(a.id);
            const std::ptrdiff_t t = landing_date(price.series(id), dates, a.ex_date);
            if (t < 0) continue;
            CellAdjustment adj;
            if (is_split) {
                adj.factor = a.amount;
                adj.split = true;
            } else {
                adj.cash = a.amount;
                adj.dividend = true;
            }
            cells.emplace_back(id * price.n_dates + static_cast<std::size_t>(t), adj);
        }
    };
    collect(splits, true);
    collect(dividends, false);
    std::stable_sort(cells.begin(), cells.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });

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
        change.at(id, t) = r;
    }
}

} // namespace brelvox::core
