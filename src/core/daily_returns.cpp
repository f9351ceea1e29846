#include "daily_returns.hpp"
#include "wide_vectors.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace brelvox::core {

namespace {
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

struct Pending {
    std::int64_t ex_date;
    double amount;
    bool split;
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

// r[t - 1] = change of p from t - 1 to t, for t in [1, n].
BRELVOX_WIDE_VECTORS void series_change(const double* p, std::size_t n, double missing, double* r) {
    // Plain element-wise change first (vectorised, one streaming read of the prices). Only
    // the cells where it gives NaN (a missing price on either day, or 0/0) are redone with
    // gaps padded: a cell whose prices are both known reads the same either way.
    // NaN is seen as the largest magnitude bits, in the same pass: a maximum vectorises
    // where a boolean OR does not.
    std::uint64_t largest = 0;
    for (std::size_t t = 1; t <= n; ++t) {
        const double change = p[t] / p[t - 1] - 1.0;
        r[t - 1] = change;
        std::uint64_t bits;
        std::memcpy(&bits, &change, sizeof bits);
        bits &= 0x7fffffffffffffffULL;
        largest = bits > largest ? bits : largest;
    }
    if (largest <= 0x7ff0000000000000ULL) return; // no NaN (infinity is a value)
    // `last` is the padded price at `at`; between two redone cells every price is known, so
    // the padded price before a redone cell t is p[t - 1] unless t - 1 was redone itself.
    double last = p[0];
    std::size_t at = 0;
    for (std::size_t t = 1; t <= n; ++t) {
        if ((t & 7) == 1 && t + 7 <= n) { // eight cells at a time while none is NaN
            bool any = false;
            for (std::size_t k = 0; k < 8; ++k) any |= r[t - 1 + k] != r[t - 1 + k];
            if (!any) {
                t += 7;
                continue;
            }
        }
        if (r[t - 1] == r[t - 1]) continue;
        if (t - 1 > at) last = p[t - 1];
        const double now = std::isnan(p[t]) ? last : p[t];
        const double change = now / last - 1.0;
        r[t - 1] = std::isnan(change) ? missing : change;
        last = now;
        at = t;
    }
}

// Applies one instrument's actions (ordered by ex-date, record order among equals).
void apply_actions(const double* p, std::span<const std::int64_t> dates,
                   std::span<const Pending> actions, double missing, double* r) {
    std::ptrdiff_t next = actions.empty() ? -1 : landing_date(p, dates, actions[0].ex_date);
    for (std::size_t k = 0; k < actions.size();) {
        const std::ptrdiff_t t = next;
        double factor = 1.0, cash = 0.0;
        bool split = false, dividend = false;
        // Every action landing on the same date compounds there.
        do {
            if (actions[k].split) {
                factor *= actions[k].amount;
                split = true;
            } else {
                cash += actions[k].amount;
                dividend = true;
            }
            ++k;
            next = k < actions.size() ? landing_date(p, dates, actions[k].ex_date) : -2;
        } while (next == t);
        if (t < 0) continue;
        const auto at = static_cast<std::size_t>(t);
        double previous = nan;
        for (std::size_t s = at; s-- > 0;)
            if (!std::isnan(p[s])) {
                previous = p[s];
                break;
            }
        double value = (split ? (p[at] * factor) / previous : p[at] / previous) - 1.0;
        if (dividend) value += cash / previous;
        r[at - 1] = std::isnan(value) ? missing : value;
    }
}

// Stable insertion sort by ex-date: an instrument has a handful of actions.
void sort_by_ex_date(std::span<Pending> actions) {
    for (std::size_t k = 1; k < actions.size(); ++k) {
        const Pending item = actions[k];
        std::size_t j = k;
        for (; j > 0 && actions[j - 1].ex_date > item.ex_date; --j) actions[j] = actions[j - 1];
        actions[j] = item;
    }
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

BRELVOX_WIDE_VECTORS void adjusted_returns(const SeriesSource& price,
                                           std::span<const std::int64_t> dates,
                                           std::span<const CorporateAction> splits,
                                           std::span<const CorporateAction> dividends,
                                           double missing, double* out) {
    if (price.n_dates() == 0) return;
    const std::size_t n = price.n_dates() - 1;
    // Bucket the actions by instrument (counting sort keeps record order, splits first).
    std::vector<std::size_t> start(price.n_ids() + 1, 0);
    auto valid = [&](const CorporateAction& a) {
        return a.id >= 0 && static_cast<std::size_t>(a.id) < price.n_ids();
    };
    for (const auto& list : {splits, dividends})
        for (const CorporateAction& a : list)
            if (valid(a)) ++start[static_cast<std::size_t>(a.id) + 1];
    for (std::size_t i = 0; i < price.n_ids(); ++i) start[i + 1] += start[i];
    std::vector<Pending> bucketed(start[price.n_ids()]);
    std::vector<std::size_t> fill(start.begin(), start.end() - 1);
    auto place = [&](std::span<const CorporateAction> list, bool is_split) {
        for (const CorporateAction& a : list)
            if (valid(a))
                bucketed[fill[static_cast<std::size_t>(a.id)]++] = {a.ex_date, a.amount, is_split};
    };
    place(splits, true);
    place(dividends, false);

    std::vector<double> scratch(price.n_dates());
    for (std::size_t i = 0; i < price.n_ids(); ++i) {
        const double* p = price.series(i, scratch.data());
        double* r = out + i * n;
        series_change(p, n, missing, r);
        if (start[i] == start[i + 1]) continue;
        std::span<Pending> mine(bucketed.data() + start[i], start[i + 1] - start[i]);
        if (mine.size() <= 32)
            sort_by_ex_date(mine);
        else
            std::stable_sort(mine.begin(), mine.end(), [](const Pending& a, const Pending& b) {
                return a.ex_date < b.ex_date;
            });
        apply_actions(p, dates, mine, missing, r);
    }
}

} // namespace brelvox::core
