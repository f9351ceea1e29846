#include "cache.hpp"

#include <string>
#include <vector>

namespace brelvox::brisel {

namespace {
nb::handle module_object;
// Never freed: the codes must outlive the interpreter's own teardown.
Codes* module_codes = nullptr;
bool assertions_enabled = true;
nb::handle defaultdict_type;

constexpr long kValiditySeconds = 21600;

// The items of any iterable, as a list or tuple we can index (no copy for those two).
nb::object fast_sequence(nb::handle iterable) {
    nb::object seq = nb::steal(
        PySequence_Fast(iterable.ptr(), "order_book_ids must be an iterable of order_book_id"));
    if (!seq.is_valid()) throw nb::python_error();
    return seq;
}

// The set of ids stored under `code`, created on first use; null with the error set.
PyObject* bucket_for(PyObject* typedict, PyObject* code) {
    PyObject* bucket = PyDict_GetItemWithError(typedict, code);
    if (bucket || PyErr_Occurred()) return bucket;
    nb::object fresh = nb::steal(PySet_New(nullptr));
    if (!fresh.is_valid() || PyDict_SetItem(typedict, code, fresh.ptr()) < 0) return nullptr;
    return fresh.ptr(); // the dict holds it now
}

int add_to(PyObject* bucket, PyObject* id) {
    if (PyAnySet_Check(bucket)) return PySet_Add(bucket, id);
    nb::object r = nb::steal(PyObject_CallMethod(bucket, "add", "O", id));
    return r.is_valid() ? 0 : -1;
}

// One column of a catalogue frame as a list of its objects (pandas' KeyError when absent).
nb::object column_objects(nb::handle frame, const char* name) {
    nb::object column = frame[name];
    if (nb::hasattr(column, "columns")) // a repeated column label: the first one holds
        column =
            column.attr("iloc")[nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), 0)];
    nb::object array = nb::hasattr(column, "to_numpy")
                           ? column.attr("to_numpy")("dtype"_a = "object")
                           : bridge::numpy().attr("asarray")(column, "dtype"_a = "object");
    if (nb::cast<int>(array.attr("ndim")) != 1) {
        bridge::raise_error(PyExc_ValueError,
                            "column '%s' of the instrument catalogue is not one-dimensional", name);
    }
    return array.attr("tolist")();
}

// Files each catalogue row whose client type is a key of `type_map`, in row order.
void classify(AssetTypeCache& cache, nb::handle ids, nb::handle types, nb::handle type_map) {
    if (!PyDict_Check(type_map.ptr()))
        bridge::raise_error(PyExc_TypeError, "asset_type_map must be a dict");
    const Py_ssize_t n = PyList_GET_SIZE(ids.ptr());
    if (PyList_GET_SIZE(types.ptr()) != n)
        bridge::raise_error(PyExc_ValueError,
                            "the instrument catalogue's columns differ in length");
    // Client types repeat a handful of values: remember the last one's code.
    // A handful of codes recur: keep each one's set of ids at hand (held here, so whatever
    // a row's __eq__ does to the map cannot free them).
    struct Slot {
        nb::object code, bucket;
    };
    std::vector<Slot> slots;
    slots.reserve(8);
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* found = PyDict_GetItemWithError(type_map.ptr(), PyList_GET_ITEM(types.ptr(), k));
        if (!found) {
            if (PyErr_Occurred()) throw nb::python_error();
            continue;
        }
        Slot* slot = nullptr;
        for (Slot& s : slots)
            if (s.code.ptr() == found) slot = &s;
        if (!slot) {
            if (found != Py_None && !PyUnicode_CheckExact(found))
                bridge::raise_arg_type("asset_type", "str", found);
            slot = &slots.emplace_back(Slot{nb::borrow(found), nb::object()});
        }
        cache.store(PyList_GET_ITEM(ids.ptr(), k), slot->code.ptr(), &slot->bucket);
    }
}

nb::object format_seconds(nb::handle seconds) {
    nb::object thousands = nb::str(",");
    nb::object text = nb::steal(PyObject_Format(seconds.ptr(), thousands.ptr()));
    if (!text.is_valid()) throw nb::python_error();
    return text;
}

nb::object subtract(nb::handle a, nb::handle b) {
    nb::object r = nb::steal(PyNumber_Subtract(a.ptr(), b.ptr()));
    if (!r.is_valid()) throw nb::python_error();
    return r;
}

