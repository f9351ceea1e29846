#include "label_match.hpp"

#include <algorithm>

namespace brelvox::core {

std::vector<std::string> sorted_distinct(std::span<const std::string> labels) {
    std::vector<std::string> out(labels.begin(), labels.end());
    if (!std::is_sorted(out.begin(), out.end())) std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

std::vector<std::int64_t> positions_of_labels(std::span<const std::string> sorted_labels,
                                              std::span<const std::string_view> wanted) {
    std::vector<std::int64_t> out(wanted.size(), -1);
    if (std::is_sorted(wanted.begin(), wanted.end())) {
        std::size_t at = 0;
        for (std::size_t k = 0; k < wanted.size(); ++k) {
            while (at < sorted_labels.size() && std::string_view(sorted_labels[at]) < wanted[k])
                ++at;
            if (at < sorted_labels.size() && sorted_labels[at] == wanted[k])
                out[k] = static_cast<std::int64_t>(at);
        }
        return out;
    }
    for (std::size_t k = 0; k < wanted.size(); ++k) {
        auto it = std::lower_bound(
            sorted_labels.begin(), sorted_labels.end(), wanted[k],
            [](const std::string& a, std::string_view b) { return std::string_view(a) < b; });
        if (it != sorted_labels.end() && *it == wanted[k])
            out[k] = static_cast<std::int64_t>(it - sorted_labels.begin());
    }
    return out;
}

} // namespace brelvox::core
