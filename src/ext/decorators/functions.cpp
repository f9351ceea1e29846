// The callables the decorators return: the time-limited cache, exception capture and retry.
// Each is a native function object with an attribute dict (so functools.update_wrapper can
// dress it as the function it wraps), weak references, and method binding.
#include "native.hpp"

#include <structmember.h>

#include <cstddef>

namespace brelvox::decorators {

// ---- errors -------------------------------------------------------------------------------

PyObject* take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

void raise_exception(PyObject* exception) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))), exception,
                  PyException_GetTraceback(exception));
#endif
}

nb::object args_tuple(PyObject* const* args, Py_ssize_t nargs) {
    PyObject* tuple = PyTuple_New(nargs);
    if (!tuple) throw nb::python_error();
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple, i, Py_NewRef(args[i]));
    return nb::steal(tuple);
}

nb::object kwargs_dict(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    nb::object dict = nb::steal(PyDict_New());
    if (!dict.is_valid()) throw nb::python_error();
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i)
        if (PyDict_SetItem(dict.ptr(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0)
            throw nb::python_error();
    return dict;
}

namespace {

// While alive, `exception` is the one being handled (what sys.exc_info() reports and what
// an exception raised meanwhile takes as its context), as inside an `except` block.
class Handling {
  public:
    explicit Handling(PyObject* exception) {
        PyErr_GetExcInfo(&type_, &value_, &traceback_);
        PyErr_SetExcInfo(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))),
                         Py_NewRef(exception), PyException_GetTraceback(exception));
    }
    ~Handling() { PyErr_SetExcInfo(type_, value_, traceback_); }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

  private:
    PyObject *type_, *value_, *traceback_;
};

// ---- the common function object -----------------------------------------------------------

struct Function {
    PyObject_HEAD vectorcallfunc vectorcall;
    PyObject* dict;
    PyObject* weaklist;
    PyObject* user_function;
};

struct CacheFunction {
    Function base;
    PyObject* ttl;
    PyObject* typed;
    PyObject* cache;
    int is_typed;
};

struct CallFunction {
    Function base;
    PyObject* callback;   // None for a retry without one
    PyObject* exceptions; // retry only
    PyObject* attempts;   // retry only
};

PyTypeObject* cache_type = nullptr;
PyTypeObject* capture_type = nullptr;
PyTypeObject* retry_type = nullptr;

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* f = reinterpret_cast<Function*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->dict);
    Py_VISIT(f->user_function);
    if (Py_IS_TYPE(self, cache_type)) {
        CacheFunction* c = reinterpret_cast<CacheFunction*>(self);
        Py_VISIT(c->ttl);
        Py_VISIT(c->typed);
        Py_VISIT(c->cache);
    } else {
        CallFunction* c = reinterpret_cast<CallFunction*>(self);
        Py_VISIT(c->callback);
        Py_VISIT(c->exceptions);
        Py_VISIT(c->attempts);
    }
    return 0;
}

int function_clear(PyObject* self) {
    Function* f = reinterpret_cast<Function*>(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->user_function);
    if (Py_IS_TYPE(self, cache_type)) {
        CacheFunction* c = reinterpret_cast<CacheFunction*>(self);
        Py_CLEAR(c->ttl);
        Py_CLEAR(c->typed);
        Py_CLEAR(c->cache);
    } else {
        CallFunction* c = reinterpret_cast<CallFunction*>(self);
        Py_CLEAR(c->callback);
        Py_CLEAR(c->exceptions);
        Py_CLEAR(c->attempts);
    }
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<Function*>(self)->weaklist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// Binds like a Python function: an instance attribute becomes a bound method.
PyObject* function_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    PyObject* name = PyObject_GetAttr(self, objects.str_qualname);
    if (name && PyUnicode_Check(name)) {
        PyObject* text = PyUnicode_FromFormat("<function %U at %p>", name, self);
        Py_DECREF(name);
        return text;
    }
    Py_XDECREF(name);
    PyErr_Clear();
    return PyUnicode_FromFormat("<%s object at %p>", Py_TYPE(self)->tp_name, self);
}

