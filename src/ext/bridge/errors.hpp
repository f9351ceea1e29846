// Argument checks and the errors every module raises the same way.
#pragma once

#include "module.hpp"

namespace brelvox::bridge {

// A new reference from the C API as an object; NULL (a Python error is set) throws.
nb::object checked(PyObject* result);
// Truth value of `value`; an error raised by its __bool__ propagates.
bool truthy(nb::handle value);

// Accepts exactly a `str` (or None); anything else raises the package's TypeError.
void require_str_or_none(nb::handle value, const char* name);
void require_str(nb::handle value, const char* name);
[[noreturn]] void raise_arg_type(const char* name, const char* expected, nb::handle value);

// Raises brelvox.exceptions.MissingData(kind, order_book_ids, dates).
[[noreturn]] void raise_missing_data(const char* kind, nb::handle order_book_ids, nb::handle dates);

// ValueError: `source` holds more than one entry for (id, date).
[[noreturn]] void raise_duplicate_entry(const char* source, nb::handle id, nb::handle date);

// TypeError: the client operation `what` answered with an object of the wrong type.
[[noreturn]] void raise_answer_type(const char* what, const char* expected, nb::handle answer);

} // namespace brelvox::bridge
