#include "daily_returns.hpp"
#include "wide_vectors.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>
#include <variant>

namespace brelvox::core {

namespace {
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

constexpr std::size_t kOutside = std::numeric_limits<std::size_t>::max();

struct Pending {
    std::int64_t ex_date;
    double amount;
    bool split;
    std::size_t from; // position of the first date on or after ex_date, or kOutside
};

// The first position in [1, n) of `dates` at or after `ex_date` (n when none), by a search
// without branches on the dates: a branch per step is mispredicted half the time, and
// every action takes a search.
template <class T>
std::size_t first_at_or_after(const T* values, std::size_t n, std::int64_t wanted) {
    if (n == 0) return 0;
    const T* base = values;
    std::size_t len = n;
    while (len > 1) {
        const std::size_t half = len / 2;
        // an arithmetic step: the compiler keeps a ternary as a branch here
        base += half * static_cast<std::size_t>(static_cast<std::int64_t>(base[half - 1]) < wanted);
        len -= half;
    }
    return static_cast<std::size_t>(base - values) + (static_cast<std::int64_t>(*base) < wanted);
}

// One instrument's prices as a panel series: slot t is date t, NaN where no price.
struct DenseSeries {
    const double* p;
    std::size_t n;
    // The first slot on or after date `from` with a price, or -1.
    std::ptrdiff_t known_from(std::size_t from) const {
        for (std::size_t t = from; t < n; ++t)
            if (!std::isnan(p[t])) return static_cast<std::ptrdiff_t>(t);
        return -1;
    }
    std::size_t date(std::size_t slot) const { return slot; }
    double value(std::size_t slot) const { return p[slot]; }
};

// One instrument's sorted rows on plain date codes: slot k is row k, on date c[k].
template <class Code> struct RowSeries {
    const Code* c;
    const double* p;
    std::size_t n;
    std::size_t n_dates;
    std::ptrdiff_t known_from(std::size_t from) const {
        // Dates ascend strictly: the row on or after `from` lies in [from - gaps, from], gaps
        // being the dates without a row (a handful, usually).
        const std::size_t gaps = n_dates - n;
        const std::size_t low = from > gaps ? std::min(from - gaps, n) : 0;
        const std::size_t high = std::min(from + 1, n);
        std::size_t k =
            low + first_at_or_after(c + low, high - low, static_cast<std::int64_t>(from));
        for (; k < n; ++k)
            if (!std::isnan(p[k])) return static_cast<std::ptrdiff_t>(k);
        return -1;
    }
    std::size_t date(std::size_t slot) const { return static_cast<std::size_t>(c[slot]); }
    double value(std::size_t slot) const { return p[slot]; }
};

// Where ex-dates fall among the panel's dates. Trading dates run about evenly, so the search
// starts where an ex-date would sit were they even and walks from there: a step or two,
// where halving takes ten dependent reads.
class DateFinder {
  public:
    explicit DateFinder(std::span<const std::int64_t> dates) : dates_(dates) {
        if (dates.size() >= 2 && dates.back() > dates.front())
            scale_ = static_cast<double>(dates.size() - 1) /
                     (static_cast<double>(dates.back()) - static_cast<double>(dates.front()));
    }
    // The position of the first date after the first on or after `t`, or kOutside when `t`
    // is before the second date or after the last (an action outside the panel).
    std::size_t slot_from(std::int64_t t) const {
        const std::size_t n = dates_.size();
        if (n < 2 || t < dates_[1] || t > dates_[n - 1]) return kOutside;
        // From here dates_[0] < t <= dates_[n - 1]: the answer lies in [1, n - 1].
        const double guess = (static_cast<double>(t) - static_cast<double>(dates_[0])) * scale_;
        std::size_t k =
            guess < static_cast<double>(n - 1) ? static_cast<std::size_t>(guess) : n - 1;
        for (int step = 0; step < 8; ++step) {
            if (dates_[k] < t)
                ++k;
            else if (dates_[k - 1] >= t)
                --k;
            else
                return k;
        }
        return 1 + first_at_or_after(dates_.data() + 1, n - 1, t);
    }

