// fund_returns: Python's bisect_right, daily profits carried to the next wanted date, net
// value changes over gaps.
#include "check.hpp"

#include "fund_returns.hpp"

#include <cmath>
#include <limits>
#include <vector>

using namespace brelvox::core;

static bool near(double a, double b) {
    return std::abs(a - b) < 1e-15;
}

void test_fund_returns() {
    const std::vector<std::int64_t> sorted{1, 3, 3, 5};
    CHECK(bisect_right(sorted, 3) == 3 && bisect_right(sorted, 0) == 0);
    CHECK(bisect_right(sorted, 9) == 4 && bisect_right(std::vector<std::int64_t>{}, 1) == 0);

    const double nan = std::numeric_limits<double>::quiet_NaN();
    // days 1..5; fund 0 reports 10, 20, NaN, 40, 50 per 10,000 units, fund 1 nothing
    const std::vector<std::int64_t> days{1, 2, 3, 4, 5};
    const std::vector<double> profit{10, 20, nan, 40, 50, nan, nan, nan, nan, nan};
    const FundSeries series{profit, 2, days};
    std::vector<double> out(4);
    // day 1 reaches day 2, day 3 (missing: 0) reaches day 4, day 5 reaches no wanted date
    carried_daily_profit(series, std::vector<std::int64_t>{2, 4}, out);
    CHECK(near(out[0], 0.003) && near(out[1], 0.004) && out[2] == 0.0 && out[3] == 0.0);
    // a wanted day without a report collects the days since the previous wanted one
    carried_daily_profit(series, std::vector<std::int64_t>{2, 6}, out);
    CHECK(near(out[0], 0.003) && near(out[1], 0.009));
    // a wanted date asked twice gets the same sum
    std::vector<double> three(6);
    carried_daily_profit(series, std::vector<std::int64_t>{2, 2, 4}, three);
    CHECK(near(three[0], 0.003) && near(three[1], 0.003) && near(three[2], 0.004));

    // net values 1.0, 1.1, NaN, 1.21: the gap padded, so no change on day 3
    const std::vector<std::int64_t> nav_days{1, 2, 3, 4};
    const std::vector<double> nav{1.0, 1.1, nan, 1.21};
    const FundSeries net{nav, 1, nav_days};
    std::vector<double> change(3);
    net_value_change(net, std::vector<std::int64_t>{2, 3, 4}, change);
    CHECK(near(change[0], 0.1) && change[1] == 0.0 && near(change[2], 0.1));
    // the first date, a date after the data and unknown dates have no change
    net_value_change(net, std::vector<std::int64_t>{1, 4, 9}, change);
    CHECK(change[0] == 0.0 && near(change[1], 0.1) && change[2] == 0.0);
    // a change from a value of 0 is 0, and no data at all gives zeros
    const std::vector<double> from_zero{0.0, 2.0};
    std::vector<double> one(1);
    net_value_change(FundSeries{from_zero, 1, std::vector<std::int64_t>{1, 2}},
                     std::vector<std::int64_t>{2}, one);
    CHECK(one[0] == 0.0);
    one[0] = 5.0;
    net_value_change(FundSeries{{}, 1, {}}, std::vector<std::int64_t>{2}, one);
    CHECK(one[0] == 0.0);
}
