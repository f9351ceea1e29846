#include "index_weights.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace brelvox::core {

RankedText rank_text(std::span<const std::string_view> labels) {
    std::vector<std::int64_t> order(labels.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::int64_t a, std::int64_t b) { return labels[a] < labels[b]; });
    RankedText out;
    out.rank.resize(labels.size());
    for (std::size_t k = 0; k < order.size(); ++k) {
        const std::string_view label = labels[static_cast<std::size_t>(order[k])];
        if (out.distinct.empty() || out.distinct.back() != label) out.distinct.emplace_back(label);
        out.rank[static_cast<std::size_t>(order[k])] =
            static_cast<std::int32_t>(out.distinct.size() - 1);
    }
    return out;
}

ListWeights scatter_weights(std::span<const std::int32_t> row_constituent,
                            std::span<const std::int32_t> row_date, std::span<const double> weight,
                            std::size_t n_constituents, std::size_t n_dates,
                            const std::vector<bool>& strict_date) {
    ListWeights out{Panel(n_constituents, n_dates, 0.0), -1};
    std::vector<bool> taken(n_constituents * n_dates, false);
    const std::size_t rows = std::min({row_constituent.size(), row_date.size(), weight.size()});
    for (std::size_t r = 0; r < rows; ++r) {
        const std::int32_t c = row_constituent[r], d = row_date[r];
        if (c < 0 || d < 0) continue;
        const std::size_t cell =
            static_cast<std::size_t>(c) * n_dates + static_cast<std::size_t>(d);
        if (taken[cell]) {
            if (out.first_duplicate < 0 && strict_date[static_cast<std::size_t>(d)])
                out.first_duplicate = static_cast<std::ptrdiff_t>(r);
            continue;
        }
        taken[cell] = true;
        // A missing weight counts as absent.
        out.weights.values[cell] = std::isnan(weight[r]) ? 0.0 : weight[r];
    }
    return out;
}

void normalise_by_date(Panel& weights) {
    std::vector<double> total(weights.n_dates, 0.0);
    for (std::size_t c = 0; c < weights.n_ids; ++c) {
        const double* w = weights.series(c);
        for (std::size_t d = 0; d < weights.n_dates; ++d) total[d] += w[d];
    }
    for (std::size_t c = 0; c < weights.n_ids; ++c) {
        double* w = weights.series(c);
        for (std::size_t d = 0; d < weights.n_dates; ++d) w[d] /= total[d];
    }
}

void forward_fill(Panel& panel) {
    for (std::size_t i = 0; i < panel.n_ids; ++i) {
        double* s = panel.series(i);
        for (std::size_t d = 1; d < panel.n_dates; ++d)
            if (std::isnan(s[d])) s[d] = s[d - 1];
    }
}

Panel spread_forward(const Panel& weights, std::span<const std::int64_t> list_pos) {
    Panel out(weights.n_ids, list_pos.size(), std::numeric_limits<double>::quiet_NaN());
    for (std::size_t c = 0; c < weights.n_ids; ++c) {
        const double* src = weights.series(c);
        double* dst = out.series(c);
        for (std::size_t j = 0; j < list_pos.size(); ++j)
            if (list_pos[j] >= 0) dst[j] = src[list_pos[j]];
    }
    forward_fill(out);
    return out;
}

std::vector<std::int64_t> ascending_order(std::span<const std::int64_t> labels) {
    std::vector<std::int64_t> order(labels.size());
    std::iota(order.begin(), order.end(), 0);
    if (!std::is_sorted(labels.begin(), labels.end()))
        std::stable_sort(order.begin(), order.end(),
                         [&](std::int64_t a, std::int64_t b) { return labels[a] < labels[b]; });
    return order;
}

} // namespace brelvox::core
