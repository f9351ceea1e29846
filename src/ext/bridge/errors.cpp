#include "errors.hpp"

#include <cstdarg>

namespace brelvox::bridge {

void raise_error(PyObject* type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw nb::python_error();
}

nb::object checked(PyObject* result) {
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

bool truthy(nb::handle value) {
    const int rc = PyObject_IsTrue(value.ptr());
    if (rc < 0) throw nb::python_error();
    return rc == 1;
}

void raise_arg_type(const char* name, const char* expected, nb::handle value) {
    raise_error(PyExc_TypeError,
                "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                expected, Py_TYPE(value.ptr())->tp_name);
}

void require_str_or_none(nb::handle value, const char* name) {
    if (!value.is_none() && !PyUnicode_CheckExact(value.ptr())) raise_arg_type(name, "str", value);
}

void require_str(nb::handle value, const char* name) {
    if (!PyUnicode_CheckExact(value.ptr())) raise_arg_type(name, "str", value);
}

void raise_duplicate_entry(const char* source, nb::handle id, nb::handle date) {
    nb::str date_text = nb::str(date);
    raise_error(PyExc_ValueError, "%s holds duplicate entries for (%R, %S); cannot reshape", source,
                id.ptr(), date_text.ptr());
}

void raise_answer_type(const char* what, const char* expected, nb::handle answer) {
    raise_error(PyExc_TypeError, "%s: expected %s from the data client, got %.200s", what, expected,
                Py_TYPE(answer.ptr())->tp_name);
}

} // namespace brelvox::bridge
