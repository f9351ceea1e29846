#include "industry_lookup.hpp"

#include <algorithm>

namespace brelvox::core {

namespace {

// Per stock, the days on which its answer changes (ascending) and the code from each on;
// before its first change a stock has no industry.
struct Timelines {
    std::vector<std::uint32_t> begin{0};
    std::vector<std::int32_t> day;
    std::vector<std::int32_t> code;
};

std::int32_t code_on(const IndustryHistory& history, const StockQuery& q, std::int32_t day) {
    if (day < q.listed || day > q.delisted) return kNoIndustry;
    for (std::uint32_t k = q.begin, end = q.begin + q.count; k < end; ++k)
        if (history.start_day[k] <= day) return history.code[k];
    return kNoIndustry;
}

// The answer can only change on a start day or at a listing bound, so evaluating it there
// gives the whole step function (whatever the order of the stock's entries).
Timelines timelines(const IndustryHistory& history, const std::vector<StockQuery>& stocks) {
    Timelines out;
    out.begin.reserve(stocks.size() + 1);
    std::vector<std::int32_t> candidates;
    for (const StockQuery& q : stocks) {
        candidates.clear();
        if (q.count != 0 && q.listed <= q.delisted) {
            candidates.push_back(q.listed);
            if (q.delisted < std::numeric_limits<std::int32_t>::max())
                candidates.push_back(q.delisted + 1);
            for (std::uint32_t k = q.begin, end = q.begin + q.count; k < end; ++k) {
                const std::int32_t start = history.start_day[k];
                if (start > q.listed && start <= q.delisted) candidates.push_back(start);
            }
            std::sort(candidates.begin(), candidates.end());
        }
        std::int32_t last = kNoIndustry;
        for (std::size_t k = 0; k < candidates.size(); ++k) {
            if (k && candidates[k] == candidates[k - 1]) continue;
            const std::int32_t code = code_on(history, q, candidates[k]);
            if (code == last) continue;
            out.day.push_back(candidates[k]);
            out.code.push_back(code);
            last = code;
        }
        out.begin.push_back(static_cast<std::uint32_t>(out.day.size()));
    }
    return out;
}

} // namespace

template <class Code>
void classify(const IndustryHistory& history, const std::vector<StockQuery>& stocks,
              const std::vector<std::int32_t>& days, Code* cells) {
    const std::size_t n = stocks.size();
    const Timelines line = timelines(history, stocks);
    constexpr std::int32_t never = std::numeric_limits<std::int32_t>::max();
    // Walking the dates in order, each stock keeps its current code and the day of its next
    // change; a date earlier than the one before starts the walk over.
    std::vector<std::uint32_t> next(n);
    std::vector<std::int32_t> next_day(n);
    std::vector<Code> current(n);
    auto restart = [&] {
        for (std::size_t j = 0; j < n; ++j) {
            next[j] = line.begin[j];
            next_day[j] = next[j] < line.begin[j + 1] ? line.day[next[j]] : never;
            current[j] = kNoIndustry;
        }
    };
    restart();
    std::int32_t previous = std::numeric_limits<std::int32_t>::min();
    for (std::size_t t = 0; t < days.size(); ++t) {
        const std::int32_t day = days[t];
        Code* row = cells + t * n;
        if (day == kNoDay) {
            std::fill(row, row + n, kNoIndustry);
            continue;
        }
        if (day < previous) restart();
        previous = day;
        for (std::size_t j = 0; j < n; ++j) {
            while (day >= next_day[j]) {
                current[j] = static_cast<Code>(line.code[next[j]]);
                ++next[j];
                next_day[j] = next[j] < line.begin[j + 1] ? line.day[next[j]] : never;
            }
            row[j] = current[j];
        }
    }
}

template <class Code>
ColumnOrder columns_in_order_met(const Code* cells, std::size_t n_cells, std::size_t n_codes) {
    ColumnOrder order;
    order.column_of_code.assign(n_codes, -1);
    for (std::size_t r = 0; r < n_cells && order.code_of_column.size() < n_codes; ++r) {
        const std::int32_t c = cells[r];
        if (c < 0 || order.column_of_code[static_cast<std::size_t>(c)] >= 0) continue;
        order.column_of_code[static_cast<std::size_t>(c)] =
            static_cast<std::int32_t>(order.code_of_column.size());
        order.code_of_column.push_back(c);
    }
    return order;
}

template <class Code>
void fill_one_hot(const Code* cells, std::size_t n_cells, const ColumnOrder& order,
                  std::int8_t* out) {
    const std::size_t rows = n_cells;
    for (std::size_t r = 0; r < rows; ++r) {
        const std::int32_t c = cells[r];
        if (c < 0) continue;
        const auto column =
            static_cast<std::size_t>(order.column_of_code[static_cast<std::size_t>(c)]);
        out[column * rows + r] = 1;
    }
}

#define BRELVOX_INDUSTRY_CODE(Code)                                                                \
    template void classify<Code>(const IndustryHistory&, const std::vector<StockQuery>&,           \
                                 const std::vector<std::int32_t>&, Code*);                         \
    template ColumnOrder columns_in_order_met<Code>(const Code*, std::size_t, std::size_t);        \
    template void fill_one_hot<Code>(const Code*, std::size_t, const ColumnOrder&, std::int8_t*);
BRELVOX_INDUSTRY_CODE(std::int8_t)
BRELVOX_INDUSTRY_CODE(std::int16_t)
BRELVOX_INDUSTRY_CODE(std::int32_t)
#undef BRELVOX_INDUSTRY_CODE

} // namespace brelvox::core
