// Label alignment: where wanted labels sit among the labels data came with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "panel.hpp"

namespace brelvox::core {

// For each wanted label, its position in `sorted_labels` (ascending, distinct) or -1.
std::vector<std::int64_t> positions_in_sorted(std::span<const std::int64_t> sorted_labels,
                                              std::span<const std::int64_t> wanted);
std::vector<std::int64_t> positions_in_sorted(std::span<const std::string> sorted_labels,
                                              std::span<const std::string_view> wanted);

// True when every label of `sorted_labels` is wanted and every wanted label found.
bool covers_exactly(std::size_t n_labels, std::span<const std::int64_t> positions);

// A new panel whose instrument k is `panel`'s instrument id_pos[k] and whose date j is
// `panel`'s date date_pos[j]; a position of -1 gives `fill`.
Panel conform(PanelView panel, std::span<const std::int64_t> id_pos,
              std::span<const std::int64_t> date_pos, double fill);

// Replaces NaN by `fill` (infinities stay).
void fill_nan(Panel& panel, double fill);

// Distinct values of `labels`, ascending, and for every input its rank among them.
struct Ranked {
    std::vector<std::int64_t> distinct;
    std::vector<std::int32_t> rank;
};
Ranked rank_labels(std::span<const std::int64_t> labels);

} // namespace brelvox::core
