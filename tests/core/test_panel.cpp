// panel: rows scattered into cells (repeats reported or skipped), leading dates dropped,
// series of a panel.
#include "check.hpp"

#include "panel.hpp"

#include <cmath>
#include <vector>

using namespace brelvox::core;

void test_panel() {
    const std::vector<std::int32_t> id{1, 0, -1, 1, 0}, date{2, 0, 1, 0, -1};
    const std::vector<double> value{12, 0, 99, 10, 98};
    Scattered s = scatter_rows(id, date, value, 2, 3, Duplicates::report);
    CHECK(s.first_duplicate == -1 && s.panel.n_ids == 2 && s.panel.n_dates == 3);
    CHECK(s.panel.at(0, 0) == 0 && std::isnan(s.panel.at(0, 1)) && std::isnan(s.panel.at(0, 2)));
    CHECK(s.panel.at(1, 0) == 10 && std::isnan(s.panel.at(1, 1)) && s.panel.at(1, 2) == 12);

    // a repeated cell: reported at once, or skipped keeping the first value
    const std::vector<std::int32_t> rid{0, 0, 1, 0}, rdate{1, 1, 0, 1};
    const std::vector<double> rvalue{5, 6, 7, 8};
    Scattered reported = scatter_rows(rid, rdate, rvalue, 2, 2, Duplicates::report);
    CHECK(reported.first_duplicate == 1 && std::isnan(reported.panel.at(1, 0)));
    Scattered kept = scatter_rows(rid, rdate, rvalue, 2, 2, Duplicates::keep_first);
    CHECK(kept.first_duplicate == 1 && kept.panel.at(0, 1) == 5 && kept.panel.at(1, 0) == 7);
    // rows beyond the shortest column are not read
    Scattered short_values =
        scatter_rows(id, date, std::vector<double>{12}, 2, 3, Duplicates::report);
    CHECK(short_values.panel.at(1, 2) == 12 && std::isnan(short_values.panel.at(0, 0)));
    Scattered empty = scatter_rows({}, {}, {}, 0, 0, Duplicates::report);
    CHECK(empty.panel.values.empty() && empty.first_duplicate == -1);

    Panel p(2, 4, 0.0);
    for (std::size_t i = 0; i < 2; ++i)
        for (std::size_t d = 0; d < 4; ++d) p.at(i, d) = static_cast<double>(10 * i + d);
    drop_leading_dates(p, 1);
    CHECK(p.n_dates == 3 && (p.values == std::vector<double>{1, 2, 3, 11, 12, 13}));
    drop_leading_dates(p, 5); // more than there are: none left
    CHECK(p.n_dates == 0 && p.values.empty());

    Panel q(2, 2, 1.5);
    const SeriesSource source(q);
    double scratch[2];
    CHECK(source.rows() == nullptr && source.series(1, scratch) == q.series(1));
    CHECK(source.n_ids() == 2 && source.n_dates() == 2);
}
