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

void carry_onto(const SeriesSource& prices, std::span<const std::int64_t> id_pos,
                std::span<const std::int64_t> date_pos, std::size_t from, std::span<double> out) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const auto first = static_cast<std::int64_t>(std::min(from, prices.n_dates()));
    const auto end = static_cast<std::int64_t>(prices.n_dates());
    const std::size_t n_out = date_pos.size();
    std::vector<std::int64_t> pos(n_out);
    for (std::size_t j = 0; j < n_out; ++j)
        pos[j] = date_pos[j] < first || date_pos[j] >= end ? -1 : date_pos[j];

    std::vector<double> scratch(prices.n_dates());
    for (std::size_t k = 0; k < id_pos.size(); ++k) {
        double* dst = out.data() + k * n_out;
        if (id_pos[k] < 0 || static_cast<std::size_t>(id_pos[k]) >= prices.n_ids()) {
            std::fill(dst, dst + n_out, nan);
            continue;
        }
        const double* src = prices.series(static_cast<std::size_t>(id_pos[k]), scratch.data());
        // Invariant: the last price in [first, done] is `carried` (NaN when there is none),
        // so a gap is searched only back to the previous date served.
        std::int64_t done = first - 1;
        double carried = nan;
        for (std::size_t j = 0; j < n_out; ++j) {
            const std::int64_t p = pos[j];
            if (p < 0) {
                dst[j] = nan;
                continue;
            }
            double v = src[p];
            if (v != v) {
                if (p < done) { // an earlier date than the last one served: search afresh
                    done = first - 1;
                    carried = nan;
                }
                std::int64_t t = p;
                while (t > done && src[t] != src[t]) --t;
                v = t > done ? src[t] : carried;
            }
            dst[j] = v;
            done = p;
            carried = v;
        }
    }
}

} // namespace brelvox::core
