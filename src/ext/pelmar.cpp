// brelvox.marketdata.pelmar: constituent weights of stock and bond indexes on requested dates.
#include "bridge.hpp"

#include "index_weights.hpp"
#include "pelmar_arrays.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <span>
#include <string_view>
#include <unordered_map>

namespace brelvox::pelmar {

namespace bridge = brelvox::bridge;
static nb::handle module_handle;

static const char* const kIndexWeights = "指数权重数据";

// The requested dates as a DatetimeIndex, their nanoseconds and their ascending order.
struct Requested {
    nb::object index;
    std::vector<std::int64_t> ns;
    std::vector<std::int64_t> order;
    std::vector<std::int64_t> sorted_ns;
};

// `pd.to_datetime(dates)` as a DatetimeIndex (an existing one is already its own result).
static nb::object to_datetime_index(nb::handle dates) {
    nb::module_ pd = bridge::pandas();
    if (nb::isinstance(dates, pd.attr("DatetimeIndex"))) return nb::borrow(dates);
    nb::object out = pd.attr("to_datetime")(dates);
    if (!nb::isinstance(out, pd.attr("DatetimeIndex"))) out = pd.attr("DatetimeIndex")(out);
    return out;
}

static Requested read_requested(nb::handle dates) {
    Requested out;
    out.index = to_datetime_index(dates);
    out.ns = arrays::datetime_index_ns(out.index);
    out.order = core::ascending_order(out.ns);
    out.sorted_ns.resize(out.ns.size());
    for (std::size_t k = 0; k < out.order.size(); ++k)
        out.sorted_ns[k] = out.ns[static_cast<std::size_t>(out.order[k])];
    return out;
}

static bool is_identity(const std::vector<std::int64_t>& order) {
    for (std::size_t k = 0; k < order.size(); ++k)
        if (order[k] != static_cast<std::int64_t>(k)) return false;
    return true;
}

// The requested dates ascending, named `date` (a new index: the caller's keeps its name).
static nb::object sorted_date_index(const Requested& req) {
    if (is_identity(req.order)) return bridge::renamed(req.index, "date");
    std::vector<std::int64_t> order = req.order;
    nb::object taken = req.index.attr("take")(bridge::numpy_array(std::move(order)));
    return bridge::renamed(taken, "date");
}

static bool is_requested(const Requested& req, std::int64_t ns) {
    return std::binary_search(req.sorted_ns.begin(), req.sorted_ns.end(), ns);
}

// Label tables of long weight rows: constituent identifiers and list dates (ns).
struct Tables {
    std::vector<std::string> ids;
    std::vector<std::int64_t> dates;
};

template <class Label>
static std::vector<Label> kept(std::vector<Label>&& labels, const std::vector<std::uint8_t>& keep) {
    std::vector<Label> out;
    for (std::size_t k = 0; k < labels.size(); ++k)
        if (keep[k]) out.push_back(std::move(labels[k]));
    return out;
}

static bool all_set(const std::vector<std::uint8_t>& flags) {
    return std::all_of(flags.begin(), flags.end(), [](std::uint8_t f) { return f != 0; });
}

// Weight records read row by row: codes into `tables`, identifiers interned as they come.
struct RecordRows {
    Tables tables;
    std::vector<std::int32_t> row_id, row_date;
    std::vector<double> weight;
    std::unordered_map<std::string, std::int32_t> id_code;

    std::int32_t code_of(std::string_view id) {
        auto [it, added] =
            id_code.try_emplace(std::string(id), static_cast<std::int32_t>(tables.ids.size()));
        if (added) tables.ids.emplace_back(id);
        return it->second;
    }
    void add(std::int32_t id, std::int32_t date, double w) {
        row_id.push_back(id);
        row_date.push_back(date);
        weight.push_back(w);
    }
};

static double weight_value(PyObject* value, const std::string& id) {
    if (value == Py_None) return std::numeric_limits<double>::quiet_NaN();
    const double w = PyFloat_AsDouble(value);
    if (w == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "weight of constituent %s is not a number: %R", id.c_str(),
                     value);
        throw nb::python_error();
    }
    return w;
}

static std::string_view text_of(PyObject* value, const char* what) {
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be a str, got %R", what, value);
        throw nb::python_error();
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (!utf8) throw nb::python_error();
    return std::string_view(utf8, static_cast<std::size_t>(size));
}

// The per-date look-up must answer with a Series of weights by constituent.
static void require_series(nb::handle value) {
    if (!nb::isinstance(value, bridge::pandas().attr("Series"))) {
        PyErr_Format(PyExc_TypeError,
                     "index weights of the first date: expected a Series of weights by "
                     "constituent, got %.200s",
                     Py_TYPE(value.ptr())->tp_name);
        throw nb::python_error();
    }
}

