// frame_index: level codes, used entries, panels detected and scattered, sorted rows, date
// units.
#include "check.hpp"

#include "frame_index.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

using namespace brelvox::core;
using brelvox::check::codes;

static void level_codes() {
    const std::vector<std::int8_t> ok{0, -1, 2, 1};
    CHECK(first_bad_code(codes(ok), 3) == -1);
    CHECK(first_bad_code(codes(ok), 2) == 2); // 2 is beyond a level of two entries
    const std::vector<std::int64_t> low{0, -2};
    CHECK(first_bad_code(codes(low), 5) == 1);
    CHECK((used_entries(codes(ok), 4) == std::vector<std::uint8_t>{1, 1, 1, 0}));
    const std::vector<std::int8_t> none, runs{2, 2, -1, -1, 0, 0, 2};
    CHECK((used_entries(codes(none), 2) == std::vector<std::uint8_t>{0, 0}));
    CHECK((used_entries(codes(runs), 3) == std::vector<std::uint8_t>{1, 0, 1}));
    // unsorted, repeated and dropped entries: ascending distinct, equal entries merge
    const std::vector<std::string> table{"b", "a", "c", "a"};
    const std::vector<std::uint8_t> keep{1, 1, 0, 1};
    UsedLabels<std::string> used = used_ascending(std::span<const std::string>(table), keep);
    CHECK((used.distinct == std::vector<std::string>{"a", "b"}));
    CHECK((used.position == std::vector<std::int32_t>{1, 0, -1, 0}));
    CHECK(!is_identity(used.position, used.distinct.size()));
    CHECK(is_identity(std::vector<std::int32_t>{0, 1}, 2));
    const std::vector<std::int16_t> rows{3, -1, 0, 2};
    CHECK((to_positions(codes(rows), used.position) == std::vector<std::int32_t>{0, -1, 1, -1}));
    const std::vector<std::int64_t> ticks{10, 20};
    CHECK((take_by_code(codes(rows), ticks, -7)[1] == -7));
}

static void panel_detection() {
    const std::vector<std::int16_t> id{0, 0, 0, 1, 1, 1}, date{0, 1, 2, 0, 1, 2};
    CHECK(codes_form_panel(codes(id), codes(date), 2, 3));
    const std::vector<std::int16_t> swapped{0, 2, 1, 0, 1, 2};
    CHECK(!codes_form_panel(codes(id), codes(swapped), 2, 3));
    CHECK(!codes_form_panel(codes(id), codes(date), 3, 2));
    const std::vector<std::int8_t> missing{0, 0, 0, 1, 1, -1};
    CHECK(!codes_form_panel(codes(missing), codes(date), 2, 3));
}

static void scatter(std::size_t n_ids, std::size_t n_dates, bool shuffle) {
    // every cell but one, in sorted or shuffled order, one row with a missing label
    std::vector<std::int32_t> id, date;
    std::vector<double> value;
    for (std::size_t i = 0; i < n_ids; ++i)
        for (std::size_t d = 0; d < n_dates; ++d)
            if (i != 1 || d != 0) {
                id.push_back(static_cast<std::int32_t>(i));
                date.push_back(static_cast<std::int32_t>(d));
                value.push_back(static_cast<double>(i * 1000 + d));
            }
    id.push_back(-1);
    date.push_back(0);
    value.push_back(-5.0);
    if (shuffle) {
        std::vector<std::size_t> order(id.size());
        std::iota(order.begin(), order.end(), 0);
        std::shuffle(order.begin(), order.end(), std::mt19937(7));
        std::vector<std::int32_t> id2, date2;
        std::vector<double> value2;
        for (std::size_t r : order) {
            id2.push_back(id[r]);
            date2.push_back(date[r]);
            value2.push_back(value[r]);
        }
        id.swap(id2), date.swap(date2), value.swap(value2);
    }
    std::vector<std::int32_t> id_pos(n_ids), date_pos(n_dates);
    std::iota(id_pos.begin(), id_pos.end(), 0);
    std::iota(date_pos.begin(), date_pos.end(), 0);
    std::vector<double> out(n_ids * n_dates);
    CHECK(scatter_codes(codes(id), id_pos, codes(date), date_pos, value, n_dates, out,
                        Duplicates::report) == -1);
    bool right = std::isnan(out[1 * n_dates]);
    for (std::size_t i = 0; i < n_ids; ++i)
        for (std::size_t d = 0; d < n_dates; ++d)
            if (i != 1 || d != 0)
                right &= out[i * n_dates + d] == static_cast<double>(i * 1000 + d);
    CHECK(right);
    // a repeated cell names the earliest row that repeats it
    id.push_back(id[0]), date.push_back(date[0]), value.push_back(1.0);
    id.push_back(id[0]), date.push_back(date[0]), value.push_back(2.0);
    CHECK(scatter_codes(codes(id), id_pos, codes(date), date_pos, value, n_dates, out,
                        Duplicates::report) == static_cast<std::ptrdiff_t>(id.size() - 2));
}

