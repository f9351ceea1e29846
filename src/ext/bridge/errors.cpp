#include "errors.hpp"

namespace brelvox::bridge {

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
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 expected, Py_TYPE(value.ptr())->tp_name);
    throw nb::python_error();
}

void require_str_or_none(nb::handle value, const char* name) {
    if (!value.is_none() && !PyUnicode_CheckExact(value.ptr())) raise_arg_type(name, "str", value);
}

void require_str(nb::handle value, const char* name) {
    if (!PyUnicode_CheckExact(value.ptr())) raise_arg_type(name, "str", value);
}

void raise_missing_data(const char* kind, nb::handle order_book_ids, nb::handle dates) {
    nb::object cls = nb::module_::import_("brelvox.exceptions").attr("MissingData");
    nb::object error = cls(nb::str(kind), order_book_ids, dates);
    PyErr_SetObject(cls.ptr(), error.ptr());
    throw nb::python_error();
}

void raise_duplicate_entry(const char* source, nb::handle id, nb::handle date) {
    nb::str date_text = nb::str(date);
    PyErr_Format(PyExc_ValueError, "%s holds duplicate entries for (%R, %S); cannot reshape",
                 source, id.ptr(), date_text.ptr());
    throw nb::python_error();
}

void raise_answer_type(const char* what, const char* expected, nb::handle answer) {
    PyErr_Format(PyExc_TypeError, "%s: expected %s from the data client, got %.200s", what,
                 expected, Py_TYPE(answer.ptr())->tp_name);
    throw nb::python_error();
}

} // namespace brelvox::bridge
