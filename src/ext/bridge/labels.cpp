#include "labels.hpp"

#include "align.hpp"
#include "arrays.hpp"
#include "errors.hpp"
#include "frame_index.hpp"

#include <cmath>
#include <cstring>
#include <numeric>

namespace brelvox::bridge {

bool utf8_of(PyObject* item, std::string_view& text, bool skip_unencodable) {
    if (!PyUnicode_Check(item)) return false;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
    if (!utf8 && skip_unencodable) {
        PyErr_Clear();
        return false;
    }
    if (!utf8) throw nb::python_error();
    text = std::string_view(utf8, static_cast<std::size_t>(size));
    return true;
}

// The elements of a sequence as a list. A pandas object's elements are taken out through an
// object array: iterating it would box them one by one in Python (a `str` array does).
nb::object element_list(nb::handle sequence) {
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
        raise_error(PyExc_ValueError, "%s", ("unsupported datetime unit: " + unit).c_str());
    const std::ptrdiff_t bad = core::ticks_to_us(out, per_tick, per_us);
    if (bad >= 0) {
        nb::str text = nb::str(index[nb::int_(bad)]);
        raise_error(PyExc_ValueError, "%s: %S is outside the dates this package can hold", what,
                    text.ptr());
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
            raise_error(PyExc_TypeError, "%s holds a non-str label %R", what, item);
        }
        out[static_cast<std::size_t>(k)].assign(text);
    }
    return out;
}

nb::object str_index(const std::vector<std::string>& labels, nb::handle name) {
    nb::list items;
    for (const std::string& s : labels) items.append(nb::str(s.data(), s.size()));
    return pandas().attr("Index")(items, "name"_a = name);
}

nb::object str_index(const std::vector<std::string>& labels, const char* name) {
    return str_index(labels, nb::str(name));
}

nb::object renamed(nb::handle index, const char* name) {
    return index.attr("rename")(name);
}

nb::object without_first(nb::handle sequence) {
    nb::object tail = nb::steal(PySlice_New(nb::int_(1).ptr(), Py_None, Py_None));
    return sequence[tail];
}

bool is_na(nb::handle value) {
    if (value.is_none()) return true;
    if (PyFloat_Check(value.ptr())) return std::isnan(PyFloat_AS_DOUBLE(value.ptr()));
    static PyObject* na = nullptr;
    static PyObject* nat = nullptr;
    if (!na) { // kept for the interpreter's life, as the pandas module itself
        na = nb::object(pandas().attr("NA")).release().ptr();
        nat = nb::object(pandas().attr("NaT")).release().ptr();
    }
    return value.ptr() == na || value.ptr() == nat;
}

bool same_str(PyObject* a, PyObject* b) {
    if (a == b) return true;
    if (!PyUnicode_CheckExact(a) || !PyUnicode_CheckExact(b)) return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    return n == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<std::size_t>(n) * PyUnicode_KIND(a)) == 0;
}

Ranked sorted_ranks(const nb::list& labels, const nb::dict& code_of) {
    Ranked out;
    out.rank.resize(labels.size());
    nb::object sorted = nb::steal(PySequence_List(labels.ptr()));
    if (!sorted.is_valid()) throw nb::python_error();
    if (PyList_Sort(sorted.ptr()) != 0) { // labels that do not compare stay as met
        PyErr_Clear();
        std::iota(out.rank.begin(), out.rank.end(), 0);
        out.labels = labels;
        return out;
    }
    for (std::size_t k = 0; k < out.rank.size(); ++k) {
        PyObject* code = PyDict_GetItemWithError(
            code_of.ptr(), PyList_GET_ITEM(sorted.ptr(), static_cast<Py_ssize_t>(k)));
        if (!code) {
            if (!PyErr_Occurred()) raise_error(PyExc_KeyError, "a label without a code");
            throw nb::python_error();
        }
        out.rank[static_cast<std::size_t>(PyLong_AsSsize_t(code))] = static_cast<std::int64_t>(k);
    }
    out.labels = nb::borrow<nb::list>(sorted);
    return out;
}

} // namespace brelvox::bridge
