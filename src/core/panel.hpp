// Dense instrument-by-date panels built from long (row per observation) data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>
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

// The integer codes of one index level read in place at their own width: code c is level
// entry c, -1 a missing label.
using CodeSpan = std::variant<std::span<const std::int8_t>, std::span<const std::int16_t>,
                              std::span<const std::int32_t>, std::span<const std::int64_t>>;

// Long rows sorted by instrument then date, each cell at most once, read in place: the rows
// of instrument i are [start[i], start[i + 1]) and row r falls on date position
// date_at[date_codes[r] + 1] (-1: skipped).
struct SortedRows {
    std::vector<std::size_t> start;
    CodeSpan date_codes;
    std::vector<std::int32_t> date_at;
    std::span<const double> values;
    // Every row has an instrument and a date, and codes are positions (no table needed).
    bool plain = false;
};

// Instrument series of a panel, or of sorted rows laid out one series at a time (so that
// no panel of the whole answer is ever written).
class SeriesSource {
  public:
    SeriesSource(PanelView panel) : n_ids_(panel.n_ids), n_dates_(panel.n_dates), panel_(panel) {}
    SeriesSource(const Panel& panel) : SeriesSource(PanelView(panel)) {}
    SeriesSource(const SortedRows& rows, std::size_t n_ids, std::size_t n_dates)
        : n_ids_(n_ids), n_dates_(n_dates), rows_(&rows) {}
    std::size_t n_ids() const { return n_ids_; }
    std::size_t n_dates() const { return n_dates_; }
    // The rows read in place, or null for a panel.
    const SortedRows* rows() const { return rows_; }
    // The n_dates values of series i (NaN where none), laid out in `scratch` when needed.
    const double* series(std::size_t i, double* scratch) const;

  private:
    std::size_t n_ids_ = 0, n_dates_ = 0;
    PanelView panel_;
    const SortedRows* rows_ = nullptr;
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
