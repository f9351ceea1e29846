#include "frames.hpp"

#include "request.hpp"

#include "errors.hpp"

namespace brelvox::bridge {

bool has_rows(nb::handle answer, const char* what) {
    if (answer.is_none()) return false;
    if (!nb::isinstance(answer, pandas().attr("DataFrame")))
        raise_answer_type(what, "a DataFrame", answer);
    return nb::len(answer) > 0;
}

namespace {
// Raises ValueError naming `what` unless every code is -1 or an entry of the level.
void check_codes(const Codes& codes, std::size_t n_level, int level, const char* what) {
    std::ptrdiff_t bad = 0;
    {
        nb::gil_scoped_release unlocked;
        bad = core::first_bad_code(codes.span(), n_level);
    }
    if (bad >= 0) {
        raise_error(PyExc_ValueError,
                    "%s: the data client's index holds a code outside its level %d (row %zd)", what,
                    level, static_cast<Py_ssize_t>(bad));
    }
}
} // namespace

std::shared_ptr<Codes> checked_codes(nb::handle index, int level, const char* what) {
    auto codes = std::make_shared<Codes>(index.attr("codes")[level]);
    check_codes(*codes, nb::len(nb::object(index.attr("levels")[level])), level, what);
    return codes;
}

std::vector<nb::object> value_columns(nb::handle frame, std::initializer_list<nb::handle> names) {
    // Several columns in one go cost a copy when they sit in separate blocks: worth it only
    // while the frame is small, where the index copies dominate.
    constexpr std::size_t kSmall = std::size_t{1} << 16;
    nb::object columns = frame.attr("columns");
    std::vector<nb::object> out;
    if (nb::len(columns) == names.size() && (names.size() == 1 || nb::len(frame) <= kSmall)) {
        std::vector<Py_ssize_t> at;
        for (nb::handle name : names) {
            if (!PyUnicode_Check(name.ptr()) || !nb::cast<bool>(columns.attr("__contains__")(name)))
                break;
            nb::object loc = columns.attr("get_loc")(name);
            if (!PyLong_CheckExact(loc.ptr())) break; // a repeated name
            at.push_back(nb::cast<Py_ssize_t>(loc));
        }
        if (at.size() == names.size()) {
            nb::object values =
                frame.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = numpy().attr("nan"));
            nb::object by_column = values.attr("T");
            for (Py_ssize_t k : at) out.push_back(by_column[nb::int_(k)]);
            return out;
        }
    }
    for (nb::handle name : names) out.push_back(frame[name]);
    return out;
}

namespace {
// Old level positions of the distinct entries, in their new order (the first of equals).
std::vector<std::int64_t> kept_entries(const std::vector<std::int32_t>& position, std::size_t n) {
    std::vector<std::int64_t> out(n, -1);
    for (std::size_t k = position.size(); k-- > 0;)
        if (position[k] >= 0)
            out[static_cast<std::size_t>(position[k])] = static_cast<std::int64_t>(k);
    return out;
}
} // namespace

