// brelvox.marketdata.brisel: instrument records and asset types by order_book_id.
#include "bridge.hpp"

#include "cache.hpp"

namespace brelvox::brisel {

namespace {

bool equal(nb::handle a, nb::handle b) {
    const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

// `s.lower()` in ("cash", "cny"). Only ASCII letters lower-case to these letters, so an
// ASCII case-blind comparison decides it without building the lower-cased copy.
bool names_cash(nb::handle id) {
    PyObject* s = id.ptr();
    if (!PyUnicode_IS_ASCII(s)) return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (n != 3 && n != 4) return false;
    const char* text = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(s));
    const char* want = n == 4 ? "cash" : "cny";
    for (Py_ssize_t k = 0; k < n; ++k) {
        char c = text[k];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != want[k]) return false;
    }
    return true;
}

// What `None.lower()` raises where the body lower-cases its argument.
[[noreturn]] void lower_none(nb::handle id) {
    nb::handle str_type(reinterpret_cast<PyObject*>(&PyUnicode_Type));
    str_type.attr("lower")(id);
    bridge::raise_error(PyExc_TypeError, "order_book_id must be a str");
}

nb::object getattr_or(nb::handle obj, const char* name, nb::handle fallback) {
    PyObject* value = PyObject_GetAttrString(obj.ptr(), name);
    if (value) return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    return nb::borrow(fallback);
}

void refresh_if_needed() {
    global("update_if_needed")();
}

// ---- records ----------------------------------------------------------------------------

nb::object fetch_instrument(nb::handle order_book_id) {
    nb::object code = type_cache().get_one(order_book_id);
    if (code.is_none()) {
        for (nb::handle getter : global("instrument_getters")) {
            nb::object record = getter(order_book_id);
            if (!record.is_none()) return record;
        }
        return nb::none();
    }
    nb::object api = bridge::client(module());
    const Codes& c = codes();
    if (equal(code, c.bond)) return api.attr("bond").attr("instruments")(order_book_id);
    if (equal(code, c.convertible))
        return api.attr("convertible").attr("instruments")(order_book_id);
    if (equal(code, c.fund)) return api.attr("fund").attr("instruments")(order_book_id);
    return api.attr("instruments")(order_book_id);
}

nb::object get_instrument(nb::handle order_book_id) {
    bridge::require_str_or_none(order_book_id, "order_book_id");
    refresh_if_needed();
    return global("_get_instrument")(order_book_id);
}

nb::dict get_instruments(nb::handle order_book_ids) {
    require_id_iterable(order_book_ids, "order_book_ids");
    nb::object ids = nb::steal(PySequence_Fast(
        order_book_ids.ptr(), "order_book_ids must be an iterable of order_book_id"));
    if (!ids.is_valid()) throw nb::python_error();
    refresh_if_needed();
    nb::object fetch = global("_get_instrument");
    nb::dict out;
    for (nb::handle id : ids) {
        nb::object record = fetch(id);
        const int truthy = PyObject_IsTrue(record.ptr());
        if (truthy < 0) throw nb::python_error();
        if (truthy) out[record.attr("order_book_id")] = record;
    }
    return out;
}

// ---- asset types ------------------------------------------------------------------------

nb::object get_asset_type(nb::handle order_book_id) {
    bridge::require_str_or_none(order_book_id, "order_book_id");
    if (order_book_id.is_none()) lower_none(order_book_id);
    if (names_cash(order_book_id)) return codes().cash;
    refresh_if_needed();
    return type_cache().get_one(order_book_id);
}

nb::dict get_asset_types(nb::handle order_book_ids) {
    require_id_iterable(order_book_ids, "order_book_ids");
    // Read the ids first: an argument that is no iterable fails before any client call.
    nb::object ids = nb::steal(PySequence_Fast(
        order_book_ids.ptr(), "order_book_ids must be an iterable of order_book_id"));
    if (!ids.is_valid()) throw nb::python_error();
    refresh_if_needed();
    return type_cache().get_many(ids);
}

// ---- predicates (memoised by the module) ------------------------------------------------

bool maybe_bond_index(nb::handle order_book_id) {
    bridge::require_str_or_none(order_book_id, "order_book_id");
    if (order_book_id.is_none()) nb::getattr(order_book_id, "startswith"); // AttributeError
    PyObject* s = order_book_id.ptr();
    nb::str prefix("KVX"), suffix(".INDX");
    const Py_ssize_t end = PY_SSIZE_T_MAX;
    const Py_ssize_t head = PyUnicode_Tailmatch(s, prefix.ptr(), 0, end, -1);
    if (head < 0) throw nb::python_error();
    if (!head) return false;
    const Py_ssize_t tail = PyUnicode_Tailmatch(s, suffix.ptr(), 0, end, 1);
    if (tail < 0) throw nb::python_error();
    return tail == 1;
}

bool maybe_bond(nb::handle order_book_id) {
    bridge::require_str_or_none(order_book_id, "order_book_id");
    return equal(global("get_asset_type")(order_book_id), codes().bond);
}

bool is_stock_index_and_have_weight(nb::handle order_book_id) {
    bridge::require_str_or_none(order_book_id, "order_book_id");
    nb::object api = bridge::client(module());
    try {
        return !api.attr("index_weights")(order_book_id).is_none();
    } catch (nb::python_error& e) {
        // The client's way of saying the id has no weights.
        if (!e.matches(PyExc_ValueError)) throw;
        return false;
    }
}

bool is_stock(nb::handle order_book_id) {
    bridge::require_str_or_none(order_book_id, "order_book_id");
    nb::object record = bridge::client(module()).attr("instruments")(order_book_id);
    if (record.is_none()) return false;
    return equal(getattr_or(record, "type", nb::str("")), nb::str("CS"));
}

// ---- module -----------------------------------------------------------------------------

Codes read_codes(nb::handle asset_type) {
    auto code = [&](const char* name) { return nb::getattr(asset_type, name); };
    return Codes{code("STOCK"), code("FUND"),   code("FUTURES"),
                 code("INDEX"), code("OPTION"), code("PUBLIC_FUND"),
                 code("CASH"),  code("BOND"),   code("CONVERTIBLE")};
}

void memoise(nb::module_& m, const char* name, int maxsize) {
    nb::object wrap = m.attr("lru_cache")("maxsize"_a = maxsize);
    m.attr(name) = wrap(m.attr(name));
}

} // namespace

} // namespace brelvox::brisel

