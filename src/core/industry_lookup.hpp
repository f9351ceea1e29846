// Classification in force per (date, stock) from pre-sorted histories, and its one-hot form.
#pragma once

#include "calendar.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace brelvox::core {

// An industry code meaning "no industry".
inline constexpr std::int32_t kNoIndustry = -1;

// Flat store of every stock's history: entries newest start first within a stock.
struct IndustryHistory {
    std::vector<std::int32_t> start_day;
    std::vector<std::int32_t> code; // kNoIndustry for an entry without a name
};

// One requested stock: where its history sits in the store and its listing bounds
// (both inclusive). `count == 0` means no history at all.
struct StockQuery {
    std::uint32_t begin = 0;
    std::uint32_t count = 0;
    std::int32_t listed = 0;
    std::int32_t delisted = 0;
};

// Code in force per cell, dates outer and stocks inner, into `cells` (days.size() times
// stocks.size() entries): the first entry that started on or before the day, provided the
// day lies within the listing bounds; kNoIndustry otherwise.
// `Code` is any signed integer type wide enough for the codes in use (int8, int16, int32).
template <class Code>
void classify(const IndustryHistory& history, const std::vector<StockQuery>& stocks,
              const std::vector<std::int32_t>& days, Code* cells);

// Codes in the order they first occur among `cells`; `column_of_code[c]` is -1 for a code
// that never occurs.
struct ColumnOrder {
    std::vector<std::int32_t> column_of_code;
    std::vector<std::int32_t> code_of_column;
};
template <class Code>
ColumnOrder columns_in_order_met(const Code* cells, std::size_t n_cells, std::size_t n_codes);

// Sets out[column * n_cells + row] = 1 for each classified cell; `out` must hold zeros for
// n_columns * n_cells bytes (column-major, one column after the other).
template <class Code>
void fill_one_hot(const Code* cells, std::size_t n_cells, const ColumnOrder& order,
                  std::int8_t* out);

} // namespace brelvox::core
