// Matching instrument identifiers, with a fast path for the usual already-sorted lists.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace brelvox::core {

// The distinct entries of `labels`, ascending.
std::vector<std::string> sorted_distinct(std::span<const std::string> labels);

// For each wanted label its position in `sorted_labels` (ascending, distinct) or -1; a
// single merge when `wanted` is ascending too, a binary search per label otherwise.
std::vector<std::int64_t> positions_of_labels(std::span<const std::string> sorted_labels,
                                              std::span<const std::string_view> wanted);

} // namespace brelvox::core
