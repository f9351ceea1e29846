#include "bridge.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <numeric>
#include <type_traits>

namespace brelvox::bridge {

namespace {
// Imported once: a module stays in the interpreter for good, and a fresh import on every
// call costs more than many a small request's whole arithmetic.
nb::module_ imported_once(PyObject*& slot, const char* name) {
    if (!slot) {
        slot = PyImport_ImportModule(name); // reference kept for the interpreter's life
        if (!slot) throw nb::python_error();
    }
    return nb::borrow<nb::module_>(slot);
}
PyObject* pandas_module = nullptr;
PyObject* numpy_module = nullptr;
} // namespace

nb::module_ pandas() {
    return imported_once(pandas_module, "pandas");
}
nb::module_ numpy() {
    return imported_once(numpy_module, "numpy");
}

nb::object client(nb::handle module) {
    return nb::getattr(module, "ondrax");
}

namespace {
// Each exported function's `self` is a small module whose state holds the callable: a
// module `self` is what makes the function read as a plain builtin function.
PyObject* forward_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto* callable = *static_cast<PyObject**>(PyModule_GetState(self));
    return PyObject_Vectorcall(callable, args, static_cast<size_t>(nargs), kwnames);
}
} // namespace

void export_function(nb::module_& module, const char* name, nb::object callable, const char* doc) {
    // Deliberately never freed: module functions live as long as the interpreter.
    std::string qualified = nb::cast<std::string>(module.attr("__name__")) + "." + name;
    auto* method = new PyMethodDef{
        name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&forward_call)),
        METH_FASTCALL | METH_KEYWORDS, doc};
    auto* def = new PyModuleDef{PyModuleDef_HEAD_INIT,
                                strdup(qualified.c_str()),
                                nullptr,
                                sizeof(PyObject*),
                                nullptr,
                                nullptr,
                                nullptr,
                                nullptr,
                                nullptr};
    nb::object holder = nb::steal(PyModule_Create(def));
    if (!holder.is_valid()) throw nb::python_error();
    *static_cast<PyObject**>(PyModule_GetState(holder.ptr())) = callable.release().ptr();
    nb::object module_name = module.attr("__name__");
    nb::object func = nb::steal(PyCFunction_NewEx(method, holder.ptr(), module_name.ptr()));
    if (!func.is_valid()) throw nb::python_error();
    module.attr(name) = func;
}

nb::object checked(PyObject* result) {
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

bool truthy(nb::handle value) {
    const int rc = PyObject_IsTrue(value.ptr());
    if (rc < 0) throw nb::python_error();
    return rc == 1;
}

void raise_arg_type(const char* name, const char* expected, nb::handle value) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 expected, Py_TYPE(value.ptr())->tp_name);
    throw nb::python_error();
}

void require_str_or_none(nb::handle value, const char* name) {
    if (!value.is_none() && !PyUnicode_CheckExact(value.ptr())) raise_arg_type(name, "str", value);
}

void require_str(nb::handle value, const char* name) {
    if (!PyUnicode_CheckExact(value.ptr())) raise_arg_type(name, "str", value);
}

void raise_missing_data(const char* kind, nb::handle order_book_ids, nb::handle dates) {
    nb::object cls = nb::module_::import_("brelvox.exceptions").attr("MissingData");
    nb::object error = cls(nb::str(kind), order_book_ids, dates);
    PyErr_SetObject(cls.ptr(), error.ptr());
    throw nb::python_error();
}

bool has_rows(nb::handle frame) {
    return !frame.is_none() && !nb::cast<bool>(frame.attr("empty"));
}

bool error_is(const nb::python_error& error, PyObject* type) {
    return error.matches(type);
}

// ---- arrays -----------------------------------------------------------------------------

Buffer::Buffer(nb::handle array) {
    if (PyObject_GetBuffer(array.ptr(), &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0)
        throw nb::python_error();
}
Buffer::~Buffer() {
    PyBuffer_Release(&view_);
}

static nb::object float64_array(nb::handle values) {
    nb::module_ np = numpy();
    nb::object array;
    if (nb::hasattr(values, "to_numpy"))
        array = values.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = np.attr("nan"));
    else
        array = np.attr("asarray")(values, "dtype"_a = "float64");
    if (nb::cast<int>(array.attr("ndim")) != 1)
        throw nb::value_error("expected a one-dimensional column of values");
    return np.attr("ascontiguousarray")(array);
}

