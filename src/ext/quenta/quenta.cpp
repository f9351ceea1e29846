// brelvox.marketdata.quenta: daily returns of every asset type.
#include "quenta.hpp"

#include "align.hpp"
#include "daily_returns.hpp"

#include <limits>

namespace brelvox::quenta {

static nb::handle module_handle;

nb::handle module() {
    return module_handle;
}
nb::object client() {
    return bridge::client(module_handle);
}

[[noreturn]] static void not_found(nb::handle dates, nb::handle order_book_ids) {
    bridge::raise_missing_data(bridge::Kind::daily_return, order_book_ids, dates);
}

// Calls `fn` and turns a ValueError of the client into None.
template <class F> static nb::object none_on_value_error(F&& fn) {
    try {
        return fn();
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        return nb::none();
    }
}

// The instruments of a price panel: their Index and, when known, their text in ascending
// order (looked up natively instead of through the Index).
struct Instruments {
    nb::handle index;
    const std::vector<std::string>* sorted = nullptr;

    std::vector<std::int64_t> positions(nb::handle labels) const {
        if (!sorted)
            return bridge::to_vector<std::int64_t>(index.attr("get_indexer")(labels), "int64");
        bridge::IdLabels wanted = bridge::read_ids(labels, "order_book_id");
        return bridge::positions_of_ids(wanted, *sorted);
    }
};

// Position of each action's instrument in `columns` and its ex-date (microseconds), read from the
// answer's (order_book_id, ex_dividend_date) index, or from columns of those names.
static void read_action_keys(nb::handle answer, const Instruments& columns,
                             std::vector<std::int64_t>& where, std::vector<std::int64_t>& when) {
    nb::module_ pd = bridge::pandas();
    nb::object index = answer.attr("index");
    if (nb::isinstance(index, pd.attr("MultiIndex"))) {
        nb::list names = nb::list(index.attr("names"));
        int id_level = -1, date_level = -1;
        for (std::size_t k = 0; k < names.size(); ++k) {
            if (names[k].equal(nb::str("order_book_id"))) id_level = static_cast<int>(k);
            if (names[k].equal(nb::str("ex_dividend_date"))) date_level = static_cast<int>(k);
        }
        if (id_level >= 0 && date_level >= 0) {
            nb::object levels = index.attr("levels");
            std::vector<std::int64_t> id_of_level = columns.positions(levels[id_level]);
            std::vector<std::int64_t> date_of_level =
                bridge::date_ticks(levels[date_level], "corporate actions: ex_dividend_date level");
            auto ids = bridge::checked_codes(index, id_level, "corporate actions");
            auto dates = bridge::checked_codes(index, date_level, "corporate actions");
            where = core::take_by_code(ids->span(), id_of_level, -1);
            when = core::take_by_code(dates->span(), date_of_level, bridge::kNaT);
            return;
        }
    }
    nb::object rows = answer.attr("reset_index")();
    where = columns.positions(rows["order_book_id"]);
    when = bridge::date_ticks(rows["ex_dividend_date"], "corporate actions: ex_dividend_date");
}

// Splits or dividends of a client answer as actions on the columns of `columns`.
static std::vector<core::CorporateAction> read_actions(nb::handle answer, const char* numerator,
                                                       const char* denominator,
                                                       const Instruments& columns) {
    std::vector<std::int64_t> where, when;
    read_action_keys(answer, columns, where, when);
    const std::vector<nb::object> columns_read =
        bridge::value_columns(answer, {nb::str(numerator), nb::str(denominator)});
    bridge::FloatColumn num(columns_read[0]), den(columns_read[1]);
    bridge::require_same_length("corporate actions", where.size(), num.size());
    bridge::require_same_length("corporate actions", where.size(), den.size());
    std::vector<core::CorporateAction> out(where.size());
    for (std::size_t k = 0; k < out.size(); ++k)
        out[k] = {static_cast<std::int32_t>(where[k]), when[k], num.data()[k] / den.data()[k]};
    return out;
}

// Splits and dividends of the instruments `columns` from the first date after the fetched
// range's first to its last (the trading date before the request is never adjusted).
static void fetch_actions(const Instruments& columns, nb::handle date_index,
                          std::vector<core::CorporateAction>& splits,
                          std::vector<core::CorporateAction>& dividends) {
    nb::object api = client();
    nb::object first = date_index[1], last = date_index[-1];
    nb::object answer =
        none_on_value_error([&] { return api.attr("get_split")(columns.index, first, last); });
    if (bridge::has_rows(answer, "get_split"))
        splits = read_actions(answer, "split_coefficient_to", "split_coefficient_from", columns);
    answer =
        none_on_value_error([&] { return api.attr("get_dividend")(columns.index, first, last); });
    if (bridge::has_rows(answer, "get_dividend"))
        dividends = read_actions(answer, "dividend_cash_before_tax", "round_lot", columns);
}

// Returns of `price` from its second date on (actions applied when asked), cells without a
// return holding `missing`.
static bridge::ResultArray returns_of(const core::SeriesSource& price,
                                      const std::vector<std::int64_t>& dates, bool adjust,
                                      const Instruments& columns, nb::handle date_index,
                                      double missing) {
    std::vector<core::CorporateAction> splits, dividends;
    if (adjust && price.n_dates() >= 2) fetch_actions(columns, date_index, splits, dividends);
    bridge::ResultArray out =
        bridge::result_array(price.n_ids(), price.n_dates() ? price.n_dates() - 1 : 0);
    nb::gil_scoped_release unlocked;
    core::adjusted_returns(price, dates, splits, dividends, missing, out.data);
    return out;
}

static nb::object get_daily_returns(nb::handle order_book_ids, nb::handle dates, nb::handle field,
                                    nb::handle adjust_dividend) {
    nb::object first = dates[0];
    nb::object last = dates[-1];
    bridge::IdLabels wanted_ids = bridge::read_ids(order_book_ids, "order_book_ids");
    nb::object api = client();
    nb::object price = none_on_value_error([&] {
        nb::object start = api.attr("get_previous_trading_date")(first);
        return api.attr("get_price")(order_book_ids, start, last, "fields"_a = field,
                                     "expect_df"_a = true, "adjust_type"_a = "none");
    });
    if (!bridge::has_rows(price, "get_price")) not_found(dates, order_book_ids);

    bridge::LongFrame frame = bridge::read_long_index(price, "get_price");
    bridge::FloatColumn column(bridge::value_columns(price, {field})[0]);
    bridge::SeriesStorage storage;
    core::SeriesSource panel = bridge::series_of(frame, column, storage);
    const bool adjust = bridge::truthy(adjust_dividend);
    nb::object data_ids = bridge::renamed(frame.id_index, "order_book_id");
    bridge::ResultArray change =
        returns_of(panel, frame.dates, adjust, {data_ids, &frame.ids}, frame.date_index, 0.0);

    // Absent dates and instruments of the request become 0.0.
    const std::vector<std::int64_t> data_dates(frame.dates.begin() + (frame.dates.empty() ? 0 : 1),
                                               frame.dates.end());
    bridge::Conformed axes =
        bridge::conform(bridge::read_dates(dates, bridge::kWallClock), wanted_ids, data_dates,
                        bridge::without_first(frame.date_index), frame.ids, data_ids);
    if (axes.as_delivered()) return bridge::make_frame(std::move(change), axes.index, axes.columns);
    core::Panel conformed;
    {
        nb::gil_scoped_release unlocked;
        conformed = core::conform(change.view(), axes.id_pos, axes.date_pos, 0.0);
    }
    return bridge::make_frame(std::move(conformed), axes.index, axes.columns);
}

static nb::object adjust_daily_return(nb::handle price) {
    nb::object index = price.attr("index"), columns = price.attr("columns");
    std::vector<std::int64_t> dates = bridge::date_ticks(index, "price index");
    nb::object values =
        price.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = bridge::numpy().attr("nan"));
    std::vector<double> by_date = bridge::to_vector<double>(values, "float64");
    const std::size_t n_dates = dates.size(), n_ids = nb::len(columns);
    core::Panel panel(n_ids, n_dates, 0.0);
    for (std::size_t t = 0; t < n_dates; ++t)
        for (std::size_t i = 0; i < n_ids; ++i) panel.at(i, t) = by_date[t * n_ids + i];
    bridge::ResultArray change =
        returns_of(panel, dates, true, {columns}, index, std::numeric_limits<double>::quiet_NaN());
    return bridge::make_frame(std::move(change), bridge::without_first(index), columns);
}

