// The ChinaBond treasury yield curve of brelvox.marketdata.caldre: the client's long rows
// (tenor, date, rate) pivoted to dates x tenors, conformed to the requested dates and
// carried forward.
#include "caldre.hpp"

#include "align.hpp"
#include "index_weights.hpp"

#include <cmath>

namespace brelvox::caldre {

namespace {

// Tenor labels coded by their rank among the distinct labels (sorted as pivoting sorts
// them); a missing label gets -1.
struct TenorCodes {
    std::vector<std::int32_t> code;
    nb::list labels;
    std::size_t n = 0;
};

TenorCodes code_tenors(const bridge::Objects& raw) {
    TenorCodes out;
    out.code.assign(raw.size, -1);
    nb::dict code_of;
    nb::list seen;
    std::size_t guess = 0; // rows usually cycle through the tenors in one order
    for (std::size_t r = 0; r < raw.size; ++r) {
        PyObject* t = raw.items[r];
        const std::size_t n_seen = seen.size();
        if (n_seen &&
            bridge::same_str(PyList_GET_ITEM(seen.ptr(), static_cast<Py_ssize_t>(guess)), t)) {
            out.code[r] = static_cast<std::int32_t>(guess);
            guess = guess + 1 == n_seen ? 0 : guess + 1;
            continue;
        }
        if (bridge::is_na(t)) continue;
        PyObject* known = PyDict_GetItemWithError(code_of.ptr(), t);
        if (!known && PyErr_Occurred()) throw nb::python_error();
        std::size_t c = n_seen;
        if (known) {
            c = static_cast<std::size_t>(PyLong_AsSsize_t(known));
        } else {
            code_of[nb::handle(t)] = nb::int_(c);
            seen.append(nb::handle(t));
        }
        out.code[r] = static_cast<std::int32_t>(c);
        guess = c + 1 == seen.size() ? 0 : c + 1;
    }
    bridge::Ranked ranked = bridge::sorted_ranks(seen, code_of);
    for (std::int32_t& c : out.code)
        if (c >= 0) c = static_cast<std::int32_t>(ranked.rank[static_cast<std::size_t>(c)]);
    out.labels = ranked.labels;
    out.n = seen.size();
    return out;
}

// The answer's dates: the level entries in use, ascending, each row's position among them
// (-1 for a missing date) and the level entry of each position.
struct RowDates {
    std::vector<std::int32_t> row;
    std::vector<std::int64_t> distinct, level_pos;
    nb::object level; // unset when the answer has no rows
    nb::object name = nb::none();
};

RowDates read_row_dates(nb::handle index, std::size_t rows) {
    RowDates out;
    out.row.assign(rows, -1);
    if (nb::len(index) == 0) return out;
    out.level = index.attr("levels")[1];
    out.name = index.attr("names")[1];
    std::vector<std::int64_t> level_us =
        bridge::date_ticks(out.level, "get_yield_curves: date level");
    auto checked = bridge::checked_codes(index, 1, "get_yield_curves");
    std::vector<std::int32_t> identity(level_us.size());
    for (std::size_t k = 0; k < identity.size(); ++k) identity[k] = static_cast<std::int32_t>(k);
    std::vector<std::int32_t> codes = core::to_positions(checked->span(), identity);
    for (std::int32_t& c : codes) // a NaT entry names no date
        if (c >= 0 && level_us[static_cast<std::size_t>(c)] == bridge::kNaT) c = -1;
    core::UsedLabels<std::int64_t> used = core::used_ascending(level_us, codes);
    out.level_pos.assign(used.distinct.size(), 0);
    for (std::size_t k = 0; k < used.position.size(); ++k)
        if (used.position[k] >= 0)
            out.level_pos[static_cast<std::size_t>(used.position[k])] =
                static_cast<std::int64_t>(k);
    for (std::size_t r = 0; r < codes.size() && r < rows; ++r)
        out.row[r] = codes[r] < 0 || static_cast<std::size_t>(codes[r]) >= used.position.size()
                         ? -1
                         : used.position[static_cast<std::size_t>(codes[r])];
    out.distinct = std::move(used.distinct);
    return out;
}

// The rows' index when they are exactly the requested dates: the answer's own level
// entries (on the wall clock), under the answer's name.
nb::object answer_dates(RowDates&& dates) {
    nb::module_ pd = bridge::pandas();
    bool whole_level = dates.level_pos.size() == nb::len(dates.level);
    for (std::size_t k = 0; whole_level && k < dates.level_pos.size(); ++k)
        whole_level = dates.level_pos[k] == static_cast<std::int64_t>(k);
    nb::object taken =
        whole_level ? dates.level
                    : dates.level.attr("take")(bridge::numpy_array(std::move(dates.level_pos)));
    if (!nb::isinstance(taken, pd.attr("DatetimeIndex")) || !taken.attr("tz").is_none())
        taken = bridge::read_dates(taken, bridge::kWallClock).index;
    return taken.attr("rename")(dates.name);
}

} // namespace

nb::object get_treasury_bond_yield(nb::handle dates_arg) {
    bridge::DateLabels wanted = bridge::read_dates(dates_arg, bridge::kAsGiven);
    nb::object dates = wanted.index;
    nb::object first = dates[0], last = dates[-1];
    nb::object frame = client().attr("bond").attr("get_yield_curves")(
        "names"_a = bridge::kind_text(bridge::Kind::treasury_curve), "type"_a = "yield_curve",
        "start_date"_a = first, "end_date"_a = last);
    if (frame.is_none()) bridge::raise_missing_data(bridge::Kind::treasury_curve, dates);

    // Long rows (tenor, date, rate) on an index whose second level is the date.
    const char* what = "get_yield_curves";
    nb::object index = frame.attr("index");
    if (nb::len(index) != 0) bridge::require_two_levels(index, what, "(curve, date)");
    bridge::FloatColumn rates(frame["rate"], "get_yield_curves: rate");
    bridge::Objects tenors_raw = bridge::read_objects(frame["tenor"]);
    bridge::require_same_length(what, tenors_raw.size, rates.size());
    TenorCodes tenors = code_tenors(tenors_raw);
    RowDates row_dates = read_row_dates(index, rates.size());

    core::Scattered pivot = core::scatter_rows(tenors.code, row_dates.row, rates.values(), tenors.n,
                                               row_dates.distinct.size(), core::Duplicates::report);
    if (pivot.first_duplicate >= 0) {
        const auto r = static_cast<std::size_t>(pivot.first_duplicate);
        bridge::raise_duplicate_entry(
            "the data client's yield curve", tenors_raw.items[r],
            bridge::timestamp_of(row_dates.distinct[static_cast<std::size_t>(row_dates.row[r])]));
    }

    // Rows stay as delivered when they are exactly the requested dates, else follow them.
    bridge::DateMatch match = bridge::match_dates(wanted.us, row_dates.distinct);
    nb::object rows_index;
    core::Panel curve;
    if (match.same && row_dates.level.is_valid()) {
        rows_index = answer_dates(std::move(row_dates));
        curve = std::move(pivot.panel);
    } else {
        // (no rows and no dates: nothing was asked either)
        rows_index = dates.attr("rename")(dates.attr("name"));
        if (match.same) {
            curve = std::move(pivot.panel);
        } else {
            std::vector<std::int64_t> all(tenors.n);
            for (std::size_t k = 0; k < all.size(); ++k) all[k] = static_cast<std::int64_t>(k);
            curve = core::conform(pivot.panel, all, match.pos, std::nan(""));
        }
    }
    {
        nb::gil_scoped_release unlocked;
        core::forward_fill(curve);
    }
    nb::object columns = bridge::pandas().attr("Index")(tenors.labels, "name"_a = "tenor");
    return bridge::make_frame(std::move(curve), rows_index, columns);
}

} // namespace brelvox::caldre
