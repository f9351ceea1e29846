// Which industry each stock belonged to on each date: a native index over the loaded
// tables, one pass over dates and stocks, and the one-hot result frame.
#include "sorvan.hpp"

#include <memory>
#include <unordered_map>

#include "industry_lookup.hpp"

namespace brelvox::sorvan {

namespace {

// The (start day, industry code) entries of every stock list of one table, so that a lookup
// never unpacks the Python pairs again while the table is in use. Each list is indexed with
// the pair objects it held; a list changed since (pairs added, removed or replaced) is
// indexed anew, so edits to a served table are honoured.
class TableIndex {
  public:
    explicit TableIndex(nb::handle table) : table_(nb::borrow(table)) {
        if (!PyDict_Check(table.ptr())) return;
        PyObject *key = nullptr, *value = nullptr;
        Py_ssize_t pos = 0;
        std::vector<std::pair<nb::object, nb::object>> lists;
        while (PyDict_Next(table.ptr(), &pos, &key, &value))
            lists.emplace_back(nb::borrow(key), nb::borrow(value));
        for (const auto& [stock, list] : lists) {
            try {
                slot_of(stock, list);
            } catch (nb::python_error&) {
                // Left for the lookup that needs it to report.
            }
        }
    }

    bool indexes(nb::handle table) const { return table_.is(table); }
    const nb::list& names() const { return names_; }

    struct Span {
        std::uint32_t begin, count;
    };

    // The entries of a non-empty stock list (indexed now if new or changed).
    Span slot_of(nb::handle stock, nb::handle list) {
        auto found = slot_of_list_.find(list.ptr());
        if (found != slot_of_list_.end() && unchanged(slots_[found->second], list))
            return slots_[found->second].span;
        Slot slot{nb::borrow(list), parse(stock, list)};
        slot_of_list_[list.ptr()] = static_cast<std::uint32_t>(slots_.size());
        slots_.push_back(std::move(slot));
        return slots_.back().span;
    }

    const core::IndustryHistory& entries() const { return entries_; }

  private:
    struct Slot {
        nb::object list;
        Span span;
    };

    bool unchanged(const Slot& slot, nb::handle list) const {
        nb::object items = nb::steal(PySequence_Fast(list.ptr(), "an industry table holds lists"));
        if (!items.is_valid()) throw nb::python_error();
        if (PySequence_Fast_GET_SIZE(items.ptr()) != static_cast<Py_ssize_t>(slot.span.count))
            return false;
        PyObject** item = PySequence_Fast_ITEMS(items.ptr());
        for (std::uint32_t k = 0; k < slot.span.count; ++k)
            if (item[k] != pairs_[slot.span.begin + k].ptr()) return false;
        return true;
    }

    std::int32_t code_of(nb::handle name) {
        if (name.is_none()) return core::kNoIndustry;
        PyObject* code = PyDict_GetItemWithError(code_of_name_.ptr(), name.ptr());
        if (code) return static_cast<std::int32_t>(PyLong_AsLong(code));
        if (PyErr_Occurred()) throw nb::python_error();
        const auto next = static_cast<std::int32_t>(nb::len(names_));
        code_of_name_[name] = nb::int_(next);
        names_.append(name);
        return next;
    }

    [[noreturn]] static void bad_entry(PyObject* type, nb::handle stock, const char* what) {
        bridge::raise_error(type, "industry table entry of %R %s", stock.ptr(), what);
    }

    Span parse(nb::handle stock, nb::handle list) {
        nb::object items = nb::steal(PySequence_Fast(list.ptr(), "an industry table holds lists"));
        if (!items.is_valid()) throw nb::python_error();
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.ptr());
        const auto begin = static_cast<std::uint32_t>(pairs_.size());
        for (Py_ssize_t k = 0; k < n; ++k) {
            nb::handle item = PySequence_Fast_GET_ITEM(items.ptr(), k);
            nb::object pair = nb::steal(PySequence_Fast(item.ptr(), "not a (start, name) pair"));
            if (!pair.is_valid()) throw nb::python_error();
            if (PySequence_Fast_GET_SIZE(pair.ptr()) != 2)
                bad_entry(PyExc_ValueError, stock, "is not a (start, name) pair");
            std::int32_t day = 0;
            if (!date_day(PySequence_Fast_GET_ITEM(pair.ptr(), 0), day))
                bad_entry(PyExc_TypeError, stock, "does not start with a date");
            entries_.start_day.push_back(day);
            entries_.code.push_back(code_of(PySequence_Fast_GET_ITEM(pair.ptr(), 1)));
            pairs_.push_back(nb::borrow(item));
        }
        return {begin, static_cast<std::uint32_t>(n)};
    }