FloatColumn::FloatColumn(nb::handle values) : array_(float64_array(values)), buffer_(array_) {}

// Integer codes of a MultiIndex level, read in place whatever their width.
class Codes {
  public:
    explicit Codes(nb::handle codes)
        : array_(numpy().attr("ascontiguousarray")(codes)), buffer_(array_) {}
    std::size_t size() const {
        return buffer_.itemsize() ? buffer_.bytes() / buffer_.itemsize() : 0;
    }
    // Calls fn(const T* data, size) with T the codes' own integer type.
    template <class F> void visit(F&& fn) const {
        switch (buffer_.itemsize()) {
        case 1:
            return fn(static_cast<const std::int8_t*>(buffer_.data()), size());
        case 2:
            return fn(static_cast<const std::int16_t*>(buffer_.data()), size());
        case 4:
            return fn(static_cast<const std::int32_t*>(buffer_.data()), size());
        case 8:
            return fn(static_cast<const std::int64_t*>(buffer_.data()), size());
        default:
            throw nb::type_error("unexpected index code width");
        }
    }

  private:
    nb::object array_;
    Buffer buffer_;
};

template <class T> std::vector<T> to_vector(nb::handle array_like, const char* dtype) {
    nb::object array = numpy().attr("ascontiguousarray")(array_like, "dtype"_a = dtype);
    Buffer buffer(array);
    if (buffer.itemsize() != sizeof(T)) throw nb::type_error("unexpected array item size");
    std::vector<T> out(buffer.bytes() / sizeof(T));
    if (!out.empty()) std::memcpy(out.data(), buffer.data(), out.size() * sizeof(T));
    return out;
}
template std::vector<std::int32_t> to_vector<std::int32_t>(nb::handle, const char*);
template std::vector<std::int64_t> to_vector<std::int64_t>(nb::handle, const char*);
template std::vector<double> to_vector<double>(nb::handle, const char*);

