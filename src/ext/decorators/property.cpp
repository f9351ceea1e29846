// `cached_property`: a property subclass whose value, once computed, lives in the instance's
// own __dict__ under the property's name.
#include "native.hpp"

#include <structmember.h>

namespace brelvox::decorators {

namespace {

// The layout appends an attribute dict and a weak-reference list to `property`'s own.
Py_ssize_t dict_offset = 0;

PyObject** dict_slot(PyObject* self) {
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + dict_offset);
}
PyObject** weaklist_slot(PyObject* self) {
    return dict_slot(self) + 1;
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(*dict_slot(self));
    return PyProperty_Type.tp_traverse(self, visit, arg);
}

int clear(PyObject* self) {
    Py_CLEAR(*dict_slot(self));
    return PyProperty_Type.tp_clear ? PyProperty_Type.tp_clear(self) : 0;
}

void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (*weaklist_slot(self)) PyObject_ClearWeakRefs(self);
    Py_CLEAR(*dict_slot(self));
    PyObject_GC_Track(self); // property's own dealloc untracks
    PyProperty_Type.tp_dealloc(self);
    Py_DECREF(type);
}

// __init__(self, func, name=None, doc=None)
int init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"func", "name", "doc", nullptr};
    PyObject* func = nullptr;
    PyObject* name = Py_None;
    PyObject* doc = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:cached_property",
                                     const_cast<char**>(names), &func, &name, &doc))
        return -1;
    return guarded(
        [&] {
            nb::object no_args = nb::steal(PyTuple_New(0));
            nb::dict base_kwargs;
            base_kwargs["doc"] = nb::handle(doc);
            if (PyProperty_Type.tp_init(self, no_args.ptr(), base_kwargs.ptr()) < 0)
                throw nb::python_error();
            nb::handle f(func), me(self);
            nb::object key = truthy(name) ? nb::borrow(name) : f.attr("__name__");
            nb::setattr(me, "__name__", key);
            nb::setattr(me, "__module__", f.attr("__module__"));
            nb::setattr(me, "__doc__", truthy(doc) ? nb::borrow(doc) : f.attr("__doc__"));
            nb::setattr(me, "func", f);
            return 0;
        },
        -1);
}

PyObject* get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return guarded(
        [&]() -> PyObject* {
            nb::object name = nb::steal(PyObject_GetAttr(self, objects.str_name));
            if (!name.is_valid()) throw nb::python_error();
            nb::object store = nb::steal(PyObject_GetAttr(obj, objects.str_dict));
            if (!store.is_valid()) throw nb::python_error();
            nb::object value;
            if (PyDict_CheckExact(store.ptr())) {
                PyObject* found = PyDict_GetItemWithError(store.ptr(), name.ptr());
                if (!found && PyErr_Occurred()) throw nb::python_error();
                value = found ? nb::borrow(found) : nb::borrow(objects.missing);
            } else {
                value = store.attr("get")(name, nb::handle(objects.missing));
            }
            if (value.is(nb::handle(objects.missing))) {
                nb::object func = nb::steal(PyObject_GetAttr(self, objects.str_func));
                if (!func.is_valid()) throw nb::python_error();
                value = func(nb::handle(obj));
                if (PyObject_SetItem(store.ptr(), name.ptr(), value.ptr()) < 0)
                    throw nb::python_error();
            }
            return value.release().ptr();
        },
        static_cast<PyObject*>(nullptr));
}

int set(PyObject* self, PyObject* obj, PyObject* value) {
    // Deleting is property's business: it has no deleter, so it refuses.
    if (!value) return PyProperty_Type.tp_descr_set(self, obj, nullptr);
    nb::object name = nb::steal(PyObject_GetAttr(self, objects.str_name));
    if (!name.is_valid()) return -1;
    nb::object store = nb::steal(PyObject_GetAttr(obj, objects.str_dict));
    if (!store.is_valid()) return -1;
    return PyObject_SetItem(store.ptr(), name.ptr(), value);
}

PyMemberDef members[3];

// `__name__` (the storage key) lives in the descriptor's own __dict__ whatever `property`
// does with that name: newer interpreters give property a `__name__` of its own, which class
// creation overwrites with the attribute name and would make the `name` argument void.
PyObject* get_name(PyObject* self, void*) {
    PyObject* dict = *dict_slot(self);
    PyObject* name = dict ? PyDict_GetItemWithError(dict, objects.str_name) : nullptr;
    if (name) return Py_NewRef(name);
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_AttributeError,
                        "'cached_property' object has no attribute '__name__'");
    return nullptr;
}

int set_name(PyObject* self, PyObject* value, void*) {
    PyObject** dict = dict_slot(self);
    if (!*dict && !(*dict = PyDict_New())) return -1;
    if (value) return PyDict_SetItem(*dict, objects.str_name, value);
    if (PyDict_DelItem(*dict, objects.str_name) == 0) return 0;
    if (PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyErr_Clear();
        PyErr_SetString(PyExc_AttributeError, "__name__");
    }
    return -1;
}

PyGetSetDef getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__name__", get_name, set_name, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

} // namespace

PyTypeObject* make_cached_property_type() {
    dict_offset = PyProperty_Type.tp_basicsize;
    members[0] = {"__dictoffset__", T_PYSSIZET, dict_offset, READONLY, nullptr};
    members[1] = {"__weaklistoffset__", T_PYSSIZET,
                  dict_offset + static_cast<Py_ssize_t>(sizeof(PyObject*)), READONLY, nullptr};
    members[2] = {nullptr, 0, 0, 0, nullptr};
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("A property computed once per instance and kept in the "
                                      "instance's __dict__ under its name.")},
        {Py_tp_init, reinterpret_cast<void*>(init)},
        {Py_tp_descr_get, reinterpret_cast<void*>(get)},
        {Py_tp_descr_set, reinterpret_cast<void*>(set)},
        {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(clear)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
        {Py_tp_members, members},
        {Py_tp_getset, getset},
        {0, nullptr},
    };
    PyType_Spec type_layout = {"brelvox.utils.decorators.cached_property",
                               static_cast<int>(dict_offset + 2 * sizeof(PyObject*)), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                               slots};
    nb::object bases = nb::make_tuple(nb::handle(reinterpret_cast<PyObject*>(&PyProperty_Type)));
    PyObject* type = PyType_FromSpecWithBases(&type_layout, bases.ptr());
    if (!type) throw nb::python_error();
    return reinterpret_cast<PyTypeObject*>(type);
}

} // namespace brelvox::decorators
