#include "labels.hpp"

#include "align.hpp"
#include "arrays.hpp"
#include "frame_index.hpp"

#include <cstring>

namespace brelvox::bridge {

bool utf8_of(PyObject* item, std::string_view& text) {
    if (!PyUnicode_Check(item)) return false;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
    if (!utf8) throw nb::python_error();
    text = std::string_view(utf8, static_cast<std::size_t>(size));
    return true;
}

// The elements of a sequence as a list. A pandas object's elements are taken out through an
// object array: iterating it would box them one by one in Python (a `str` array does).
static nb::object element_list(nb::handle sequence) {
    if (nb::hasattr(sequence, "to_numpy") && nb::hasattr(sequence, "dtype")) {
        nb::object array = sequence.attr("to_numpy")("dtype"_a = "object");
        if (nb::cast<int>(array.attr("ndim")) == 1) return array.attr("tolist")();
    }
    nb::object list = nb::steal(PySequence_List(sequence.ptr()));
    if (!list.is_valid()) throw nb::python_error();
    return list;
}

// ---- dates ------------------------------------------------------------------------------

nb::object naive_datetime_index(nb::handle values, const char* what) {
    require_one_dimension(values, what);
    nb::module_ pd = pandas();
    nb::object index = nb::borrow(values);
    if (!nb::isinstance(values, pd.attr("DatetimeIndex"))) {
        index = pd.attr("to_datetime")(values);
        if (!nb::isinstance(index, pd.attr("DatetimeIndex")))
            index = pd.attr("DatetimeIndex")(index);
    }
    if (!index.attr("tz").is_none()) index = index.attr("tz_localize")(nb::none());
    return index;
}

std::vector<std::int64_t> date_ticks(nb::handle values, const char* what) {
    nb::object index = naive_datetime_index(values, what);
    const std::string unit = nb::cast<std::string>(index.attr("unit"));
    std::vector<std::int64_t> out = to_vector<std::int64_t>(index.attr("asi8"), "int64");
    std::int64_t per_tick = 1, per_us = 1;
    if (unit == "s")
        per_tick = 1000000;
    else if (unit == "ms")
        per_tick = 1000;
    else if (unit == "ns")
        per_us = 1000;
    else if (unit != "us")
        throw nb::value_error(("unsupported datetime unit: " + unit).c_str());
    const std::ptrdiff_t bad = core::ticks_to_us(out, per_tick, per_us);
    if (bad >= 0) {
        nb::str text = nb::str(index[nb::int_(bad)]);
        PyErr_Format(PyExc_ValueError, "%s: %S is outside the dates this package can hold", what,
                     text.ptr());
        throw nb::python_error();
    }
    return out;
}

std::int64_t date_tick(nb::handle value, const char* what) {
    nb::module_ pd = pandas();
    nb::object stamp = pd.attr("Timestamp")(value);
    if (stamp.is(pd.attr("NaT"))) return kNaT;
    nb::list one;
    one.append(stamp);
    return date_ticks(pd.attr("DatetimeIndex")(one), what).front();
}

DateLabels to_date_labels(nb::handle dates, const char* what) {
    DateLabels out;
    out.index = naive_datetime_index(dates, what);
    out.us = date_ticks(out.index, what);
    return out;
}

nb::object timestamp_of(std::int64_t us) {
    nb::object value = numpy().attr("datetime64")(us, "us");
    return pandas().attr("Timestamp")(value);
}

// ---- identifiers ------------------------------------------------------------------------

IdLabels read_ids(nb::handle order_book_ids, const char* argname) {
    if (PyUnicode_Check(order_book_ids.ptr()) || order_book_ids.is_none()) {
        std::string msg = std::string(argname) + " must be a sequence of str, not " +
                          Py_TYPE(order_book_ids.ptr())->tp_name;
        throw nb::type_error(msg.c_str());
    }
    require_one_dimension(order_book_ids, argname);
    IdLabels out;
    out.objects = nb::borrow<nb::list>(element_list(order_book_ids));
    const std::size_t n = out.objects.size();
    out.text.resize(n);
    out.is_str.resize(n, false);
    for (std::size_t k = 0; k < n; ++k) {
        std::string_view text;
        if (!utf8_of(PyList_GET_ITEM(out.objects.ptr(), static_cast<Py_ssize_t>(k)), text))
            continue;
        out.text[k].assign(text);
        out.is_str[k] = true;
    }
    return out;
}

std::vector<std::int64_t> positions_of_ids(const IdLabels& ids,
                                           const std::vector<std::string>& sorted_ids) {
    std::vector<std::string_view> wanted(ids.text.begin(), ids.text.end());
    std::vector<std::int64_t> pos = core::positions_in_sorted(sorted_ids, wanted);
    for (std::size_t k = 0; k < pos.size(); ++k)
        if (!ids.is_str[k]) pos[k] = -1;
    return pos;
}

LabelTable id_table(nb::handle level) {
    nb::object list = element_list(level);
    const auto n = static_cast<std::size_t>(PyList_GET_SIZE(list.ptr()));
    LabelTable out;
    out.text.resize(n);
    out.valid.assign(n, 0);
    for (std::size_t k = 0; k < n; ++k) {
        std::string_view text;
        if (!utf8_of(PyList_GET_ITEM(list.ptr(), static_cast<Py_ssize_t>(k)), text)) continue;
        out.text[k].assign(text);
        out.valid[k] = 1;
    }
    return out;
}

std::vector<std::string> str_labels(nb::handle sequence, const char* what) {
    nb::object list = element_list(sequence);
    const Py_ssize_t n = PyList_GET_SIZE(list.ptr());
    std::vector<std::string> out(static_cast<std::size_t>(n));
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* item = PyList_GET_ITEM(list.ptr(), k);
        std::string_view text;
        if (!utf8_of(item, text)) {
            PyErr_Format(PyExc_TypeError, "%s holds a non-str label %R", what, item);
            throw nb::python_error();
        }
        out[static_cast<std::size_t>(k)].assign(text);
    }
    return out;
}

nb::object str_index(const std::vector<std::string>& labels, const char* name) {
    nb::list items;
    for (const std::string& s : labels) items.append(nb::str(s.data(), s.size()));
    return pandas().attr("Index")(items, "name"_a = name);
}

nb::object renamed(nb::handle index, const char* name) {
    return index.attr("rename")(name);
}

nb::object without_first(nb::handle sequence) {
    nb::object tail = nb::steal(PySlice_New(nb::int_(1).ptr(), Py_None, Py_None));
    return sequence[tail];
}

} // namespace brelvox::bridge