  private:
    std::span<const std::int64_t> dates_;
    double scale_ = 0.0;
};

// Slot an action applies on (the first price on or after its ex-date), or -1 when it falls
// outside the panel.
template <class Series> std::ptrdiff_t landing_slot(const Series& series, const Pending& action) {
    return action.from == kOutside ? -1 : series.known_from(action.from);
}

// r[t - 1] = change of p from t - 1 to t, for t in [1, n]; `before` is the padded price
// before p[0] (NaN when none). Returns the padded price at n.
BRELVOX_WIDE_VECTORS double series_change(const double* p, std::size_t n, double missing, double* r,
                                          double before) {
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
    double last = std::isnan(p[0]) ? before : p[0];
    if (n == 0) return last;
    if (largest <= 0x7ff0000000000000ULL) return p[n]; // no NaN (infinity is a value)
    // `last` is the padded price at `at`; between two redone cells every price is known, so
    // the padded price before a redone cell t is p[t - 1] unless t - 1 was redone itself.
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
    return at == n ? last : p[n];
}

// The padded change of sorted rows on plain date codes c[0..m) (strictly ascending) into
// the n_dates - 1 cells of r, without laying the series out: runs of consecutive dates are
// changed in place, the dates between them (no row) padded.
template <class Code>
void rows_change(const Code* c, const double* v, std::size_t m, std::size_t n_dates, double missing,
                 double* r) {
    auto padded = [&](double last) {
        const double change = last / last - 1.0;
        return std::isnan(change) ? missing : change;
    };
    double last = nan;    // the padded price before date `next`
    std::size_t next = 0; // dates before it have their cell
    for (std::size_t k = 0; k < m;) {
        // The run of consecutive dates from row k: c[j] - c[k] == j - k exactly up to its
        // end (dates ascend strictly), found by doubling steps then halving them.
        std::size_t ok = k, step = 1;
        const auto first = static_cast<std::size_t>(c[k]);
        auto in_run = [&](std::size_t j) {
            return static_cast<std::size_t>(c[j]) - first == j - k;
        };
        while (ok + step < m && in_run(ok + step)) {
            ok += step;
            step *= 2;
        }
        for (; step > 0; step /= 2)
            if (ok + step < m && in_run(ok + step)) ok += step;
        const std::size_t end = ok + 1;
        const double gap = padded(last);
        for (std::size_t u = std::max<std::size_t>(next, 1); u < first; ++u) r[u - 1] = gap;
        if (first >= 1) {
            const double now = std::isnan(v[k]) ? last : v[k];
            const double change = now / last - 1.0;
            r[first - 1] = std::isnan(change) ? missing : change;
        }
        last = series_change(v + k, end - k - 1, missing, r + first, last);
        next = first + (end - k);
        k = end;
    }
    const double gap = padded(last);
    for (std::size_t u = std::max<std::size_t>(next, 1); u < n_dates; ++u) r[u - 1] = gap;
}

// Applies one instrument's actions (ordered by ex-date, record order among equals).
template <class Series>
void apply_actions(const Series& series, std::span<const Pending> actions, double missing,
                   double* r) {
    std::ptrdiff_t next = actions.empty() ? -1 : landing_slot(series, actions[0]);
    for (std::size_t k = 0; k < actions.size();) {
        const std::ptrdiff_t slot = next;
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
            next = k < actions.size() ? landing_slot(series, actions[k]) : -2;
        } while (next == slot);
        if (slot < 0) continue;
        const auto at = static_cast<std::size_t>(slot);
        double previous = nan;
        for (std::size_t s = at; s-- > 0;)
            if (!std::isnan(series.value(s))) {
                previous = series.value(s);
                break;
            }
        const double price = series.value(at);
        double value = (split ? (price * factor) / previous : price / previous) - 1.0;
        if (dividend) value += cash / previous;
        r[series.date(at) - 1] = std::isnan(value) ? missing : value;
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
    const DateFinder finder(dates.first(std::min(dates.size(), price.n_dates())));
    auto place = [&](std::span<const CorporateAction> list, bool is_split) {
        for (const CorporateAction& a : list)
            if (valid(a))
                bucketed[fill[static_cast<std::size_t>(a.id)]++] = {a.ex_date, a.amount, is_split,
                                                                    finder.slot_from(a.ex_date)};
    };
    place(splits, true);
    place(dividends, false);

    std::vector<double> scratch(price.n_dates());
    const SortedRows* rows = price.rows();
    for (std::size_t i = 0; i < price.n_ids(); ++i) {
        double* r = out + i * n;
        std::span<Pending> mine(bucketed.data() + start[i], start[i + 1] - start[i]);
        if (mine.size() <= 32)
            sort_by_ex_date(mine);
        else
            std::stable_sort(mine.begin(), mine.end(), [](const Pending& a, const Pending& b) {
                return a.ex_date < b.ex_date;
            });
        const std::size_t first = rows ? rows->start[i] : 0;
        const std::size_t count = rows ? rows->start[i + 1] - first : 0;
        if (rows && rows->plain && count != price.n_dates()) {
            // A series with gaps read from its rows as they are.
            std::visit(
                [&](auto codes) {
                    const RowSeries<std::remove_cv_t<typename decltype(codes)::element_type>>
                        series{codes.data() + first, rows->values.data() + first, count,
                               price.n_dates()};
                    rows_change(series.c, series.p, count, price.n_dates(), missing, r);
                    apply_actions(series, mine, missing, r);
                },
                rows->date_codes);
            continue;
        }
        const double* p = price.series(i, scratch.data());
        series_change(p, n, missing, r, nan);
        apply_actions(DenseSeries{p, price.n_dates()}, mine, missing, r);
    }
}

} // namespace brelvox::core
