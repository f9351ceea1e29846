// Row plans for frames on a two-level (identifier, date) index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace brelvox::core {

// Positions of the rows whose (outer, inner) code pair has not occurred before, in order.
// A code of -1 (a missing label) is a value of its own.
std::vector<std::int64_t> first_of_each_pair(std::span<const std::int32_t> outer,
                                             std::span<const std::int32_t> inner,
                                             std::size_t n_outer, std::size_t n_inner);

// Rows of a result whose outer labels are renamed: `primary[c]` is the new code of outer
// code c; `extra[c]` lists further new codes that receive a copy of c's rows.
struct RowPlan {
    std::vector<std::int64_t> source; // row of the input each result row copies
    std::vector<std::int64_t> outer;  // its new outer code (-1 stays -1)
    std::vector<std::int64_t> inner;  // its inner code, as in the input
};

// The kept rows in order under their primary codes, then, for the k-th extra code of each
// label (k = 0, 1, ...), the kept rows of that label again in order.
RowPlan relabel_rows(std::vector<std::int64_t>&& kept, std::span<const std::int32_t> outer,
                     std::span<const std::int32_t> inner, std::span<const std::int64_t> primary,
                     const std::vector<std::vector<std::int64_t>>& extra);

// A column read in place (`stride` in elements) and where its taken rows go.
struct StridedColumn {
    const double* values;
    std::int64_t stride;
    double* out;
};

// True when `kept` holds every one of `rows` rows and no label has extra copies: the result
// then keeps the input's rows as they are.
bool keeps_every_row(std::span<const std::int64_t> kept, std::size_t rows,
                     const std::vector<std::vector<std::int64_t>>& extra);

// Outer codes rewritten through `primary` (a code outside it becomes -1).
std::vector<std::int32_t> recode(std::span<const std::int32_t> outer,
                                 std::span<const std::int64_t> primary);

// out[k] = values[k * stride] for every column and every k < rows.
void copy_rows(std::span<const StridedColumn> columns, std::size_t rows);

// out[k] = values[source[k] * stride] for every column, row by row.
void gather_rows(std::span<const StridedColumn> columns, std::span<const std::int64_t> source);

} // namespace brelvox::core
