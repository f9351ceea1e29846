// The kernels' tests: one file per unit of src/core, each defining test_<unit>(), run in
// turn by main.cpp; a failed check prints where and the run exits non-zero.
#pragma once

#include <cstdio>
#include <span>
#include <vector>

#include "panel.hpp"

namespace brelvox::check {
inline int failures = 0;

template <class T> brelvox::core::CodeSpan codes(const std::vector<T>& v) {
    return std::span<const T>(v);
}
} // namespace brelvox::check

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::printf("%s:%d: CHECK(%s) failed\n", __FILE__, __LINE__, #cond);                   \
            ++brelvox::check::failures;                                                            \
        }                                                                                          \
    } while (0)

void test_align();
void test_bond_returns();
void test_calendar();
void test_daily_returns();
void test_frame_index();
void test_fund_returns();
void test_index_weights();
void test_industry_lookup();
void test_label_match();
void test_panel();
void test_price_fill();
void test_scratch();
void test_valuation_rows();
