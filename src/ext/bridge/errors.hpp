// Argument checks and the errors every module raises the same way.
#pragma once

#include "module.hpp"

namespace brelvox::bridge {

// Raises `type` (PyExc_ValueError, ...) with a message formatted as PyErr_Format does.
[[noreturn]] void raise_error(PyObject* type, const char* format, ...);

// A new reference from the C API as an object; NULL (a Python error is set) throws.
nb::object checked(PyObject* result);
// Truth value of `value`; an error raised by its __bool__ propagates.
bool truthy(nb::handle value);

// Accepts exactly a `str` (or None); anything else raises the package's TypeError.
void require_str_or_none(nb::handle value, const char* name);
void require_str(nb::handle value, const char* name);
[[noreturn]] void raise_arg_type(const char* name, const char* expected, nb::handle value);

// ValueError: `source` holds more than one entry for (id, date).
[[noreturn]] void raise_duplicate_entry(const char* source, nb::handle id, nb::handle date);

// TypeError: the client operation `what` answered with an object of the wrong type.
[[noreturn]] void raise_answer_type(const char* what, const char* expected, nb::handle answer);

} // namespace brelvox::bridge