// A weights Series by constituent, scaled to a total of 1 (missing weights left out of
// the total), appended as rows dated `date_ns`.
static void append_scaled_list(RecordRows& rows, nb::handle value, std::int64_t date_ns) {
    require_series(value);
    std::vector<std::string> ids = bridge::str_labels(value.attr("index"), "index weights");
    std::vector<double> w = bridge::to_float_vector(value);
    double total = 0.0;
    for (double v : w)
        if (!std::isnan(v)) total += v;
    const auto date = static_cast<std::int32_t>(rows.tables.dates.size());
    rows.tables.dates.push_back(date_ns);
    for (std::size_t k = 0; k < ids.size() && k < w.size(); ++k)
        rows.add(rows.code_of(ids[k]), date, w[k] / total);
}

// Dense list-date-by-constituent weights; a duplicate on a date accepted by `strict` raises
// ValueError naming it.
struct DenseLists {
    core::DateRows weights;
    std::vector<std::string> ids;
    std::vector<std::int64_t> dates;
};

template <class IdCodes, class DateCodes, class Strict>
static DenseLists to_dense(Tables& tables, const IdCodes& row_id, const DateCodes& row_date,
                           std::span<const double> weight, Strict strict, const char* source) {
    // Every table entry gets its place; those no row fills are dropped afterwards.
    core::UsedLabels<std::string> ids =
        core::used_ascending(tables.ids, std::vector<std::uint8_t>(tables.ids.size(), 1));
    core::UsedLabels<std::int64_t> dates =
        core::used_ascending(tables.dates, std::vector<std::uint8_t>(tables.dates.size(), 1));
    std::vector<bool> strict_date(dates.distinct.size());
    for (std::size_t d = 0; d < strict_date.size(); ++d) strict_date[d] = strict(dates.distinct[d]);
    core::ListWeights dense;
    {
        nb::gil_scoped_release unlocked;
        dense = core::scatter_weights(row_id, row_date, weight, ids.position, dates.position,
                                      ids.distinct.size(), dates.distinct.size(), strict_date);
    }
    if (dense.first_duplicate >= 0) {
        const auto r = static_cast<std::size_t>(dense.first_duplicate);
        const std::string& id = tables.ids[static_cast<std::size_t>(row_id[r])];
        const std::int64_t ns = tables.dates[static_cast<std::size_t>(row_date[r])];
        nb::str when = nb::str(bridge::pandas().attr("Timestamp")(ns));
        PyErr_Format(PyExc_ValueError, "%s hold duplicate entries for (%R, %S); cannot reshape",
                     source, nb::str(id.data(), id.size()).ptr(), when.ptr());
        throw nb::python_error();
    }
    DenseLists out;
    if (all_set(dense.date_seen) && all_set(dense.constituent_seen)) {
        out.weights = std::move(dense.weights);
        out.ids = std::move(ids.distinct);
        out.dates = std::move(dates.distinct);
    } else {
        out.weights = core::compact(dense.weights, dense.date_seen, dense.constituent_seen);
        out.ids = kept(std::move(ids.distinct), dense.constituent_seen);
        out.dates = kept(std::move(dates.distinct), dense.date_seen);
    }
    return out;
}

// A frame on a date-major block (its columns are strided views, as pandas builds them from
// a two-dimensional array), zero-copy.
static nb::object date_major_frame(core::DateRows&& rows, nb::handle index, nb::handle columns) {
    const std::size_t n_dates = rows.n_dates, n_cols = rows.n_constituents;
    nb::object array = bridge::numpy_array(std::move(rows.values), n_dates, n_cols);
    return bridge::pandas().attr("DataFrame")(array, "index"_a = index, "columns"_a = columns,
                                              "copy"_a = false);
}

// List weights carried forward over the requested dates, rows ascending.
static nb::object spread_frame(DenseLists&& lists, const Requested& req, bool lists_complete) {
    std::vector<std::int64_t> pos = core::positions_in_sorted(lists.dates, req.sorted_ns);
    core::DateRows spread;
    {
        nb::gil_scoped_release unlocked;
        spread = core::spread_forward(std::move(lists.weights), pos, lists_complete);
    }
    return date_major_frame(std::move(spread), sorted_date_index(req),
                            bridge::str_index(lists.ids, "order_book_id"));
}

