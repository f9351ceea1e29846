#include "valuation_rows.hpp"

#include <algorithm>
#include <unordered_set>

namespace brelvox::core {

std::vector<std::int64_t> first_of_each_pair(std::span<const std::int32_t> outer,
                                             std::span<const std::int32_t> inner,
                                             std::size_t n_outer, std::size_t n_inner) {
    const std::size_t rows = std::min(outer.size(), inner.size());
    const std::size_t width = n_inner + 1;
    const std::size_t cells = (n_outer + 1) * width;
    std::vector<std::int64_t> kept;
    kept.reserve(rows);
    // A code outside its level counts as missing.
    auto key = [&](std::size_t r) {
        const std::int32_t o = outer[r], i = inner[r];
        const std::size_t ko = o < 0 || static_cast<std::size_t>(o) >= n_outer ? 0 : o + 1;
        const std::size_t ki = i < 0 || static_cast<std::size_t>(i) >= n_inner ? 0 : i + 1;
        return ko * width + ki;
    };
    if (cells <= 16 * rows + (std::size_t{1} << 20)) {
        std::vector<std::uint8_t> seen(cells, 0);
        for (std::size_t r = 0; r < rows; ++r) {
            const std::size_t k = key(r);
            if (seen[k]) continue;
            seen[k] = 1;
            kept.push_back(static_cast<std::int64_t>(r));
        }
    } else {
        std::unordered_set<std::size_t> seen;
        seen.reserve(rows);
        for (std::size_t r = 0; r < rows; ++r)
            if (seen.insert(key(r)).second) kept.push_back(static_cast<std::int64_t>(r));
    }
    return kept;
}

RowPlan relabel_rows(std::vector<std::int64_t>&& kept, std::span<const std::int32_t> outer,
                     std::span<const std::int32_t> inner, std::span<const std::int64_t> primary,
                     const std::vector<std::vector<std::int64_t>>& extra) {
    RowPlan plan;
    plan.source = std::move(kept);
    const std::size_t n_kept = plan.source.size();
    plan.outer.resize(n_kept);
    std::size_t copies = 0;
    for (std::size_t k = 0; k < n_kept; ++k) {
        const std::int32_t c = outer[static_cast<std::size_t>(plan.source[k])];
        const bool known = c >= 0 && static_cast<std::size_t>(c) < primary.size();
        plan.outer[k] = known ? primary[static_cast<std::size_t>(c)] : -1;
        if (known) copies = std::max(copies, extra[static_cast<std::size_t>(c)].size());
    }
    for (std::size_t round = 0; round < copies; ++round)
        for (std::size_t k = 0; k < n_kept; ++k) {
            const std::int64_t row = plan.source[k];
            const std::int32_t c = outer[static_cast<std::size_t>(row)];
            if (c < 0 || static_cast<std::size_t>(c) >= extra.size() ||
                extra[static_cast<std::size_t>(c)].size() <= round)
                continue;
            plan.source.push_back(row);
            plan.outer.push_back(extra[static_cast<std::size_t>(c)][round]);
        }
    plan.inner.resize(plan.source.size());
    for (std::size_t k = 0; k < plan.source.size(); ++k)
        plan.inner[k] = inner[static_cast<std::size_t>(plan.source[k])];
    return plan;
}

bool keeps_every_row(std::span<const std::int64_t> kept, std::size_t rows,
                     const std::vector<std::vector<std::int64_t>>& extra) {
    if (kept.size() != rows) return false;
    for (const auto& copies : extra)
        if (!copies.empty()) return false;
    return true;
}

std::vector<std::int32_t> recode(std::span<const std::int32_t> outer,
                                 std::span<const std::int64_t> primary) {
    std::vector<std::int32_t> out(outer.size());
    for (std::size_t k = 0; k < outer.size(); ++k) {
        const std::int32_t c = outer[k];
        out[k] = c < 0 || static_cast<std::size_t>(c) >= primary.size()
                     ? -1
                     : static_cast<std::int32_t>(primary[static_cast<std::size_t>(c)]);
    }
    return out;
}

void copy_rows(std::span<const StridedColumn> columns, std::size_t rows) {
    // Contiguous columns at once; strided ones (columns of one block) row by row together.
    std::vector<StridedColumn> strided;
    for (const StridedColumn& c : columns) {
        if (c.stride == 1)
            std::copy_n(c.values, rows, c.out);
        else
            strided.push_back(c);
    }
    if (strided.empty()) return;
    for (std::size_t k = 0; k < rows; ++k)
        for (const StridedColumn& c : strided)
            c.out[k] = c.values[static_cast<std::int64_t>(k) * c.stride];
}

void gather_rows(std::span<const StridedColumn> columns, std::span<const std::int64_t> source) {
    for (std::size_t k = 0; k < source.size(); ++k)
        for (const StridedColumn& c : columns) c.out[k] = c.values[source[k] * c.stride];
}

} // namespace brelvox::core
