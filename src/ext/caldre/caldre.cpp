// brelvox.marketdata.caldre: ChinaBond valuations and the treasury yield curve.
#include "bridge.hpp"

#include "align.hpp"
#include "index_weights.hpp"
#include "valuation_rows.hpp"

#include <cmath>
#include <cstring>

namespace brelvox::caldre {

namespace bridge = brelvox::bridge;
static nb::handle module_handle;

static const char* const kValuation = "估值数据";
static const char* const kTreasuryCurve = "中债国债收益率曲线";
static const char* const kRemainingTerm = "period_of_repayment";
static const char* const kSourceTerm = "time_to_maturity";

static bool is_missing(nb::handle value, nb::handle na, nb::handle nat) {
    if (value.is_none() || value.is(na) || value.is(nat)) return true;
    return PyFloat_Check(value.ptr()) && std::isnan(PyFloat_AS_DOUBLE(value.ptr()));
}

// Bond id -> interbank id for the bonds that have one, or None when the lookup gives no
// usable table (the ids are then queried as given).
static nb::object interbank_codes(nb::handle api, nb::handle bond_list) {
    nb::module_ pd = bridge::pandas();
    nb::object na = pd.attr("NA"), nat = pd.attr("NaT");
    try {
        nb::object column = api.attr("bond").attr("get_secu_market_code")(bond_list)["NIB"];
        nb::object ids = column.attr("index").attr("tolist")();
        nb::object codes = column.attr("tolist")();
        nb::dict table;
        const std::size_t n = nb::len(codes);
        for (std::size_t k = 0; k < n; ++k) {
            nb::object code = codes[k];
            if (!is_missing(code, na, nat)) table[ids[k]] = code;
        }
        return table;
    } catch (nb::python_error& e) {
        if (e.matches(PyExc_TypeError) || e.matches(PyExc_KeyError)) return nb::none();
        throw;
    }
}

// Which identifiers are queried and under which caller identifiers their rows come back.
struct Routing {
    nb::list queried; // the identifiers to ask for, in set order
    nb::dict primary; // queried id -> the caller's id its rows are filed under
    nb::dict extra;   // queried id -> list of further caller ids that get the same rows
};

// An exchange id with a distinct interbank twin is queried as the twin. Every caller id
// gets its rows: a repeated id counts once, and a twin asked for by several caller ids
// (an exchange id and the twin itself, or two exchange ids) is answered under each.
static Routing route(nb::handle bond_list, nb::handle table) {
    Routing out;
    nb::dict callers; // queried id -> caller ids in order
    nb::dict seen;
    for (nb::handle id : bond_list) {
        if (seen.contains(id)) continue;
        seen[id] = nb::none();
        nb::object queried = nb::borrow(id);
        if (!table.is_none() && nb::borrow<nb::dict>(table).contains(id)) {
            nb::object twin = table[id];
            const int differs = PyObject_RichCompareBool(twin.ptr(), id.ptr(), Py_NE);
            if (differs < 0) throw nb::python_error();
            if (differs) {
                queried = twin;
                out.primary[twin] = id; // of several, the last one files the rows first
            }
        }
        if (!callers.contains(queried)) callers[queried] = nb::list();
        nb::borrow<nb::list>(callers[queried]).append(id);
    }
    for (auto [queried, ids] : callers) {
        nb::object filed =
            out.primary.contains(queried) ? nb::object(out.primary[queried]) : nb::borrow(queried);
        nb::list others;
        for (nb::handle id : ids) {
            const int same = PyObject_RichCompareBool(id.ptr(), filed.ptr(), Py_EQ);
            if (same < 0) throw nb::python_error();
            if (!same) others.append(id);
        }
        if (nb::len(others) > 0) out.extra[queried] = others;
    }
    nb::object query_set = nb::steal(PySet_New(nullptr));
    for (auto item : callers)
        if (PySet_Add(query_set.ptr(), item.first.ptr()) != 0) throw nb::python_error();
    out.queried = nb::steal<nb::list>(PySequence_List(query_set.ptr()));
    return out;
}

// `fields` as the source names them; a caller's list is changed in place.
static nb::object normalise_fields(nb::handle fields) {
    nb::object out = nb::borrow(fields);
    if (PyUnicode_Check(fields.ptr())) {
        nb::list one;
        one.append(fields);
        out = std::move(one);
    }
    nb::str remaining(kRemainingTerm);
    const int has = PySequence_Contains(out.ptr(), remaining.ptr());
    if (has < 0) throw nb::python_error();
    if (has) {
        out.attr("remove")(remaining);
        out.attr("append")(nb::str(kSourceTerm));
    }
    return out;
}

// New outer level of the result: every label once, sorted when the labels allow it.
struct OuterLevel {
    nb::object index;
    std::vector<std::int64_t> primary;            // old code -> new code
    std::vector<std::vector<std::int64_t>> extra; // old code -> further new codes
};

static OuterLevel relabel_outer(nb::handle level, const Routing& routing) {
    nb::list old_labels = nb::steal<nb::list>(PySequence_List(level.ptr()));
    const std::size_t n = nb::len(old_labels);
    nb::dict code_of;
    nb::list labels;
    auto code = [&](nb::handle label) -> std::int64_t {
        if (!code_of.contains(label)) {
            code_of[label] = nb::int_(nb::len(labels));
            labels.append(label);
        }
        return nb::cast<std::int64_t>(code_of[label]);
    };
    OuterLevel out;
    out.primary.resize(n);
    out.extra.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        nb::handle old = old_labels[i];
        const bool moved = routing.primary.contains(old);
        out.primary[i] = code(moved ? nb::handle(routing.primary[old]) : old);
        if (routing.extra.contains(old))
            for (nb::handle id : nb::borrow<nb::list>(routing.extra[old]))
                out.extra[i].push_back(code(id));
    }
    // Sorted labels, as building the index from tuples would give; mixed types stay as met.
    nb::object sorted = nb::steal(PySequence_List(labels.ptr()));
    if (PyList_Sort(sorted.ptr()) == 0) {
        std::vector<std::int64_t> rank(nb::len(labels));
        for (std::size_t k = 0; k < rank.size(); ++k)
            rank[nb::cast<std::size_t>(code_of[nb::handle(PyList_GET_ITEM(sorted.ptr(), k))])] =
                static_cast<std::int64_t>(k);
        for (auto& c : out.primary) c = rank[static_cast<std::size_t>(c)];
        for (auto& list : out.extra)
            for (auto& c : list) c = rank[static_cast<std::size_t>(c)];
        labels = nb::borrow<nb::list>(sorted);
    } else {
        PyErr_Clear();
    }
    out.index = bridge::pandas().attr("Index")(labels);
    return out;
}