LongFrame read_long_index(nb::handle frame, const char* what) {
    nb::module_ pd = pandas();
    if (!nb::isinstance(frame, pd.attr("DataFrame"))) raise_answer_type(what, "a DataFrame", frame);
    nb::object index = frame.attr("index");
    require_two_levels(index, what, "(order_book_id, date)");
    LongFrame out;
    out.what = what;
    out.frame = nb::borrow(frame);
    out.id_name = index.attr("names")[0];
    nb::object codes = index.attr("codes");
    out.id_codes = std::make_shared<Codes>(codes[0]);
    out.date_codes = std::make_shared<Codes>(codes[1]);
    out.rows = out.id_codes->size();
    require_same_length(what, out.rows, out.date_codes->size());
    require_same_length(what, out.rows, nb::len(frame));
    nb::object levels = index.attr("levels");
    nb::object id_level = levels[0];
    std::string date_what = std::string(what) + ": date level";
    nb::object date_level = naive_datetime_index(levels[1], date_what.c_str());
    LabelTable id_labels = id_table(id_level);
    std::vector<std::int64_t> date_labels = date_ticks(date_level, date_what.c_str());
    std::vector<std::uint8_t> date_valid(date_labels.size());
    for (std::size_t k = 0; k < date_labels.size(); ++k) date_valid[k] = date_labels[k] != kNaT;

    core::UsedLabels<std::string> ids;
    core::UsedLabels<std::int64_t> dates;
    bool canonical = false;
    {
        nb::gil_scoped_release unlocked;
        canonical = core::codes_form_panel(out.id_codes->span(), out.date_codes->span(),
                                           id_labels.text.size(), date_labels.size());
    }
    // The codes of a complete panel are its levels' entries, seen by comparing them alone;
    // any other answer's are checked before they index anything.
    if (!canonical) {
        check_codes(*out.id_codes, id_labels.text.size(), 0, what);
        check_codes(*out.date_codes, date_labels.size(), 1, what);
    }
    {
        nb::gil_scoped_release unlocked;
        std::vector<std::uint8_t> id_keep = id_labels.valid, date_keep = date_valid;
        if (!canonical) { // entries no row uses are left out
            const auto id_used = core::used_entries(out.id_codes->span(), id_keep.size());
            const auto date_used = core::used_entries(out.date_codes->span(), date_keep.size());
            for (std::size_t k = 0; k < id_keep.size(); ++k) id_keep[k] &= id_used[k];
            for (std::size_t k = 0; k < date_keep.size(); ++k) date_keep[k] &= date_used[k];
        }
        ids = core::used_ascending(id_labels.text, id_keep);
        dates = core::used_ascending(date_labels, date_keep);
    }
    out.ids = std::move(ids.distinct);
    out.id_pos = std::move(ids.position);
    out.dates = std::move(dates.distinct);
    out.date_pos = std::move(dates.position);
    // Levels that are already the sorted labels in use serve as they are.
    const bool ids_as_level = core::is_identity(out.id_pos, out.ids.size());
    const bool dates_as_level = core::is_identity(out.date_pos, out.dates.size());
    out.id_index = ids_as_level ? id_level : str_index(out.ids, "order_book_id");
    out.date_index =
        dates_as_level
            ? date_level
            : date_level.attr("take")(numpy_array(kept_entries(out.date_pos, out.dates.size())));
    out.dense_sorted = canonical && ids_as_level && dates_as_level;
    return out;
}

LongFrame read_long_frame(nb::handle frame, const char* what) {
    LongFrame out = read_long_index(frame, what);
    nb::gil_scoped_release unlocked;
    if (out.dense_sorted) {
        const std::size_t n_dates = out.dates.size();
        out.row_id.resize(out.rows);
        out.row_date.resize(out.rows);
        for (std::size_t r = 0; r < out.rows; ++r) {
            out.row_id[r] = static_cast<std::int32_t>(r / n_dates);
            out.row_date[r] = static_cast<std::int32_t>(r % n_dates);
        }
    } else {
        out.row_id = core::to_positions(out.id_codes->span(), out.id_pos);
        out.row_date = core::to_positions(out.date_codes->span(), out.date_pos);
    }
    return out;
}

core::SeriesSource series_of(const LongFrame& frame, const FloatColumn& values,
                             SeriesStorage& storage) {
    if (!frame.dense_sorted && values.size() == frame.rows) {
        bool sorted = false;
        {
            nb::gil_scoped_release unlocked;
            sorted = core::sorted_rows(frame.id_codes->span(), frame.id_pos,
                                       frame.date_codes->span(), frame.date_pos, frame.ids.size(),
                                       frame.dates.size(), storage.rows);
        }
        if (sorted) {
            storage.rows.values = values.values();
            return {storage.rows, frame.ids.size(), frame.dates.size()};
        }
    }
    return panel_view(frame, values, storage.panel);
}

core::PanelView panel_view(const LongFrame& frame, const FloatColumn& values,
                           core::Scratch& storage) {
    require_same_length(frame.what, frame.rows, values.size());
    if (frame.dense_sorted) return {frame.ids.size(), frame.dates.size(), values.data()};
    const std::span<double> cells = storage.take<double>(frame.ids.size() * frame.dates.size());
    std::ptrdiff_t duplicate = -1;
    {
        nb::gil_scoped_release unlocked;
        duplicate = core::scatter_codes(frame.id_codes->span(), frame.id_pos,
                                        frame.date_codes->span(), frame.date_pos, values.values(),
                                        frame.dates.size(), cells, core::Duplicates::report);
    }
    if (duplicate >= 0) {
        nb::object index = frame.frame.attr("index");
        nb::object key = index[nb::int_(duplicate)];
        raise_duplicate_entry("the data client's answer", key[0], key[1]);
    }
    return {frame.ids.size(), frame.dates.size(), cells.data()};
}

} // namespace brelvox::bridge
