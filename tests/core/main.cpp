// Runs every kernel's tests (built and run by scripts/test-all, target core_tests).
#include "check.hpp"

int main() {
    test_align();
    test_bond_returns();
    test_calendar();
    test_daily_returns();
    test_frame_index();
    test_fund_returns();
    test_index_weights();
    test_industry_lookup();
    test_label_match();
    test_panel();
    test_price_fill();
    test_scratch();
    test_valuation_rows();
    if (brelvox::check::failures)
        std::printf("%d core check(s) failed\n", brelvox::check::failures);
    else
        std::printf("core tests passed\n");
    return brelvox::check::failures ? 1 : 0;
}
