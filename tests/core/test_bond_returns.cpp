// bond_returns: holding returns with coupons and principal repaid, dense and sparse rows,
// repeated rows, and every unknown cell 0.0.
#include "check.hpp"

#include "bond_returns.hpp"

#include <cmath>
#include <limits>
#include <vector>

using namespace brelvox::core;

static bool near(double a, double b) {
    return std::abs(a - b) < 1e-15;
}

void test_bond_returns() {
    constexpr std::int64_t day = 86400LL * 1000000LL;
    const std::vector<std::int64_t> dates{0, day, 3 * day};
    // One bond, a row per date: day 1 accrues, day 3 (two days later) pays a coupon.
    const std::vector<double> dirty{100, 101, 102.5}, intraday{0.9, 1.0, 0.1}, eod{1.0, 1.1, 0.2},
        residual{100, 100, 100};
    const BondValuations dense{{}, {}, dates, dirty, intraday, eod, residual, 1};
    const double coupon = 1.1 + (2 - 1) * (0.2 - 0.1) - 0.1;
    std::vector<double> all(2);
    bond_holding_returns(dense, std::vector<std::int64_t>{0}, std::vector<std::int64_t>{1, 2}, all);
    CHECK(near(all[0], 0.01) && near(all[1], (102.5 + coupon - 101) / 101));
    std::vector<double> picked(3);
    bond_holding_returns(dense, std::vector<std::int64_t>{0}, std::vector<std::int64_t>{2, 0, -1},
                         picked);
    CHECK(near(picked[0], all[1]) && picked[1] == 0.0 && picked[2] == 0.0);
    // fewer values than the rows claimed: nothing is read
    const BondValuations short_rows{{},       {},  dates,    std::vector<double>{1.0},
                                    intraday, eod, residual, 1};
    bond_holding_returns(short_rows, std::vector<std::int64_t>{0}, std::vector<std::int64_t>{1, 2},
                         all);
    CHECK(all[0] == 0.0 && all[1] == 0.0);

    // Rows in no order: bond 1 on dates 2 and 0 (a later repeat of date 0 ignored) repays
    // 20 of principal with its coupon; bond 0 on dates 0 and 1; a row without a bond.
    const std::vector<std::int32_t> bond{1, 1, 0, 1, 0, -1}, on{2, 0, 0, 0, 1, 1};
    const std::vector<double> d{49, 50, 100, 70, 100.5, 1}, i{0.2, 0.0, 0.9, 0.0, 1.0, 0},
        e{0.3, 0.5, 1.0, 0.4, 1.1, 0}, p{80, 100, 100, 100, 100, 0};
    const BondValuations rows{bond, on, dates, d, i, e, p, 2};
    std::vector<double> out(9);
    bond_holding_returns(rows, std::vector<std::int64_t>{1, -1, 0},
                         std::vector<std::int64_t>{2, 1, -1}, out);
    const double bond1_coupon = 0.5 + (3 - 1) * (0.3 - 0.2) - 0.2;
    CHECK(near(out[0], (49 + 20 + bond1_coupon - 50) / 50) && out[1] == 0.0 && out[2] == 0.0);
    CHECK(out[3] == 0.0 && out[4] == 0.0 && out[5] == 0.0);
    CHECK(out[6] == 0.0 && near(out[7], 0.005) && out[8] == 0.0);

    // a previous dirty price of 0, and a NaN price: 0.0
    const std::vector<double> zero{0, 5}, nan_price{std::nan(""), 5}, flat{0, 0};
    const std::vector<std::int64_t> two{0, day};
    std::vector<double> one(1);
    bond_holding_returns(BondValuations{{}, {}, two, zero, flat, flat, flat, 1},
                         std::vector<std::int64_t>{0}, std::vector<std::int64_t>{1}, one);
    CHECK(one[0] == 0.0);
    bond_holding_returns(BondValuations{{}, {}, two, nan_price, flat, flat, flat, 1},
                         std::vector<std::int64_t>{0}, std::vector<std::int64_t>{1}, one);
    CHECK(one[0] == 0.0);
}
