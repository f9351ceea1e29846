#include "price_fill.hpp"

#include <algorithm>
#include <limits>

namespace brelvox::core {

std::vector<std::int64_t> last_at_or_before(std::span<const std::int64_t> sorted_dates,
                                            std::span<const std::int64_t> wanted,
                                            std::int64_t earliest) {
    const auto begin = sorted_dates.begin();
    const std::int64_t first = std::lower_bound(begin, sorted_dates.end(), earliest) - begin;
    std::vector<std::int64_t> out(wanted.size(), -1);
    for (std::size_t k = 0; k < wanted.size(); ++k) {
        const std::int64_t after = std::upper_bound(begin, sorted_dates.end(), wanted[k]) - begin;
        if (after > first) out[k] = after - 1;
    }
    return out;
}

void carry_onto(PanelView prices, std::span<const std::int64_t> id_pos,
                std::span<const std::int64_t> date_pos, std::size_t from, std::span<double> out) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const std::size_t n_in = prices.n_dates, n_out = date_pos.size();
    from = std::min(from, n_in);
    // Slot 0 of the filled series holds NaN, so slot p + 1 serves position p and -1 finds NaN.
    std::vector<std::uint32_t> slot(n_out);
    bool identity = n_out == n_in && from == 0;
    for (std::size_t j = 0; j < n_out; ++j) {
        const std::int64_t p = date_pos[j];
        slot[j] = p < static_cast<std::int64_t>(from) || p >= static_cast<std::int64_t>(n_in)
                      ? 0
                      : static_cast<std::uint32_t>(p + 1);
        identity = identity && p == static_cast<std::int64_t>(j);
    }
    std::vector<double> filled(n_in + 1, nan);
    for (std::size_t k = 0; k < id_pos.size(); ++k) {
        double* dst = out.data() + k * n_out;
        if (id_pos[k] < 0 || static_cast<std::size_t>(id_pos[k]) >= prices.n_ids) {
            std::fill(dst, dst + n_out, nan);
            continue;
        }
        const double* src = prices.series(static_cast<std::size_t>(id_pos[k]));
        double* run = identity ? dst : filled.data() + 1;
        double last = nan;
        for (std::size_t t = from; t < n_in; ++t) {
            const double v = src[t];
            last = v == v ? v : last; // branch-free: NaN keeps the last price
            run[t] = last;
        }
        if (identity) continue;
        for (std::size_t j = 0; j < n_out; ++j) dst[j] = filled[slot[j]];
    }
}

} // namespace brelvox::core