using FloatView = nb::ndarray<const double, nb::ndim<1>, nb::device::cpu>;

// A requested field as found in the client's frame: absent, a float64 column read in
// place, or a column of another type taken row by row through its own array type.
struct Field {
    enum Kind { absent, floating, other } kind = absent;
    FloatView view;
    nb::object taken;
};

static Field read_field(nb::handle frame, std::int64_t pos) {
    Field out;
    if (pos < 0) return out;
    nb::module_ np = bridge::numpy();
    nb::object all = nb::slice(nb::none(), nb::none(), nb::none());
    nb::object series = frame.attr("iloc")[nb::make_tuple(all, pos)];
    nb::object dtype = series.attr("dtype");
    if (!nb::isinstance(dtype, np.attr("dtype"))) { // an extension array keeps its type
        out.kind = Field::other;
        out.taken = series.attr("array");
        return out;
    }
    nb::object values = series.attr("to_numpy")();
    if (!dtype.equal(np.attr("dtype")("float64"))) {
        out.kind = Field::other;
        out.taken = values;
        return out;
    }
    out.kind = Field::floating;
    out.view = nb::cast<FloatView>(values);
    return out;
}

static nb::object get_chinabond_valuation(nb::handle bond_list_arg, nb::handle fields,
                                          nb::handle start_date, nb::handle end_date) {
    if (PyUnicode_Check(bond_list_arg.ptr()) || bond_list_arg.is_none())
        bridge::raise_arg_type("bond_list", "list", bond_list_arg);
    // The ids are read more than once: a one-shot iterator is taken into a list first.
    nb::object bond_list = nb::borrow(bond_list_arg);
    if (PyIter_Check(bond_list.ptr())) bond_list = nb::steal(PySequence_List(bond_list.ptr()));
    if (!bond_list.is_valid()) throw nb::python_error();
    nb::object api = bridge::client(module_handle);
    {
        nb::object check = nb::steal(PySet_New(bond_list.ptr())); // ids must be hashable
        if (!check.is_valid()) throw nb::python_error();
    }
    nb::object table = interbank_codes(api, bond_list);
    Routing routing = route(bond_list, table);
    nb::object wanted = normalise_fields(fields);

    nb::object frame = api.attr("bond").attr("get_valuation")(
        routing.queried, start_date, end_date, "source"_a = "chinabond", "fields"_a = wanted,
        "valuation_type"_a = "short");
    if (frame.is_none()) {
        nb::list span;
        span.append(start_date);
        span.append(end_date);
        bridge::raise_missing_data(kValuation, routing.queried, span);
    }

    nb::module_ pd = bridge::pandas();
    nb::object index = frame.attr("index");
    if (!nb::isinstance(frame, pd.attr("DataFrame")) ||
        !nb::isinstance(index, pd.attr("MultiIndex")) || nb::cast<int>(index.attr("nlevels")) != 2)
        throw nb::value_error(
            "get_valuation: expected the data client's frame indexed by (order_book_id, date)");
    nb::object columns = frame.attr("columns");
    if (!nb::cast<bool>(columns.attr("is_unique")))
        throw nb::value_error("get_valuation: the data client's frame repeats a column");

    nb::object levels = index.attr("levels"), codes = index.attr("codes");
    // Codes are checked to lie in their levels; the row plan works on int32 positions.
    auto outer_codes_in = bridge::checked_codes(index, 0, "get_valuation");
    auto inner_codes_in = bridge::checked_codes(index, 1, "get_valuation");
    const std::size_t n_outer_level = nb::len(nb::object(levels[0]));
    const std::size_t n_inner_level = nb::len(nb::object(levels[1]));
    std::vector<std::int32_t> identity_outer(n_outer_level), identity_inner(n_inner_level);
    for (std::size_t k = 0; k < n_outer_level; ++k)
        identity_outer[k] = static_cast<std::int32_t>(k);
    for (std::size_t k = 0; k < n_inner_level; ++k)
        identity_inner[k] = static_cast<std::int32_t>(k);
    std::vector<std::int32_t> outer = core::to_positions(outer_codes_in->span(), identity_outer);
    std::vector<std::int32_t> inner = core::to_positions(inner_codes_in->span(), identity_inner);
    OuterLevel level = relabel_outer(levels[0], routing);
    // Usually every row is kept once in place: only the outer codes change then.
    core::RowPlan plan;
    std::vector<std::int32_t> outer_in_place;
    bool in_place = false;
    {
        const std::size_t n_outer = nb::len(nb::object(levels[0]));
        const std::size_t n_inner = nb::len(nb::object(levels[1]));
        nb::gil_scoped_release unlocked;
        std::vector<std::int64_t> kept = core::first_of_each_pair(outer, inner, n_outer, n_inner);
        in_place = core::keeps_every_row(kept, outer.size(), level.extra);
        if (in_place)
            outer_in_place = core::recode(outer, level.primary);
        else
            plan = core::relabel_rows(std::move(kept), outer, inner, level.primary, level.extra);
    }
    const std::size_t rows = in_place ? outer.size() : plan.source.size();

    nb::list field_list = nb::steal<nb::list>(PySequence_List(wanted.ptr()));
    std::vector<std::int64_t> pos =
        bridge::to_vector<std::int64_t>(columns.attr("get_indexer")(field_list), "int64");
    std::vector<Field> taken;
    bool all_float = true;
    for (std::int64_t p : pos) {
        taken.push_back(read_field(frame, p));
        all_float = all_float && taken.back().kind != Field::other;
    }
    if (!all_float) { // columns of other types are taken through their own arrays
        std::vector<std::int64_t> source = plan.source;
        if (in_place) {
            source.resize(rows);
            for (std::size_t k = 0; k < rows; ++k) source[k] = static_cast<std::int64_t>(k);
        }
        nb::object positions = bridge::numpy_array(std::move(source));
        for (Field& f : taken)
            if (f.kind == Field::other) f.taken = f.taken.attr("take")(positions);
    }
    // Every float column in one pass over the rows: columns of one block share cache lines.
    // Field f of the result is row f of a field-major block (a frame's own block layout).
    const std::size_t n_fields = taken.size();
    bridge::ResultArray block = bridge::result_array(n_fields, rows);
    std::vector<core::StridedColumn> gathered;
    for (std::size_t f = 0; f < n_fields; ++f) {
        double* out = block.data + f * rows;
        if (taken[f].kind == Field::floating)
            gathered.push_back({taken[f].view.data(), taken[f].view.stride(0), out});
        else
            std::fill_n(out, rows, std::nan(""));
    }
    {
        nb::gil_scoped_release unlocked;
        if (in_place)
            core::copy_rows(gathered, rows);
        else
            core::gather_rows(gathered, plan.source);
    }

    nb::list labels;
    nb::str source_term(kSourceTerm), remaining(kRemainingTerm);
    for (nb::handle f : field_list) labels.append(f.equal(source_term) ? nb::handle(remaining) : f);
    nb::object result_columns = pd.attr("Index")(labels, "name"_a = columns.attr("name"));
    nb::object outer_codes, inner_codes;
    if (in_place) {
        outer_codes = bridge::numpy_array(std::move(outer_in_place));
        inner_codes = codes[1];
    } else {
        outer_codes = bridge::numpy_array(std::move(plan.outer));
        inner_codes = bridge::numpy_array(std::move(plan.inner));
    }
    nb::object result_index = pd.attr("MultiIndex")(
        "levels"_a = nb::make_tuple(level.index, levels[1]),
        "codes"_a = nb::make_tuple(outer_codes, inner_codes),
        "names"_a = nb::make_tuple("order_book_id", "date"), "verify_integrity"_a = false);

    if (all_float)
        return pd.attr("DataFrame")(block.array.attr("T"), "index"_a = result_index,
                                    "columns"_a = result_columns, "copy"_a = false);
    nb::object floats = block.array;
    nb::dict by_position;
    for (std::size_t f = 0; f < n_fields; ++f)
        by_position[nb::int_(f)] =
            taken[f].kind == Field::other ? taken[f].taken : floats[nb::int_(f)];
    nb::object result = pd.attr("DataFrame")(by_position, "index"_a = result_index);
    result.attr("columns") = result_columns;
    return result;
}

