// The inner decorator a factory returns (`ttl_cache(60)`, `retry(3, ValueError)`, ...): one
// argument, the values of the factory call held, and the name a nested Python function of
// that place would carry.
#include "native.hpp"

#include <structmember.h>

#include <cstddef>
#include <cstring>

namespace brelvox::decorators {

namespace {

struct Decorator {
    PyObject_HEAD vectorcallfunc vectorcall;
    PyObject* captured;
    DecoratorBody body;
    const char* qualname;
    const char* argname;
};

PyTypeObject* decorator_type = nullptr;

Decorator* as_decorator(PyObject* self) {
    return reinterpret_cast<Decorator*>(self);
}

const char* short_name(const char* qualname) {
    const char* dot = std::strrchr(qualname, '.');
    return dot ? dot + 1 : qualname;
}

PyObject* call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Decorator* d = as_decorator(self);
    if (!d->captured) {
        PyErr_SetString(PyExc_RuntimeError, "decorator called after it was cleared");
        return nullptr;
    }
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "%s() takes 1 positional argument but %zd were given",
                     d->qualname, nargs);
        return nullptr;
    }
    PyObject* argument = nargs ? args[0] : nullptr;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, i);
        if (PyUnicode_CompareWithASCIIString(name, d->argname) != 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         d->qualname, name);
            return nullptr;
        }
        if (argument) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", d->qualname,
                         d->argname);
            return nullptr;
        }
        argument = args[nargs + i];
    }
    if (!argument) {
        PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'",
                     d->qualname, d->argname);
        return nullptr;
    }
    return guarded([&] { return d->body(d->captured, argument).release().ptr(); },
                   static_cast<PyObject*>(nullptr));
}

PyObject* repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %s at %p>", as_decorator(self)->qualname, self);
}

PyObject* get_name(PyObject* self, void*) {
    return PyUnicode_FromString(short_name(as_decorator(self)->qualname));
}
PyObject* get_qualname(PyObject* self, void*) {
    return PyUnicode_FromString(as_decorator(self)->qualname);
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_decorator(self)->captured);
    return 0;
}

int clear(PyObject* self) {
    Py_CLEAR(as_decorator(self)->captured);
    return 0;
}

void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyGetSetDef getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Decorator, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

} // namespace

void init_decorator_type() {
    PyType_Slot slots[] = {
        {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
        {Py_tp_repr, reinterpret_cast<void*>(repr)},
        {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(clear)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
        {Py_tp_getset, getset},
        {Py_tp_members, members},
        {0, nullptr},
    };
    PyType_Spec type_layout = {"brelvox.utils.decorators.decorator", sizeof(Decorator), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                                   Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                               slots};
    PyObject* type = PyType_FromSpec(&type_layout);
    if (!type) throw nb::python_error();
    decorator_type = reinterpret_cast<PyTypeObject*>(type);
}

nb::object new_decorator(const char* qualname, const char* argname, DecoratorBody body,
                         nb::object captured) {
    Decorator* self = PyObject_GC_New(Decorator, decorator_type);
    if (!self) throw nb::python_error();
    self->vectorcall = call;
    self->captured = captured.release().ptr();
    self->body = body;
    self->qualname = qualname;
    self->argname = argname;
    PyObject_GC_Track(self);
    return nb::steal(reinterpret_cast<PyObject*>(self));
}

} // namespace brelvox::decorators
