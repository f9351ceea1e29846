#include "quenta_rows.hpp"

#include "row_layout.hpp"

#include <cstring>
#include <limits>

namespace brelvox::quenta {

namespace bridge = brelvox::bridge;

ValueColumn::ValueColumn(nb::handle frame, const char* field) {
    nb::module_ np = bridge::numpy();
    nb::object column = frame[nb::str(field)];
    nb::object values =
        column.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = np.attr("nan"));
    array_ = np.attr("ascontiguousarray")(values, "dtype"_a = "float64");
    if (nb::cast<int>(array_.attr("ndim")) != 1) {
        PyErr_Format(PyExc_ValueError, "the data client's column %s is not one column", field);
        throw nb::python_error();
    }
    if (PyObject_GetBuffer(array_.ptr(), &view_, PyBUF_C_CONTIGUOUS) != 0) throw nb::python_error();
}

ValueColumn::~ValueColumn() {
    PyBuffer_Release(&view_);
}

std::span<const double> ValueColumn::values() const {
    return {static_cast<const double*>(view_.buf),
            static_cast<std::size_t>(view_.len) / sizeof(double)};
}

ResultValues::ResultValues(std::size_t n_ids, std::size_t n_dates) {
    array_ = bridge::numpy().attr("empty")(nb::make_tuple(n_ids, n_dates), "dtype"_a = "float64");
    if (PyObject_GetBuffer(array_.ptr(), &view_, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) != 0)
        throw nb::python_error();
}

ResultValues::~ResultValues() {
    PyBuffer_Release(&view_);
}

std::span<double> ResultValues::values() const {
    return {static_cast<double*>(view_.buf), static_cast<std::size_t>(view_.len) / sizeof(double)};
}

nb::object ResultValues::frame(nb::handle index, nb::handle columns) const {
    return bridge::pandas().attr("DataFrame")(array_.attr("T"), "index"_a = index,
                                              "columns"_a = columns, "copy"_a = false);
}

namespace {
// True when a codes array of any integer width reads, for n_ids blocks of n_dates rows,
// the block number (`by_block`) or the position within the block.
bool codes_follow(nb::handle codes, std::size_t n_ids, std::size_t n_dates, bool by_block) {
    nb::object array = bridge::numpy().attr("ascontiguousarray")(codes);
    Py_buffer view{};
    if (PyObject_GetBuffer(array.ptr(), &view, PyBUF_C_CONTIGUOUS) != 0) throw nb::python_error();
    const auto size = static_cast<std::size_t>(view.itemsize);
    const std::size_t n = size ? static_cast<std::size_t>(view.len) / size : 0;
    bool ok = false;
    {
        nb::gil_scoped_release unlocked;
        if (size == 1)
            ok = core::follows_blocks({static_cast<const std::int8_t*>(view.buf), n}, n_ids,
                                      n_dates, by_block);
        else if (size == 2)
            ok = core::follows_blocks({static_cast<const std::int16_t*>(view.buf), n}, n_ids,
                                      n_dates, by_block);
        else if (size == 4)
            ok = core::follows_blocks({static_cast<const std::int32_t*>(view.buf), n}, n_ids,
                                      n_dates, by_block);
        else if (size == 8)
            ok = core::follows_blocks({static_cast<const std::int64_t*>(view.buf), n}, n_ids,
                                      n_dates, by_block);
    }
    PyBuffer_Release(&view);
    return ok;
}

// Fills `out` and returns true when the frame's rows are every (id, date) exactly once,
// ids ascending, dates ascending within each id.
bool read_dense(nb::handle frame, KeyedRows& out) {
    nb::module_ pd = bridge::pandas();
    if (!nb::isinstance(frame, pd.attr("DataFrame"))) return false;
    nb::object index = frame.attr("index");
    if (!nb::isinstance(index, pd.attr("MultiIndex")) || nb::cast<int>(index.attr("nlevels")) != 2)
        return false;
    nb::object levels = index.attr("levels");
    nb::object id_level = nb::steal(PySequence_List(nb::object(levels[0]).ptr()));
    if (!id_level.is_valid()) throw nb::python_error();
    const Py_ssize_t n_ids = PyList_GET_SIZE(id_level.ptr());
    std::vector<std::string> ids(static_cast<std::size_t>(n_ids));
    for (Py_ssize_t k = 0; k < n_ids; ++k) {
        PyObject* item = PyList_GET_ITEM(id_level.ptr(), k);
        if (!PyUnicode_Check(item)) return false;
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
        if (!utf8) throw nb::python_error();
        ids[static_cast<std::size_t>(k)].assign(utf8, static_cast<std::size_t>(size));
        if (k > 0 && !(ids[static_cast<std::size_t>(k - 1)] < ids[static_cast<std::size_t>(k)]))
            return false;
    }
    bridge::DateLabels dates = bridge::to_date_labels(levels[1]);
    for (std::size_t t = 0; t < dates.ns.size(); ++t)
        if (dates.ns[t] == std::numeric_limits<std::int64_t>::min() ||
            (t > 0 && dates.ns[t - 1] >= dates.ns[t]))
            return false;
    const std::size_t n_dates = dates.ns.size();
    const std::size_t rows = nb::len(index);
    if (n_dates == 0 || rows != ids.size() * n_dates) return false;
    nb::object codes = index.attr("codes");
    if (!codes_follow(codes[0], ids.size(), n_dates, true) ||
        !codes_follow(codes[1], ids.size(), n_dates, false))
        return false;
    out.keys.frame = nb::borrow(frame);
    out.keys.ids = std::move(ids);
    out.keys.dates = std::move(dates.ns);
    out.keys.date_index = dates.index;
    out.keys.rows = rows;
    out.dense = true;
    out.id_name = index.attr("names")[0];
    out.id_level = levels[0];
    return true;
}
} // namespace

KeyedRows read_keyed_rows(nb::handle frame, const char* what) {
    KeyedRows out;
    if (read_dense(frame, out)) return out;
    out.keys = bridge::read_long_frame(frame, what);
    out.id_name = frame.attr("index").attr("names")[0];
    return out;
}

} // namespace brelvox::quenta
