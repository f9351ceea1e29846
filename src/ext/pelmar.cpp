// brelvox.marketdata.pelmar: constituent weights of stock and bond indexes on requested dates.
#include "bridge.hpp"

#include "index_weights.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

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

static Requested read_requested(nb::handle dates) {
    nb::module_ pd = bridge::pandas();
    Requested out;
    out.index = nb::borrow(dates);
    if (!nb::isinstance(dates, pd.attr("DatetimeIndex")))
        out.index = pd.attr("DatetimeIndex")(dates);
    out.ns = bridge::to_date_labels(out.index).ns;
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

// Long rows of weights: one per (constituent, list date).
struct WeightRows {
    std::vector<std::string> id;
    std::vector<double> weight;
    std::vector<std::int64_t> date_ns;
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

static std::string text_of(PyObject* value, const char* what) {
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be a str, got %R", what, value);
        throw nb::python_error();
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (!utf8) throw nb::python_error();
    return std::string(utf8, static_cast<std::size_t>(size));
}

// A weights Series by constituent, scaled to a total of 1 (missing weights left out of
// the total), appended as rows dated `date_ns`.
static void append_scaled_list(WeightRows& rows, nb::handle value, std::int64_t date_ns) {
    std::vector<std::string> ids = bridge::str_labels(value.attr("index"), "index weights");
    std::vector<double> w = bridge::to_float_vector(value);
    double total = 0.0;
    for (double v : w)
        if (!std::isnan(v)) total += v;
    for (std::size_t k = 0; k < ids.size() && k < w.size(); ++k) {
        rows.id.push_back(std::move(ids[k]));
        rows.weight.push_back(w[k] / total);
        rows.date_ns.push_back(date_ns);
    }
}

// Dense constituent-by-list-date weights of long rows; duplicates on a date accepted by
// `strict` raise ValueError naming the first.
struct DenseLists {
    core::Panel weights;
    std::vector<std::string> ids;
    std::vector<std::int64_t> dates;
};

template <class Strict>
static DenseLists to_dense(const WeightRows& rows, Strict strict, const char* source) {
    DenseLists out;
    std::vector<std::string_view> views(rows.id.begin(), rows.id.end());
    core::RankedText ids = core::rank_text(views);
    core::Ranked dates = core::rank_labels(rows.date_ns);
    std::vector<bool> strict_date(dates.distinct.size());
    for (std::size_t d = 0; d < strict_date.size(); ++d) strict_date[d] = strict(dates.distinct[d]);
    core::ListWeights dense;
    {
        nb::gil_scoped_release unlocked;
        dense = core::scatter_weights(ids.rank, dates.rank, rows.weight, ids.distinct.size(),
                                      dates.distinct.size(), strict_date);
    }
    if (dense.first_duplicate >= 0) {
        const auto r = static_cast<std::size_t>(dense.first_duplicate);
        nb::object when = bridge::pandas().attr("Timestamp")(rows.date_ns[r]);
        nb::str when_text = nb::str(when);
        PyErr_Format(PyExc_ValueError, "%s hold duplicate entries for (%R, %S); cannot reshape",
                     source, nb::str(rows.id[r].data(), rows.id[r].size()).ptr(), when_text.ptr());
        throw nb::python_error();
    }
    out.weights = std::move(dense.weights);
    out.ids = std::move(ids.distinct);
    out.dates = std::move(dates.distinct);
    return out;
}

// List weights carried forward over the requested dates, rows ascending.
static nb::object spread_frame(DenseLists&& lists, const Requested& req) {
    std::vector<std::int64_t> pos = core::positions_in_sorted(lists.dates, req.sorted_ns);
    core::Panel spread;
    {
        nb::gil_scoped_release unlocked;
        spread = core::spread_forward(lists.weights, pos);
    }
    return bridge::make_frame(std::move(spread), sorted_date_index(req),
                              bridge::str_index(lists.ids, "order_book_id"));
}

// No list in the span: the first date's list, scaled to 1, on every distinct requested date.
static nb::object constant_weights(nb::handle value, const Requested& req) {
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
    Requested req = read_requested(bridge::pandas().attr("to_datetime")(concerned_dates));
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
    WeightRows rows;
    nb::list record_dates;
    std::vector<std::int64_t> row_record;
    nb::str date_key("date"), weight_key("weight");
    for (nb::handle doc : data) {
        nb::object date = doc[date_key];
        nb::object constituents = doc[data_key];
        const auto record = static_cast<std::int64_t>(nb::len(record_dates));
        record_dates.append(date);
        for (nb::handle row : constituents) {
            row[date_key] = date;
            rows.id.push_back(text_of(nb::object(row[o_key]).ptr(), "constituent identifier"));
            rows.weight.push_back(weight_value(nb::object(row[weight_key]).ptr(), rows.id.back()));
            row_record.push_back(record);
        }
    }
    const std::vector<std::int64_t> record_ns = bridge::to_date_labels(record_dates).ns;
    rows.date_ns.resize(row_record.size());
    for (std::size_t r = 0; r < row_record.size(); ++r)
        rows.date_ns[r] = record_ns[static_cast<std::size_t>(row_record[r])];

    // The first requested date needs its own list unless some record is dated on it.
    const std::int64_t start_ns = req.ns.front();
    if (std::find(record_ns.begin(), record_ns.end(), start_ns) == record_ns.end()) {
        nb::object value = api(order_book_id, start);
        if (value.is_none()) bridge::raise_missing_data(kIndexWeights, order_book_id, dates);
        append_scaled_list(rows, value, start_ns);
    }

    // Only lists on requested dates reach the result; duplicates elsewhere do no harm.
    DenseLists lists = to_dense(
        rows, [&](std::int64_t ns) { return is_requested(req, ns); }, "the index weight records");
    {
        nb::gil_scoped_release unlocked;
        core::normalise_by_date(lists.weights);
    }
    return spread_frame(std::move(lists), req);
}

static nb::object get_stock_index_weight(nb::handle order_book_id, nb::handle concerned_dates) {
    bridge::require_str_or_none(order_book_id, "order_book_id");
    nb::object api = bridge::client(module_handle).attr("index_weights");
    nb::object stock = module_handle.attr("AssetType").attr("STOCK");
    return get_index_weight(order_book_id, concerned_dates, api,
                            nb::str("__internal__index_weights"), nb::str("data"),
                            nb::str("order_book_id"), stock);
}

// Reads a weights Series on (date, constituent) into long rows.
static WeightRows read_bond_weights(nb::handle answer) {
    nb::module_ pd = bridge::pandas();
    nb::object index = answer.attr("index");
    if (!nb::isinstance(index, pd.attr("MultiIndex")) || nb::cast<int>(index.attr("nlevels")) != 2)
        throw nb::value_error("bond index weights: expected the data client's Series indexed by "
                              "(date, order_book_id)");
    nb::object levels = index.attr("levels"), codes = index.attr("codes");
    std::vector<std::int64_t> level_dates = bridge::to_date_labels(levels[0]).ns;
    std::vector<std::string> level_ids =
        bridge::str_labels(levels[1], "bond index weights: order_book_id level");
    std::vector<std::int32_t> date_code = bridge::to_vector<std::int32_t>(codes[0], "int32");
    std::vector<std::int32_t> id_code = bridge::to_vector<std::int32_t>(codes[1], "int32");
    std::vector<double> values = bridge::to_float_vector(answer);
    WeightRows rows;
    for (std::size_t r = 0; r < values.size() && r < date_code.size(); ++r) {
        if (date_code[r] < 0 || id_code[r] < 0) continue;
        rows.id.push_back(level_ids[static_cast<std::size_t>(id_code[r])]);
        rows.weight.push_back(values[r]);
        rows.date_ns.push_back(level_dates[static_cast<std::size_t>(date_code[r])]);
    }
    return rows;
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
    DenseLists lists = to_dense(
        read_bond_weights(answer), [](std::int64_t) { return true; },
        "the data client's bond index weights");
    return spread_frame(std::move(lists), req);
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
