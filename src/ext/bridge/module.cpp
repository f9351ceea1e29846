#include "module.hpp"

#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

namespace brelvox::bridge {

namespace {
// Imported once: a module stays in the interpreter for good, and a fresh import on every
// call costs more than many a small request's whole arithmetic.
nb::module_ imported_once(PyObject*& slot, const char* name) {
    if (!slot) {
        slot = PyImport_ImportModule(name); // reference kept for the interpreter's life
        if (!slot) throw nb::python_error();
    }
    return nb::borrow<nb::module_>(slot);
}
PyObject* pandas_module = nullptr;
PyObject* numpy_module = nullptr;

// Each exported function's `self` is a small module whose state holds the callable: a
// module `self` is what makes the function read as a plain builtin function.
PyObject* forward_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto* callable = *static_cast<PyObject**>(PyModule_GetState(self));
    return PyObject_Vectorcall(callable, args, static_cast<size_t>(nargs), kwnames);
}

// Where each published global comes from: its key, the name it is bound to, and (module,
// attribute or null for the module itself). A key differs from its name only where two
// modules bind one name to different objects (`datetime` the module or the class).
struct Global {
    const char* key;
    const char* name;
    const char* module;
    const char* attribute;
};
constexpr Global kGlobals[] = {
    {"pd", "pd", "pandas", nullptr},
    {"np", "np", "numpy", nullptr},
    {"DatetimeIndex", "DatetimeIndex", "pandas", "DatetimeIndex"},
    {"ondrax", "ondrax", "ondrax", nullptr},
    {"ondrax_fund", "ondrax_fund", "ondrax_fund", nullptr},
    {"bisect", "bisect", "bisect", nullptr},
    {"time", "time", "time", nullptr},
    {"re", "re", "re", nullptr},
    {"itertools", "itertools", "itertools", nullptr},
    {"json", "json", "json", nullptr},
    {"uuid", "uuid", "uuid", nullptr},
    {"datetime", "datetime", "datetime", nullptr},
    {"datetime.datetime", "datetime", "datetime", "datetime"},
    {"datetime.date", "date", "datetime", "date"},
    {"Datetime", "Datetime", "datetime", "datetime"},
    {"Date", "Date", "datetime", "date"},
    {"Any", "Any", "typing", "Any"},
    {"Callable", "Callable", "typing", "Callable"},
    {"Dict", "Dict", "typing", "Dict"},
    {"Iterable", "Iterable", "typing", "Iterable"},
    {"List", "List", "typing", "List"},
    {"Optional", "Optional", "typing", "Optional"},
    {"Sequence", "Sequence", "typing", "Sequence"},
    {"Tuple", "Tuple", "typing", "Tuple"},
    {"Union", "Union", "typing", "Union"},
    {"defaultdict", "defaultdict", "collections", "defaultdict"},
    {"lru_cache", "lru_cache", "functools", "lru_cache"},
    {"wraps", "wraps", "functools", "wraps"},
    {"update_wrapper", "update_wrapper", "functools", "update_wrapper"},
    {"MissingData", "MissingData", "brelvox.exceptions", "MissingData"},
    {"UnknownAssets", "UnknownAssets", "brelvox.exceptions", "UnknownAssets"},
    {"DateConvertible", "DateConvertible", "brelvox.types", "DateConvertible"},
    {"AssetType", "AssetType", "brelvox.const", "AssetType"},
    {"logger", "logger", "brelvox.logger", "logger"},
    {"maybe_reindex", "maybe_reindex", "brelvox.utils.frevo", "maybe_reindex"},
    {"convert_date_to_int", "convert_date_to_int", "brelvox.utils.format", "convert_date_to_int"},
    {"ttl_cache", "ttl_cache", "brelvox.utils.decorators", "ttl_cache"},
};
} // namespace

nb::module_ pandas() {
    return imported_once(pandas_module, "pandas");
}
nb::module_ numpy() {
    return imported_once(numpy_module, "numpy");
}

nb::object client(nb::handle module) {
    return nb::getattr(module, "ondrax");
}

namespace detail {
void add_parameter(std::string& signature, const char* name, const nb::object* default_value) {
    if (signature.size() > 1) signature += ", ";
    signature += name;
    if (default_value) {
        // a literal as itself; any other object has no text form inspect could read back
        nb::handle value = *default_value;
        bool literal = value.is_none() || PyBool_Check(value.ptr()) ||
                       PyLong_CheckExact(value.ptr()) || PyFloat_CheckExact(value.ptr()) ||
                       PyUnicode_CheckExact(value.ptr());
        signature += "=";
        signature += literal ? nb::cast<std::string>(nb::repr(value)) : std::string("...");
    }
}
} // namespace detail

// CPython reads a builtin's signature from the head of its internal doc, "name(...)\n--\n\n",
// and leaves it out of __doc__ (None when nothing follows).
static const char* internal_doc(const char* name, const char* doc, const std::string& signature) {
    if (signature.empty()) return doc;
    std::string text = std::string(name) + signature + "\n--\n\n" + (doc ? doc : "");
    return strdup(text.c_str());
}

void export_function(nb::module_& module, const char* name, nb::object callable, const char* doc,
                     const std::string& signature) {
    // Deliberately never freed: module functions live as long as the interpreter.
    std::string qualified = nb::cast<std::string>(module.attr("__name__")) + "." + name;
    auto* method = new PyMethodDef{
        name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&forward_call)),
        METH_FASTCALL | METH_KEYWORDS, internal_doc(name, doc, signature)};
    auto* def = new PyModuleDef{PyModuleDef_HEAD_INIT,
                                strdup(qualified.c_str()),
                                nullptr,
                                sizeof(PyObject*),
                                nullptr,
                                nullptr,
                                nullptr,
                                nullptr,
                                nullptr};
    nb::object holder = nb::steal(PyModule_Create(def));
    if (!holder.is_valid()) throw nb::python_error();
    *static_cast<PyObject**>(PyModule_GetState(holder.ptr())) = callable.release().ptr();
    nb::object module_name = module.attr("__name__");
    nb::object func = nb::steal(PyCFunction_NewEx(method, holder.ptr(), module_name.ptr()));
    if (!func.is_valid()) throw nb::python_error();
    module.attr(name) = func;
}

static PyObject* never_called(PyObject*, PyObject*) {
    Py_RETURN_NONE;
}

void set_signature(nb::handle cls, const char* signature) {
    // The text form is read back by inspect itself, from a throwaway builtin that carries it.
    std::string doc = std::string("f") + signature + "\n--\n\n";
    PyMethodDef def{"f", &never_called, METH_VARARGS, doc.c_str()};
    nb::object carrier = nb::steal(PyCFunction_NewEx(&def, nullptr, nullptr));
    if (!carrier.is_valid()) throw nb::python_error();
    nb::object parsed = nb::module_::import_("inspect").attr("signature")(carrier);
    carrier.reset();
    nb::setattr(cls, "__signature__", parsed);
}

void publish_globals(nb::module_& module, std::initializer_list<const char*> keys) {
    for (const char* key : keys) {
        const Global* found = nullptr;
        for (const Global& g : kGlobals)
            if (std::strcmp(g.key, key) == 0) found = &g;
        if (!found) throw std::logic_error(std::string("no published global keyed ") + key);
        nb::object value = nb::module_::import_(found->module);
        if (found->attribute) value = value.attr(found->attribute);
        module.attr(found->name) = value;
    }
}

} // namespace brelvox::bridge
