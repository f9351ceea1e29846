// index_weights: list rows scattered by date, duplicates on strict dates, totals of 1,
// compacting, lists spread forward, NaN filled forward, a stable ascending order.
#include "check.hpp"

#include "index_weights.hpp"

#include <cmath>
#include <limits>
#include <vector>

using namespace brelvox::core;
using brelvox::check::codes;

void test_index_weights() {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // table codes: constituents c0..c2 (c2 left out), dates d0..d2; a missing weight stays 0
    const std::vector<std::int16_t> rc{0, 1, 0, 2, -1, 1, 0};
    const std::vector<std::int64_t> rd{0, 0, 2, 2, 1, 2, 0};
    const std::vector<double> w{0.6, 0.4, nan, 0.9, 1.0, 0.5, 0.7};
    const std::vector<std::int32_t> cpos{1, 0, -1}, dpos{0, 1, 2};
    ListWeights lists = scatter_weights(codes(rc), codes(rd), w, cpos, dpos, 2, 3,
                                        std::vector<bool>{false, false, false});
    CHECK((lists.weights.values == std::vector<double>{0.4, 0.6, 0, 0, 0.5, 0}));
    CHECK(lists.first_duplicate == -1); // the repeat on d0 is on a date not checked
    CHECK((lists.date_seen == std::vector<std::uint8_t>{1, 0, 1}));
    CHECK((lists.constituent_seen == std::vector<std::uint8_t>{1, 1}));
    ListWeights strict = scatter_weights(codes(rc), codes(rd), w, cpos, dpos, 2, 3,
                                         std::vector<bool>{true, false, false});
    CHECK(strict.first_duplicate == 6 && strict.weights.row(0)[1] == 0.6); // the first kept

    DateRows rows(2, 2, 0.0);
    rows.values = {1, 3, 0, 0};
    normalise_by_date(rows);
    CHECK(rows.values[0] == 0.25 && rows.values[1] == 0.75);
    CHECK(std::isnan(rows.values[2]) && std::isnan(rows.values[3])); // 0/0

    DateRows wide(3, 3, 0.0);
    for (std::size_t k = 0; k < 9; ++k) wide.values[k] = static_cast<double>(k);
    const DateRows small = compact(wide, {1, 0, 1}, {0, 1, 1});
    CHECK(small.n_dates == 2 && small.n_constituents == 2);
    CHECK((small.values == std::vector<double>{1, 2, 7, 8}));

    // requested date j takes list list_pos[j]; a NaN in a list or no list carries forward
    DateRows spread_in(2, 2, 0.0);
    spread_in.values = {0.5, 0.5, nan, 1.0};
    const DateRows spread =
        spread_forward(std::move(spread_in), std::vector<std::int64_t>{-1, 0, -1, 1}, false);
    CHECK(spread.n_dates == 4 && std::isnan(spread.row(0)[0]) && std::isnan(spread.row(0)[1]));
    CHECK(spread.row(1)[0] == 0.5 && spread.row(2)[1] == 0.5);
    CHECK(spread.row(3)[0] == 0.5 && spread.row(3)[1] == 1.0);
    DateRows own(2, 1, 0.0);
    own.values = {0.3, nan};
    const DateRows same = spread_forward(std::move(own), std::vector<std::int64_t>{0, 1}, false);
    CHECK(same.values[0] == 0.3 && same.values[1] == 0.3);

    Panel p(1, 4, nan);
    p.values = {nan, 1, nan, 2};
    forward_fill(p);
    CHECK(std::isnan(p.values[0]) && p.values[2] == 1 && p.values[3] == 2);

    CHECK((ascending_order(std::vector<std::int64_t>{3, 1, 3, 0}) ==
           std::vector<std::int64_t>{3, 1, 0, 2}));
    CHECK((ascending_order(std::vector<std::int64_t>{1, 2}) == std::vector<std::int64_t>{0, 1}));
}