NB_MODULE(brisel, m) {
    using namespace brelvox::brisel;
    namespace bridge = brelvox::bridge;
    bridge::publish_globals(m, {"time", "defaultdict", "lru_cache", "Dict", "Iterable", "List",
                                "Optional", "ondrax", "ondrax_fund", "AssetType", "logger"});
    nb::object api = m.attr("ondrax");
    nb::object asset_type = m.attr("AssetType");

    const bool assertions =
        nb::cast<int>(nb::module_::import_("sys").attr("flags").attr("optimize")) == 0;
    set_module(m, read_codes(asset_type), assertions);
    register_cache(m);

    const Codes& c = codes();
    nb::dict type_map;
    type_map["CS"] = c.stock;
    type_map["ETF"] = c.fund;
    type_map["LOF"] = c.fund;
    type_map["Future"] = c.futures;
    type_map["INDX"] = c.index;
    type_map["Option"] = c.option;
    m.attr("asset_type_map") = type_map;
    m.attr("_type_cache") = m.attr("AssetTypeCache")();

    bridge::def(m, "_update_type", &update_type,
                "Reload the asset-type table from the client's instrument catalogues.");
    bridge::def(m, "update_if_needed", &update_if_needed,
                "Reload the asset-type table when it has expired.");
    bridge::def(m, "_get_instrument", &fetch_instrument,
                "The client's record of one id, asked of the part its asset type names.",
                "order_book_id"_a.none());
    bridge::def(m, "get_instrument", &get_instrument,
                "The client's record of one order_book_id, or None.", "order_book_id"_a.none());
    bridge::def(m, "get_instruments", &get_instruments,
                "Records of the given ids, keyed by each record's own order_book_id.",
                "order_book_ids"_a.none());
    bridge::def(m, "get_asset_type", &get_asset_type,
                "The asset-type code of one order_book_id, or None when unknown.",
                "order_book_id"_a.none());
    bridge::def(m, "get_asset_types", &get_asset_types,
                "Asset-type codes of the known ids among those given.", "order_book_ids"_a.none());
    bridge::def(m, "maybe_bond_index", &maybe_bond_index,
                "Whether the id has the form of a bond index (KVX....INDX).",
                "order_book_id"_a.none());
    bridge::def(m, "maybe_bond", &maybe_bond, "Whether the id is stored as a bond.",
                "order_book_id"_a.none());
    bridge::def(m, "is_stock_index_and_have_weight", &is_stock_index_and_have_weight,
                "Whether the client has constituent weights for the index.",
                "order_book_id"_a.none());
    bridge::def(m, "is_stock", &is_stock,
                "Whether the client reports the id as a common stock (type CS).",
                "order_book_id"_a.none());

    memoise(m, "maybe_bond_index", 10240);
    memoise(m, "maybe_bond", 10240);
    memoise(m, "is_stock_index_and_have_weight", 1024);
    memoise(m, "is_stock", 1024);

    nb::list getters;
    getters.append(api.attr("convertible").attr("instruments"));
    getters.append(api.attr("fund").attr("instruments"));
    getters.append(api.attr("instruments"));
    m.attr("instrument_getters") = getters;
}
