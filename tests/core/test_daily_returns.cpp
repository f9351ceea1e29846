// daily_returns: changes over gaps, actions on their landing dates, rows read in place.
#include "check.hpp"

#include "daily_returns.hpp"
#include "frame_index.hpp"

#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

using namespace brelvox::core;
using brelvox::check::codes;

// An action lands on the first date on or after its ex-date, however unevenly the dates run:
// a split of 2 on a constant price gives a return of 1 there and 0 elsewhere.
static void actions_on_uneven_dates() {
    std::vector<std::int64_t> dates;
    for (std::int64_t t = 0; t < 30; ++t) dates.push_back(t);
    for (std::int64_t t = 0; t < 30; ++t) dates.push_back(1000000000 + 7 * t);
    const std::vector<double> p(dates.size(), 10.0);
    std::vector<double> r(dates.size() - 1);
    for (const std::int64_t ex :
         {std::int64_t{-5}, std::int64_t{0}, std::int64_t{1}, std::int64_t{17}, std::int64_t{29},
          std::int64_t{30}, std::int64_t{999999999}, std::int64_t{1000000001},
          std::int64_t{1000000100}, std::int64_t{1000000203}, std::int64_t{1000000204}}) {
        const std::vector<CorporateAction> split{{0, ex, 2.0}};
        adjusted_returns(PanelView{1, p.size(), p.data()}, dates, split, {}, -9.0, r.data());
        std::size_t want = 1; // on or before the first date: never applied
        while (want < dates.size() && dates[want] < ex) ++want;
        if (ex <= dates[0]) want = dates.size();
        for (std::size_t t = 1; t < dates.size(); ++t) CHECK(r[t - 1] == (t == want ? 1.0 : 0.0));
    }
}

static void returns_with_gaps() {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // leading gap (listing), a suspension, and a zero price
    const std::vector<double> p{nan, nan, 10, 11, nan, nan, 12.1, 0, 5};
    std::vector<double> r(p.size() - 1);
    const std::vector<std::int64_t> dates{0, 1, 2, 3, 4, 5, 6, 7, 8};
    adjusted_returns(PanelView{1, p.size(), p.data()}, dates, {}, {}, -9.0, r.data());
    // reference: pad from the last known price, then change
    double last = p[0];
    for (std::size_t t = 1; t < p.size(); ++t) {
        const double now = std::isnan(p[t]) ? last : p[t];
        const double change = now / last - 1.0;
        const double want = std::isnan(change) ? -9.0 : change;
        CHECK(r[t - 1] == want || (std::isinf(want) && r[t - 1] == want));
        last = now;
    }
}

// Returns of sorted rows read in place equal those of the same rows laid out as a panel:
// gaps, missing and zero prices, and actions landing on or after their ex-dates.
static void returns_from_rows() {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::mt19937 gen(7);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const std::size_t n_ids = 40, n_dates = 30;
    std::vector<std::int64_t> dates(n_dates);
    for (std::size_t t = 0; t < n_dates; ++t) dates[t] = static_cast<std::int64_t>(10 * t);
    std::vector<std::int16_t> id, date;
    std::vector<double> value, panel(n_ids * n_dates, nan);
    for (std::size_t i = 0; i < n_ids; ++i)
        for (std::size_t t = 0; t < n_dates; ++t) {
            if (u(gen) < (i % 3 == 0 ? 0.0 : 0.3)) continue; // every third instrument complete
            const double x = u(gen);
            const double v = x < 0.1 ? nan : x < 0.15 ? 0.0 : 10.0 * x;
            id.push_back(static_cast<std::int16_t>(i));
            date.push_back(static_cast<std::int16_t>(t));
            value.push_back(v);
            panel[i * n_dates + t] = v;
        }
    std::vector<CorporateAction> splits, dividends;
    for (int k = 0; k < 60; ++k) {
        const auto who = static_cast<std::int32_t>(u(gen) * n_ids);
        const auto when = static_cast<std::int64_t>(u(gen) * 10 * n_dates);
        (k % 2 ? splits : dividends).push_back({who, when, 0.5 + u(gen)});
    }
    std::vector<std::int32_t> id_pos(n_ids), date_pos(n_dates);
    std::iota(id_pos.begin(), id_pos.end(), 0);
    std::iota(date_pos.begin(), date_pos.end(), 0);
    SortedRows rows;
    CHECK(sorted_rows(codes(id), id_pos, codes(date), date_pos, n_ids, n_dates, rows));
    rows.values = value;
    std::vector<double> want(n_ids * (n_dates - 1)), got(want.size());
    adjusted_returns(PanelView{n_ids, n_dates, panel.data()}, dates, splits, dividends, -9.0,
                     want.data());
    adjusted_returns(SeriesSource(rows, n_ids, n_dates), dates, splits, dividends, -9.0,
                     got.data());
    for (std::size_t k = 0; k < want.size(); ++k)
        CHECK(got[k] == want[k] || (std::isnan(got[k]) && std::isnan(want[k])));
}

void test_daily_returns() {
    actions_on_uneven_dates();
    returns_with_gaps();
    returns_from_rows();
}
