// brelvox.utils.decorators: a time-limited result cache, exception capture, retry and
// property helpers.
#include "native.hpp"

namespace brelvox::decorators {

namespace bridge = brelvox::bridge;

ModuleObjects objects;

namespace {

// A module global, read when needed (as the functions of a Python module read theirs).
nb::object global(const char* name) {
    PyObject* value = PyDict_GetItemString(objects.module_dict, name);
    if (!value) {
        bridge::raise_error(PyExc_NameError, "name '%s' is not defined", name);
    }
    return nb::borrow(value);
}

// What the inner decorators do, given the values their factory was called with.

nb::object decorate_with_cache(nb::handle factory_args, nb::handle user_function) {
    nb::object wrapper = new_cache_wrapper(user_function, factory_args[0], factory_args[1]);
    nb::object result = global("update_wrapper")(wrapper, user_function);
    // The attribute copy above brings along the `clear_cache` of a function that is itself
    // cached; this function's own cache is the one its `clear_cache` must empty.
    reattach_clear_cache(wrapper);
    return result;
}

nb::object decorate_with_capture(nb::handle factory_args, nb::handle user_func) {
    nb::object wrapper = new_capture_wrapper(user_func, factory_args[0]);
    return global("wraps")(user_func)(wrapper);
}

nb::object decorate_with_retry(nb::handle factory_args, nb::handle user_func) {
    nb::object wrapper =
        new_retry_wrapper(user_func, factory_args[0], factory_args[1], factory_args[2]);
    return global("wraps")(user_func)(wrapper);
}

nb::object copy_doc(nb::handle factory_args, nb::handle to) {
    nb::handle fr = factory_args[0];
    nb::list attrs;
    attrs.append("__doc__");
    if (truthy(factory_args[1])) attrs.append("__annotations__");
    for (nb::handle name : attrs) {
        PyObject* value = PyObject_GetAttr(fr.ptr(), name.ptr());
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
            PyErr_Clear();
            continue;
        }
        int rc = PyObject_SetAttr(to.ptr(), name.ptr(), value);
        Py_DECREF(value);
        if (rc < 0) throw nb::python_error();
    }
    return nb::borrow(to);
}

// The factories.

nb::object ttl_cache(nb::handle ttl, nb::handle typed) {
    bool positive = false;
    if (PyLong_Check(ttl.ptr())) {
        nb::object zero = nb::int_(0);
        int gt = PyObject_RichCompareBool(ttl.ptr(), zero.ptr(), Py_GT);
        if (gt < 0) throw nb::python_error();
        positive = gt == 1;
    }
    if (!positive) {
        PyErr_SetString(PyExc_TypeError, "Expected ttl to be a positive integer");
        throw nb::python_error();
    }
    return new_decorator("ttl_cache.<locals>.decorating_function", "user_function",
                         decorate_with_cache, nb::make_tuple(ttl, typed));
}

nb::object exception_capture(nb::handle callback) {
    return new_decorator("exception_capture.<locals>.decorator", "user_func", decorate_with_capture,
                         nb::make_tuple(callback));
}

bool assertions_enabled() {
    nb::object flags = nb::module_::import_("sys").attr("flags");
    return !truthy(flags.attr("optimize"));
}

nb::object retry(nb::handle n, nb::handle exceptions, nb::handle callback) {
    if (assertions_enabled()) {
        nb::object one = nb::int_(1);
        int gt = PyObject_RichCompareBool(n.ptr(), one.ptr(), Py_GT);
        if (gt < 0) throw nb::python_error();
        if (!gt) {
            PyErr_SetNone(PyExc_AssertionError);
            throw nb::python_error();
        }
    }
    return new_decorator("retry.<locals>.decorator", "user_func", decorate_with_retry,
                         nb::make_tuple(n, exceptions, callback));
}

nb::object update_doc(nb::handle fr, nb::handle annotation) {
    return new_decorator("update_doc.<locals>.decorator", "to", copy_doc,
                         nb::make_tuple(fr, annotation));
}

PyObject* interned(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) throw nb::python_error();
    return s;
}

