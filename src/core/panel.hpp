// Dense instrument-by-date panels built from long (row per observation) data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace brelvox::core {

// A read-only panel over memory owned elsewhere (same layout as Panel).
struct PanelView {
    std::size_t n_ids = 0;
    std::size_t n_dates = 0;
    const double* values = nullptr;

    const double* series(std::size_t id) const { return values + id * n_dates; }
    double at(std::size_t id, std::size_t date) const { return values[id * n_dates + date]; }
};

// Instrument-major: the series of instrument i is values[i * n_dates, (i + 1) * n_dates).
struct Panel {
    std::size_t n_ids = 0;
    std::size_t n_dates = 0;
    std::vector<double> values;

    Panel() = default;
    Panel(std::size_t ids, std::size_t dates, double fill);

    double* series(std::size_t id) { return values.data() + id * n_dates; }
    const double* series(std::size_t id) const { return values.data() + id * n_dates; }
    double& at(std::size_t id, std::size_t date) { return values[id * n_dates + date]; }
    double at(std::size_t id, std::size_t date) const { return values[id * n_dates + date]; }
    operator PanelView() const { return {n_ids, n_dates, values.data()}; }
};

enum class Duplicates { report, keep_first };

struct Scattered {
    Panel panel;
    // Row of the first observation whose (id, date) cell was already taken, or -1.
    std::ptrdiff_t first_duplicate = -1;
};

// Places each row's value at (row_id[r], row_date[r]); rows with a negative position are
// skipped. Cells without an observation hold NaN.
Scattered scatter_rows(std::span<const std::int32_t> row_id, std::span<const std::int32_t> row_date,
                       std::span<const double> values, std::size_t n_ids, std::size_t n_dates,
                       Duplicates policy);

// Drops the first `count` dates of every series.
void drop_leading_dates(Panel& panel, std::size_t count);

} // namespace brelvox::core
