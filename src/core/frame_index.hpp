// Index arithmetic of long frames (a row per observation): level codes of any integer width
// to positions, the level entries rows use in ascending order, complete panels recognised,
// rows scattered into a panel, and date ticks of any unit brought to one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "panel.hpp"

namespace brelvox::core {

std::size_t code_count(const CodeSpan& codes);

// The first row whose code is neither -1 nor an entry of a level of `n_level` entries, or
// -1 when every code is one of those.
std::ptrdiff_t first_bad_code(const CodeSpan& codes, std::size_t n_level);

// 1 for each level entry some row refers to (codes already checked).
std::vector<std::uint8_t> used_entries(const CodeSpan& codes, std::size_t n_level);

// The entries of a label table flagged in `keep`, ascending and distinct (equal entries
// merge), and for every table entry its position among them (-1 when not kept).
template <class Label> struct UsedLabels {
    std::vector<Label> distinct;
    std::vector<std::int32_t> position;
};
UsedLabels<std::string> used_ascending(std::span<const std::string> table,
                                       std::span<const std::uint8_t> keep);
UsedLabels<std::int64_t> used_ascending(std::span<const std::int64_t> table,
                                        std::span<const std::uint8_t> keep);
// Kept: the entries some code refers to.
UsedLabels<std::int64_t> used_ascending(std::span<const std::int64_t> table,
                                        std::span<const std::int32_t> codes);

// True when table entry k lands on position k for every k: the table is its own result.
bool is_identity(std::span<const std::int32_t> position, std::size_t n_distinct);

// Each row's position (-1 for a missing label or an entry without a position).
std::vector<std::int32_t> to_positions(const CodeSpan& codes,
                                       std::span<const std::int32_t> position);

// Each row's entry of `table` by its code (`missing` for a code of -1).
std::vector<std::int64_t> take_by_code(const CodeSpan& codes, std::span<const std::int64_t> table,
                                       std::int64_t missing);

// True when the rows run (0, 0), (0, 1), ... (n_ids - 1, n_dates - 1) in level codes: every
// cell exactly once, sorted by instrument then date.
bool codes_form_panel(const CodeSpan& id_codes, const CodeSpan& date_codes, std::size_t n_ids,
                      std::size_t n_dates);

// Writes each row's value at (id_pos[id code], date_pos[date code]) of an instrument-major
// panel of n_dates dates; cells without a row hold NaN, rows without a position are
// skipped. Returns the first row whose cell was already taken (with `report` the scatter
// stops there), or -1.
std::ptrdiff_t scatter_codes(const CodeSpan& id_codes, std::span<const std::int32_t> id_pos,
                             const CodeSpan& date_codes, std::span<const std::int32_t> date_pos,
                             std::span<const double> values, std::size_t n_dates,
                             std::span<double> out, Duplicates policy);

// Fills `out` (all but its values) and returns true when the rows run by instrument then
// date with every cell at most once (rows without a date are skipped; a row without an
// instrument but with a date is taken for disorder).
bool sorted_rows(const CodeSpan& id_codes, std::span<const std::int32_t> id_pos,
                 const CodeSpan& date_codes, std::span<const std::int32_t> date_pos,
                 std::size_t n_ids, std::size_t n_dates, SortedRows& out);

// Date ticks of a unit brought to microseconds in place (NaT, INT64_MIN, stays NaT):
// `per_tick` microseconds per tick (seconds: 1e6), or for nanoseconds 1000 ticks per
// microsecond given as `ticks_per_us` (floored). Returns the first tick that does not fit,
// or -1.
std::ptrdiff_t ticks_to_us(std::span<std::int64_t> ticks, std::int64_t per_tick,
                           std::int64_t ticks_per_us);

// Total of the values that are not NaN.
double nan_skipping_total(std::span<const double> values);

} // namespace brelvox::core
