// brelvox.marketdata.sorvan: the industry of each stock on each date, under the Shenwan
// ("sws") and CITIC ("citics") first-level classifications.
#include "sorvan.hpp"

#include <datetime.h>
#include <structmember.h>

#include "industry_lookup.hpp"

namespace brelvox::sorvan {

static nb::handle module_handle;

nb::handle module() {
    return module_handle;
}

nb::object now() {
    return module_handle.attr("time").attr("time")();
}

nb::object make_date(int year, int month, int day) {
    PyObject* date = PyDate_FromDate(year, month, day);
    if (!date) throw nb::python_error();
    return nb::steal(date);
}

bool date_day(PyObject* value, std::int32_t& day) {
    if (!PyDate_Check(value)) return false;
    day = core::days_from_civil(PyDateTime_GET_YEAR(value),
                                static_cast<unsigned>(PyDateTime_GET_MONTH(value)),
                                static_cast<unsigned>(PyDateTime_GET_DAY(value)));
    return true;
}

// ---- Cache: the holder of one industry table and the time it expires ----------------------

namespace {

struct CacheObject {
    PyObject_HEAD PyObject* expire;
    PyObject* data;
};

int cache_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"data", nullptr};
    PyObject* data = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Cache", const_cast<char**>(keywords), &data))
        return -1;
    auto* holder = reinterpret_cast<CacheObject*>(self);
    Py_INCREF(data);
    Py_XSETREF(holder->data, data);
    try {
        nb::object stamp = now();
        Py_XSETREF(holder->expire, stamp.release().ptr());
    } catch (nb::python_error& e) {
        e.restore();
        return -1;
    }
    return 0;
}

int cache_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* holder = reinterpret_cast<CacheObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(holder->expire);
    Py_VISIT(holder->data);
    return 0;
}

int cache_clear(PyObject* self) {
    auto* holder = reinterpret_cast<CacheObject*>(self);
    Py_CLEAR(holder->expire);
    Py_CLEAR(holder->data);
    return 0;
}

void cache_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    cache_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef cache_members[] = {
    {"expire", T_OBJECT_EX, offsetof(CacheObject, expire), 0, nullptr},
    {"data", T_OBJECT_EX, offsetof(CacheObject, data), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot cache_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(&cache_init)},
    {Py_tp_traverse, reinterpret_cast<void*>(&cache_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&cache_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&cache_dealloc)},
    {Py_tp_members, cache_members},
    {0, nullptr},
};

PyType_Spec cache_spec = {"brelvox.marketdata.sorvan.Cache", sizeof(CacheObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                          cache_slots};

nb::object make_cache_type() {
    nb::object type = nb::steal(PyType_FromSpec(&cache_spec));
    if (!type.is_valid()) throw nb::python_error();
    // Instances carry these two attributes and nothing else, as a slotted class would.
    type.attr("__slots__") = nb::make_tuple("expire", "data");
    bridge::set_signature(type, "(data)");
    return type;
}

} // namespace

} // namespace brelvox::sorvan

NB_MODULE(sorvan, m) {
    using namespace brelvox::sorvan;
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw nb::python_error();
    module_handle = m;

    bridge::publish_globals(
        m, {"time", "defaultdict", "Datetime", "Date", "pd", "ondrax", "ttl_cache"});

    m.attr("END_DATE") = make_date(9999, 12, 31);
    m.attr("START_DATE") = make_date(1990, 1, 1);
    nb::object cache_type = make_cache_type();
    m.attr("Cache") = cache_type;
    m.attr("_sw_cache") = cache_type(nb::dict());
    m.attr("_zx_cache") = cache_type(nb::dict());

    register_tables(m);
    register_listing(m);
    register_lookup(m);
}