nb::object add(nb::handle a, nb::handle b) {
    nb::object r = nb::steal(PyNumber_Add(a.ptr(), b.ptr()));
    if (!r.is_valid()) throw nb::python_error();
    return r;
}
} // namespace

const Codes& codes() {
    return *module_codes;
}
nb::handle module() {
    return module_object;
}
nb::object global(const char* name) {
    return nb::getattr(module_object, name);
}
nb::object now() {
    return global("time").attr("time")();
}

void require_id_iterable(nb::handle ids, const char* name) {
    if (PyUnicode_Check(ids.ptr())) {
        bridge::raise_error(PyExc_TypeError,
                            "%s must be an iterable of order_book_id, not a single str", name);
    }
}

// ---- AssetTypeCache ---------------------------------------------------------------------

AssetTypeCache::AssetTypeCache()
    : typedict_(defaultdict_type(nb::handle(reinterpret_cast<PyObject*>(&PySet_Type)))),
      otypedict_(nb::dict()), oset_(nb::steal(PySet_New(nullptr))), expire_(nb::int_(0)) {
    if (!oset_.is_valid()) throw nb::python_error();
}

bool AssetTypeCache::store(PyObject* id, PyObject* code, nb::object* bucket) {
    PyObject* oset = oset_.ptr();
    const Py_ssize_t before = PySet_GET_SIZE(oset);
    if (PySet_Add(oset, id) < 0) throw nb::python_error();
    if (PySet_GET_SIZE(oset) == before) return false;
    // Undo the membership if the entry cannot be completed, so _oset keeps matching.
    auto undo = [&](bool in_dict) {
        nb::python_error failure;
        if (in_dict) PyDict_DelItem(otypedict_.ptr(), id);
        PySet_Discard(oset, id);
        throw failure;
    };
    if (PyDict_SetItem(otypedict_.ptr(), id, code) < 0) undo(false);
    nb::object local;
    nb::object& slot = bucket ? *bucket : local;
    if (!slot.is_valid()) {
        PyObject* found = bucket_for(typedict_.ptr(), code);
        if (!found) undo(true);
        slot = nb::borrow(found);
    }
    if (add_to(slot.ptr(), id) < 0) undo(true);
    return true;
}

void AssetTypeCache::put_one(nb::handle order_book_id, nb::handle asset_type) {
    bridge::require_str_or_none(asset_type, "asset_type");
    store(order_book_id.ptr(), asset_type.ptr());
}

void AssetTypeCache::put_many(nb::handle order_book_ids, nb::handle asset_type) {
    bridge::require_str_or_none(asset_type, "asset_type");
    require_id_iterable(order_book_ids, "order_book_ids");
    nb::object seq = fast_sequence(order_book_ids);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
    PyObject** items = PySequence_Fast_ITEMS(seq.ptr());
    // An unhashable id refuses the whole call before anything is stored.
    for (Py_ssize_t k = 0; k < n; ++k)
        if (PyObject_Hash(items[k]) == -1) throw nb::python_error();
    nb::object bucket;
    for (Py_ssize_t k = 0; k < n; ++k) store(items[k], asset_type.ptr(), &bucket);
}

nb::object AssetTypeCache::get_one(nb::handle order_book_id) const {
    bridge::require_str_or_none(order_book_id, "order_book_id");
    if (assertions_enabled && order_book_id.is_none()) {
        PyErr_SetNone(PyExc_AssertionError);
        throw nb::python_error();
    }
    PyObject* code = PyDict_GetItemWithError(otypedict_.ptr(), order_book_id.ptr());
    if (!code && PyErr_Occurred()) throw nb::python_error();
    return code ? nb::borrow(code) : nb::none();
}

nb::dict AssetTypeCache::get_many(nb::handle order_book_ids) const {
    require_id_iterable(order_book_ids, "order_book_ids");
    nb::object seq = fast_sequence(order_book_ids);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
    PyObject** items = PySequence_Fast_ITEMS(seq.ptr());
    nb::dict out;
    PyObject* table = otypedict_.ptr();
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* code = PyDict_GetItemWithError(table, items[k]);
        if (!code) {
            if (PyErr_Occurred()) throw nb::python_error();
            continue;
        }
        if (PyDict_SetItem(out.ptr(), items[k], code) < 0) throw nb::python_error();
    }
    return out;
}

