// Constituent weights of an index spread over requested dates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "panel.hpp"

namespace brelvox::core {

// Distinct strings ascending and, for every input, its position among them.
struct RankedText {
    std::vector<std::string> distinct;
    std::vector<std::int32_t> rank;
};
RankedText rank_text(std::span<const std::string_view> labels);

// Weights on list dates (constituent-major, 0.0 where a constituent is absent). Rows that
// land on the same (constituent, date) cell are duplicates: the first keeps the cell, and
// the first duplicate on a date flagged in `strict_date` is reported.
struct ListWeights {
    Panel weights;
    std::ptrdiff_t first_duplicate = -1;
};
ListWeights scatter_weights(std::span<const std::int32_t> row_constituent,
                            std::span<const std::int32_t> row_date, std::span<const double> weight,
                            std::size_t n_constituents, std::size_t n_dates,
                            const std::vector<bool>& strict_date);

// Divides every date's weights by their total over constituents (0/0 gives NaN).
void normalise_by_date(Panel& weights);

// Requested date j takes list date `list_pos[j]` (-1: none yet), then every constituent
// carries its last known weight forward; dates before any list stay NaN.
Panel spread_forward(const Panel& weights, std::span<const std::int64_t> list_pos);

// Replaces each NaN by the latest earlier non-NaN value of the same series.
void forward_fill(Panel& panel);

// Positions that put `labels` in ascending order, equal labels in their given order.
std::vector<std::int64_t> ascending_order(std::span<const std::int64_t> labels);

} // namespace brelvox::core
