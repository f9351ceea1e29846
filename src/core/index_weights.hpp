// Constituent weights of an index spread over requested dates.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "frame_index.hpp"
#include "panel.hpp"

namespace brelvox::core {

// Weights by date, one row of constituents per date: row d is values[d * n_constituents,
// (d + 1) * n_constituents). Rows arrive date by date, so this is the layout they fill in order.
struct DateRows {
    std::size_t n_dates = 0;
    std::size_t n_constituents = 0;
    std::vector<double> values;

    DateRows() = default;
    DateRows(std::size_t dates, std::size_t constituents, double fill)
        : n_dates(dates), n_constituents(constituents), values(dates * constituents, fill) {}
    double* row(std::size_t date) { return values.data() + date * n_constituents; }
    const double* row(std::size_t date) const { return values.data() + date * n_constituents; }
};

// Weights on list dates, 0.0 where a constituent is absent or its weight missing. Rows that
// land on a taken (date, constituent) cell are duplicates: the first keeps the cell, and the
// first duplicate on a date flagged in `strict_date` is reported. `date_seen` and
// `constituent_seen` flag the places some row filled.
struct ListWeights {
    DateRows weights;
    std::ptrdiff_t first_duplicate = -1;
    std::vector<std::uint8_t> date_seen, constituent_seen;
};

// Rows carry table codes; `constituent_pos` and `date_pos` give each table entry's place in
// the result (-1: left out); codes outside the table are skipped.
ListWeights scatter_weights(const CodeSpan& row_constituent, const CodeSpan& row_date,
                            std::span<const double> weight,
                            std::span<const std::int32_t> constituent_pos,
                            std::span<const std::int32_t> date_pos, std::size_t n_constituents,
                            std::size_t n_dates, const std::vector<bool>& strict_date);

// Every date's weights divided by their total over constituents (0/0 gives NaN).
void normalise_by_date(DateRows& weights);

// Only the dates and constituents flagged in `keep_date` and `keep_constituent`, in order.
DateRows compact(const DateRows& weights, const std::vector<std::uint8_t>& keep_date,
                 const std::vector<std::uint8_t>& keep_constituent);

// Requested date j takes list date `list_pos[j]` (-1: none), then every constituent carries
// its last known weight forward (a NaN on a list date too); dates before any list stay NaN.
// When every list date is taken once in order, the lists' own storage becomes the result,
// and when `lists_complete` (no NaN in them) nothing is left to fill there.
DateRows spread_forward(DateRows&& weights, std::span<const std::int64_t> list_pos,
                        bool lists_complete);

// Replaces each NaN by the latest earlier non-NaN value of the same series.
void forward_fill(Panel& panel);

// Positions that put `labels` in ascending order, equal labels in their given order.
std::vector<std::int64_t> ascending_order(std::span<const std::int64_t> labels);

} // namespace brelvox::core