// Rows in no particular order holding NaN values, and a NaN row repeated by a number: both
// placed exactly as row by row would, the repeat named.
static void scatter_nan_values() {
    const std::size_t n_ids = 400, n_dates = 300;
    std::vector<std::int32_t> id, date;
    std::vector<double> value;
    for (std::size_t i = 0; i < n_ids; ++i)
        for (std::size_t d = 0; d < n_dates; ++d) {
            id.push_back(static_cast<std::int32_t>(i));
            date.push_back(static_cast<std::int32_t>(d));
            value.push_back((i + d) % 97 == 0 ? NAN : static_cast<double>(i * 1000 + d));
        }
    std::vector<std::size_t> order(id.size());
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937(3));
    std::vector<std::int32_t> sid, sdate;
    std::vector<double> svalue;
    for (std::size_t r : order)
        sid.push_back(id[r]), sdate.push_back(date[r]), svalue.push_back(value[r]);
    std::vector<std::int32_t> id_pos(n_ids), date_pos(n_dates);
    std::iota(id_pos.begin(), id_pos.end(), 0);
    std::iota(date_pos.begin(), date_pos.end(), 0);
    std::vector<double> out(n_ids * n_dates);
    CHECK(scatter_codes(codes(sid), id_pos, codes(sdate), date_pos, svalue, n_dates, out,
                        Duplicates::report) == -1);
    bool right = true;
    for (std::size_t k = 0; k < value.size(); ++k)
        right &= out[k] == value[k] || (std::isnan(out[k]) && std::isnan(value[k]));
    CHECK(right);
    sid.push_back(0), sdate.push_back(97), svalue.push_back(5.0); // cell (0, 97) held NaN
    CHECK(scatter_codes(codes(sid), id_pos, codes(sdate), date_pos, svalue, n_dates, out,
                        Duplicates::report) == static_cast<std::ptrdiff_t>(sid.size() - 1));
}

static void series_from_sorted_rows() {
    // instrument 0 on dates 0 and 2, a row without a label, instrument 2 on date 1
    const std::vector<std::int16_t> id{0, 0, -1, 2}, date{0, 2, 1, 1};
    const std::vector<double> value{1.0, 3.0, 99.0, 5.0};
    const std::vector<std::int32_t> id_pos{0, 1, 2}, date_pos{0, 1, 2};
    SortedRows rows;
    CHECK(!sorted_rows(codes(id), id_pos, codes(date), date_pos, 3, 3, rows)); // -1 row dated
    const std::vector<std::int16_t> undated{0, 0, 2, 2}, dates2{0, 2, -1, 1};
    CHECK(sorted_rows(codes(undated), id_pos, codes(dates2), date_pos, 3, 3, rows));
    rows.values = value;
    const SeriesSource source(rows, 3, 3);
    double scratch[3];
    const double* s0 = source.series(0, scratch);
    CHECK(s0[0] == 1.0 && std::isnan(s0[1]) && s0[2] == 3.0);
    const double* s1 = source.series(1, scratch);
    CHECK(std::isnan(s1[0]) && std::isnan(s1[1]) && std::isnan(s1[2]));
    const double* s2 = source.series(2, scratch);
    CHECK(std::isnan(s2[0]) && s2[1] == 5.0 && std::isnan(s2[2]));
    const std::vector<std::int16_t> backwards{0, 0}, late_first{2, 1};
    CHECK(!sorted_rows(codes(backwards), id_pos, codes(late_first), date_pos, 3, 3, rows));
    // Every row labelled: instrument 0 complete (read in place), 1 with a gap, 2 absent.
    const std::vector<std::int32_t> full_id{0, 0, 0, 1, 1}, full_date{0, 1, 2, 0, 2};
    const std::vector<double> full_value{1.0, 2.0, 3.0, 4.0, 6.0};
    CHECK(sorted_rows(codes(full_id), id_pos, codes(full_date), date_pos, 3, 3, rows));
    rows.values = full_value;
    const SeriesSource full(rows, 3, 3);
    CHECK(full.series(0, scratch) == full_value.data());
    const double* g1 = full.series(1, scratch);
    CHECK(g1[0] == 4.0 && std::isnan(g1[1]) && g1[2] == 6.0);
    const double* g2 = full.series(2, scratch);
    CHECK(std::isnan(g2[0]) && std::isnan(g2[1]) && std::isnan(g2[2]));
    const std::vector<std::int32_t> repeated{0, 1, 1, 0, 2}; // instrument 0 on date 1 twice
    CHECK(!sorted_rows(codes(full_id), id_pos, codes(repeated), date_pos, 3, 3, rows));
}

static void date_units() {
    std::vector<std::int64_t> ns{1500, -1500, std::numeric_limits<std::int64_t>::min()};
    CHECK(ticks_to_us(ns, 1, 1000) == -1);
    CHECK(ns[0] == 1 && ns[1] == -2 && ns[2] == std::numeric_limits<std::int64_t>::min());
    std::vector<std::int64_t> s{10, std::numeric_limits<std::int64_t>::max() / 100};
    CHECK(ticks_to_us(s, 1000000, 1) == 1); // does not fit in microseconds
    CHECK(s[0] == 10000000);
    CHECK(nan_skipping_total(std::vector<double>{1.0, NAN, 2.5}) == 3.5);
}

void test_frame_index() {
    level_codes();
    panel_detection();
    scatter(3, 4, false);
    scatter(3, 4, true);
    scatter(400, 300, true); // a panel beyond the cache
    scatter_nan_values();
    series_from_sorted_rows();
    date_units();
}
