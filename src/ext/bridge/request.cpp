#include "request.hpp"

#include "align.hpp"
#include "arrays.hpp"
#include "errors.hpp"

#include <algorithm>
#include <numeric>

namespace brelvox::bridge {

// ---- absent data --------------------------------------------------------------------------

const char* kind_text(Kind kind) {
    switch (kind) {
    case Kind::daily_return:
        return "日收益率";
    case Kind::price:
        return "价格数据";
    case Kind::index_weight:
        return "指数权重数据";
    case Kind::valuation:
        return "估值数据";
    case Kind::treasury_curve:
        return "中债国债收益率曲线";
    case Kind::fund_daily_profit:
        return "公募基金日收益率";
    case Kind::fund_net_value:
        return "公募基金净值";
    }
    return "";
}

namespace {
[[noreturn]] void raise_instance(const char* name, nb::object args, nb::object kwargs) {
    nb::object cls = nb::module_::import_("brelvox.exceptions").attr(name);
    nb::object error = nb::steal(PyObject_Call(cls.ptr(), args.ptr(), kwargs.ptr()));
    if (!error.is_valid()) throw nb::python_error();
    PyErr_SetObject(cls.ptr(), error.ptr());
    throw nb::python_error();
}
} // namespace

void raise_missing_data(Kind kind, nb::handle order_book_ids, nb::handle dates) {
    raise_instance("MissingData", nb::make_tuple(nb::str(kind_text(kind)), order_book_ids, dates),
                   nb::dict());
}

void raise_missing_data(Kind kind, nb::handle dates) {
    nb::dict kwargs;
    kwargs["dates"] = dates;
    raise_instance("MissingData", nb::make_tuple(nb::str(kind_text(kind))), kwargs);
}

void raise_unknown_assets(nb::handle order_book_ids, const char* asset_kind) {
    raise_instance("UnknownAssets", nb::make_tuple(order_book_ids, nb::str(asset_kind)),
                   nb::dict());
}

// ---- requested dates ----------------------------------------------------------------------

DateLabels read_dates(nb::handle dates, const DatePolicy& policy, const char* what) {
    require_one_dimension(dates, what);
    nb::module_ pd = pandas();
    nb::object index = nb::borrow(dates);
    if (!nb::isinstance(index, pd.attr("DatetimeIndex"))) {
        index = pd.attr("to_datetime")(dates);
        if (!nb::isinstance(index, pd.attr("DatetimeIndex"))) {
            if (policy.named_one_date && !nb::isinstance(index, pd.attr("Series")))
                raise_error(PyExc_TypeError, "%s: expected a collection of dates, got %.200s", what,
                            Py_TYPE(dates.ptr())->tp_name);
            index = pd.attr("DatetimeIndex")(index);
        }
    }
    DateLabels out;
    out.index = policy.keep_zone || index.attr("tz").is_none()
                    ? index
                    : nb::object(index.attr("tz_localize")(nb::none()));
    out.us = date_ticks(out.index, what);
    if (policy.ascending) {
        if (out.us.empty())
            raise_error(PyExc_IndexError, "%s is empty: there is no first date to price", what);
        // Any other order, or a NaT, would leave requested dates outside the span fetched.
        for (std::size_t k = 0; k < out.us.size(); ++k)
            if (out.us[k] == kNaT || (k > 0 && out.us[k] < out.us[k - 1]))
                raise_error(PyExc_ValueError, "%s must be in ascending order and hold no NaT",
                            what);
    }
    return out;
}

// ---- requested ids ------------------------------------------------------------------------

IdLabels read_ids(nb::handle order_book_ids, const char* argname) {
    if (PyUnicode_Check(order_book_ids.ptr()) || order_book_ids.is_none())
        raise_error(PyExc_TypeError, "%s must be a sequence of str, not %.200s", argname,
                    Py_TYPE(order_book_ids.ptr())->tp_name);
    require_one_dimension(order_book_ids, argname);
    IdLabels out;
    out.objects = nb::borrow<nb::list>(element_list(order_book_ids));
    const std::size_t n = out.objects.size();
    out.text.resize(n);
    out.is_str.resize(n, false);
    for (std::size_t k = 0; k < n; ++k) {
        std::string_view text;
        if (!utf8_of(PyList_GET_ITEM(out.objects.ptr(), static_cast<Py_ssize_t>(k)), text))
            continue;
        out.text[k].assign(text);
        out.is_str[k] = true;
    }
    return out;
}

std::vector<std::int64_t> positions_of_ids(const IdLabels& ids,
                                           const std::vector<std::string>& sorted_ids) {
    // The common request, the answer's own ids in its order, needs no search.
    const bool all_str =
        std::all_of(ids.is_str.begin(), ids.is_str.end(), [](bool s) { return s; });
    if (all_str && ids.text == sorted_ids) {
        std::vector<std::int64_t> pos(sorted_ids.size());
        std::iota(pos.begin(), pos.end(), 0);
        return pos;
    }
    std::vector<std::string_view> wanted(ids.text.begin(), ids.text.end());
    std::vector<std::int64_t> pos = core::positions_in_sorted(sorted_ids, wanted);
    for (std::size_t k = 0; k < pos.size(); ++k)
        if (!ids.is_str[k]) pos[k] = -1;
    return pos;
}

// ---- a result conformed to the request ----------------------------------------------------

namespace {
void to_identity(std::vector<std::int64_t>& pos, std::size_t n) {
    pos.resize(n);
    std::iota(pos.begin(), pos.end(), 0);
}
} // namespace

DateMatch match_dates(const std::vector<std::int64_t>& wanted,
                      const std::vector<std::int64_t>& data) {
    DateMatch out;
    out.pos = core::positions_in_sorted(data, wanted);
    out.same = core::covers_exactly(data.size(), out.pos);
    if (out.same) to_identity(out.pos, data.size());
    return out;
}

Conformed conform(const DateLabels& dates, const IdLabels& ids,
                  const std::vector<std::int64_t>& data_dates, nb::handle data_date_index,
                  const std::vector<std::string>& data_ids, nb::handle data_id_index) {
    Conformed out;
    DateMatch on_dates = match_dates(dates.us, data_dates);
    out.date_pos = std::move(on_dates.pos);
    out.same_dates = on_dates.same;
    out.id_pos = positions_of_ids(ids, data_ids);
    out.same_ids = core::covers_exactly(data_ids.size(), out.id_pos);
    if (out.same_ids) to_identity(out.id_pos, data_ids.size());
    out.index = renamed(out.same_dates ? data_date_index : nb::handle(dates.index), "date");
    out.columns = renamed(out.same_ids ? nb::object(nb::borrow(data_id_index))
                                       : nb::object(pandas().attr("Index")(ids.objects)),
                          "order_book_id");
    return out;
}

// ---- client answers -----------------------------------------------------------------------

void require_two_levels(nb::handle index, const char* what, const char* levels) {
    if (!nb::isinstance(index, pandas().attr("MultiIndex")) ||
        nb::cast<int>(index.attr("nlevels")) != 2)
        raise_error(PyExc_ValueError, "%s: expected the data client's answer indexed by %s", what,
                    levels);
}

void require_same_length(const char* what, std::size_t rows, std::size_t values) {
    if (rows != values)
        raise_error(PyExc_ValueError, "%s: the data client's answer has %zu values for %zu rows",
                    what, values, rows);
}

} // namespace brelvox::bridge
