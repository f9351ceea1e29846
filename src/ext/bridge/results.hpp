// Result frames built on arrays the kernels write, handed to pandas uncopied.
#pragma once

#include "module.hpp"

#include "panel.hpp"

#include <cstddef>
#include <span>

namespace brelvox::bridge {

// An uninitialised instrument-major float64 numpy array for a kernel to write into.
struct ResultArray {
    nb::object array;
    double* data = nullptr;
    std::size_t n_ids = 0, n_dates = 0;
    core::PanelView view() const { return {n_ids, n_dates, data}; }
    std::span<double> cells() const { return {data, n_ids * n_dates}; }
};
ResultArray result_array(std::size_t n_ids, std::size_t n_dates);

// DataFrame(index=dates, columns=instruments) of an instrument-major array, zero-copy.
nb::object make_frame(ResultArray&& result, nb::handle index, nb::handle columns);
nb::object make_frame(core::Panel&& panel, nb::handle index, nb::handle columns);
// DataFrame(index=rows, columns=columns) of a row-major block of rows x cols, zero-copy.
nb::object row_major_frame(std::vector<double>&& values, std::size_t rows, std::size_t cols,
                           nb::handle index, nb::handle columns);

} // namespace brelvox::bridge
