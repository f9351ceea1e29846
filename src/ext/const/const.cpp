// brelvox.const: the package's string constants, grouped into classes used as namespaces.
//
// The classes are ordinary Python classes (metaclass `type`), made by calling `type` at
// import; only their methods are native.
#include "bridge.hpp"

#include <initializer_list>

namespace brelvox::constants {

namespace bridge = brelvox::bridge;

struct Member {
    const char* name;
    const char* value;
};

// ---- building classes -------------------------------------------------------------------

static nb::handle object_type() {
    return reinterpret_cast<PyObject*>(&PyBaseObject_Type);
}

static nb::object make_class(const char* name, nb::handle base, const char* doc,
                             std::initializer_list<Member> members) {
    nb::dict body;
    body["__module__"] = "brelvox.const";
    body["__qualname__"] = name;
    body["__doc__"] = doc;
    for (const Member& m : members) body[m.name] = m.value;
    nb::handle type = reinterpret_cast<PyObject*>(&PyType_Type);
    return type(name, nb::make_tuple(base), body);
}

// Wraps `fn` (a native function) in `classmethod` and binds it on `cls` as `name`. The
// scope gives the function its __module__ and __qualname__; nanobind also binds the bare
// function there, which the classmethod then replaces.
template <class F, class... Extra>
static void add_classmethod(nb::handle cls, const char* name, F&& fn, const Extra&... extra) {
    nb::object native =
        nb::cpp_function(std::forward<F>(fn), nb::scope(cls), nb::name(name), extra...);
    nb::object method = nb::steal(PyClassMethod_New(native.ptr()));
    if (!method.is_valid()) throw nb::python_error();
    nb::setattr(cls, name, method);
}

static void check(int status) {
    if (status < 0) throw nb::python_error();
}

// A global of this module, read at call time as the module's own code would read it.
static nb::object module_global(nb::handle module_ref, const char* name) {
    nb::object module = nb::steal(PyObject_CallNoArgs(module_ref.ptr()));
    if (!module.is_valid()) throw nb::python_error();
    if (module.is_none())
        bridge::raise_error(PyExc_RuntimeError, "brelvox.const is no longer loaded");
    PyObject* value = PyDict_GetItemString(PyModule_GetDict(module.ptr()), name);
    if (value == nullptr) {
        bridge::raise_error(PyExc_NameError, "name '%s' is not defined", name);
    }
    return nb::borrow(value);
}

// ---- Enum -------------------------------------------------------------------------------

// The member values of `cls`, cached in the class's own `_members` (never a parent's, so
// the answer does not depend on which class was asked first).
static nb::object member_values(nb::handle cls) {
    if (!PyType_Check(cls.ptr())) {
        bridge::raise_error(PyExc_TypeError, "members() must be called on a class, not '%.200s'",
                            Py_TYPE(cls.ptr())->tp_name);
    }
    nb::str key("_members");
    PyObject* own = reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_dict;
    PyObject* cached = PyDict_GetItemWithError(own, key.ptr());
    if (cached == nullptr && PyErr_Occurred()) throw nb::python_error();
    if (cached != nullptr && cached != Py_None) return nb::borrow(cached);

    nb::object listing = nb::steal(PyObject_Dir(cls.ptr()));
    if (!listing.is_valid()) throw nb::python_error();
    nb::list names;
    for (nb::handle name : listing) {
        if (!PyUnicode_Check(name.ptr())) continue;
        if (PyUnicode_GET_LENGTH(name.ptr()) > 0 && PyUnicode_READ_CHAR(name.ptr(), 0) == '_')
            continue;
        if (PyCallable_Check(nb::getattr(cls, name).ptr())) continue;
        names.append(name);
    }
    nb::object values = nb::steal(PyTuple_New(static_cast<Py_ssize_t>(nb::len(names))));
    if (!values.is_valid()) throw nb::python_error();
    Py_ssize_t k = 0;
    for (nb::handle name : names)
        PyTuple_SET_ITEM(values.ptr(), k++, nb::getattr(cls, name).release().ptr());
    nb::setattr(cls, key, values);
    return values;
}

static nb::object members(nb::handle cls) {
    nb::object fresh = nb::steal(PySequence_List(member_values(cls).ptr()));
    if (!fresh.is_valid()) throw nb::python_error();
    return fresh;
}

// Dispatches through the class, so a subclass that redefines members() is honoured.
static nb::object listed_members(nb::handle cls) {
    return cls.attr("members")();
}

static bool contains(nb::handle cls, nb::handle k) {
    int found = PySequence_Contains(listed_members(cls).ptr(), k.ptr());
    check(found);
    return found == 1;
}

[[noreturn]] static void refuse_construction(nb::args, nb::kwargs) {
    bridge::raise_error(PyExc_RuntimeError, "enum not callable");
}

static nb::object make_enum_base() {
    nb::object cls = make_class(
        "Enum", object_type(),
        "Base of the constant namespaces: members are the public non-callable attributes.", {});
    nb::setattr(cls, "_members", nb::none());
    nb::object refuse =
        nb::cpp_function(&refuse_construction, nb::scope(cls), nb::name("__new__"),
                         nb::sig("def __new__(cls, *args, **kwargs) -> typing.NoReturn"));
    nb::setattr(cls, "__new__", nb::steal(PyStaticMethod_New(refuse.ptr())));
    add_classmethod(cls, "members", &members, nb::sig("def members(cls) -> list[str]"),
                    "Values of the class's members, ordered by member name; a new list.");
    add_classmethod(cls, "contains", &contains, "cls"_a, "k"_a.none(),
                    nb::sig("def contains(cls, k: object) -> bool"),
                    "Whether `k` equals one of the member values.");
    bridge::set_signature(cls, "(*args, **kwargs)");
    return cls;
}

// ---- AssetType --------------------------------------------------------------------------

static const char* const kEquity[] = {"STOCK", "FUND", "INDEX"};

static bool is_equity(nb::handle cls, nb::handle asset_type) {
    bridge::require_str_or_none(asset_type, "asset_type");
    for (const char* name : kEquity) {
        int equal = PyObject_RichCompareBool(asset_type.ptr(), nb::getattr(cls, name).ptr(), Py_EQ);
        check(equal);
        if (equal) return true;
    }
    return false;
}

static nb::list equity(nb::handle cls) {
    nb::list out;
    for (const char* name : kEquity) out.append(nb::getattr(cls, name));
    return out;
}

static bool truthy(nb::handle value) {
    int yes = PyObject_IsTrue(value.ptr());
    check(yes);
    return yes == 1;
}

// Writes `value` and a newline to the current sys.stdout, as print() does.
static void print_line(nb::handle value) {
    PyObject* out = PySys_GetObject("stdout");
    if (out == nullptr) bridge::raise_error(PyExc_RuntimeError, "lost sys.stdout");
    if (out == Py_None) return;
    nb::object stream = nb::borrow(out);
    check(PyFile_WriteObject(value.ptr(), stream.ptr(), Py_PRINT_RAW));
    check(PyFile_WriteString("\n", stream.ptr()));
}

static nb::object chinese(nb::handle module_ref, nb::handle asset_type) {
    nb::object table = module_global(module_ref, "AssetTypeChinese");
    nb::object name;
    if (PyDict_CheckExact(table.ptr())) {
        PyObject* found = PyDict_GetItemWithError(table.ptr(), asset_type.ptr());
        if (found == nullptr && PyErr_Occurred()) throw nb::python_error();
        if (found != nullptr) name = nb::borrow(found);
    } else {
        name = table.attr("get")(asset_type);
    }
    if (name.is_valid() && !name.is_none()) return name;
    if (truthy(asset_type.attr("endswith")("_otc"))) return nb::str("非标资产");
    nb::str hk("hk_stock");
    int has_hk = PySequence_Contains(asset_type.ptr(), hk.ptr());
    check(has_hk);
    if (has_hk) return nb::str("港股");
    print_line(asset_type);
    return nb::str("其他");
}

static void add_asset_type_methods(nb::handle cls, nb::handle module_ref) {
    add_classmethod(cls, "is_equity", &is_equity, "cls"_a, "asset_type"_a.none(),
                    nb::sig("def is_equity(cls, asset_type: str | None) -> bool"),
                    "Whether the code is that of a stock, an exchange-traded fund or an index.");
    add_classmethod(cls, "equity", &equity, nb::sig("def equity(cls) -> list[str]"),
                    "The equity codes: stock, fund, index.");
    nb::object ref = nb::borrow(module_ref);
    add_classmethod(
        cls, "chinese",
        [ref](nb::handle, nb::handle asset_type) { return chinese(ref, asset_type); }, "cls"_a,
        "asset_type"_a.none(), nb::sig("def chinese(cls, asset_type: str) -> str"),
        "Chinese display name of an asset-type code; an unknown code is printed and "
        "named \"其他\".");
}

// ---- MongoCollections -------------------------------------------------------------------

static nb::list all_members(nb::handle module_ref, nb::handle cls) {
    nb::list out = nb::steal<nb::list>(PySequence_List(listed_members(cls).ptr()));
    if (!out.is_valid()) throw nb::python_error();
    nb::object standards = listed_members(module_global(module_ref, "BrinsonStandard"));
    nb::str prefix("brinson_industry_");
    for (nb::handle standard : standards) {
        nb::object name = nb::steal(PyUnicode_Concat(prefix.ptr(), standard.ptr()));
        if (!name.is_valid()) throw nb::python_error();
        out.append(name);
    }
    return out;
}

} // namespace brelvox::constants

