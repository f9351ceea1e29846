// brelvox.utils.frevo: small frame and index helpers shared by the data modules.
#include "bridge.hpp"

#include <datetime.h>

namespace brelvox::frevo {

namespace bridge = brelvox::bridge;
using bridge::checked;
using bridge::truthy;
static nb::handle module_handle;

namespace {

// Whether the two collections hold the same labels, duplicates and order aside.
bool same_label_set(nb::handle current, nb::handle wanted) {
    nb::object have = checked(PySet_New(current.ptr()));
    nb::object want = checked(PySet_New(wanted.ptr()));
    if (PySet_GET_SIZE(have.ptr()) != PySet_GET_SIZE(want.ptr())) return false;
    nb::object it = checked(PyObject_GetIter(want.ptr()));
    while (PyObject* label = PyIter_Next(it.ptr())) {
        const int found = PySet_Contains(have.ptr(), label);
        Py_DECREF(label);
        if (found < 0) throw nb::python_error();
        if (found == 0) return false;
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return true;
}

nb::object maybe_reindex(nb::handle old, nb::handle index, nb::handle axis) {
    // An iterator would be used up by the comparison and leave nothing to reindex onto.
    nb::object labels =
        PyIter_Check(index.ptr()) ? checked(PySequence_List(index.ptr())) : nb::borrow(index);
    const int on_rows = PyObject_RichCompareBool(axis.ptr(), nb::int_(0).ptr(), Py_EQ);
    if (on_rows < 0) throw nb::python_error();
    nb::object current = old.attr(on_rows ? "index" : "columns");
    nb::object index_type = bridge::pandas().attr("Index");
    const bool current_is_index = nb::isinstance(current, index_type);
    // A str or list has an index() method, not labels: say what was expected.
    if (!current_is_index && !PyIter_Check(current.ptr()) && !PySequence_Check(current.ptr())) {
        bridge::raise_error(PyExc_TypeError, "old: expected a Series or DataFrame, got %.200s",
                            Py_TYPE(old.ptr())->tp_name);
    }
    // Equal indexes hold equal label sets; comparing them avoids boxing every label.
    const bool equal_index = current_is_index && nb::isinstance(labels, index_type) &&
                             current.attr("dtype").equal(labels.attr("dtype")) &&
                             truthy(current.attr("equals")(labels));
    if (equal_index || same_label_set(current, labels)) return nb::borrow(old);
    if (on_rows) return old.attr("reindex")(labels);
    return old.attr("reindex")("columns"_a = labels);
}

nb::object shift1_by_trading_date(nb::handle dates_in, nb::handle exchange, nb::handle right) {
    nb::module_ pd = bridge::pandas();
    nb::object dates = bridge::read_dates(dates_in, bridge::kShifted).index;
    const std::size_t n = nb::len(dates);
    if (n == 0)
        bridge::raise_error(PyExc_IndexError,
                            "dates is empty: there is no edge date to shift from");
    const bool forward = truthy(right);
    const bool on_exchange = truthy(exchange);

    nb::object api = bridge::client(module_handle);
    nb::object calendar = on_exchange ? api : nb::object(api.attr("bond"));
    nb::object edge = dates[forward ? static_cast<Py_ssize_t>(n - 1) : 0];
    nb::object answer =
        calendar.attr(forward ? "get_next_trading_date" : "get_previous_trading_date")(edge);
    nb::object insert_day =
        answer.is_none() ? nb::object(pd.attr("NaT")) : nb::object(pd.attr("Timestamp")(answer));
    if (insert_day.is(pd.attr("NaT"))) {
        nb::str when = nb::str(edge);
        bridge::raise_error(PyExc_ValueError, "the %s calendar knows no trading day %s %S",
                            on_exchange ? "exchange" : "interbank", forward ? "after" : "before",
                            when.ptr());
    }

    if (n == 1) {
        nb::list days;
        days.append(insert_day);
        return pd.attr("DatetimeIndex")(days, "freq"_a = dates.attr("freq"), "name"_a = "date");
    }
    if (forward) {
        nb::object tail = bridge::without_first(dates);
        return tail.attr("insert")(n - 1, insert_day);
    }
    nb::object head = dates[nb::slice(nb::none(), nb::int_(-1), nb::none())];
    return head.attr("insert")(0, insert_day);
}

nb::object convert_to_datetime_index(nb::handle dates) {
    nb::module_ pd = bridge::pandas();
    PyObject* o = dates.ptr();
    // One date of any kind, a numpy datetime64 included, gives a one-element index.
    const bool single = PyUnicode_Check(o) || PyDate_Check(o) ||
                        nb::isinstance(dates, pd.attr("Timestamp")) ||
                        nb::isinstance(dates, bridge::numpy().attr("datetime64"));
    if (single) {
        nb::list one;
        one.append(dates);
        return pd.attr("to_datetime")(one);
    }
    if (nb::isinstance(dates, pd.attr("DatetimeIndex"))) return dates.attr("copy")();
    return pd.attr("to_datetime")(dates);
}

nb::object append_level_in_multi_index(nb::handle index, nb::handle level_name,
                                       nb::handle level_value) {
    bridge::require_str_or_none(level_name, "level_name");
    nb::object tail = nb::make_tuple(level_value);
    nb::list entries;
    nb::object it = checked(PyObject_GetIter(index.ptr()));
    while (PyObject* entry = PyIter_Next(it.ptr())) {
        nb::object held = nb::steal(entry);
        entries.append(checked(PyNumber_Add(entry, tail.ptr())));
    }
    if (PyErr_Occurred()) throw nb::python_error();
    nb::object new_index = bridge::pandas().attr("MultiIndex").attr("from_tuples")(entries);
    nb::list added;
    added.append(level_name);
    nb::object names = index.attr("names");
    new_index.attr("names") = checked(PyNumber_Add(names.ptr(), added.ptr()));
    return new_index;
}

} // namespace

} // namespace brelvox::frevo

NB_MODULE(frevo, m) {
    using namespace brelvox::frevo;
    namespace bridge = brelvox::bridge;
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw nb::python_error();
    module_handle = m;

    bridge::publish_globals(m, {"Iterable", "Union", "datetime.datetime", "datetime.date", "pd",
                                "DatetimeIndex", "ondrax"});

    bridge::def(m, "maybe_reindex", &maybe_reindex,
                "old itself when its labels on axis are already exactly those of index (as sets), "
                "otherwise old reindexed onto index.",
                "old"_a.none(), "index"_a.none(), "axis"_a.none() = 0);
    bridge::def(
        m, "shift1_by_trading_date", &shift1_by_trading_date,
        "The dates moved one trading day forward (right) or backward, the day entering at the "
        "edge asked of the exchange or the interbank calendar.",
        "dates"_a.none(), "exchange"_a.none() = true, "right"_a.none() = true);
    bridge::def(m, "convert_to_datetime_index", &convert_to_datetime_index,
                "One date or many as a DatetimeIndex.", "dates"_a.none());
    bridge::def(m, "append_level_in_multi_index", &append_level_in_multi_index,
                "A new MultiIndex with a last level named level_name holding level_value.",
                "index"_a.none(), "level_name"_a.none(), "level_value"_a.none());
}