// ---- treasury curve ---------------------------------------------------------------------

static bool same_text(PyObject* a, PyObject* b) {
    if (a == b) return true;
    if (!PyUnicode_CheckExact(a) || !PyUnicode_CheckExact(b)) return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    return n == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<std::size_t>(n) * PyUnicode_KIND(a)) == 0;
}

// Tenor labels coded by their rank among the distinct labels (sorted as pivoting sorts
// them); a missing label gets -1.
struct TenorCodes {
    std::vector<std::int32_t> code;
    nb::list labels;
    std::size_t n = 0;
};

static TenorCodes code_tenors(const bridge::Objects& raw) {
    nb::module_ pd = bridge::pandas();
    nb::object na = pd.attr("NA"), nat = pd.attr("NaT");
    const std::size_t rows = raw.size;
    TenorCodes out;
    out.code.assign(rows, -1);
    nb::dict code_of; // for labels that are not plain strings, or not where expected
    std::vector<PyObject*> seen;
    std::size_t guess = 0; // rows usually cycle through the tenors in one order
    for (std::size_t r = 0; r < rows; ++r) {
        PyObject* t = raw.items[r];
        if (!seen.empty() && same_text(seen[guess], t)) {
            out.code[r] = static_cast<std::int32_t>(guess);
            guess = guess + 1 == seen.size() ? 0 : guess + 1;
            continue;
        }
        if (is_missing(t, na, nat)) continue;
        PyObject* known = PyDict_GetItemWithError(code_of.ptr(), t);
        if (!known && PyErr_Occurred()) throw nb::python_error();
        std::size_t c;
        if (known) {
            c = static_cast<std::size_t>(PyLong_AsSsize_t(known));
        } else {
            c = seen.size();
            code_of[nb::handle(t)] = nb::int_(c);
            seen.push_back(t);
        }
        out.code[r] = static_cast<std::int32_t>(c);
        guess = c + 1 == seen.size() ? 0 : c + 1;
    }
    nb::list labels;
    for (PyObject* t : seen) labels.append(nb::handle(t));
    nb::object sorted = nb::steal(PySequence_List(labels.ptr()));
    if (PyList_Sort(sorted.ptr()) != 0) {
        PyErr_Clear();
        sorted = labels;
    }
    std::vector<std::int32_t> rank(seen.size());
    for (std::size_t k = 0; k < seen.size(); ++k)
        rank[static_cast<std::size_t>(
            PyLong_AsSsize_t(PyDict_GetItem(code_of.ptr(), PyList_GET_ITEM(sorted.ptr(), k))))] =
            static_cast<std::int32_t>(k);
    for (std::int32_t& c : out.code)
        if (c >= 0) c = rank[static_cast<std::size_t>(c)];
    out.labels = nb::borrow<nb::list>(sorted);
    out.n = seen.size();
    return out;
}