// No list in the span: the first date's list, scaled to 1, on every distinct requested date.
static nb::object constant_weights(nb::handle value, const Requested& req) {
    require_series(value);
    std::vector<double> w = bridge::to_float_vector(value);
    double total = 0.0;
    for (double v : w)
        if (!std::isnan(v)) total += v;
    std::vector<std::int64_t> first_of_run;
    for (std::size_t k = 0; k < req.sorted_ns.size(); ++k)
        if (k == 0 || req.sorted_ns[k] != req.sorted_ns[k - 1])
            first_of_run.push_back(req.order[k]);
    const std::size_t n_dates = first_of_run.size();
    core::Panel panel(w.size(), n_dates, 0.0);
    for (std::size_t c = 0; c < w.size(); ++c) std::fill_n(panel.series(c), n_dates, w[c] / total);
    nb::object index = req.index.attr("take")(bridge::numpy_array(std::move(first_of_run)));
    return bridge::make_frame(std::move(panel), bridge::renamed(index, "date"),
                              bridge::renamed(value.attr("index"), "order_book_id"));
}

static nb::object get_index_weight(nb::handle order_book_id, nb::handle concerned_dates,
                                   nb::handle api, nb::handle api_name, nb::handle data_key,
                                   nb::handle o_key, nb::handle /*asset_type*/) {
    bridge::require_str_or_none(order_book_id, "order_book_id");
    Requested req = read_requested(concerned_dates);
    nb::object dates = req.index;
    nb::object start = dates[0], end = dates[-1];

    nb::object to_int = module_handle.attr("convert_date_to_int");
    nb::object service = bridge::client(module_handle).attr("client").attr("get_client")();
    nb::object data = service.attr("execute")(api_name, order_book_id, to_int(start), to_int(end));
    const int has_data = PyObject_IsTrue(data.ptr());
    if (has_data < 0) throw nb::python_error();

    if (!has_data) {
        nb::object value = api(order_book_id, start);
        if (value.is_none()) bridge::raise_missing_data(kIndexWeights, order_book_id, dates);
        return constant_weights(value, req);
    }

    // Every constituent row learns its list date (in place, as callers of the service expect).
    RecordRows rows;
    nb::list record_dates;
    nb::str date_key("date"), weight_key("weight");
    for (nb::handle doc : data) {
        nb::object date = doc[date_key];
        nb::object constituents = doc[data_key];
        const auto record = static_cast<std::int32_t>(nb::len(record_dates));
        record_dates.append(date);
        for (nb::handle row : constituents) {
            row[date_key] = date;
            nb::object id = row[o_key];
            const std::int32_t code = rows.code_of(text_of(id.ptr(), "constituent identifier"));
            rows.add(code, record,
                     weight_value(nb::object(row[weight_key]).ptr(),
                                  rows.tables.ids[static_cast<std::size_t>(code)]));
        }
    }
    rows.tables.dates = bridge::to_date_labels(record_dates).ns;

    // The first requested date needs its own list unless some record is dated on it.
    const std::int64_t start_ns = req.ns.front();
    const std::vector<std::int64_t>& record_ns = rows.tables.dates;
    if (std::find(record_ns.begin(), record_ns.end(), start_ns) == record_ns.end()) {
        nb::object value = api(order_book_id, start);
        if (value.is_none()) bridge::raise_missing_data(kIndexWeights, order_book_id, dates);
        append_scaled_list(rows, value, start_ns);
    }

    // Only lists on requested dates reach the result; duplicates elsewhere do no harm.
    Tables& tables = rows.tables;
    const core::StridedCodes<std::int32_t> id_codes{rows.row_id.data(), 1, rows.row_id.size()};
    const core::StridedCodes<std::int32_t> date_codes{rows.row_date.data(), 1,
                                                      rows.row_date.size()};
    DenseLists lists = to_dense(
        tables, id_codes, date_codes, rows.weight,
        [&](std::int64_t ns) { return is_requested(req, ns); }, "the index weight records");
    {
        nb::gil_scoped_release unlocked;
        core::normalise_by_date(lists.weights);
    }
    return spread_frame(std::move(lists), req, false);
}

static nb::object get_stock_index_weight(nb::handle order_book_id, nb::handle concerned_dates) {
    bridge::require_str_or_none(order_book_id, "order_book_id");
    nb::object api = bridge::client(module_handle).attr("index_weights");
    nb::object stock = module_handle.attr("AssetType").attr("STOCK");
    return get_index_weight(order_book_id, concerned_dates, api,
                            nb::str("__internal__index_weights"), nb::str("data"),
                            nb::str("order_book_id"), stock);
}

