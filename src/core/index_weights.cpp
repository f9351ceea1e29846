#include "index_weights.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace brelvox::core {

namespace {
template <class Label>
UsedLabels<Label> ascending_of_used(std::span<const Label> table,
                                    const std::vector<std::uint8_t>& used) {
    std::vector<std::size_t> order;
    for (std::size_t k = 0; k < table.size() && k < used.size(); ++k)
        if (used[k]) order.push_back(k);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return table[a] < table[b]; });
    UsedLabels<Label> out;
    out.position.assign(table.size(), -1);
    for (std::size_t k : order) {
        if (out.distinct.empty() || !(out.distinct.back() == table[k]))
            out.distinct.push_back(table[k]);
        out.position[k] = static_cast<std::int32_t>(out.distinct.size() - 1);
    }
    return out;
}

std::vector<std::uint8_t> flags_of(std::size_t n, std::span<const std::int32_t> codes) {
    std::vector<std::uint8_t> used(n, 0);
    for (std::int32_t c : codes)
        if (c >= 0 && static_cast<std::size_t>(c) < n) used[static_cast<std::size_t>(c)] = 1;
    return used;
}
} // namespace

UsedLabels<std::string> used_ascending(std::span<const std::string> table,
                                       std::span<const std::int32_t> codes) {
    return ascending_of_used(table, flags_of(table.size(), codes));
}

UsedLabels<std::int64_t> used_ascending(std::span<const std::int64_t> table,
                                        std::span<const std::int32_t> codes) {
    return ascending_of_used(table, flags_of(table.size(), codes));
}

UsedLabels<std::string> used_ascending(std::span<const std::string> table,
                                       const std::vector<std::uint8_t>& used) {
    return ascending_of_used(table, used);
}

UsedLabels<std::int64_t> used_ascending(std::span<const std::int64_t> table,
                                        const std::vector<std::uint8_t>& used) {
    return ascending_of_used(table, used);
}

template <class ConstituentCodes, class DateCodes>
ListWeights scatter_weights(const ConstituentCodes& row_constituent, const DateCodes& row_date,
                            std::span<const double> weight,
                            std::span<const std::int32_t> constituent_pos,
                            std::span<const std::int32_t> date_pos, std::size_t n_constituents,
                            std::size_t n_dates, const std::vector<bool>& strict_date) {
    ListWeights out{DateRows(n_dates, n_constituents, 0.0), -1,
                    std::vector<std::uint8_t>(n_dates, 0),
                    std::vector<std::uint8_t>(n_constituents, 0)};
    double* cells = out.weights.values.data();
    std::vector<std::uint64_t> taken((n_dates * n_constituents + 63) / 64, 0);
    const std::size_t rows = std::min({row_constituent.size(), row_date.size(), weight.size()});
    const auto n_cpos = static_cast<std::int64_t>(constituent_pos.size());
    const auto n_dpos = static_cast<std::int64_t>(date_pos.size());
    for (std::size_t r = 0; r < rows; ++r) {
        const std::int64_t rc = row_constituent[r], rd = row_date[r];
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
    return out;
}

#define BRELVOX_SCATTER(A, B)                                                                      \
    template ListWeights scatter_weights(const StridedCodes<A>&, const StridedCodes<B>&,           \
                                         std::span<const double>, std::span<const std::int32_t>,   \
                                         std::span<const std::int32_t>, std::size_t, std::size_t,  \
                                         const std::vector<bool>&);
#define BRELVOX_SCATTER_ROW(A)                                                                     \
    BRELVOX_SCATTER(A, std::int8_t)                                                                \
    BRELVOX_SCATTER(A, std::int16_t)                                                               \
    BRELVOX_SCATTER(A, std::int32_t)                                                               \
    BRELVOX_SCATTER(A, std::int64_t)
BRELVOX_SCATTER_ROW(std::int8_t)
BRELVOX_SCATTER_ROW(std::int16_t)
BRELVOX_SCATTER_ROW(std::int32_t)
BRELVOX_SCATTER_ROW(std::int64_t)
#undef BRELVOX_SCATTER_ROW
#undef BRELVOX_SCATTER

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