static nb::object get_treasury_bond_yield(nb::handle dates_arg) {
    nb::module_ pd = bridge::pandas();
    nb::object dates = nb::borrow(dates_arg);
    if (!nb::isinstance(dates, pd.attr("DatetimeIndex"))) { // one already is its own conversion
        bridge::require_one_dimension(dates_arg, "dates");
        dates = pd.attr("to_datetime")(dates_arg);
        if (!nb::isinstance(dates, pd.attr("DatetimeIndex")))
            dates = pd.attr("DatetimeIndex")(dates);
    }
    nb::object first = dates[0], last = dates[-1];
    nb::object frame =
        bridge::client(module_handle)
            .attr("bond")
            .attr("get_yield_curves")("names"_a = kTreasuryCurve, "type"_a = "yield_curve",
                                      "start_date"_a = first, "end_date"_a = last);
    if (frame.is_none()) {
        nb::object cls = module_handle.attr("MissingData");
        nb::object error = cls(nb::str(kTreasuryCurve), "dates"_a = dates);
        PyErr_SetObject(cls.ptr(), error.ptr());
        throw nb::python_error();
    }
    const std::vector<std::int64_t> wanted = bridge::date_ticks(dates, "dates");

    // Long rows (tenor, date, rate) on an index whose second level is the date.
    nb::object index = frame.attr("index");
    const bool empty = nb::len(index) == 0;
    if (!empty && (!nb::isinstance(index, pd.attr("MultiIndex")) ||
                   nb::cast<int>(index.attr("nlevels")) != 2))
        throw nb::value_error(
            "get_yield_curves: expected the data client's frame indexed by (curve, date)");
    bridge::FloatColumn rates(frame["rate"], "get_yield_curves: rate");
    const std::span<const double> rate = rates.values();
    bridge::Objects tenors_raw = bridge::read_objects(frame["tenor"]);
    if (tenors_raw.size != rate.size())
        throw nb::value_error("get_yield_curves: tenor and rate columns differ in length");
    TenorCodes tenors = code_tenors(tenors_raw);

    // Dates: the level entries in use, ascending; a row with a missing date is left out.
    std::vector<std::int32_t> row_date(rate.size(), -1);
    std::vector<std::int64_t> level_pos;
    std::vector<std::int64_t> distinct_dates;
    nb::object date_level; // set below when there are rows
    nb::object date_name = nb::none();
    if (!empty) {
        date_level = index.attr("levels")[1];
        date_name = index.attr("names")[1];
        std::vector<std::int64_t> level_us =
            bridge::date_ticks(date_level, "get_yield_curves: date level");
        auto checked = bridge::checked_codes(index, 1, "get_yield_curves");
        std::vector<std::int32_t> identity(level_us.size());
        for (std::size_t k = 0; k < identity.size(); ++k)
            identity[k] = static_cast<std::int32_t>(k);
        std::vector<std::int32_t> codes = core::to_positions(checked->span(), identity);
        for (std::int32_t& c : codes) // a NaT entry names no date
            if (c >= 0 && level_us[static_cast<std::size_t>(c)] == bridge::kNaT) c = -1;
        core::UsedLabels<std::int64_t> used = core::used_ascending(level_us, codes);
        level_pos.assign(used.distinct.size(), 0);
        for (std::size_t k = 0; k < used.position.size(); ++k)
            if (used.position[k] >= 0)
                level_pos[static_cast<std::size_t>(used.position[k])] =
                    static_cast<std::int64_t>(k);
        for (std::size_t r = 0; r < codes.size() && r < row_date.size(); ++r)
            row_date[r] = codes[r] < 0 || static_cast<std::size_t>(codes[r]) >= used.position.size()
                              ? -1
                              : used.position[static_cast<std::size_t>(codes[r])];
        distinct_dates = std::move(used.distinct);
    }
    core::Scattered pivot = core::scatter_rows(tenors.code, row_date, rate, tenors.n,
                                               distinct_dates.size(), core::Duplicates::report);
    if (pivot.first_duplicate >= 0) {
        const auto r = static_cast<std::size_t>(pivot.first_duplicate);
        bridge::raise_duplicate_entry(
            "the data client's yield curve", tenors_raw.items[r],
            bridge::timestamp_of(distinct_dates[static_cast<std::size_t>(row_date[r])]));
    }

    // Rows stay as delivered when they are exactly the requested dates, else follow them.
    std::vector<std::int64_t> pos = core::positions_in_sorted(distinct_dates, wanted);
    const bool same = core::covers_exactly(distinct_dates.size(), pos);
    nb::object rows_index;
    core::Panel curve;
    if (same && !date_level.is_valid()) { // no rows, no dates: nothing was asked either
        rows_index = dates.attr("rename")(dates.attr("name"));
        curve = std::move(pivot.panel);
    } else if (same) {
        bool whole_level = level_pos.size() == nb::len(date_level);
        for (std::size_t k = 0; whole_level && k < level_pos.size(); ++k)
            whole_level = level_pos[k] == static_cast<std::int64_t>(k);
        nb::object taken = whole_level
                               ? nb::borrow(date_level)
                               : date_level.attr("take")(bridge::numpy_array(std::move(level_pos)));
        if (!nb::isinstance(taken, pd.attr("DatetimeIndex")) || !taken.attr("tz").is_none())
            taken = bridge::to_date_labels(taken).index;
        rows_index = taken.attr("rename")(date_name);
        curve = std::move(pivot.panel);
    } else {
        rows_index = dates.attr("rename")(dates.attr("name"));
        std::vector<std::int64_t> all(tenors.n);
        for (std::size_t k = 0; k < all.size(); ++k) all[k] = static_cast<std::int64_t>(k);
        curve = core::conform(pivot.panel, all, pos, std::nan(""));
    }
    {
        nb::gil_scoped_release unlocked;
        core::forward_fill(curve);
    }
    nb::object columns = pd.attr("Index")(tenors.labels, "name"_a = "tenor");
    return bridge::make_frame(std::move(curve), rows_index, columns);
}

} // namespace brelvox::caldre

NB_MODULE(caldre, m) {
    using namespace brelvox::caldre;
    namespace bridge = brelvox::bridge;
    module_handle = m;
    bridge::publish_globals(m, {"pd", "ondrax", "MissingData", "maybe_reindex"});

    bridge::def(m, "get_chinabond_valuation", &get_chinabond_valuation,
                "对于跨银行间-"
                "交易所发行，存在数据缺失的债券，以银行间合约估值数据填充交易所合约估值数据\n\n"
                ":param bond_list: list 债券列表\n"
                ":param fields: 字段\n"
                ":param start_date: string 开始日期\n"
                ":param end_date: string 结束日期\n"
                ":return: 填充后中债估值数据（例如到期收益率、日终全价、应计利息等）",
                "bond_list"_a.none(), "fields"_a.none(), "start_date"_a.none(),
                "end_date"_a.none());
    bridge::def(m, "get_treasury_bond_yield", &get_treasury_bond_yield, "获取国债收益率相关数据",
                "dates"_a.none());
}
