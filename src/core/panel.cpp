#include "panel.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace brelvox::core {

Panel::Panel(std::size_t ids, std::size_t dates, double fill)
    : n_ids(ids), n_dates(dates), values(ids * dates, fill) {}

const double* SeriesSource::series(std::size_t i, double* scratch) const {
    if (!rows_) return panel_.series(i);
    const std::size_t begin = rows_->start[i], end = rows_->start[i + 1];
    const double* values = rows_->values.data();
    // Plain rows of one instrument on distinct dates: as many as the dates are all of them.
    if (rows_->plain && end - begin == n_dates_) return values + begin;
    std::fill(scratch, scratch + n_dates_, std::numeric_limits<double>::quiet_NaN());
    const std::int32_t* date_at = rows_->date_at.data() + 1;
    std::visit(
        [&](auto codes) {
            if (rows_->plain) {
                for (std::size_t r = begin; r < end; ++r)
                    scratch[static_cast<std::size_t>(codes[r])] = values[r];
                return;
            }
            for (std::size_t r = begin; r < end; ++r) {
                const std::int32_t d = date_at[static_cast<std::ptrdiff_t>(codes[r])];
                if (d >= 0) scratch[d] = values[r];
            }
        },
        rows_->date_codes);
    return scratch;
}

Scattered scatter_rows(std::span<const std::int32_t> row_id, std::span<const std::int32_t> row_date,
                       std::span<const double> values, std::size_t n_ids, std::size_t n_dates,
                       Duplicates policy) {
    Scattered out{Panel(n_ids, n_dates, std::numeric_limits<double>::quiet_NaN()), -1};
    std::vector<bool> taken(n_ids * n_dates, false);
    const std::size_t rows = std::min({row_id.size(), row_date.size(), values.size()});
    for (std::size_t r = 0; r < rows; ++r) {
        const std::int32_t i = row_id[r], d = row_date[r];
        if (i < 0 || d < 0) continue;
        const std::size_t cell =
            static_cast<std::size_t>(i) * n_dates + static_cast<std::size_t>(d);
        if (taken[cell]) {
            if (out.first_duplicate < 0) out.first_duplicate = static_cast<std::ptrdiff_t>(r);
            if (policy == Duplicates::report) return out;
            continue;
        }
        taken[cell] = true;
        out.panel.values[cell] = values[r];
    }
    return out;
}

void drop_leading_dates(Panel& panel, std::size_t count) {
    count = std::min(count, panel.n_dates);
    const std::size_t kept = panel.n_dates - count;
    double* data = panel.values.data();
    for (std::size_t i = 0; i < panel.n_ids; ++i) {
        const double* from = data + i * panel.n_dates + count;
        std::copy(from, from + kept, data + i * kept);
    }
    panel.values.resize(panel.n_ids * kept);
    panel.n_dates = kept;
}

} // namespace brelvox::core
