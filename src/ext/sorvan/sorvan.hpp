// Pieces shared by the files of brelvox.marketdata.sorvan.
#pragma once

#include "bridge.hpp"

#include <cstdint>

namespace brelvox::sorvan {

namespace bridge = brelvox::bridge;

// The module object (set once at import).
nb::handle module();

// `time.time()` read through the module's `time` attribute at call time.
nb::object now();

// ---- calendar dates (datetime.date) ------------------------------------------------------

nb::object make_date(int year, int month, int day);
// Days since 1970 of a datetime.date (or subclass); false when `value` is not one.
bool date_day(PyObject* value, std::int32_t& day);

// ---- bindings defined in the other files --------------------------------------------------

void register_tables(nb::module_& m);
void register_listing(nb::module_& m);
void register_lookup(nb::module_& m);

// `MultiIndex.from_product([dates, ids])` with levels named date and order_book_id.
nb::object product_index(nb::handle dates, const nb::list& ids);

// `_industry_cache(standard)` looked up on the module at call time.
nb::object industry_table(nb::handle standard);

} // namespace brelvox::sorvan