NB_MODULE(const, m) {
    using namespace brelvox::constants;
    m.attr("__doc__") = "String constants of the package, grouped into classes used as namespaces.";
    // Functions reach the module's globals through a weak reference: the module owns them.
    nb::object module_ref = nb::steal(PyWeakref_NewRef(m.ptr(), nullptr));
    if (!module_ref.is_valid()) throw nb::python_error();

    bridge::publish_globals(m, {"List"});

    nb::object base = make_enum_base();
    m.attr("Enum") = base;

    nb::object asset_type = make_class("AssetType", base, "Asset-type codes of instruments.",
                                       {{"BOND", "bond"},
                                        {"STOCK", "stock"},
                                        {"FUND", "fund"},
                                        {"FUTURES", "futures"},
                                        {"INDEX", "index"},
                                        {"CASH", "cash"},
                                        {"PUBLIC_FUND", "public_fund"},
                                        {"OPTION", "option"},
                                        {"CONVERTIBLE", "convertible"},
                                        {"HK_STOCK", "hk_stock"},
                                        {"OTC", "otc"}});
    add_asset_type_methods(asset_type, module_ref);
    m.attr("AssetType") = asset_type;

    // Keyed by the member values, so the table always follows AssetType.
    nb::dict chinese_names;
    chinese_names["fixed_income"] = "债券";
    for (Member entry :
         {Member{"BOND", "债券"}, Member{"FUND", "基金"}, Member{"FUTURES", "期货"},
          Member{"INDEX", "指数"}, Member{"CASH", "现金"}, Member{"STOCK", "股票"},
          Member{"OPTION", "期权"}, Member{"PUBLIC_FUND", "基金"}, Member{"CONVERTIBLE", "可转债"},
          Member{"HK_STOCK", "港股"}, Member{"OTC", "非标资产"}})
        chinese_names[nb::getattr(asset_type, entry.name)] = entry.value;
    m.attr("AssetTypeChinese") = chinese_names;

    m.attr("BenchmarkType") = make_class("BenchmarkType", base, "What a benchmark is made of.",
                                         {{"INDEX", "index"},
                                          {"MIXED_INDEX", "mixed_index"},
                                          {"YIELD_RATE", "yield_rate"},
                                          {"CASH", "cash"}});
    m.attr("AnalysisModel") =
        make_class("AnalysisModel", base, "Attribution models, as asset class/model name.",
                   {{"BRINSON", "equity/brinson"},
                    {"FACTOR", "equity/factor"},
                    {"FACTOR_V2", "equity/factor_v2"},
                    {"BOND_FACTOR", "fixed_income/factor"},
                    {"CAMPISI", "fixed_income/campisi"},
                    {"HEDGING", "equity/hedging"}});
    m.attr("StockFactorModel") =
        make_class("StockFactorModel", base, "Versions of the stock factor model.",
                   {{"V1", "v1"}, {"V2", "v2"}});

    nb::object collections =
        make_class("MongoCollections", base,
                   "Document-store collections holding precomputed benchmark results.",
                   {{"BENCHMARK_HOLDING_RETURNS", "benchmark_holding_returns"},
                    {"BENCHMARK_FACTOR", "benchmark_factor_v2"},
                    {"BENCHMARK_CAMPISI", "benchmark_campisi"},
                    {"BENCHMARK_BOND_FACTOR", "benchmark_bond_factor_attributions"}});
    add_classmethod(
        collections, "all_members",
        [module_ref](nb::handle cls) { return all_members(module_ref, cls); },
        nb::sig("def all_members(cls) -> list[str]"),
        "Every collection name: the benchmark collections, then one Brinson collection per "
        "classification standard.");
    m.attr("MongoCollections") = collections;

    m.attr("BrinsonStandard") =
        make_class("BrinsonStandard", base, "Classification standards of Brinson attribution.",
                   {{"SHENWAN", "sws"},
                    {"ZHONGXIN", "citics"},
                    {"TRANSACTION_TYPE", "transaction_type"},
                    {"ASSET_CLASS", "asset_class"},
                    {"NATION_ECON", "nation_economic"},
                    {"BOND_SECTOR1", "bond_sector1"},
                    {"BOND_SECTOR2", "bond_sector2"},
                    {"FUTURES_VARIETIES", "futures_varieties"}});
    m.attr("IndustryStandard") =
        make_class("IndustryStandard", object_type(), "The two industry standards.",
                   {{"sws", "sws"}, {"citics", "citics"}});
}