// Pickled by reference, like the module-level function it stands for.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return PyObject_GetAttr(self, objects.str_qualname);
}
PyObject* function_copy(PyObject* self, PyObject*) {
    return Py_NewRef(self);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {"__copy__", function_copy, METH_NOARGS, nullptr},
    {"__deepcopy__", function_copy, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(Function, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Function, weaklist), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject* make_function_type(const char* name, int basicsize) {
    PyType_Slot slots[] = {
        {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
        {Py_tp_descr_get, reinterpret_cast<void*>(function_get)},
        {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
        {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
        {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
        {Py_tp_methods, function_methods},
        {Py_tp_members, function_members},
        {Py_tp_getset, function_getset},
        {0, nullptr},
    };
    PyType_Spec type_layout = {name, basicsize, 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                                   Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
                                   Py_TPFLAGS_DISALLOW_INSTANTIATION,
                               slots};
    PyObject* type = PyType_FromSpec(&type_layout);
    if (!type) throw nb::python_error();
    return reinterpret_cast<PyTypeObject*>(type);
}

template <class T> T* new_function(PyTypeObject* type, vectorcallfunc call, nb::handle user) {
    T* self = PyObject_GC_New(T, type);
    if (!self) throw nb::python_error();
    // Every field after the header starts out null.
    std::memset(reinterpret_cast<char*>(self) + sizeof(PyObject), 0, sizeof(T) - sizeof(PyObject));
    Function* f = reinterpret_cast<Function*>(self);
    f->vectorcall = call;
    f->user_function = Py_NewRef(user.ptr());
    return self;
}

// True (with an error set) for a function whose references the garbage collector already
// dropped while breaking a cycle; a finaliser may still reach it.
bool cleared(PyObject* callable) {
    if (reinterpret_cast<Function*>(callable)->user_function) return false;
    PyErr_SetString(PyExc_RuntimeError, "decorated function called after it was cleared");
    return true;
}

nb::object track(void* self) {
    PyObject_GC_Track(self);
    return nb::steal(static_cast<PyObject*>(self));
}

// expire_at > now: 1, 0, or -1 on error.
int still_fresh(PyObject* expire_at, PyObject* now) {
    if (PyFloat_CheckExact(expire_at) && PyFloat_CheckExact(now))
        return PyFloat_AS_DOUBLE(expire_at) > PyFloat_AS_DOUBLE(now);
    return PyObject_RichCompareBool(expire_at, now, Py_GT);
}

// ---- time-limited cache ---------------------------------------------------------------------

// The stored (expire_at, value) pair as two new references.
bool unpack_entry(PyObject* entry, PyObject** expire_at, PyObject** value) {
    nb::object pair = nb::borrow(entry);
    if (!PyTuple_CheckExact(entry)) {
        pair = nb::steal(PySequence_Tuple(entry));
        if (!pair.is_valid()) return false;
    }
    Py_ssize_t size = PyTuple_GET_SIZE(pair.ptr());
    if (size != 2) {
        if (size < 2)
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)",
                         size);
        else
            PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return false;
    }
    *expire_at = Py_NewRef(PyTuple_GET_ITEM(pair.ptr(), 0));
    *value = Py_NewRef(PyTuple_GET_ITEM(pair.ptr(), 1));
    return true;
}

// Computes, stores (expire_at counted from now, after the call) and returns the value.
PyObject* compute_and_store(CacheFunction* self, PyObject* key, PyObject* const* args,
                            size_t nargsf, PyObject* kwnames) {
    PyObject* value = PyObject_Vectorcall(self->base.user_function, args, nargsf, kwnames);
    if (!value) return nullptr;
    PyObject* now = read_clock();
    PyObject* expire_at = now ? PyNumber_Add(now, self->ttl) : nullptr;
    Py_XDECREF(now);
    PyObject* entry = expire_at ? PyTuple_Pack(2, expire_at, value) : nullptr;
    Py_XDECREF(expire_at);
    if (!entry || PyDict_SetItem(self->cache, key, entry) < 0) {
        Py_XDECREF(entry);
        Py_DECREF(value);
        return nullptr;
    }
    Py_DECREF(entry);
    return value;
}

// A hit costs the key, one probe of the dict and one read of the clock.
PyObject* cache_call(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (cleared(callable)) return nullptr;
    CacheFunction* self = reinterpret_cast<CacheFunction*>(callable);
    PyObject* key = call_key(args, PyVectorcall_NARGS(nargsf), kwnames, self->is_typed);
    if (!key) return nullptr;
    PyObject* entry = PyDict_GetItemWithError(self->cache, key);
    if (entry) {
        PyObject *expire_at, *value;
        if (PyTuple_CheckExact(entry) && PyTuple_GET_SIZE(entry) == 2) {
            expire_at = Py_NewRef(PyTuple_GET_ITEM(entry, 0));
            value = Py_NewRef(PyTuple_GET_ITEM(entry, 1));
        } else if (!unpack_entry(entry, &expire_at, &value)) {
            Py_DECREF(key);
            return nullptr;
        }
        PyObject* now = read_clock();
        int fresh = now ? still_fresh(expire_at, now) : -1;
        Py_XDECREF(now);
        Py_DECREF(expire_at);
        if (fresh > 0) {
            Py_DECREF(key);
            return value;
        }
        Py_DECREF(value);
        if (fresh < 0) {
            Py_DECREF(key);
            return nullptr;
        }
    } else if (PyErr_Occurred()) {
        Py_DECREF(key);
        return nullptr;
    }
    PyObject* value = compute_and_store(self, key, args, nargsf, kwnames);
    Py_DECREF(key);
    return value;
}

// ---- exception capture ----------------------------------------------------------------------

PyObject* capture_call(PyObject* callable, PyObject* const* args, size_t nargsf,
                       PyObject* kwnames) {
    if (cleared(callable)) return nullptr;
    CallFunction* self = reinterpret_cast<CallFunction*>(callable);
    PyObject* result = PyObject_Vectorcall(self->base.user_function, args, nargsf, kwnames);
    if (result || !PyErr_ExceptionMatches(PyExc_Exception)) return result;
    PyObject* error = take_exception();
    result = guarded(
        [&]() -> PyObject* {
            Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
            nb::object pos = args_tuple(args, nargs);
            nb::object kw = kwargs_dict(args, nargs, kwnames);
            Handling handling(error);
            return PyObject_CallFunctionObjArgs(self->callback, error, pos.ptr(), kw.ptr(),
                                                nullptr);
        },
        static_cast<PyObject*>(nullptr));
    Py_DECREF(error);
    return result;
}

// ---- retry --------------------------------------------------------------------------------

// Whether the pending exception matches `exceptions` as an `except` clause would test it:
// 1 or 0, or -1 with a TypeError (chained to the pending one) for an invalid clause.
int except_matches(PyObject* exceptions) {
    bool valid = true;
    if (PyTuple_Check(exceptions)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(exceptions) && valid; ++i)
            valid = PyExceptionClass_Check(PyTuple_GET_ITEM(exceptions, i));
    } else {
        valid = PyExceptionClass_Check(exceptions);
    }
    if (valid) return PyErr_ExceptionMatches(exceptions);
    PyObject* error = take_exception();
    {
        Handling handling(error);
        PyErr_SetString(PyExc_TypeError,
                        "catching classes that do not inherit from BaseException is not allowed");
    }
    Py_DECREF(error);
    return -1;
}

PyObject* retry_call(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (cleared(callable)) return nullptr;
    CallFunction* self = reinterpret_cast<CallFunction*>(callable);
    PyObject* index = PyNumber_Index(self->attempts);
    if (!index) return nullptr;
    Py_ssize_t attempts = PyNumber_AsSsize_t(index, nullptr);
    Py_DECREF(index);
    // Once a callback has seen them, later attempts are called with the very same tuple and
    // dict the callback received.
    PyObject* pos = nullptr;
    PyObject* kw = nullptr;
    PyObject* last = nullptr;
    PyObject* result = nullptr;
    for (Py_ssize_t attempt = 0; attempt < attempts; ++attempt) {
        result = pos ? PyObject_Call(self->base.user_function, pos, kw)
                     : PyObject_Vectorcall(self->base.user_function, args, nargsf, kwnames);
        if (result) break;
        if (except_matches(self->exceptions) != 1) break;
        Py_XSETREF(last, take_exception());
        if (self->callback == Py_None) continue;
        if (!pos) {
            Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
            bool built = guarded(
                [&] {
                    nb::object p = args_tuple(args, nargs);
                    nb::object k = kwargs_dict(args, nargs, kwnames);
                    pos = p.release().ptr();
                    kw = k.release().ptr();
                    return true;
                },
                false);
            if (!built) break;
        }
        PyObject* ignored;
        {
            Handling handling(last);
            ignored = PyObject_CallFunctionObjArgs(self->callback, last, pos, kw, nullptr);
        }
        if (!ignored) break;
        Py_DECREF(ignored);
    }
    Py_XDECREF(pos);
    Py_XDECREF(kw);
    if (result || PyErr_Occurred()) {
        Py_XDECREF(last);
        return result;
    }
    if (!last) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        return nullptr;
    }
    raise_exception(last);
    return nullptr;
}

CacheFunction* as_cache_function(nb::handle wrapper) {
    if (!Py_IS_TYPE(wrapper.ptr(), cache_type)) return nullptr;
    return reinterpret_cast<CacheFunction*>(wrapper.ptr());
}

} // namespace

void init_function_types() {
    cache_type =
        make_function_type("brelvox.utils.decorators.ttl_cached_function", sizeof(CacheFunction));
    capture_type =
        make_function_type("brelvox.utils.decorators.capturing_function", sizeof(CallFunction));
    retry_type =
        make_function_type("brelvox.utils.decorators.retrying_function", sizeof(CallFunction));
}

void reattach_clear_cache(nb::handle wrapper) {
    CacheFunction* self = as_cache_function(wrapper);
    if (!self) return;
    nb::setattr(wrapper, "clear_cache", nb::handle(self->cache).attr("clear"));
}

nb::object new_cache_wrapper(nb::handle user_function, nb::handle ttl, nb::handle typed) {
    int is_typed = PyObject_IsTrue(typed.ptr());
    if (is_typed < 0) throw nb::python_error();
    nb::object cache = nb::steal(PyDict_New());
    if (!cache.is_valid()) throw nb::python_error();
    CacheFunction* self = new_function<CacheFunction>(cache_type, cache_call, user_function);
    self->ttl = Py_NewRef(ttl.ptr());
    self->typed = Py_NewRef(typed.ptr());
    self->cache = Py_NewRef(cache.ptr());
    self->is_typed = is_typed;
    nb::object wrapper = track(self);
    nb::setattr(wrapper, "clear_cache", cache.attr("clear"));
    return wrapper;
}

nb::object new_capture_wrapper(nb::handle user_function, nb::handle callback) {
    CallFunction* self = new_function<CallFunction>(capture_type, capture_call, user_function);
    self->callback = Py_NewRef(callback.ptr());
    return track(self);
}

nb::object new_retry_wrapper(nb::handle user_function, nb::handle n, nb::handle exceptions,
                             nb::handle callback) {
    CallFunction* self = new_function<CallFunction>(retry_type, retry_call, user_function);
    self->callback = Py_NewRef(callback.ptr());
    self->exceptions = Py_NewRef(exceptions.ptr());
    self->attempts = Py_NewRef(n.ptr());
    return track(self);
}

} // namespace brelvox::decorators
