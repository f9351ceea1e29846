#include "price_fill.hpp"

#include <algorithm>
#include <cmath>
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

namespace {
// Copies `src[from, n)` into `dst[from, n)`, a NaN taking the last value seen.
void fill_series(const double* src, double* dst, std::size_t from, std::size_t n) {
    double last = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t t = from; t < n; ++t) {
        const double v = src[t];
        if (!std::isnan(v)) last = v;
        dst[t] = last;
    }
}
} // namespace

void carry_forward(Panel& panel, std::size_t from) {
    for (std::size_t i = 0; i < panel.n_ids; ++i)
        fill_series(panel.series(i), panel.series(i), from, panel.n_dates);
}

Panel carried_forward(PanelView prices, std::size_t from) {
    Panel out;
    out.n_ids = prices.n_ids;
    out.n_dates = prices.n_dates;
    out.values.resize(prices.n_ids * prices.n_dates);
    from = std::min(from, prices.n_dates);
    for (std::size_t i = 0; i < prices.n_ids; ++i) {
        const double* src = prices.series(i);
        double* dst = out.series(i);
        std::copy(src, src + from, dst);
        fill_series(src, dst, from, prices.n_dates);
    }
    return out;
}

} // namespace brelvox::core
