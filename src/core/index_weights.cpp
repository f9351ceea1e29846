#include "index_weights.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace brelvox::core {

ListWeights scatter_weights(const CodeSpan& row_constituent, const CodeSpan& row_date,
                            std::span<const double> weight,
                            std::span<const std::int32_t> constituent_pos,
                            std::span<const std::int32_t> date_pos, std::size_t n_constituents,
                            std::size_t n_dates, const std::vector<bool>& strict_date) {
    ListWeights out{DateRows(n_dates, n_constituents, 0.0), -1,
                    std::vector<std::uint8_t>(n_dates, 0),
                    std::vector<std::uint8_t>(n_constituents, 0)};
    double* cells = out.weights.values.data();
    std::vector<std::uint64_t> taken((n_dates * n_constituents + 63) / 64, 0);
    const std::size_t rows =
        std::min({code_count(row_constituent), code_count(row_date), weight.size()});
    const auto n_cpos = static_cast<std::int64_t>(constituent_pos.size());
    const auto n_dpos = static_cast<std::int64_t>(date_pos.size());
    std::visit(
        [&](auto row_c, auto row_d) {
            for (std::size_t r = 0; r < rows; ++r) {
                const auto rc = static_cast<std::int64_t>(row_c[r]);
                const auto rd = static_cast<std::int64_t>(row_d[r]);
                if (rc < 0 || rd < 0 || rc >= n_cpos || rd >= n_dpos) continue;
                const std::int32_t c = constituent_pos[static_cast<std::size_t>(rc)];
                const std::int32_t d = date_pos[static_cast<std::size_t>(rd)];
                if (c < 0 || d < 0) continue;
                const std::size_t cell =
                    static_cast<std::size_t>(d) * n_constituents + static_cast<std::size_t>(c);
                const std::uint64_t bit = std::uint64_t{1} << (cell & 63);
                if (taken[cell >> 6] & bit) {
                    if (out.first_duplicate < 0 && strict_date[static_cast<std::size_t>(d)])
                        out.first_duplicate = static_cast<std::ptrdiff_t>(r);
                    continue;
                }
                taken[cell >> 6] |= bit;
                out.date_seen[static_cast<std::size_t>(d)] = 1;
                out.constituent_seen[static_cast<std::size_t>(c)] = 1;
                if (!std::isnan(weight[r])) cells[cell] = weight[r];
            }
        },
        row_constituent, row_date);
    return out;
}

void normalise_by_date(DateRows& weights) {
    for (std::size_t d = 0; d < weights.n_dates; ++d) {
        double* w = weights.row(d);
        double total = 0.0;
        for (std::size_t c = 0; c < weights.n_constituents; ++c) total += w[c];
        for (std::size_t c = 0; c < weights.n_constituents; ++c) w[c] /= total;
    }
}

DateRows compact(const DateRows& weights, const std::vector<std::uint8_t>& keep_date,
                 const std::vector<std::uint8_t>& keep_constituent) {
    std::vector<std::size_t> cols;
    for (std::size_t c = 0; c < weights.n_constituents; ++c)
        if (keep_constituent[c]) cols.push_back(c);
    std::size_t n_kept = 0;
    for (std::size_t d = 0; d < weights.n_dates; ++d) n_kept += keep_date[d] ? 1 : 0;
    DateRows out(n_kept, cols.size(), 0.0);
    std::size_t j = 0;
    for (std::size_t d = 0; d < weights.n_dates; ++d) {
        if (!keep_date[d]) continue;
        const double* src = weights.row(d);
        double* dst = out.row(j++);
        for (std::size_t k = 0; k < cols.size(); ++k) dst[k] = src[cols[k]];
    }
    return out;
}

void forward_fill(Panel& panel) {
    for (std::size_t i = 0; i < panel.n_ids; ++i) {
        double* s = panel.series(i);
        for (std::size_t d = 1; d < panel.n_dates; ++d)
            if (std::isnan(s[d])) s[d] = s[d - 1];
    }
}

DateRows spread_forward(DateRows&& weights, std::span<const std::int64_t> list_pos,
                        bool lists_complete) {
    const std::size_t n_c = weights.n_constituents, n_j = list_pos.size();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    bool in_place = n_j == weights.n_dates;
    for (std::size_t j = 0; in_place && j < n_j; ++j)
        in_place = list_pos[j] == static_cast<std::int64_t>(j);
    if (in_place && lists_complete) return std::move(weights);
    DateRows out = in_place ? std::move(weights) : DateRows(n_j, n_c, nan);
    for (std::size_t j = 0; j < n_j; ++j) {
        double* dst = out.row(j);
        const double* prev = j > 0 ? out.row(j - 1) : nullptr;
        const double* list = in_place           ? dst
                             : list_pos[j] >= 0 ? weights.row(static_cast<std::size_t>(list_pos[j]))
                                                : nullptr;
        if (!list) {
            if (prev) std::copy_n(prev, n_c, dst);
            continue;
        }
        for (std::size_t c = 0; c < n_c; ++c) {
            const double v = list[c];
            dst[c] = std::isnan(v) && prev ? prev[c] : v;
        }
    }
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
