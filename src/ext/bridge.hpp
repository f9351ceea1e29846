// The one place that knows how client answers look and how result frames are built.
// Every binding file includes this header first.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "align.hpp"
#include "panel.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace brelvox::bridge {

// ---- modules and the client -------------------------------------------------------------

nb::module_ pandas();
nb::module_ numpy();

// The data client the module binds right now (its attribute `ondrax`, read at call time).
nb::object client(nb::handle module);

// Binds `name` in `module` to `callable` as a builtin function whose __doc__ is exactly
// `doc` (None when null): nanobind would prefix the signature.
void export_function(nb::module_& module, const char* name, nb::object callable,
                     const char* doc = nullptr);

// A new reference from the C API as an object; NULL (a Python error is set) throws.
nb::object checked(PyObject* result);
// Truth value of `value`; an error raised by its __bool__ propagates.
bool truthy(nb::handle value);

// ---- argument checks and errors ---------------------------------------------------------

// Accepts exactly a `str` or None; anything else raises the package's TypeError.
void require_str_or_none(nb::handle value, const char* name);
void require_str(nb::handle value, const char* name);
[[noreturn]] void raise_arg_type(const char* name, const char* expected, nb::handle value);

// Raises brelvox.exceptions.MissingData(kind, order_book_ids, dates).
[[noreturn]] void raise_missing_data(const char* kind, nb::handle order_book_ids, nb::handle dates);

// True for a client answer holding at least one row (None and empty frames hold none).
bool has_rows(nb::handle frame);

// True when the pending Python error is an instance of `type`; the error stays set.
bool error_is(const nb::python_error& error, PyObject* type);

// ---- arrays -----------------------------------------------------------------------------

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

  private:
    Py_buffer view_{};
};

// A value column as float64 in place (converted only when it is not float64 already).
class FloatColumn {
  public:
    explicit FloatColumn(nb::handle values);
    const double* data() const { return static_cast<const double*>(buffer_.data()); }
    std::size_t size() const { return buffer_.bytes() / sizeof(double); }

  private:
    nb::object array_;
    Buffer buffer_;
};

template <class T> std::vector<T> to_vector(nb::handle array_like, const char* dtype);
// A float64 array of any numeric-like 1-d input (ints, objects holding numbers, NA -> NaN).
std::vector<double> to_float_vector(nb::handle values);

// A numpy array that owns `values` (no copy), of the given shape.
nb::object numpy_array(std::vector<double>&& values, std::size_t rows, std::size_t cols);
nb::object numpy_array(std::vector<std::int64_t>&& values);

// ---- labels -----------------------------------------------------------------------------

struct DateLabels {
    nb::object index;             // a DatetimeIndex, in the resolution it came with
    std::vector<std::int64_t> ns; // the same dates as nanoseconds since 1970 (NaT: INT64_MIN)
};

// Nanoseconds of a DatetimeIndex-like object, the unit read from its dtype.
std::vector<std::int64_t> datetime_ns(nb::handle datetime_index);
// `pd.to_datetime` of the argument as a DatetimeIndex (an existing one is kept as is).
DateLabels to_date_labels(nb::handle dates);

// Requested identifiers: the caller's objects and, for the `str` ones, their text.
struct IdLabels {
    nb::list objects;
    std::vector<std::string> text; // empty for a non-str entry
    std::vector<bool> is_str;
};
IdLabels read_ids(nb::handle order_book_ids, const char* argname);
// Positions of the requested ids among `sorted_ids`, -1 for absent or non-str entries.
std::vector<std::int64_t> positions_of_ids(const IdLabels& ids,
                                           const std::vector<std::string>& sorted_ids);

// Text of each element of a sequence of `str` (TypeError naming `what` otherwise).
std::vector<std::string> str_labels(nb::handle sequence, const char* what);

// An Index of the given strings, named `name`.
nb::object str_index(const std::vector<std::string>& labels, const char* name);

// ---- client frames on (order_book_id, date) ---------------------------------------------

struct LongFrame {
    nb::object frame;
    std::vector<std::string> ids;       // distinct instruments present, ascending
    nb::object id_index;                // those instruments as an Index (any name)
    std::vector<std::int64_t> dates;    // distinct dates present, ascending (ns)
    nb::object date_index;              // those dates as a DatetimeIndex in the client's unit
    std::vector<std::int32_t> row_id;   // per row: position in `ids`, -1 when missing
    std::vector<std::int32_t> row_date; // per row: position in `dates`, -1 when missing
    std::size_t rows = 0;
    bool dense_sorted = false; // every (id, date) exactly once, rows sorted by id then date
};

// Codes of one level of a MultiIndex, as int32 (-1 for a missing label).
std::vector<std::int32_t> level_codes(nb::handle multi_index, int level);

// Reads the (id, date) index of a client answer; `what` names it in errors.
LongFrame read_long_frame(nb::handle frame, const char* what);
// The same, leaving row_id and row_date empty when dense_sorted (row r is then the cell
// (r / dates.size(), r % dates.size())): saves two passes on complete answers.
LongFrame read_long_index(nb::handle frame, const char* what);

// The named value column as float64 (KeyError when absent).
std::vector<double> read_column(const LongFrame& frame, nb::handle field);

// Panel of one value column; duplicate (id, date) rows raise ValueError naming the first.
core::Panel long_to_panel(const LongFrame& frame, const std::vector<double>& values,
                          core::Duplicates policy = core::Duplicates::report);
// A view of the panel of a value column: the column itself when the rows already form the
// panel, otherwise `storage` filled from it.
core::PanelView panel_view(const LongFrame& frame, const FloatColumn& values, core::Panel& storage);

// The same, taking over `values` when the rows already form the panel.
core::Panel long_to_panel(const LongFrame& frame, std::vector<double>&& values,
                          core::Duplicates policy = core::Duplicates::report);

// ---- results ----------------------------------------------------------------------------

// DataFrame(index=dates, columns=instruments) from an instrument-major panel, zero-copy.
nb::object make_frame(core::Panel&& panel, nb::handle index, nb::handle columns);

// An uninitialised instrument-major float64 numpy array for a kernel to write into.
struct ResultArray {
    nb::object array;
    double* data = nullptr;
    std::size_t n_ids = 0, n_dates = 0;
    core::PanelView view() const { return {n_ids, n_dates, data}; }
};
ResultArray result_array(std::size_t n_ids, std::size_t n_dates);
nb::object make_frame(ResultArray&& result, nb::handle index, nb::handle columns);

// `index` renamed (a new object; the caller's keeps its name).
nb::object renamed(nb::handle index, const char* name);

// `sequence[1:]`.
nb::object without_first(nb::handle sequence);

} // namespace brelvox::bridge
