// ChinaBond valuations of brelvox.marketdata.caldre: exchange ids with an interbank twin
// are asked for as the twin, and its rows are filed under every caller id that wants them.
#include "caldre.hpp"

#include "align.hpp"
#include "index_weights.hpp"
#include "valuation_rows.hpp"

#include <cmath>

namespace brelvox::caldre {

namespace {

const char* const kRemainingTerm = "period_of_repayment";
const char* const kSourceTerm = "time_to_maturity";

// The caller's ids as a list (a one-shot iterator is read once); they must be hashable.
nb::object read_bond_list(nb::handle bond_list_arg) {
    if (PyUnicode_Check(bond_list_arg.ptr()) || bond_list_arg.is_none())
        bridge::raise_arg_type("bond_list", "list", bond_list_arg);
    nb::object bond_list = nb::borrow(bond_list_arg);
    if (PyIter_Check(bond_list.ptr())) bond_list = nb::steal(PySequence_List(bond_list.ptr()));
    if (!bond_list.is_valid()) throw nb::python_error();
    bridge::checked(PySet_New(bond_list.ptr()));
    return bond_list;
}

// Bond id -> interbank id for the bonds that have one, or None when the lookup gives no
// usable table (the ids are then queried as given).
nb::object interbank_codes(nb::handle api, nb::handle bond_list) {
    try {
        nb::object column = api.attr("bond").attr("get_secu_market_code")(bond_list)["NIB"];
        nb::object ids = column.attr("index").attr("tolist")();
        nb::object codes = column.attr("tolist")();
        nb::dict table;
        const std::size_t n = nb::len(codes);
        for (std::size_t k = 0; k < n; ++k) {
            nb::object code = codes[k];
            if (!bridge::is_na(code)) table[ids[k]] = code;
        }
        return table;
    } catch (nb::python_error& e) {
        if (e.matches(PyExc_TypeError) || e.matches(PyExc_KeyError)) return nb::none();
        throw;
    }
}

bool differs(nb::handle a, nb::handle b) {
    const int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_NE);
    if (result < 0) throw nb::python_error();
    return result != 0;
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
Routing route(nb::handle bond_list, nb::handle table) {
    Routing out;
    nb::dict callers; // queried id -> caller ids in order
    nb::dict seen;
    for (nb::handle id : bond_list) {
        if (seen.contains(id)) continue;
        seen[id] = nb::none();
        nb::object queried = nb::borrow(id);
        if (!table.is_none() && nb::borrow<nb::dict>(table).contains(id)) {
            nb::object twin = table[id];
            if (differs(twin, id)) {
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
        for (nb::handle id : ids)
            if (differs(id, filed)) others.append(id);
        if (nb::len(others) > 0) out.extra[queried] = others;
    }
    nb::object query_set = bridge::checked(PySet_New(nullptr));
    for (auto item : callers)
        if (PySet_Add(query_set.ptr(), item.first.ptr()) != 0) throw nb::python_error();
    out.queried = nb::steal<nb::list>(PySequence_List(query_set.ptr()));
    return out;
}

// `fields` as the source names them; a caller's list is changed in place.
nb::object normalise_fields(nb::handle fields) {
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

// The client's frame of valuations, checked for its shape: None is absent data.
nb::object fetch_valuations(const Routing& routing, nb::handle wanted, nb::handle start_date,
                            nb::handle end_date) {
    nb::object frame = client().attr("bond").attr("get_valuation")(
        routing.queried, start_date, end_date, "source"_a = "chinabond", "fields"_a = wanted,
        "valuation_type"_a = "short");
    if (frame.is_none()) {
        nb::list span;
        span.append(start_date);
        span.append(end_date);
        bridge::raise_missing_data(bridge::Kind::valuation, routing.queried, span);
    }
    const char* what = "get_valuation";
    nb::object index = frame.attr("index");
    // Anything but a frame on two levels is refused alike.
    const bool is_frame = nb::isinstance(frame, bridge::pandas().attr("DataFrame"));
    bridge::require_two_levels(is_frame ? index : nb::none(), what, "(order_book_id, date)");
    if (!nb::cast<bool>(frame.attr("columns").attr("is_unique")))
        bridge::raise_error(PyExc_ValueError, "%s: the data client's frame repeats a column", what);
    return frame;
}

// New outer level of the result: every label once, sorted when the labels allow it.
struct OuterLevel {
    nb::object index;
    std::vector<std::int64_t> primary;            // old code -> new code
    std::vector<std::vector<std::int64_t>> extra; // old code -> further new codes
};

OuterLevel relabel_outer(nb::handle level, const Routing& routing) {
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
    bridge::Ranked ranked = bridge::sorted_ranks(labels, code_of);
    for (auto& c : out.primary) c = ranked.rank[static_cast<std::size_t>(c)];
    for (auto& list : out.extra)
        for (auto& c : list) c = ranked.rank[static_cast<std::size_t>(c)];
    out.index = bridge::pandas().attr("Index")(ranked.labels);
    return out;
}

// Which rows of the answer go where: usually every row once in place, so that only the
// outer codes change; otherwise a plan of source rows and their new codes.
struct Rows {
    OuterLevel level;
    bool in_place = false;
    std::vector<std::int32_t> outer_in_place;
    core::RowPlan plan;
    std::size_t count() const { return in_place ? outer_in_place.size() : plan.source.size(); }
};

Rows plan_rows(nb::handle index, const Routing& routing) {
    const char* what = "get_valuation";
    nb::object levels = index.attr("levels");
    // Codes are checked to lie in their levels; the row plan works on int32 positions.
    auto outer_codes = bridge::checked_codes(index, 0, what);
    auto inner_codes = bridge::checked_codes(index, 1, what);
    const std::size_t n_outer = nb::len(nb::object(levels[0]));
    const std::size_t n_inner = nb::len(nb::object(levels[1]));
    std::vector<std::int32_t> identity_outer(n_outer), identity_inner(n_inner);
    for (std::size_t k = 0; k < n_outer; ++k) identity_outer[k] = static_cast<std::int32_t>(k);
    for (std::size_t k = 0; k < n_inner; ++k) identity_inner[k] = static_cast<std::int32_t>(k);
    std::vector<std::int32_t> outer = core::to_positions(outer_codes->span(), identity_outer);
    std::vector<std::int32_t> inner = core::to_positions(inner_codes->span(), identity_inner);
    Rows out;
    out.level = relabel_outer(levels[0], routing);
    nb::gil_scoped_release unlocked;
    std::vector<std::int64_t> kept = core::first_of_each_pair(outer, inner, n_outer, n_inner);
    out.in_place = core::keeps_every_row(kept, outer.size(), out.level.extra);
    if (out.in_place)
        out.outer_in_place = core::recode(outer, out.level.primary);
    else
        out.plan =
            core::relabel_rows(std::move(kept), outer, inner, out.level.primary, out.level.extra);
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

Field read_field(nb::handle frame, std::int64_t pos) {
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

// The requested fields, columns of other types already taken in the rows' new order.
std::vector<Field> read_fields(nb::handle frame, nb::handle field_list, const Rows& rows,
                               bool& all_float) {
    std::vector<std::int64_t> pos = bridge::to_vector<std::int64_t>(
        frame.attr("columns").attr("get_indexer")(field_list), "int64");
    std::vector<Field> fields;
    all_float = true;
    for (std::int64_t p : pos) {
        fields.push_back(read_field(frame, p));
        all_float = all_float && fields.back().kind != Field::other;
    }
    if (!all_float) {
        std::vector<std::int64_t> source = rows.plan.source;
        if (rows.in_place) {
            source.resize(rows.count());
            for (std::size_t k = 0; k < source.size(); ++k)
                source[k] = static_cast<std::int64_t>(k);
        }
        nb::object positions = bridge::numpy_array(std::move(source));
        for (Field& f : fields)
            if (f.kind == Field::other) f.taken = f.taken.attr("take")(positions);
    }
    return fields;
}

// Every float column in one pass over the rows (columns of one block share cache lines):
// field f of the result is row f of a field-major block, a frame's own block layout.
bridge::ResultArray gather(const std::vector<Field>& fields, const Rows& rows) {
    const std::size_t n = rows.count();
    bridge::ResultArray block = bridge::result_array(fields.size(), n);
    std::vector<core::StridedColumn> gathered;
    for (std::size_t f = 0; f < fields.size(); ++f) {
        double* out = block.data + f * n;
        if (fields[f].kind == Field::floating)
            gathered.push_back({fields[f].view.data(), fields[f].view.stride(0), out});
        else
            std::fill_n(out, n, std::nan(""));
    }
    nb::gil_scoped_release unlocked;
    if (rows.in_place)
        core::copy_rows(gathered, n);
    else
        core::gather_rows(gathered, rows.plan.source);
    return block;
}

// The result on (order_book_id, date), the fields under the caller's names.
nb::object result_frame(nb::handle frame, nb::handle field_list, Rows&& rows,
                        const std::vector<Field>& fields, bridge::ResultArray&& block,
                        bool all_float) {
    nb::module_ pd = bridge::pandas();
    nb::object index = frame.attr("index"), columns = frame.attr("columns");
    nb::list labels;
    nb::str source_term(kSourceTerm), remaining(kRemainingTerm);
    for (nb::handle f : field_list) labels.append(f.equal(source_term) ? nb::handle(remaining) : f);
    nb::object result_columns = pd.attr("Index")(labels, "name"_a = columns.attr("name"));
    nb::object outer_codes, inner_codes;
    if (rows.in_place) {
        outer_codes = bridge::numpy_array(std::move(rows.outer_in_place));
        inner_codes = index.attr("codes")[1];
    } else {
        outer_codes = bridge::numpy_array(std::move(rows.plan.outer));
        inner_codes = bridge::numpy_array(std::move(rows.plan.inner));
    }
    nb::object result_index = pd.attr("MultiIndex")(
        "levels"_a = nb::make_tuple(rows.level.index, index.attr("levels")[1]),
        "codes"_a = nb::make_tuple(outer_codes, inner_codes),
        "names"_a = nb::make_tuple("order_book_id", "date"), "verify_integrity"_a = false);

    if (all_float)
        return pd.attr("DataFrame")(block.array.attr("T"), "index"_a = result_index,
                                    "columns"_a = result_columns, "copy"_a = false);
    nb::dict by_position;
    for (std::size_t f = 0; f < fields.size(); ++f)
        by_position[nb::int_(f)] =
            fields[f].kind == Field::other ? fields[f].taken : block.array[nb::int_(f)];
    nb::object result = pd.attr("DataFrame")(by_position, "index"_a = result_index);
    result.attr("columns") = result_columns;
    return result;
}

} // namespace

nb::object get_chinabond_valuation(nb::handle bond_list_arg, nb::handle fields,
                                   nb::handle start_date, nb::handle end_date) {
    nb::object bond_list = read_bond_list(bond_list_arg);
    Routing routing = route(bond_list, interbank_codes(client(), bond_list));
    nb::object wanted = normalise_fields(fields);
    nb::object frame = fetch_valuations(routing, wanted, start_date, end_date);

    Rows rows = plan_rows(frame.attr("index"), routing);
    nb::list field_list = nb::steal<nb::list>(PySequence_List(wanted.ptr()));
    bool all_float = true;
    std::vector<Field> taken = read_fields(frame, field_list, rows, all_float);
    bridge::ResultArray block = gather(taken, rows);
    return result_frame(frame, field_list, std::move(rows), taken, std::move(block), all_float);
}

} // namespace brelvox::caldre
