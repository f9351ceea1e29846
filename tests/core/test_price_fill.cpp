// price_fill: the last date at or before each wanted one, and prices carried onto them.
#include "check.hpp"

#include "price_fill.hpp"

#include <cmath>
#include <limits>
#include <vector>

using namespace brelvox::core;

void test_price_fill() {
    const std::vector<std::int64_t> dates{10, 20, 30};
    CHECK((last_at_or_before(dates, std::vector<std::int64_t>{5, 10, 25, 30, 99}, 0) ==
           std::vector<std::int64_t>{-1, 0, 1, 2, 2}));
    // dates before `earliest` do not count
    CHECK((last_at_or_before(dates, std::vector<std::int64_t>{15, 25}, 20) ==
           std::vector<std::int64_t>{-1, 1}));
    CHECK(last_at_or_before(std::vector<std::int64_t>{}, std::vector<std::int64_t>{1}, 0) ==
          std::vector<std::int64_t>{-1});

    const double nan = std::numeric_limits<double>::quiet_NaN();
    Panel prices(2, 5, nan);
    prices.values = {1, nan, nan, 4, nan, nan, 20, nan, nan, nan};
    std::vector<double> out(3 * 4);
    // instruments 1, 0 and none; dates 2, 4, 1 (out of order) and none
    carry_onto(prices, std::vector<std::int64_t>{1, 0, -1}, std::vector<std::int64_t>{2, 4, 1, -1},
               0, out);
    CHECK(out[0] == 20 && out[1] == 20 && out[2] == 20 && std::isnan(out[3]));
    CHECK(out[4] == 1 && out[5] == 4 && out[6] == 1 && std::isnan(out[7]));
    bool none = true;
    for (std::size_t k = 8; k < 12; ++k) none &= std::isnan(out[k]);
    CHECK(none);
    // from date 2 on: nothing earlier is carried, and dates before it are NaN
    std::vector<double> later(4);
    carry_onto(prices, std::vector<std::int64_t>{0}, std::vector<std::int64_t>{1, 2, 3, 4}, 2,
               later);
    CHECK(std::isnan(later[0]) && std::isnan(later[1]) && later[2] == 4 && later[3] == 4);
    // an instrument position beyond the panel gives NaN
    std::vector<double> beyond(1);
    carry_onto(prices, std::vector<std::int64_t>{7}, std::vector<std::int64_t>{0}, 0, beyond);
    CHECK(std::isnan(beyond[0]));
}