    nb::object table_;
    core::IndustryHistory entries_;
    std::vector<nb::object> pairs_; // aligned with entries_
    std::vector<Slot> slots_;
    std::unordered_map<PyObject*, std::uint32_t> slot_of_list_;
    nb::dict code_of_name_;
    nb::list names_;
};

// One index per standard, replaced when its holder serves another table object. Never
// freed, so nothing is released after the interpreter has gone.
std::shared_ptr<TableIndex>* index_by_standard[2] = {nullptr, nullptr};

std::shared_ptr<TableIndex> index_of(nb::handle table, bool shenwan) {
    auto*& held = index_by_standard[shenwan ? 0 : 1];
    if (!held) held = new std::shared_ptr<TableIndex>();
    if (!*held || !(*held)->indexes(table)) *held = std::make_shared<TableIndex>(table);
    return *held;
}

bool equals(nb::handle value, const char* text) {
    const int equal = PyObject_RichCompareBool(value.ptr(), nb::str(text).ptr(), Py_EQ);
    if (equal < 0) throw nb::python_error();
    return equal != 0;
}

std::int32_t bound_day(nb::handle value) {
    std::int32_t day = 0;
    if (!date_day(value.ptr(), day))
        bridge::raise_error(PyExc_TypeError, "listing bounds must be dates");
    return day;
}

// The histories of the requested stocks, copied out of the index, with listing bounds:
// what one pass over dates and stocks needs, detached from Python objects.
struct Request {
    core::IndustryHistory entries;
    std::vector<core::StockQuery> stocks;
    nb::list names; // industry code -> name
};

Request gather(nb::handle table, bool shenwan, const nb::list& ids) {
    std::shared_ptr<TableIndex> index = index_of(table, shenwan);
    nb::object bounds_of = module().attr("get_listing_date_and_delisting_date");
    Request out;
    out.names = index->names();
    out.stocks.resize(ids.size());
    for (std::size_t j = 0; j < out.stocks.size(); ++j) {
        nb::handle id = PyList_GET_ITEM(ids.ptr(), static_cast<Py_ssize_t>(j));
        bridge::require_str_or_none(id, "order_book_id");
        // A defaultdict adds an empty list for a new stock, as a lookup of it always has.
        nb::object history = nb::steal(PyObject_GetItem(table.ptr(), id.ptr()));
        if (!history.is_valid()) throw nb::python_error();
        const int any = PyObject_IsTrue(history.ptr());
        if (any < 0) throw nb::python_error();
        if (!any) continue;
        const TableIndex::Span span = index->slot_of(id, history);
        core::StockQuery& query = out.stocks[j];
        query.begin = static_cast<std::uint32_t>(out.entries.start_day.size());
        query.count = span.count;
        const core::IndustryHistory& all = index->entries();
        out.entries.start_day.insert(out.entries.start_day.end(),
                                     all.start_day.begin() + span.begin,
                                     all.start_day.begin() + span.begin + span.count);
        out.entries.code.insert(out.entries.code.end(), all.code.begin() + span.begin,
                                all.code.begin() + span.begin + span.count);
        nb::object bounds = bounds_of(id);
        if (!PyTuple_Check(bounds.ptr()) || PyTuple_GET_SIZE(bounds.ptr()) != 2)
            bridge::raise_error(PyExc_TypeError,
                                "listing bounds must be a (listed, delisted) pair of dates");
        query.listed = bound_day(PyTuple_GET_ITEM(bounds.ptr(), 0));
        query.delisted = bound_day(PyTuple_GET_ITEM(bounds.ptr(), 1));
    }
    return out;
}

// Industry code per (date, stock), dates outer and stocks inner, in the narrowest integer
// that holds every code of the table, and the codes' names.
struct Cells {
    std::unique_ptr<std::int32_t[]> wide;
    std::unique_ptr<std::int16_t[]> medium;
    std::unique_ptr<std::int8_t[]> narrow;
    std::size_t size = 0;
    nb::list names;
    core::ColumnOrder order;

