// Shared pieces of brelvox.utils.decorators: the native types and the objects the module
// creates once at import.
#pragma once

#include "bridge.hpp"

namespace brelvox::decorators {

// Objects created once when the module is loaded; they live as long as the interpreter.
struct ModuleObjects {
    PyObject* module_dict = nullptr; // globals of the module: `time` is read from here
    PyObject* kwd_mark = nullptr;    // (object(),): separates positional from keyword parts
    PyObject* fasttypes = nullptr;   // frozenset({int, str})
    PyObject* missing = nullptr;     // marker of a value not cached yet
    PyObject* builtin_hash = nullptr;
    PyTypeObject* hashed_seq = nullptr;
    PyObject* str_time = nullptr;
    PyObject* str_dict = nullptr;
    PyObject* str_name = nullptr;
    PyObject* str_func = nullptr;
    PyObject* str_get = nullptr;
    PyObject* str_qualname = nullptr;
};
extern ModuleObjects objects;

// ---- keys ---------------------------------------------------------------------------------

// Creates `_HashedSeq` (a list subclass that hashes its contents once).
PyTypeObject* make_hashed_seq_type();
// A new `_HashedSeq` holding `items` (borrowed), hashed as the tuple of them would be.
PyObject* new_hashed_seq(PyObject* const* items, Py_ssize_t n);
// The key of a call given as a vectorcall argument array; new reference, null on error.
PyObject* call_key(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, bool typed);
// The module function `_make_key` on Python objects.
nb::object make_key(nb::handle args, nb::handle kwds, nb::handle typed, nb::handle kwd_mark,
                    nb::handle fasttypes);

// ---- the clock ----------------------------------------------------------------------------

// time.time() of the module's `time` global, looked up as it stands now (so a patched clock
// is seen); a new reference, null on error.
PyObject* read_clock();

// ---- callables ----------------------------------------------------------------------------

void init_function_types();

// The decorator a factory returns: calls body(captured, argument) with its one argument.
using DecoratorBody = nb::object (*)(nb::handle captured, nb::handle argument);
void init_decorator_type();
nb::object new_decorator(const char* qualname, const char* argname, DecoratorBody body,
                         nb::object captured);

// The bare ttl-caching callable, its `clear_cache` attached.
nb::object new_cache_wrapper(nb::handle user_function, nb::handle ttl, nb::handle typed);
// Points `wrapper.clear_cache` back at its own cache.
void reattach_clear_cache(nb::handle wrapper);
nb::object new_capture_wrapper(nb::handle user_function, nb::handle callback);
nb::object new_retry_wrapper(nb::handle user_function, nb::handle n, nb::handle exceptions,
                             nb::handle callback);

PyTypeObject* make_cached_property_type();

// ---- C-API helpers --------------------------------------------------------------------------

// Runs `body` inside a C slot: a Python error stays set, any other C++ failure becomes a
// Python error with a neutral message; `failed` is what the slot returns then.
template <class Body, class R> R guarded(Body&& body, R failed) noexcept {
    try {
        return body();
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "internal error in brelvox.utils.decorators");
    }
    return failed;
}

// Python truth of `value` (errors raised).
inline bool truthy(nb::handle value) {
    int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0) throw nb::python_error();
    return truth != 0;
}

// The pending exception (normalised, traceback attached), cleared; a new reference.
PyObject* take_exception();
// Raises `exception` again (steals the reference).
void raise_exception(PyObject* exception);

// Positional tuple and keyword dict of a vectorcall.
nb::object args_tuple(PyObject* const* args, Py_ssize_t nargs);
nb::object kwargs_dict(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

} // namespace brelvox::decorators