std::vector<double> to_float_vector(nb::handle values) {
    FloatColumn column(values);
    return std::vector<double>(column.data(), column.data() + column.size());
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

// ---- labels -----------------------------------------------------------------------------

static nb::object as_naive_datetime_index(nb::handle values) {
    nb::module_ pd = pandas();
    nb::object index = nb::borrow(values);
    if (!nb::isinstance(values, pd.attr("DatetimeIndex")))
        index = pd.attr("DatetimeIndex")(pd.attr("to_datetime")(values));
    if (!index.attr("tz").is_none()) index = index.attr("tz_localize")(nb::none());
    return index;
}

std::vector<std::int64_t> datetime_ns(nb::handle datetime_index) {
    nb::module_ np = numpy();
    nb::object values = np.attr("asarray")(datetime_index);
    if (nb::cast<std::string>(values.attr("dtype").attr("kind")) != "M")
        values = np.attr("asarray")(as_naive_datetime_index(datetime_index));
    nb::object unit = np.attr("datetime_data")(values.attr("dtype"))[0];
    std::vector<std::int64_t> out = to_vector<std::int64_t>(values.attr("view")("int64"), "int64");
    const std::string u = nb::cast<std::string>(unit);
    std::int64_t scale = 1;
    if (u == "us")
        scale = 1000;
    else if (u == "ms")
        scale = 1000000;
    else if (u == "s")
        scale = 1000000000;
    else if (u == "D")
        scale = 86400LL * 1000000000LL;
    else if (u != "ns")
        throw nb::value_error(("unsupported datetime unit: " + u).c_str());
    if (scale != 1)
        for (std::int64_t& v : out)
            if (v != std::numeric_limits<std::int64_t>::min()) v *= scale;
    return out;
}

DateLabels to_date_labels(nb::handle dates) {
    DateLabels out;
    out.index = as_naive_datetime_index(dates);
    out.ns = datetime_ns(out.index);
    return out;
}

IdLabels read_ids(nb::handle order_book_ids, const char* argname) {
    if (PyUnicode_Check(order_book_ids.ptr()) || order_book_ids.is_none()) {
        std::string msg = std::string(argname) + " must be a sequence of str, not " +
                          Py_TYPE(order_book_ids.ptr())->tp_name;
        throw nb::type_error(msg.c_str());
    }
    IdLabels out;
    nb::object seq = nb::steal(PySequence_List(order_book_ids.ptr()));
    if (!seq.is_valid()) throw nb::python_error();
    out.objects = nb::borrow<nb::list>(seq);
    const std::size_t n = out.objects.size();
    out.text.resize(n);
    out.is_str.resize(n, false);
    for (std::size_t k = 0; k < n; ++k) {
        PyObject* item = PyList_GET_ITEM(out.objects.ptr(), static_cast<Py_ssize_t>(k));
        if (!PyUnicode_Check(item)) continue;
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
        if (!utf8) throw nb::python_error();
        out.text[k].assign(utf8, static_cast<std::size_t>(size));
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

std::vector<std::string> str_labels(nb::handle sequence, const char* what) {
    nb::object list = nb::steal(PySequence_List(sequence.ptr()));
    if (!list.is_valid()) throw nb::python_error();
    const Py_ssize_t n = PyList_GET_SIZE(list.ptr());
    std::vector<std::string> out(static_cast<std::size_t>(n));
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* item = PyList_GET_ITEM(list.ptr(), k);
        if (!PyUnicode_Check(item)) {
            PyErr_Format(PyExc_TypeError, "%s holds a non-str label %R", what, item);
            throw nb::python_error();
        }
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
        if (!utf8) throw nb::python_error();
        out[static_cast<std::size_t>(k)].assign(utf8, static_cast<std::size_t>(size));
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

// ---- client frames ----------------------------------------------------------------------

namespace {
// Keeps the level entries that rows use, ascending by `less`; returns old -> new position
// and leaves in `kept_levels` the old positions of the kept entries, in their new order.
template <class Label, class Less>
std::vector<std::int32_t> used_ascending(std::vector<Label>& labels, const Codes& codes, Less less,
                                         std::vector<std::int64_t>& kept_levels, bool all_used) {
    std::vector<std::uint8_t> used(labels.size(), all_used ? 1 : 0);
    const std::size_t n_labels = labels.size();
    if (!all_used)
        codes.visit([&](const auto* c, std::size_t n) {
            for (std::size_t r = 0; r < n; ++r)
                if (c[r] >= 0 && static_cast<std::size_t>(c[r]) < n_labels)
                    used[static_cast<std::size_t>(c[r])] = 1;
        });
    std::vector<std::int64_t> order;
    for (std::size_t k = 0; k < labels.size(); ++k)
        if (used[k]) order.push_back(static_cast<std::int64_t>(k));
    std::stable_sort(order.begin(), order.end(), [&](std::int64_t a, std::int64_t b) {
        return less(labels[static_cast<std::size_t>(a)], labels[static_cast<std::size_t>(b)]);
    });
    std::vector<std::int32_t> remap(labels.size(), -1);
    std::vector<Label> sorted;
    sorted.reserve(order.size());
    for (std::size_t r = 0; r < order.size(); ++r) {
        remap[static_cast<std::size_t>(order[r])] = static_cast<std::int32_t>(r);
        sorted.push_back(std::move(labels[static_cast<std::size_t>(order[r])]));
    }
    labels = std::move(sorted);
    kept_levels = std::move(order);
    return remap;
}

std::vector<std::int32_t> remapped(const Codes& codes, const std::vector<std::int32_t>& remap) {
    std::vector<std::int32_t> out(codes.size());
    const std::size_t n_labels = remap.size();
    codes.visit([&](const auto* c, std::size_t n) {
        for (std::size_t r = 0; r < n; ++r)
            out[r] = c[r] >= 0 && static_cast<std::size_t>(c[r]) < n_labels
                         ? remap[static_cast<std::size_t>(c[r])]
                         : -1;
    });
    return out;
}

// True when row r is (r / n_dates, r % n_dates) after remapping: the common answer, sorted
// by id then date with every cell present once.
bool rows_form_panel(const Codes& id_codes, const std::vector<std::int32_t>& id_remap,
                     const Codes& date_codes, const std::vector<std::int32_t>& date_remap,
                     std::size_t n_ids, std::size_t n_dates) {
    if (id_codes.size() != n_ids * n_dates || date_codes.size() != id_codes.size()) return false;
    bool ok = true;
    id_codes.visit([&](const auto* ci, std::size_t) {
        date_codes.visit([&](const auto* cd, std::size_t) {
            std::size_t r = 0;
            for (std::size_t i = 0; ok && i < n_ids; ++i)
                for (std::size_t d = 0; d < n_dates; ++d, ++r)
                    if (id_remap[static_cast<std::size_t>(ci[r])] != static_cast<std::int32_t>(i) ||
                        date_remap[static_cast<std::size_t>(cd[r])] !=
                            static_cast<std::int32_t>(d)) {
                        ok = false;
                        break;
                    }
        });
    });
    return ok;
}
// The raw codes run (0, 0), (0, 1), ... (n_ids - 1, n_dates - 1): every level entry used,
// rows sorted by level position.
bool codes_form_panel(const Codes& id_codes, const Codes& date_codes, std::size_t n_ids,
                      std::size_t n_dates) {
    if (n_ids == 0 || id_codes.size() != n_ids * n_dates || date_codes.size() != id_codes.size())
        return false;
    bool ok = true;
    id_codes.visit([&](const auto* ci, std::size_t) {
        using IdCode = std::remove_cv_t<std::remove_pointer_t<decltype(ci)>>;
        for (std::size_t i = 0; ok && i < n_ids; ++i) {
            const IdCode want = static_cast<IdCode>(i);
            const IdCode* row = ci + i * n_dates;
            IdCode mismatch = 0; // an OR of differences vectorises where a bool AND does not
            for (std::size_t d = 0; d < n_dates; ++d)
                mismatch |= static_cast<IdCode>(row[d] ^ want);
            ok = mismatch == 0 && static_cast<std::size_t>(want) == i;
        }
    });
    if (!ok) return false;
    date_codes.visit([&](const auto* cd, std::size_t) {
        using DateCode = std::remove_cv_t<std::remove_pointer_t<decltype(cd)>>;
        if (n_dates > 0 &&
            static_cast<std::size_t>(static_cast<DateCode>(n_dates - 1)) != n_dates - 1) {
            ok = false;
            return;
        }
        for (std::size_t i = 0; ok && i < n_ids; ++i) {
            const DateCode* row = cd + i * n_dates;
            DateCode mismatch = 0;
            DateCode want = 0;
            for (std::size_t d = 0; d < n_dates; ++d, ++want)
                mismatch |= static_cast<DateCode>(row[d] ^ want);
            ok = mismatch == 0;
        }
    });
    return ok;
}
} // namespace

std::vector<std::int32_t> level_codes(nb::handle multi_index, int level) {
    Codes codes(multi_index.attr("codes")[level]);
    std::vector<std::int32_t> out(codes.size());
    codes.visit([&](const auto* c, std::size_t n) {
        for (std::size_t r = 0; r < n; ++r) out[r] = static_cast<std::int32_t>(c[r]);
    });
    return out;
}

LongFrame read_long_frame(nb::handle frame, const char* what) {
    LongFrame out = read_long_index(frame, what);
    if (out.dense_sorted) {
        const std::size_t n_dates = out.dates.size();
        out.row_id.resize(out.rows);
        out.row_date.resize(out.rows);
        for (std::size_t r = 0; r < out.rows; ++r) {
            out.row_id[r] = static_cast<std::int32_t>(r / n_dates);
            out.row_date[r] = static_cast<std::int32_t>(r % n_dates);
        }
    }
    return out;
}

LongFrame read_long_index(nb::handle frame, const char* what) {
    nb::module_ pd = pandas();
    if (!nb::isinstance(frame, pd.attr("DataFrame"))) {
        PyErr_Format(PyExc_TypeError, "%s: expected a DataFrame from the data client, got %.200s",
                     what, Py_TYPE(frame.ptr())->tp_name);
        throw nb::python_error();
    }
    nb::object index = frame.attr("index");
    if (!nb::isinstance(index, pd.attr("MultiIndex")) ||
        nb::cast<int>(index.attr("nlevels")) != 2) {
        PyErr_Format(PyExc_ValueError,
                     "%s: expected the data client's frame indexed by (order_book_id, date)", what);
        throw nb::python_error();
    }
    LongFrame out;
    out.frame = nb::borrow(frame);
    nb::object levels = index.attr("levels"), codes = index.attr("codes");
    Codes id_codes(codes[0]), date_codes(codes[1]);
    out.rows = id_codes.size();
    nb::object id_level = levels[0], date_level_raw = levels[1];
    const std::size_t n_id_levels = nb::len(id_level), n_date_levels = nb::len(date_level_raw);
    bool canonical_codes = false;
    {
        nb::gil_scoped_release unlocked;
        canonical_codes = codes_form_panel(id_codes, date_codes, n_id_levels, n_date_levels);
    }

    auto identity = [](const std::vector<std::int32_t>& remap) {
        for (std::size_t k = 0; k < remap.size(); ++k)
            if (remap[k] != static_cast<std::int32_t>(k)) return false;
        return true;
    };
    std::string label_what = std::string(what) + ": order_book_id level";
    out.ids = str_labels(id_level, label_what.c_str());
    std::vector<std::int64_t> kept;
    std::vector<std::int32_t> id_remap =
        used_ascending(out.ids, id_codes, std::less<std::string>{}, kept, canonical_codes);
    // Levels that are already the sorted, used labels serve as they are.
    const bool ids_as_level = identity(id_remap);
    out.id_index = ids_as_level ? id_level : str_index(out.ids, "order_book_id");

    nb::object date_level = as_naive_datetime_index(date_level_raw);
    out.dates = datetime_ns(date_level);
    std::vector<std::int32_t> date_remap =
        used_ascending(out.dates, date_codes, std::less<std::int64_t>{}, kept, canonical_codes);
    const bool dates_as_level = identity(date_remap);
    out.date_index =
        dates_as_level ? date_level : date_level.attr("take")(numpy_array(std::move(kept)));

    nb::gil_scoped_release unlocked;
    out.dense_sorted = canonical_codes ? ids_as_level && dates_as_level
                                       : rows_form_panel(id_codes, id_remap, date_codes, date_remap,
                                                         out.ids.size(), out.dates.size());
    if (!out.dense_sorted) {
        out.row_id = remapped(id_codes, id_remap);
        out.row_date = remapped(date_codes, date_remap);
    }
    return out;
}

std::vector<double> read_column(const LongFrame& frame, nb::handle field) {
    return to_float_vector(frame.frame[field]);
}

core::Panel long_to_panel(const LongFrame& frame, std::vector<double>&& values,
                          core::Duplicates policy) {
    if (frame.dense_sorted && values.size() == frame.rows) {
        core::Panel panel;
        panel.n_ids = frame.ids.size();
        panel.n_dates = frame.dates.size();
        panel.values = std::move(values);
        return panel;
    }
    return long_to_panel(frame, static_cast<const std::vector<double>&>(values), policy);
}

core::PanelView panel_view(const LongFrame& frame, const FloatColumn& values,
                           core::Panel& storage) {
    if (frame.dense_sorted && values.size() == frame.rows)
        return {frame.ids.size(), frame.dates.size(), values.data()};
    if (frame.rows != values.size()) throw nb::value_error("index and value column lengths differ");
    std::vector<double> copy(values.data(), values.data() + values.size());
    storage = long_to_panel(frame, copy);
    return storage;
}

core::Panel long_to_panel(const LongFrame& frame, const std::vector<double>& values,
                          core::Duplicates policy) {
    if (frame.dense_sorted && values.size() == frame.rows) {
        core::Panel panel;
        panel.n_ids = frame.ids.size();
        panel.n_dates = frame.dates.size();
        panel.values = values;
        return panel;
    }
    core::Scattered s;
    {
        nb::gil_scoped_release unlocked;
        s = core::scatter_rows(frame.row_id, frame.row_date, values, frame.ids.size(),
                               frame.dates.size(), policy);
    }
    if (policy == core::Duplicates::report && s.first_duplicate >= 0) {
        const auto r = static_cast<std::size_t>(s.first_duplicate);
        nb::object date = frame.date_index[frame.row_date[r]];
        std::string id = frame.ids[static_cast<std::size_t>(frame.row_id[r])];
        nb::str date_text = nb::str(date);
        PyErr_Format(
            PyExc_ValueError,
            "the data client's answer holds duplicate entries for (%R, %S); cannot reshape",
            nb::str(id.data(), id.size()).ptr(), date_text.ptr());
        throw nb::python_error();
    }
    return std::move(s.panel);
}

// ---- results ----------------------------------------------------------------------------

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

} // namespace brelvox::bridge
