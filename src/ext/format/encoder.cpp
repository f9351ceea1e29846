// JSONEncoder of brelvox.utils.format: dates, timestamps and UUIDs written as strings.
#include "bridge.hpp"

#include <datetime.h>

namespace brelvox::format {

using bridge::checked;

namespace {

PyObject* base_default = nullptr; // json.JSONEncoder.default
PyObject* uuid_type = nullptr;

bool is_zero(nb::handle owner, const char* field) {
    nb::object value = owner.attr(field);
    const int equal = PyObject_RichCompareBool(value.ptr(), nb::int_(0).ptr(), Py_EQ);
    if (equal < 0) throw nb::python_error();
    return equal == 1;
}

// The first rule that applies decides. A NaT is a datetime whose hour is not 0, so it is
// written through its own isoformat.
nb::object encode(nb::handle self, nb::handle o) {
    if (PyDateTime_Check(o.ptr())) {
        if (is_zero(o, "hour") && is_zero(o, "minute") && is_zero(o, "second"))
            return o.attr("date")().attr("isoformat")();
        return o.attr("isoformat")();
    }
    if (PyDate_Check(o.ptr())) return o.attr("isoformat")();
    const int is_uuid = PyObject_IsInstance(o.ptr(), uuid_type);
    if (is_uuid < 0) throw nb::python_error();
    if (is_uuid == 1) return checked(PyObject_Str(o.ptr()));
    return checked(PyObject_CallFunctionObjArgs(base_default, self.ptr(), o.ptr(), nullptr));
}

PyObject* encoder_default(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"o", nullptr};
    PyObject* o = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:default", const_cast<char**>(keywords), &o))
        return nullptr;
    try {
        return encode(self, o).release().ptr();
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

const char* const kDefaultDoc =
    "A date or a datetime at midnight as year-month-day, another datetime in ISO form, a "
    "UUID as its hyphenated text; anything else is refused by the base encoder.";

PyMethodDef encoder_methods[] = {
    {"default", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&encoder_default)),
     METH_VARARGS | METH_KEYWORDS, kDefaultDoc},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot encoder_slots[] = {
    {Py_tp_methods, encoder_methods},
    {Py_tp_doc, const_cast<char*>("JSON encoder that also writes dates, datetimes and UUIDs.")},
    {0, nullptr}};

PyType_Spec encoder_spec = {"brelvox.utils.format.JSONEncoder", 0, 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, encoder_slots};

} // namespace

void add_json_encoder(nb::module_& module) {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw nb::python_error();
    nb::object base = nb::module_::import_("json").attr("JSONEncoder");
    base_default = nb::object(base.attr("default")).release().ptr();
    uuid_type = nb::object(nb::module_::import_("uuid").attr("UUID")).release().ptr();
    // A heap subclass of the standard encoder: every constructor option of the base applies.
    nb::object cls = checked(PyType_FromSpecWithBases(&encoder_spec, base.ptr()));
    module.attr("JSONEncoder") = cls;
}

} // namespace brelvox::format
