// Arrays of Python objects read in place, and numpy arrays owning C++ vectors.
#pragma once

#include "module.hpp"

#include "frame_index.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace brelvox::bridge {

// A C-contiguous buffer of a Python object, released with it.
class Buffer {
  public:
    explicit Buffer(nb::handle array);
    ~Buffer();
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    const void* data() const { return view_.buf; }
    std::size_t bytes() const { return static_cast<std::size_t>(view_.len); }
    std::size_t itemsize() const { return static_cast<std::size_t>(view_.itemsize); }
    int ndim() const { return view_.ndim; }
    const char* format() const { return view_.format ? view_.format : "B"; }

  private:
    Py_buffer view_{};
};

// A value column as float64, read in place when it already is one (converted otherwise,
// NA as NaN); a column that is not one-dimensional is a ValueError naming `what`.
class FloatColumn {
  public:
    explicit FloatColumn(nb::handle values, const char* what = "the data client's column");
    const double* data() const { return static_cast<const double*>(buffer_.data()); }
    std::size_t size() const { return buffer_.bytes() / sizeof(double); }
    std::span<const double> values() const { return {data(), size()}; }

  private:
    nb::object array_;
    Buffer buffer_;
};

// The integer codes of an index level, read in place at their own width.
class Codes {
  public:
    explicit Codes(nb::handle codes);
    const core::CodeSpan& span() const { return span_; }
    std::size_t size() const { return core::code_count(span_); }

  private:
    nb::object array_;
    Buffer buffer_;
    core::CodeSpan span_;
};

template <class T> std::vector<T> to_vector(nb::handle array_like, const char* dtype);
// A float64 array of any numeric-like 1-d input (ints, objects holding numbers, NA -> NaN).
std::vector<double> to_float_vector(nb::handle values);

// The objects of a column, borrowed from its numpy object array (kept alive by `owner`), or
// from a list of them when the column holds another type.
struct Objects {
    nb::object owner;
    PyObject* const* items = nullptr;
    std::size_t size = 0;
};
Objects read_objects(nb::handle series);

// A numpy array that owns `values` (no copy), of the given shape.
nb::object numpy_array(std::vector<double>&& values, std::size_t rows, std::size_t cols);
nb::object numpy_array(std::vector<std::int64_t>&& values);
nb::object numpy_array(std::vector<std::int32_t>&& values);

// Raises TypeError naming `name` when `value` is an array of other than one dimension.
void require_one_dimension(nb::handle value, const char* name);

} // namespace brelvox::bridge
