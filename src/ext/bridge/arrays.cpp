#include "arrays.hpp"

#include "errors.hpp"

#include <cstring>

namespace brelvox::bridge {

Buffer::Buffer(nb::handle array) {
    if (PyObject_GetBuffer(array.ptr(), &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0)
        throw nb::python_error();
}
Buffer::~Buffer() {
    PyBuffer_Release(&view_);
}

static nb::object float64_array(nb::handle values, const char* what) {
    nb::module_ np = numpy();
    nb::object array;
    // A float64 column is read as it is: converting it with an NA value would copy it.
    if (nb::hasattr(values, "dtype") && values.attr("dtype").equal(np.attr("dtype")("float64")))
        array = nb::hasattr(values, "to_numpy") ? values.attr("to_numpy")()
                                                : np.attr("asarray")(values);
    else if (nb::hasattr(values, "to_numpy"))
        array = values.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = np.attr("nan"));
    else
        array = np.attr("asarray")(values, "dtype"_a = "float64");
    if (nb::cast<int>(array.attr("ndim")) != 1) {
        raise_error(PyExc_ValueError, "%s is not one column of values", what);
    }
    return np.attr("ascontiguousarray")(array);
}

FloatColumn::FloatColumn(nb::handle values, const char* what)
    : array_(float64_array(values, what)), buffer_(array_) {}

static core::CodeSpan code_span(const Buffer& buffer) {
    const char kind =
        buffer.format()[buffer.format()[0] == '<' || buffer.format()[0] == '=' ? 1 : 0];
    const bool is_signed = kind == 'b' || kind == 'h' || kind == 'i' || kind == 'l' || kind == 'q';
    if (!is_signed || buffer.ndim() != 1)
        raise_error(PyExc_TypeError, "index codes must be integers");
    const std::size_t n = buffer.itemsize() ? buffer.bytes() / buffer.itemsize() : 0;
    switch (buffer.itemsize()) {
    case 1:
        return std::span(static_cast<const std::int8_t*>(buffer.data()), n);
    case 2:
        return std::span(static_cast<const std::int16_t*>(buffer.data()), n);
    case 4:
        return std::span(static_cast<const std::int32_t*>(buffer.data()), n);
    case 8:
        return std::span(static_cast<const std::int64_t*>(buffer.data()), n);
    default:
        raise_error(PyExc_TypeError, "index codes must be integers");
    }
}

Codes::Codes(nb::handle codes)
    : array_(numpy().attr("ascontiguousarray")(codes)), buffer_(array_), span_(code_span(buffer_)) {
}

template <class T> std::vector<T> to_vector(nb::handle array_like, const char* dtype) {
    nb::object array = numpy().attr("ascontiguousarray")(array_like, "dtype"_a = dtype);
    Buffer buffer(array);
    if (buffer.itemsize() != sizeof(T)) raise_error(PyExc_TypeError, "unexpected array item size");
    std::vector<T> out(buffer.bytes() / sizeof(T));
    if (!out.empty()) std::memcpy(out.data(), buffer.data(), out.size() * sizeof(T));
    return out;
}
template std::vector<std::int32_t> to_vector<std::int32_t>(nb::handle, const char*);
template std::vector<std::int64_t> to_vector<std::int64_t>(nb::handle, const char*);
template std::vector<double> to_vector<double>(nb::handle, const char*);

std::vector<double> to_float_vector(nb::handle values) {
    FloatColumn column(values, "a column of values");
    return std::vector<double>(column.data(), column.data() + column.size());
}

Objects read_objects(nb::handle series) {
    Objects out;
    nb::object values = series.attr("to_numpy")();
    nb::object np_object = numpy().attr("dtype")("O");
    if (values.attr("dtype").equal(np_object) && nb::cast<int>(values.attr("ndim")) == 1 &&
        nb::cast<bool>(values.attr("flags").attr("c_contiguous"))) {
        nb::object data = values.attr("__array_interface__")["data"][0];
        out.items = reinterpret_cast<PyObject* const*>(nb::cast<std::uintptr_t>(data));
        out.size = nb::len(values);
        out.owner = values;
        return out;
    }
    nb::object list = nb::steal(PySequence_List(series.ptr()));
    if (!list.is_valid()) throw nb::python_error();
    out.size = static_cast<std::size_t>(PyList_GET_SIZE(list.ptr()));
    out.items = out.size ? &PyList_GET_ITEM(list.ptr(), 0) : nullptr;
    out.owner = list;
    return out;
}

template <class T>
static nb::object owned_array(std::vector<T>&& values, std::size_t rows, std::size_t cols,
                              std::size_t ndim) {
    auto* heap = new std::vector<T>(std::move(values));
    nb::capsule owner(heap, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
    size_t shape[2] = {rows, cols};
    return nb::ndarray<nb::numpy, T>(heap->data(), ndim, shape, owner).cast();
}

nb::object numpy_array(std::vector<double>&& values, std::size_t rows, std::size_t cols) {
    return owned_array(std::move(values), rows, cols, 2);
}
nb::object numpy_array(std::vector<std::int64_t>&& values) {
    const std::size_t n = values.size();
    return owned_array(std::move(values), n, 1, 1);
}
nb::object numpy_array(std::vector<std::int32_t>&& values) {
    const std::size_t n = values.size();
    return owned_array(std::move(values), n, 1, 1);
}

void require_one_dimension(nb::handle value, const char* name) {
    if (!nb::hasattr(value, "ndim")) return;
    nb::object ndim = value.attr("ndim");
    if (!PyLong_Check(ndim.ptr()) || nb::cast<long>(ndim) == 1) return;
    raise_error(PyExc_TypeError, "%s must be one-dimensional, got %ld dimensions", name,
                nb::cast<long>(ndim));
}

} // namespace brelvox::bridge
