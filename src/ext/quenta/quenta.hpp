// Pieces shared by the files of brelvox.marketdata.quenta.
#pragma once

#include "bridge.hpp"

namespace brelvox::quenta {

namespace bridge = brelvox::bridge;

// The module object (set once at import), and the data client it binds at call time.
nb::handle module();
nb::object client();

// The functions of the other files: bonds (bond.cpp), cash and public funds (fund.cpp).
void register_bond_returns(nb::module_& m);
void register_fund_returns(nb::module_& m);

} // namespace brelvox::quenta