    template <class F> void visit(F&& f) const {
        if (narrow)
            f(narrow.get());
        else if (medium)
            f(medium.get());
        else if (wide)
            f(wide.get());
    }
};

Cells classify(nb::handle table, bool shenwan, const nb::list& ids,
               const std::vector<std::int32_t>& days) {
    Cells out;
    if (days.empty() || ids.size() == 0) return out;
    Request request = gather(table, shenwan, ids);
    out.names = request.names;
    out.size = days.size() * ids.size();
    const std::size_t n_codes = nb::len(out.names);
    if (n_codes <= INT8_MAX)
        out.narrow.reset(new std::int8_t[out.size]);
    else if (n_codes <= INT16_MAX)
        out.medium.reset(new std::int16_t[out.size]);
    else
        out.wide.reset(new std::int32_t[out.size]);
    nb::gil_scoped_release unlocked;
    out.visit([&](auto* cells) {
        core::classify(request.entries, request.stocks, days, cells);
        out.order = core::columns_in_order_met(cells, out.size, n_codes);
    });
    return out;
}

nb::list as_list(nb::handle values) {
    nb::object list = nb::steal(PySequence_List(values.ptr()));
    if (!list.is_valid()) throw nb::python_error();
    return nb::borrow<nb::list>(list);
}

// The one-hot values, one industry after the other (the frame's own column layout).
// Numpy allocates it: large numpy arrays get huge pages, so first touches fault rarely.
nb::object one_hot_columns(const Cells& cells, std::size_t rows) {
    const std::size_t columns = cells.order.code_of_column.size();
    nb::object out =
        bridge::numpy().attr("zeros")(nb::make_tuple(columns, rows), "dtype"_a = "int8");
    if (columns) {
        std::int8_t* values = nb::cast<nb::ndarray<std::int8_t, nb::c_contig>>(out).data();
        nb::gil_scoped_release unlocked;
        cells.visit(
            [&](auto* codes) { core::fill_one_hot(codes, cells.size, cells.order, values); });
    }
    return out;
}

nb::object stock_industry(nb::handle order_book_ids, nb::handle dates, nb::handle standard) {
    const bool shenwan = equals(standard, "sws");
    if (!shenwan && !equals(standard, "citics")) {
        PyErr_SetNone(PyExc_AssertionError);
        throw nb::python_error();
    }
    nb::module_ pd = bridge::pandas();
    bridge::DateLabels requested = bridge::read_dates(dates, bridge::kAsGiven);
    nb::object converted = requested.index;
    std::vector<std::int32_t> days;
    for (std::int64_t us : requested.us) days.push_back(core::day_of_us(us));
    nb::list ids = bridge::read_ids(order_book_ids, "order_book_ids").objects;

    nb::object table = industry_table(standard);
    Cells cells = classify(table, shenwan, ids, days);

    nb::list columns;
    for (std::int32_t code : cells.order.code_of_column) columns.append(cells.names[code]);
    nb::object index = product_index(converted, ids);
    nb::object values = one_hot_columns(cells, days.size() * ids.size());
    return pd.attr("DataFrame")(values.attr("T"), "index"_a = index, "columns"_a = columns,
                                "copy"_a = false);
}

nb::object industry_idx(nb::handle order_book_ids, nb::handle dates, nb::handle standard) {
    nb::object table = industry_table(standard);
    nb::list ids = as_list(order_book_ids);
    nb::list calendar_dates;
    std::vector<std::int32_t> days;
    for (nb::handle d : dates) {
        nb::object day_date = d.attr("date")();
        std::int32_t day = core::kNoDay;
        if (!date_day(day_date.ptr(), day)) day = core::kNoDay;
        days.push_back(day);
        calendar_dates.append(day_date);
    }
    Cells cells = classify(table, equals(standard, "sws"), ids, days);

    const core::ColumnOrder& order = cells.order;
    std::vector<nb::list> members(order.code_of_column.size());
    const std::size_t n = ids.size();
    cells.visit([&](auto* codes) {
        for (std::size_t c = 0; c < cells.size; ++c) {
            if (codes[c] < 0) continue;
            const auto column = order.column_of_code[static_cast<std::size_t>(codes[c])];
            members[static_cast<std::size_t>(column)].append(
                nb::make_tuple(calendar_dates[c / n], ids[c % n]));
        }
    });
    nb::object out = module().attr("defaultdict")(nb::handle(&PyList_Type));
    for (std::size_t k = 0; k < members.size(); ++k)
        out[cells.names[order.code_of_column[k]]] = members[k];
    return out;
}

// The industry of one stock on one date, or None.
nb::object one_industry(nb::handle data, nb::handle order_book_id, nb::handle date) {
    bridge::require_str_or_none(order_book_id, "order_book_id");
    nb::object history = data[order_book_id];
    const int any = PyObject_IsTrue(history.ptr());
    if (any < 0) throw nb::python_error();
    if (!any) return nb::none();
    nb::object bounds = module().attr("get_listing_date_and_delisting_date")(order_book_id);
    nb::object listed = bounds[0], delisted = bounds[1];
    auto compare = [](nb::handle a, nb::handle b, int op) {
        const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
        if (r < 0) throw nb::python_error();
        return r != 0;
    };
    if (compare(date, delisted, Py_GT) || compare(date, listed, Py_LT)) return nb::none();
    for (nb::handle entry : history) {
        nb::object start = entry[0], name = entry[1];
        if (compare(start, date, Py_LE)) return name;
    }
    return nb::none();
}

} // namespace

void register_lookup(nb::module_& m) {
    bridge::def(m, "get_stock_industry", &stock_industry,
                "One-hot frame of each stock's first-level industry on each date, "
                "rows (date, order_book_id), one int8 column per industry met.",
                "order_book_ids"_a.none(), "dates"_a.none(), "standard"_a.none());
    bridge::def(m, "_industry_idx", &industry_idx,
                "Industry name -> the (date, order_book_id) pairs classified in it.",
                "order_book_ids"_a.none(), "dates"_a.none(), "standard"_a.none());
    bridge::def(m, "_one_industry", &one_industry,
                "The industry of one stock on one date, or None.", "data"_a.none(),
                "order_book_id"_a.none(), "date"_a.none());
}

} // namespace brelvox::sorvan
