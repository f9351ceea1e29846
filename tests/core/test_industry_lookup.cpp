// industry_lookup: the code in force per date and stock within listing bounds, unordered
// dates, codes in the order met and their one-hot columns.
#include "check.hpp"

#include "industry_lookup.hpp"

#include <vector>

using namespace brelvox::core;

void test_industry_lookup() {
    // stock A: code 0 from day 0, code 1 from day 10 (newest first); listed 0 to 100.
    // stock B: no history. stock C: code 2 from day 5, listed 8 to 20.
    IndustryHistory history;
    history.start_day = {10, 0, 5};
    history.code = {1, 0, 2};
    const std::vector<StockQuery> stocks{{0, 2, 0, 100}, {0, 0, 0, 100}, {2, 1, 8, 20}};
    const std::vector<std::int32_t> days{-1, 4, 9, 10, 21, kNoDay, 9};
    std::vector<std::int8_t> cells(days.size() * stocks.size());
    classify(history, stocks, days, cells.data());
    const std::vector<std::int8_t> want{
        -1, -1, -1, 0,  -1, -1, 0,  -1, 2,  1, -1,
        2,  1,  -1, -1, -1, -1, -1, 0,  -1, 2}; // 9 again: walk restarts
    CHECK(cells == want);
    std::vector<std::int32_t> wide(cells.size());
    classify(history, stocks, days, wide.data());
    CHECK((std::vector<std::int8_t>(wide.begin(), wide.end()) == want));

    const ColumnOrder order = columns_in_order_met(cells.data(), cells.size(), 4);
    CHECK((order.code_of_column == std::vector<std::int32_t>{0, 2, 1}));
    CHECK((order.column_of_code == std::vector<std::int32_t>{0, 2, 1, -1}));
    std::vector<std::int8_t> onehot(3 * cells.size(), 0);
    fill_one_hot(cells.data(), cells.size(), order, onehot.data());
    bool right = true;
    for (std::size_t r = 0; r < cells.size(); ++r)
        for (std::size_t column = 0; column < 3; ++column)
            right &= onehot[column * cells.size() + r] ==
                     (cells[r] >= 0 && order.column_of_code[static_cast<std::size_t>(cells[r])] ==
                                           static_cast<std::int32_t>(column));
    CHECK(right);
}
