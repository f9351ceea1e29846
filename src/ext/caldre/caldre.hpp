// Pieces shared by the files of brelvox.marketdata.caldre.
#pragma once

#include "bridge.hpp"

namespace brelvox::caldre {

namespace bridge = brelvox::bridge;

// The module object (set once at import), and the data client it binds at call time.
nb::handle module();
nb::object client();

// ChinaBond valuations, interbank rows standing in for exchange twins (valuation.cpp).
nb::object get_chinabond_valuation(nb::handle bond_list, nb::handle fields, nb::handle start_date,
                                   nb::handle end_date);
// The treasury yield curve on requested dates (curve.cpp).
nb::object get_treasury_bond_yield(nb::handle dates);

} // namespace brelvox::caldre
