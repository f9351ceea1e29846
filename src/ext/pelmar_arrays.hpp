// Reading integer codes and float columns of client answers in place (shared by the index
// weight and bond valuation modules).
#pragma once

#include "bridge.hpp"

#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace brelvox::arrays {

using CodeView = nb::ndarray<nb::ro, nb::ndim<1>, nb::device::cpu>;
using FloatView = nb::ndarray<const double, nb::ndim<1>, nb::device::cpu>;

template <class T>
inline void widen(const CodeView& view, std::vector<std::int32_t>& out,
                  std::vector<std::uint8_t>* used) {
    const T* data = static_cast<const T*>(view.data());
    const std::int64_t stride = view.stride(0);
    const auto n_used = used ? static_cast<std::int64_t>(used->size()) : 0;
    for (std::size_t k = 0; k < out.size(); ++k) {
        const auto c = static_cast<std::int64_t>(data[static_cast<std::int64_t>(k) * stride]);
        out[k] = static_cast<std::int32_t>(c);
        if (used && c >= 0 && c < n_used) (*used)[static_cast<std::size_t>(c)] = 1;
    }
}

// The codes of an index level as int32 whatever their integer width; when `used` is given
// (sized to the level), the entries some row refers to are flagged in the same pass.
inline std::vector<std::int32_t> read_codes(nb::handle codes,
                                            std::vector<std::uint8_t>* used = nullptr) {
    nb::object array = bridge::numpy().attr("asarray")(codes);
    CodeView view = nb::cast<CodeView>(array);
    std::vector<std::int32_t> out(view.shape(0));
    const nb::dlpack::dtype type = view.dtype();
    const bool is_int = type.code == static_cast<std::uint8_t>(nb::dlpack::dtype_code::Int);
    if (is_int && type.bits == 8)
        widen<std::int8_t>(view, out, used);
    else if (is_int && type.bits == 16)
        widen<std::int16_t>(view, out, used);
    else if (is_int && type.bits == 32)
        widen<std::int32_t>(view, out, used);
    else if (is_int && type.bits == 64)
        widen<std::int64_t>(view, out, used);
    else
        throw nb::type_error("index codes must be integers");
    return out;
}

// A float64 column read in place (kept alive by `owner`), or converted once into `storage`.
struct Floats {
    std::span<const double> values;
    std::vector<double> storage;
    nb::object owner;
};

inline void read_floats(nb::handle series, Floats& out) {
    nb::object values = series.attr("to_numpy")();
    using Contiguous = nb::ndarray<const double, nb::ndim<1>, nb::device::cpu, nb::c_contig>;
    Contiguous view;
    if (nb::try_cast<Contiguous>(values, view)) {
        out.values = std::span<const double>(view.data(), view.shape(0));
        out.owner = values;
        return;
    }
    out.storage = bridge::to_float_vector(series);
    out.values = out.storage;
}

// The objects of a column, borrowed from its numpy object array (kept alive by `owner`), or
// from a list of them when the column holds another type.
struct Objects {
    nb::object owner;
    PyObject* const* items = nullptr;
    std::size_t size = 0;
};

inline Objects read_objects(nb::handle series) {
    Objects out;
    nb::object values = series.attr("to_numpy")();
    nb::object np_object = bridge::numpy().attr("dtype")("O");
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

// A float64 array of rows x cols whose cells the caller fills (left uninitialised: every
// cell is written before the array is handed on), owned by the numpy array.
struct RawBlock {
    double* data = nullptr;
    nb::object array;
};

inline RawBlock raw_block(std::size_t rows, std::size_t cols) {
    bridge::ResultArray result = bridge::result_array(rows, cols);
    RawBlock out;
    out.data = result.data;
    out.array = std::move(result.array);
    return out;
}

// A one-dimensional int32 numpy array owning `values` (no copy).
inline nb::object int32_array(std::vector<std::int32_t>&& values) {
    auto* heap = new std::vector<std::int32_t>(std::move(values));
    nb::capsule owner(heap,
                      [](void* p) noexcept { delete static_cast<std::vector<std::int32_t>*>(p); });
    std::size_t shape[1] = {heap->size()};
    return nb::ndarray<nb::numpy, std::int32_t>(heap->data(), 1, shape, owner).cast();
}

// Nanoseconds since 1970 of a DatetimeIndex (NaT: INT64_MIN), read in place when it is
// tz-naive; anything else goes through the bridge's conversion.
inline std::vector<std::int64_t> datetime_index_ns(nb::handle index) {
    nb::module_ pd = bridge::pandas();
    if (!nb::isinstance(index, pd.attr("DatetimeIndex")) || !index.attr("tz").is_none())
        return bridge::to_date_labels(index).ns;
    const std::string unit = nb::cast<std::string>(index.attr("unit"));
    std::int64_t scale = 1;
    if (unit == "us")
        scale = 1000;
    else if (unit == "ms")
        scale = 1000000;
    else if (unit == "s")
        scale = 1000000000;
    else if (unit != "ns")
        return bridge::to_date_labels(index).ns;
    nb::object values = index.attr("asi8");
    auto view = nb::cast<nb::ndarray<const std::int64_t, nb::ndim<1>, nb::device::cpu>>(values);
    std::vector<std::int64_t> out(view.shape(0));
    const std::int64_t* data = view.data();
    const std::int64_t stride = view.stride(0);
    for (std::size_t k = 0; k < out.size(); ++k) {
        const std::int64_t v = data[static_cast<std::int64_t>(k) * stride];
        out[k] = v == std::numeric_limits<std::int64_t>::min() ? v : v * scale;
    }
    return out;
}

} // namespace brelvox::arrays
