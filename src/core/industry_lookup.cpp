#include "industry_lookup.hpp"

namespace brelvox::core {

std::int32_t days_from_civil(std::int64_t year, unsigned month, unsigned day) {
    // H. Hinnant's algorithm on March-based years.
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yoe = static_cast<unsigned>(year - era * 400);
    const unsigned doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return static_cast<std::int32_t>(era * 146097 + static_cast<std::int64_t>(doe) - 719468);
}

std::int32_t day_of_ns(std::int64_t ns) {
    if (ns == std::numeric_limits<std::int64_t>::min()) return kNoDay;
    constexpr std::int64_t per_day = 86400LL * 1000000000LL;
    std::int64_t q = ns / per_day;
    if (ns % per_day < 0) --q;
    return static_cast<std::int32_t>(q);
}

std::vector<std::int32_t> classify(const IndustryHistory& history,
                                   const std::vector<StockQuery>& stocks,
                                   const std::vector<std::int32_t>& days) {
    const std::size_t n = stocks.size();
    std::vector<std::int32_t> cells(days.size() * n, kNoIndustry);
    const std::int32_t* start = history.start_day.data();
    const std::int32_t* code = history.code.data();
    for (std::size_t t = 0; t < days.size(); ++t) {
        const std::int32_t day = days[t];
        if (day == kNoDay) continue;
        std::int32_t* row = cells.data() + t * n;
        for (std::size_t j = 0; j < n; ++j) {
            const StockQuery& q = stocks[j];
            if (q.count == 0 || day < q.listed || day > q.delisted) continue;
            for (std::uint32_t k = q.begin, end = q.begin + q.count; k < end; ++k) {
                if (start[k] <= day) {
                    row[j] = code[k];
                    break;
                }
            }
        }
    }
    return cells;
}

ColumnOrder columns_in_order_met(const std::vector<std::int32_t>& cells, std::size_t n_codes) {
    ColumnOrder order;
    order.column_of_code.assign(n_codes, -1);
    for (std::int32_t c : cells) {
        if (c < 0 || order.column_of_code[static_cast<std::size_t>(c)] >= 0) continue;
        order.column_of_code[static_cast<std::size_t>(c)] =
            static_cast<std::int32_t>(order.code_of_column.size());
        order.code_of_column.push_back(c);
        if (order.code_of_column.size() == n_codes) break;
    }
    return order;
}

void fill_one_hot(const std::vector<std::int32_t>& cells, const ColumnOrder& order,
                  std::int8_t* out) {
    const std::size_t rows = cells.size();
    for (std::size_t r = 0; r < rows; ++r) {
        const std::int32_t c = cells[r];
        if (c < 0) continue;
        const auto column =
            static_cast<std::size_t>(order.column_of_code[static_cast<std::size_t>(c)]);
        out[column * rows + r] = 1;
    }
}

} // namespace brelvox::core
