// The weight lists of brelvox.marketdata.pelmar: requested dates, the service's records and
// the client's Series read into dense date-by-constituent lists, and the result frames.
#include "pelmar.hpp"

#include "align.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <span>
#include <string_view>
#include <unordered_map>

namespace brelvox::pelmar {

Requested read_requested(nb::handle dates) {
    Requested out;
    bridge::DateLabels labels = bridge::read_dates(dates, bridge::kWallClock, "concerned_dates");
    out.index = labels.index;
    out.us = std::move(labels.us);
    out.order = core::ascending_order(out.us);
    out.sorted_us.resize(out.us.size());
    for (std::size_t k = 0; k < out.order.size(); ++k)
        out.sorted_us[k] = out.us[static_cast<std::size_t>(out.order[k])];
    return out;
}

static bool is_identity(const std::vector<std::int64_t>& order) {
    for (std::size_t k = 0; k < order.size(); ++k)
        if (order[k] != static_cast<std::int64_t>(k)) return false;
    return true;
}

// The requested dates ascending, named `date` (a new index: the caller's keeps its name).
nb::object sorted_date_index(const Requested& req) {
    if (is_identity(req.order)) return bridge::renamed(req.index, "date");
    std::vector<std::int64_t> order = req.order;
    nb::object taken = req.index.attr("take")(bridge::numpy_array(std::move(order)));
    return bridge::renamed(taken, "date");
}

bool is_requested(const Requested& req, std::int64_t us) {
    return std::binary_search(req.sorted_us.begin(), req.sorted_us.end(), us);
}

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

static double weight_value(PyObject* value, const std::string& id) {
    if (value == Py_None) return std::numeric_limits<double>::quiet_NaN();
    const double w = PyFloat_AsDouble(value);
    if (w == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        bridge::raise_error(PyExc_TypeError, "weight of constituent %s is not a number: %R",
                            id.c_str(), value);
    }
    return w;
}

static std::string_view text_of(PyObject* value, const char* what) {
    std::string_view text;
    if (!bridge::utf8_of(value, text))
        bridge::raise_error(PyExc_TypeError, "%s must be a str, got %R", what, value);
    return text;
}

// The per-date look-up must answer with a Series of weights by constituent.
static void require_series(nb::handle value) {
    if (!nb::isinstance(value, bridge::pandas().attr("Series")))
        bridge::raise_answer_type("index weights of the first date",
                                  "a Series of weights by constituent", value);
}

// A constituent named twice in the first date's list is refused, whichever path reads the
// list: two weights of one constituent make neither one column nor a total of 1.
static void require_distinct(nb::handle value, std::int64_t date_us) {
    nb::object labels = nb::list(value.attr("index"));
    nb::object seen = nb::steal(PySet_New(nullptr));
    if (!seen.is_valid()) throw nb::python_error();
    for (nb::handle label : labels) {
        const int found = PySet_Contains(seen.ptr(), label.ptr());
        if (found < 0 || (found == 0 && PySet_Add(seen.ptr(), label.ptr()) < 0))
            throw nb::python_error();
        if (found)
            bridge::raise_duplicate_entry("the index weights of the first requested date", label,
                                          bridge::timestamp_of(date_us));
    }
}

// A weights Series by constituent, scaled to a total of 1 (missing weights left out of
// the total), appended as rows dated `date_us`.
void append_scaled_list(RecordRows& rows, nb::handle value, std::int64_t date_us) {
    require_series(value);
    require_distinct(value, date_us);
    std::vector<std::string> ids = bridge::str_labels(value.attr("index"), "index weights");
    std::vector<double> w = bridge::to_float_vector(value);
    const double total = core::nan_skipping_total(w);
    const auto date = static_cast<std::int32_t>(rows.tables.dates.size());
    rows.tables.dates.push_back(date_us);
    for (std::size_t k = 0; k < ids.size() && k < w.size(); ++k)
        rows.add(rows.code_of(ids[k]), date, w[k] / total);
}

template <class Strict>
static DenseLists to_dense(Tables& tables, const core::CodeSpan& row_id,
                           const core::CodeSpan& row_date, std::span<const double> weight,
                           Strict strict, const char* source,
                           const std::vector<std::uint8_t>* valid_ids = nullptr) {
    // Every table entry gets its place; those no row fills are dropped afterwards.
    // A NaT date or a constituent that is no label has no place.
    std::vector<std::uint8_t> every_date(tables.dates.size());
    for (std::size_t k = 0; k < every_date.size(); ++k)
        every_date[k] = tables.dates[k] != bridge::kNaT;
    core::UsedLabels<std::string> ids = core::used_ascending(
        tables.ids, valid_ids ? *valid_ids : std::vector<std::uint8_t>(tables.ids.size(), 1));
    core::UsedLabels<std::int64_t> dates = core::used_ascending(tables.dates, every_date);
    std::vector<bool> strict_date(dates.distinct.size());
    for (std::size_t d = 0; d < strict_date.size(); ++d) strict_date[d] = strict(dates.distinct[d]);
    core::ListWeights dense;
    {
        nb::gil_scoped_release unlocked;
        dense = core::scatter_weights(row_id, row_date, weight, ids.position, dates.position,
                                      ids.distinct.size(), dates.distinct.size(), strict_date);
    }
    if (dense.first_duplicate >= 0) {
        const auto r = dense.first_duplicate;
        const auto id_code =
            std::visit([&](auto c) { return static_cast<std::size_t>(c[r]); }, row_id);
        const auto date_code =
            std::visit([&](auto c) { return static_cast<std::size_t>(c[r]); }, row_date);
        const std::string& id = tables.ids[id_code];
        bridge::raise_duplicate_entry(source, nb::str(id.data(), id.size()),
                                      bridge::timestamp_of(tables.dates[date_code]));
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
    return bridge::row_major_frame(std::move(rows.values), rows.n_dates, rows.n_constituents, index,
                                   columns);
}

// List weights carried forward over the requested dates, rows ascending.
nb::object spread_frame(DenseLists&& lists, const Requested& req, bool lists_complete) {
    std::vector<std::int64_t> pos = core::positions_in_sorted(lists.dates, req.sorted_us);
    core::DateRows spread;
    {
        nb::gil_scoped_release unlocked;
        spread = core::spread_forward(std::move(lists.weights), pos, lists_complete);
    }
    return date_major_frame(std::move(spread), sorted_date_index(req),
                            bridge::str_index(lists.ids, "order_book_id"));
}

// No list in the span: the first date's list, scaled to 1, on every distinct requested date.
nb::object constant_weights(nb::handle value, const Requested& req) {
    require_series(value);
    require_distinct(value, req.us.front());
    std::vector<double> w = bridge::to_float_vector(value);
    const double total = core::nan_skipping_total(w);
    std::vector<std::int64_t> first_of_run;
    for (std::size_t k = 0; k < req.sorted_us.size(); ++k)
        if (k == 0 || req.sorted_us[k] != req.sorted_us[k - 1])
            first_of_run.push_back(req.order[k]);
    const std::size_t n_dates = first_of_run.size();
    core::Panel panel(w.size(), n_dates, 0.0);
    for (std::size_t c = 0; c < w.size(); ++c) std::fill_n(panel.series(c), n_dates, w[c] / total);
    nb::object index = req.index.attr("take")(bridge::numpy_array(std::move(first_of_run)));
    return bridge::make_frame(std::move(panel), bridge::renamed(index, "date"),
                              bridge::renamed(value.attr("index"), "order_book_id"));
}

// The service's weight records row by row; every constituent row learns its list date (in
// place, as callers of the service expect).
RecordRows read_records(nb::handle data, nb::handle data_key, nb::handle o_key) {
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
    rows.tables.dates = bridge::date_ticks(record_dates, "index weight records");
    return rows;
}

DenseLists record_lists(RecordRows& rows, const Requested& req) {
    const core::CodeSpan id_codes = std::span<const std::int32_t>(rows.row_id);
    const core::CodeSpan date_codes = std::span<const std::int32_t>(rows.row_date);
    return to_dense(
        rows.tables, id_codes, date_codes, rows.weight,
        [&](std::int64_t us) { return is_requested(req, us); }, "the index weight records");
}

// Bond index weights: a Series on (date, constituent), read in place.
DenseLists read_bond_weights(nb::handle answer) {
    nb::module_ pd = bridge::pandas();
    if (!nb::isinstance(answer, pd.attr("Series")))
        bridge::raise_answer_type("bond index weights", "a Series", answer);
    const char* what = "bond index weights";
    nb::object index = answer.attr("index");
    bridge::require_two_levels(index, what, "(date, order_book_id)");
    auto date_codes = bridge::checked_codes(index, 0, what);
    auto id_codes = bridge::checked_codes(index, 1, what);
    nb::object levels = index.attr("levels");
    Tables tables;
    tables.dates = bridge::date_ticks(levels[0], "bond index weights: date level");
    // A constituent label that is not a str (NaN among them) names no constituent.
    bridge::LabelTable ids = bridge::id_table(levels[1]);
    tables.ids = std::move(ids.text);
    bridge::FloatColumn weight(answer, what);
    bridge::require_same_length(what, date_codes->size(), weight.size());
    bridge::require_same_length(what, id_codes->size(), weight.size());
    // Rows under a non-str constituent are left out through the table position.
    DenseLists out = to_dense(
        tables, id_codes->span(), date_codes->span(), weight.values(),
        [](std::int64_t) { return true; }, "the data client's bond index weights", &ids.valid);
    return out;
}

} // namespace brelvox::pelmar