void create_module_objects(nb::module_& m) {
    objects.module_dict = Py_NewRef(PyModule_GetDict(m.ptr()));
    nb::object object_type = nb::borrow(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    objects.kwd_mark = nb::make_tuple(object_type()).release().ptr();
    objects.fasttypes =
        PyFrozenSet_New(nb::make_tuple(nb::handle(reinterpret_cast<PyObject*>(&PyLong_Type)),
                                       nb::handle(reinterpret_cast<PyObject*>(&PyUnicode_Type)))
                            .ptr());
    if (!objects.fasttypes) throw nb::python_error();
    objects.missing = object_type().release().ptr();
    objects.builtin_hash =
        nb::object(nb::module_::import_("builtins").attr("hash")).release().ptr();
    objects.str_time = interned("time");
    objects.str_dict = interned("__dict__");
    objects.str_name = interned("__name__");
    objects.str_func = interned("func");
    objects.str_get = interned("get");
    objects.str_qualname = interned("__qualname__");
    objects.hashed_seq = make_hashed_seq_type();
    init_function_types();
    init_decorator_type();
}

} // namespace

} // namespace brelvox::decorators

NB_MODULE(decorators, m) {
    using namespace brelvox::decorators;
    m.doc() = "Call decorators: a time-limited result cache, exception capture, retry and "
              "property helpers.";
    bridge::publish_globals(
        m, {"time", "wraps", "update_wrapper", "Callable", "Any", "Tuple", "Optional"});
    nb::module_ typing = nb::module_::import_("typing");
    create_module_objects(m);

    // The time-limited cache.
    m.attr("_HashedSeq") = nb::handle(reinterpret_cast<PyObject*>(objects.hashed_seq));
    {
        // the default is the builtin hash itself, which a text signature cannot spell
        nb::object cls = m.attr("_HashedSeq");
        bridge::set_signature(cls, "(tup, hash=None)");
        nb::object sig = cls.attr("__signature__");
        nb::object params = sig.attr("parameters");
        nb::object hash_param = params["hash"].attr("replace")(
            "default"_a = nb::module_::import_("builtins").attr("hash"));
        cls.attr("__signature__") =
            sig.attr("replace")("parameters"_a = nb::make_tuple(params["tup"], hash_param));
    }
    bridge::def(m, "_make_key", &make_key, nullptr, nb::arg("args").none(), nb::arg("kwds").none(),
                nb::arg("typed").none(), nb::arg("kwd_mark").none() = nb::borrow(objects.kwd_mark),
                nb::arg("fasttypes").none() = nb::borrow(objects.fasttypes));
    bridge::def(m, "ttl_cache", &ttl_cache,
                "Memoise a function; each entry expires `ttl` seconds after it was "
                "stored. `typed` keys equal arguments of different types apart.",
                nb::arg("ttl").none(), nb::arg("typed").none() = false);
    bridge::def(m, "_ttl_cache_wrapper", &new_cache_wrapper, nullptr,
                nb::arg("user_function").none(), nb::arg("ttl").none(), nb::arg("typed").none());

    // Retry, exception capture and property helpers.
    nb::list callback_params;
    callback_params.append(nb::handle(PyExc_Exception));
    callback_params.append(nb::handle(reinterpret_cast<PyObject*>(&PyTuple_Type)));
    callback_params.append(nb::handle(reinterpret_cast<PyObject*>(&PyDict_Type)));
    m.attr("_ERROR_CALLBACK") =
        typing.attr("Callable")[nb::make_tuple(callback_params, typing.attr("Any"))];
    bridge::def(m, "exception_capture", &exception_capture,
                "On an Exception from the decorated function, return "
                "callback(exception, args, kwargs) instead.",
                nb::arg("callback").none());
    bridge::def(m, "retry", &retry,
                "Call the decorated function up to `n` times while it raises one of "
                "`exceptions`; callback(exception, args, kwargs) runs after each "
                "failure.",
                nb::arg("n").none(), nb::arg("exceptions").none(),
                nb::arg("callback").none() = nb::none());
    m.attr("_missing") = nb::handle(objects.missing);
    m.attr("cached_property") = nb::steal(reinterpret_cast<PyObject*>(make_cached_property_type()));
    bridge::set_signature(m.attr("cached_property"), "(func, name=None, doc=None)");
    bridge::def(m, "update_doc", &update_doc,
                "Copy the docstring (and, with `annotation`, the annotations) of "
                "`fr` onto the decorated function.",
                nb::arg("fr").none(), nb::arg("annotation").none() = true);
}