nb::list AssetTypeCache::get_asset_type(nb::handle asset_type) const {
    bridge::require_str_or_none(asset_type, "asset_type");
    PyObject* bucket = PyDict_GetItemWithError(typedict_.ptr(), asset_type.ptr());
    if (!bucket) {
        if (PyErr_Occurred()) throw nb::python_error();
        return nb::list();
    }
    nb::object ids = nb::steal(PySequence_List(bucket));
    if (!ids.is_valid()) throw nb::python_error();
    return nb::borrow<nb::list>(ids);
}

bool AssetTypeCache::contains(nb::handle item) const {
    const int found = PySet_Contains(oset_.ptr(), item.ptr());
    if (found < 0) throw nb::python_error();
    return found == 1;
}

bool AssetTypeCache::is_expired() const {
    nb::object clock = now();
    const int earlier = PyObject_RichCompareBool(expire_.ptr(), clock.ptr(), Py_LT);
    if (earlier < 0) throw nb::python_error();
    return earlier == 1;
}

// ---- the refresh ------------------------------------------------------------------------

AssetTypeCache& type_cache() {
    return cache_of(global("_type_cache"));
}

AssetTypeCache& cache_of(nb::handle cache) {
    AssetTypeCache* p = nullptr;
    if (!nb::try_cast<AssetTypeCache*>(cache, p) || !p) {
        bridge::raise_error(PyExc_TypeError, "_type_cache must be an AssetTypeCache, not %.200s",
                            Py_TYPE(cache.ptr())->tp_name);
    }
    return *p;
}

void update_type() {
    nb::object log = global("logger");
    log.attr("info")("start update instrument asset type cache");
    nb::object start = now();

    nb::object api = bridge::client(module_object);
    nb::object held = global("_type_cache"); // alive while we fill it, whatever rebinds the name
    AssetTypeCache& cache = cache_of(held);
    {
        nb::object listed = api.attr("all_instruments")();
        nb::object ids = column_objects(listed, "order_book_id");
        nb::object types = column_objects(listed, "type");
        classify(cache, ids, types, global("asset_type_map"));
    }
    {
        nb::object funds = api.attr("fund").attr("all_instruments")();
        cache.put_many(column_objects(funds, "order_book_id"), module_codes->public_fund);
    }
    cache.set_expire(add(now(), nb::int_(kValiditySeconds)));

    nb::object spent = subtract(now(), start);
    nb::str message = nb::str("finish update instrument asset type cache, spend {} s")
                          .format(format_seconds(spent));
    log.attr("info")(message);
}

void update_if_needed() {
    nb::object cache = global("_type_cache");
    nb::object expired = cache.attr("is_expired")();
    const int stale = PyObject_IsTrue(expired.ptr());
    if (stale < 0) throw nb::python_error();
    if (stale) global("_update_type")();
}

// ---- bindings ---------------------------------------------------------------------------

void set_module(nb::handle m, Codes&& c, bool assertions) {
    module_object = m;
    module_codes = new Codes(std::move(c));
    assertions_enabled = assertions;
}

void register_cache(nb::module_& m) {
    defaultdict_type =
        nb::object(nb::module_::import_("collections").attr("defaultdict")).release();
    nb::class_<AssetTypeCache>(m, "AssetTypeCache",
                               "Table from order_book_id to asset-type code; first write wins.")
        .def(nb::init<>())
        .def("put_one", &AssetTypeCache::put_one, "order_book_id"_a.none(), "asset_type"_a.none())
        .def("put_many", &AssetTypeCache::put_many, "order_book_ids"_a.none(),
             "asset_type"_a.none())
        .def("get_one", &AssetTypeCache::get_one, "order_book_id"_a.none())
        .def("get_many", &AssetTypeCache::get_many, "order_book_ids"_a.none())
        .def("get_asset_type", &AssetTypeCache::get_asset_type, "asset_type"_a.none())
        .def("__contains__", &AssetTypeCache::contains, "item"_a.none())
        .def("set_expire", &AssetTypeCache::set_expire, "at"_a.none())
        .def("is_expired", &AssetTypeCache::is_expired)
        .def_prop_ro("_typedict", [](const AssetTypeCache& c) { return c.typedict_; })
        .def_prop_ro("_otypedict", [](const AssetTypeCache& c) { return c.otypedict_; })
        .def_prop_ro("_oset", [](const AssetTypeCache& c) { return c.oset_; })
        .def_prop_rw(
            "_expire", [](const AssetTypeCache& c) { return c.expire_; },
            [](AssetTypeCache& c, nb::handle at) { c.set_expire(at); }, nb::arg("value").none());
    bridge::set_signature(m.attr("AssetTypeCache"), "()");
}

} // namespace brelvox::brisel