static nb::object equity_returns(nb::handle ids, nb::handle dates) {
    return get_daily_returns(ids, dates, nb::str("close"), Py_True);
}
static nb::object option_returns(nb::handle ids, nb::handle dates) {
    return get_daily_returns(ids, dates, nb::str("close"), Py_False);
}
static nb::object future_returns(nb::handle ids, nb::handle dates) {
    return get_daily_returns(ids, dates, nb::str("settlement"), Py_False);
}

} // namespace brelvox::quenta

NB_MODULE(quenta, m) {
    using namespace brelvox::quenta;
    namespace bridge = brelvox::bridge;
    module_handle = m;
    bridge::publish_globals(m, {"bisect", "Sequence", "pd", "np", "ondrax", "DateConvertible",
                                "MissingData", "UnknownAssets"});

    bridge::def(
        m, "_not_found_behave", [](nb::handle dates, nb::handle ids) { not_found(dates, ids); },
        nullptr, "dates"_a.none(), "order_book_ids"_a.none());
    bridge::def(m, "_get_daily_returns", &get_daily_returns, nullptr, "order_book_ids"_a.none(),
                "dates"_a.none(), "field"_a.none(), "adjust_dividend"_a.none() = false);
    bridge::def_signed(m, "_adjust_daily_return", &adjust_daily_return, nullptr, "(price, /)");
    bridge::def(m, "get_equity_daily_returns", &equity_returns, nullptr, "order_book_ids"_a.none(),
                "dates"_a.none());
    bridge::def(m, "get_option_daily_returns", &option_returns, nullptr, "order_book_ids"_a.none(),
                "dates"_a.none());
    bridge::def(m, "get_future_daily_returns", &future_returns, nullptr, "order_book_ids"_a.none(),
                "dates"_a.none());
    // Bonds (bond.cpp), then cash and public funds (fund.cpp).
    register_bond_returns(m);
    register_fund_returns(m);
}