// Calls `fn` with the codes of `view` read in place at their own integer width.
template <class F> static auto with_codes(const arrays::CodeView& view, F&& fn) {
    const nb::dlpack::dtype type = view.dtype();
    if (type.code != static_cast<std::uint8_t>(nb::dlpack::dtype_code::Int))
        throw nb::type_error("index codes must be integers");
    const std::size_t n = view.shape(0);
    const std::int64_t stride = view.stride(0);
    const void* data = view.data();
    switch (type.bits) {
    case 8:
        return fn(
            core::StridedCodes<std::int8_t>{static_cast<const std::int8_t*>(data), stride, n});
    case 16:
        return fn(
            core::StridedCodes<std::int16_t>{static_cast<const std::int16_t*>(data), stride, n});
    case 32:
        return fn(
            core::StridedCodes<std::int32_t>{static_cast<const std::int32_t*>(data), stride, n});
    default:
        return fn(
            core::StridedCodes<std::int64_t>{static_cast<const std::int64_t*>(data), stride, n});
    }
}

// Bond index weights: a Series on (date, constituent), read in place.
static DenseLists read_bond_weights(nb::handle answer) {
    nb::module_ pd = bridge::pandas();
    nb::object index = answer.attr("index");
    if (!nb::isinstance(index, pd.attr("MultiIndex")) || nb::cast<int>(index.attr("nlevels")) != 2)
        throw nb::value_error("bond index weights: expected the data client's Series indexed by "
                              "(date, order_book_id)");
    nb::object levels = index.attr("levels"), codes = index.attr("codes");
    Tables tables;
    tables.dates = bridge::to_date_labels(levels[0]).ns;
    tables.ids = bridge::str_labels(levels[1], "bond index weights: order_book_id level");
    nb::module_ np = bridge::numpy();
    nb::object date_array = np.attr("asarray")(codes[0]), id_array = np.attr("asarray")(codes[1]);
    auto date_view = nb::cast<arrays::CodeView>(date_array);
    auto id_view = nb::cast<arrays::CodeView>(id_array);
    arrays::Floats weight;
    arrays::read_floats(answer, weight);
    if (weight.values.size() != date_view.shape(0) || weight.values.size() != id_view.shape(0))
        throw nb::value_error("bond index weights: values and index differ in length");
    return with_codes(date_view, [&](auto date_codes) {
        return with_codes(id_view, [&](auto id_codes) {
            return to_dense(
                tables, id_codes, date_codes, weight.values, [](std::int64_t) { return true; },
                "the data client's bond index weights");
        });
    });
}

static nb::object get_bond_index_weight(nb::handle order_book_id, nb::handle concerned_dates) {
    bridge::require_str_or_none(order_book_id, "order_book_id");
    nb::object first = concerned_dates[0], last = concerned_dates[-1];
    nb::object answer = bridge::client(module_handle)
                            .attr("bond")
                            .attr("index_weights")(order_book_id, first, last);
    if (answer.is_none()) bridge::raise_missing_data(kIndexWeights, order_book_id, concerned_dates);
    Requested req = read_requested(concerned_dates);
    // Delivered as is: no scaling, no list for the first date.
    return spread_frame(read_bond_weights(answer), req, true);
}

} // namespace brelvox::pelmar

NB_MODULE(pelmar, m) {
    using namespace brelvox::pelmar;
    namespace bridge = brelvox::bridge;
    module_handle = m;
    m.attr("pd") = bridge::pandas();
    m.attr("ondrax") = nb::module_::import_("ondrax");
    m.attr("convert_date_to_int") =
        nb::module_::import_("brelvox.utils.format").attr("convert_date_to_int");
    m.attr("AssetType") = nb::module_::import_("brelvox.const").attr("AssetType");
    m.attr("MissingData") = nb::module_::import_("brelvox.exceptions").attr("MissingData");

    bridge::export_function(
        m, "get_stock_index_weight",
        nb::cpp_function(&get_stock_index_weight, nb::name("get_stock_index_weight"),
                         "order_book_id"_a.none(), "concerned_dates"_a.none()),
        "Constituent weights of a stock index on every requested date, each date summing to 1.");
    bridge::export_function(
        m, "get_bond_index_weight",
        nb::cpp_function(&get_bond_index_weight, nb::name("get_bond_index_weight"),
                         "order_book_id"_a.none(), "concerned_dates"_a.none()),
        "Constituent weights of a bond index on every requested date, as delivered.");
    bridge::export_function(
        m, "_get_index_weight",
        nb::cpp_function(&get_index_weight, nb::name("_get_index_weight"), "order_book_id"_a.none(),
                         "concerned_dates"_a.none(), "api"_a.none(), "api_name"_a.none(),
                         "data_key"_a.none(), "o_key"_a.none(), "asset_type"_a.none()));
}
