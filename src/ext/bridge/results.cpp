#include "results.hpp"

#include "arrays.hpp"

namespace brelvox::bridge {

ResultArray result_array(std::size_t n_ids, std::size_t n_dates) {
    ResultArray out;
    out.array = numpy().attr("empty")(nb::make_tuple(n_ids, n_dates), "dtype"_a = "float64");
    Py_buffer view;
    if (PyObject_GetBuffer(out.array.ptr(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0)
        throw nb::python_error();
    out.data = static_cast<double*>(view.buf); // the array keeps the memory alive
    PyBuffer_Release(&view);
    out.n_ids = n_ids;
    out.n_dates = n_dates;
    return out;
}

nb::object make_frame(ResultArray&& result, nb::handle index, nb::handle columns) {
    return pandas().attr("DataFrame")(result.array.attr("T"), "index"_a = index,
                                      "columns"_a = columns, "copy"_a = false);
}

nb::object make_frame(core::Panel&& panel, nb::handle index, nb::handle columns) {
    const std::size_t ids = panel.n_ids, dates = panel.n_dates;
    nb::object array = numpy_array(std::move(panel.values), ids, dates);
    return pandas().attr("DataFrame")(array.attr("T"), "index"_a = index, "columns"_a = columns,
                                      "copy"_a = false);
}

nb::object row_major_frame(std::vector<double>&& values, std::size_t rows, std::size_t cols,
                           nb::handle index, nb::handle columns) {
    nb::object array = numpy_array(std::move(values), rows, cols);
    return pandas().attr("DataFrame")(array, "index"_a = index, "columns"_a = columns,
                                      "copy"_a = false);
}

} // namespace brelvox::bridge
