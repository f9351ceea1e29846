// align: labels found among sorted ones, a panel conformed to wanted positions, ranks.
#include "check.hpp"

#include "align.hpp"

#include <cmath>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

using namespace brelvox::core;

void test_align() {
    const std::vector<std::int64_t> sorted{10, 20, 30};
    CHECK((positions_in_sorted(sorted, std::vector<std::int64_t>{30, 5, 10, 30, 31}) ==
           std::vector<std::int64_t>{2, -1, 0, 2, -1}));
    CHECK(positions_in_sorted(std::vector<std::int64_t>{}, std::vector<std::int64_t>{1}) ==
          std::vector<std::int64_t>{-1});
    const std::vector<std::string> names{"a", "b", "c"};
    const std::vector<std::string_view> asked{"c", "", "a", "bb"};
    CHECK((positions_in_sorted(names, asked) == std::vector<std::int64_t>{2, -1, 0, -1}));

    // every label once: in any order; a label twice, missing, or an extra one: no
    CHECK(covers_exactly(3, std::vector<std::int64_t>{2, 0, 1}));
    CHECK(!covers_exactly(3, std::vector<std::int64_t>{2, 0, 0}));
    CHECK(!covers_exactly(3, std::vector<std::int64_t>{2, 0}));
    CHECK(!covers_exactly(3, std::vector<std::int64_t>{2, 0, 1, -1}));
    CHECK(covers_exactly(0, std::vector<std::int64_t>{}));

    // conform: instrument k from id_pos[k], date j from date_pos[j], -1 filled
    Panel p(2, 3, 0.0);
    for (std::size_t i = 0; i < 2; ++i)
        for (std::size_t d = 0; d < 3; ++d) p.at(i, d) = static_cast<double>(10 * i + d);
    const Panel c = conform(p, std::vector<std::int64_t>{1, -1, 0},
                            std::vector<std::int64_t>{2, 2, -1, 0}, -7.0);
    CHECK(c.n_ids == 3 && c.n_dates == 4);
    CHECK((c.values == std::vector<double>{12, 12, -7, 10, -7, -7, -7, -7, 2, 2, -7, 0}));
    const Panel none = conform(p, std::vector<std::int64_t>{}, std::vector<std::int64_t>{0}, 0.0);
    CHECK(none.n_ids == 0 && none.values.empty());

    // NaN filled, infinities kept
    Panel g(1, 3, 0.0);
    g.values = {std::nan(""), std::numeric_limits<double>::infinity(), 1.0};
    fill_nan(g, 0.5);
    CHECK(g.values[0] == 0.5 && std::isinf(g.values[1]) && g.values[2] == 1.0);

    const Ranked r = rank_labels(std::vector<std::int64_t>{7, 3, 7, -1});
    CHECK((r.distinct == std::vector<std::int64_t>{-1, 3, 7}));
    CHECK((r.rank == std::vector<std::int32_t>{2, 1, 2, 0}));
    CHECK(rank_labels(std::vector<std::int64_t>{}).distinct.empty());
}
