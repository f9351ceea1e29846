#include "align.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace brelvox::core {

namespace {
template <class Label, class Wanted>
std::vector<std::int64_t> search_sorted(std::span<const Label> sorted_labels,
                                        std::span<const Wanted> wanted) {
    std::vector<std::int64_t> out(wanted.size(), -1);
    for (std::size_t k = 0; k < wanted.size(); ++k) {
        auto it = std::lower_bound(sorted_labels.begin(), sorted_labels.end(), wanted[k]);
        if (it != sorted_labels.end() && *it == wanted[k])
            out[k] = static_cast<std::int64_t>(it - sorted_labels.begin());
    }
    return out;
}
} // namespace

std::vector<std::int64_t> positions_in_sorted(std::span<const std::int64_t> sorted_labels,
                                              std::span<const std::int64_t> wanted) {
    return search_sorted(sorted_labels, wanted);
}

std::vector<std::int64_t> positions_in_sorted(std::span<const std::string> sorted_labels,
                                              std::span<const std::string_view> wanted) {
    std::vector<std::int64_t> out(wanted.size(), -1);
    // Wanted labels usually run in the same order: the entry after the last one found is
    // tried before a search (labels are distinct, so a match there is the only one).
    std::size_t next = 0;
    for (std::size_t k = 0; k < wanted.size(); ++k) {
        if (next < sorted_labels.size() && sorted_labels[next] == wanted[k]) {
            out[k] = static_cast<std::int64_t>(next++);
            continue;
        }
        auto it = std::lower_bound(sorted_labels.begin(), sorted_labels.end(), wanted[k],
                                   [](const std::string& a, std::string_view b) { return a < b; });
        if (it != sorted_labels.end() && *it == wanted[k]) {
            out[k] = static_cast<std::int64_t>(it - sorted_labels.begin());
            next = static_cast<std::size_t>(out[k]) + 1;
        }
    }
    return out;
}

bool covers_exactly(std::size_t n_labels, std::span<const std::int64_t> positions) {
    std::vector<bool> seen(n_labels, false);
    std::size_t distinct = 0;
    for (std::int64_t p : positions) {
        if (p < 0) return false;
        if (!seen[static_cast<std::size_t>(p)]) {
            seen[static_cast<std::size_t>(p)] = true;
            ++distinct;
        }
    }
    return distinct == n_labels;
}

Panel conform(PanelView panel, std::span<const std::int64_t> id_pos,
              std::span<const std::int64_t> date_pos, double fill) {
    Panel out(id_pos.size(), date_pos.size(), fill);
    for (std::size_t k = 0; k < id_pos.size(); ++k) {
        if (id_pos[k] < 0) continue;
        const double* src = panel.series(static_cast<std::size_t>(id_pos[k]));
        double* dst = out.series(k);
        for (std::size_t j = 0; j < date_pos.size(); ++j)
            if (date_pos[j] >= 0) dst[j] = src[date_pos[j]];
    }
    return out;
}

void fill_nan(Panel& panel, double fill) {
    for (double& v : panel.values)
        if (std::isnan(v)) v = fill;
}

Ranked rank_labels(std::span<const std::int64_t> labels) {
    Ranked out;
    out.distinct.assign(labels.begin(), labels.end());
    std::sort(out.distinct.begin(), out.distinct.end());
    out.distinct.erase(std::unique(out.distinct.begin(), out.distinct.end()), out.distinct.end());
    out.rank.resize(labels.size());
    for (std::size_t k = 0; k < labels.size(); ++k)
        out.rank[k] = static_cast<std::int32_t>(
            std::lower_bound(out.distinct.begin(), out.distinct.end(), labels[k]) -
            out.distinct.begin());
    return out;
}

} // namespace brelvox::core
