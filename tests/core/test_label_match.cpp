// label_match: distinct sorted identifiers, and their positions by merge or by search.
#include "check.hpp"

#include "label_match.hpp"

#include <string>
#include <string_view>
#include <vector>

using namespace brelvox::core;

void test_label_match() {
    const std::vector<std::string> raw{"b", "a", "b", "", "c"};
    CHECK((sorted_distinct(raw) == std::vector<std::string>{"", "a", "b", "c"}));
    CHECK(sorted_distinct(std::vector<std::string>{}).empty());

    const std::vector<std::string> sorted{"000001.XSHE", "600000.XSHG", "600100.XSHG"};
    // ascending wanted labels (the merge), repeated and absent ones included
    const std::vector<std::string_view> ascending{"000001.XSHE", "000001.XSHE", "300000.XSHE",
                                                  "600100.XSHG", "999999.XSHG"};
    CHECK((positions_of_labels(sorted, ascending) == std::vector<std::int64_t>{0, 0, -1, 2, -1}));
    // unordered wanted labels (the search) give the same answers
    const std::vector<std::string_view> unordered{"999999.XSHG", "600100.XSHG", "000001.XSHE",
                                                  "300000.XSHE", "000001.XSHE"};
    CHECK((positions_of_labels(sorted, unordered) == std::vector<std::int64_t>{-1, 2, 0, -1, 0}));
    CHECK(positions_of_labels(std::vector<std::string>{}, unordered) ==
          std::vector<std::int64_t>(5, -1));
}
