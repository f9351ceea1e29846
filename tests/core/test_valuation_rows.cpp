// valuation_rows: the first row of each (id, date) pair, rows relabelled and copied for
// extra labels, outer codes rewritten, columns copied and gathered through strides.
#include "check.hpp"

#include "valuation_rows.hpp"

#include <vector>

using namespace brelvox::core;

void test_valuation_rows() {
    // pairs (0,0) (1,0) (0,0) (-1,1) (0,5: outside the level, as missing) (-1,1)
    const std::vector<std::int32_t> outer{0, 1, 0, -1, 0, -1}, inner{0, 0, 0, 1, 5, 1};
    std::vector<std::int64_t> kept = first_of_each_pair(outer, inner, 2, 2);
    CHECK((kept == std::vector<std::int64_t>{0, 1, 3, 4}));
    CHECK(!keeps_every_row(kept, outer.size(), {{}, {}}));
    CHECK(keeps_every_row(std::vector<std::int64_t>{0, 1}, 2, {{}, {}}));
    CHECK(!keeps_every_row(std::vector<std::int64_t>{0, 1}, 2, {{}, {7}}));

    // label 0 becomes 5 and is copied under 6 and 7; label 1 becomes 4
    const std::vector<std::int64_t> primary{5, 4};
    const std::vector<std::vector<std::int64_t>> extra{{6, 7}, {}};
    const RowPlan plan = relabel_rows(std::move(kept), outer, inner, primary, extra);
    CHECK((plan.source == std::vector<std::int64_t>{0, 1, 3, 4, 0, 4, 0, 4}));
    CHECK((plan.outer == std::vector<std::int64_t>{5, 4, -1, 5, 6, 6, 7, 7}));
    CHECK((plan.inner == std::vector<std::int64_t>{0, 0, 1, 5, 0, 5, 0, 5}));

    CHECK((recode(outer, primary) == std::vector<std::int32_t>{5, 4, 5, -1, 5, -1}));
    CHECK((recode(std::vector<std::int32_t>{2}, primary) == std::vector<std::int32_t>{-1}));

    // a block of two columns row by row (stride 2) and a plain column
    const std::vector<double> block{1, 10, 2, 20, 3, 30}, plain{7, 8, 9};
    std::vector<double> a(3), b(3), c(3);
    const std::vector<StridedColumn> columns{
        {block.data(), 2, a.data()}, {block.data() + 1, 2, b.data()}, {plain.data(), 1, c.data()}};
    copy_rows(columns, 3);
    CHECK((a == std::vector<double>{1, 2, 3}) && (b == std::vector<double>{10, 20, 30}));
    CHECK((c == std::vector<double>{7, 8, 9}));
    gather_rows(columns, std::vector<std::int64_t>{2, 0, 2});
    CHECK((a == std::vector<double>{3, 1, 3}) && (b == std::vector<double>{30, 10, 30}));
    CHECK((c == std::vector<double>{9, 7, 9}));
}
