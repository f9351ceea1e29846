// brelvox.marketdata.oprane: equity and futures prices on every requested date.
#include "bridge.hpp"

#include "align.hpp"
#include "price_fill.hpp"

#include <algorithm>

namespace brelvox::oprane {

namespace bridge = brelvox::bridge;
static nb::handle module_handle;

[[noreturn]] static void not_found(nb::handle dates, nb::handle order_book_ids) {
    bridge::raise_missing_data(bridge::Kind::price, order_book_ids, dates);
}

// Whether the client's calendar lists `day` as a trading date.
static bool is_trading_date(nb::handle api, nb::handle day) {
    nb::object answer = api.attr("get_trading_dates")(day, day);
    const Py_ssize_t n = PyObject_Length(answer.ptr());
    if (n >= 0) return n > 0;
    PyErr_Clear(); // no length: fall back on its truth value
    const int truth = PyObject_IsTrue(answer.ptr());
    if (truth < 0) throw nb::python_error();
    return truth == 1;
}

// The trading date before `day`, as a naive Timestamp and in microseconds.
struct Day {
    nb::object timestamp;
    std::int64_t us = 0;
};
static Day previous_trading_date(nb::handle api, nb::handle day) {
    nb::module_ pd = bridge::pandas();
    nb::object answer = api.attr("get_previous_trading_date")(day);
    nb::object pre = pd.attr("to_datetime")(answer);
    if (pre.is_none() || pre.is(pd.attr("NaT"))) {
        nb::str when = nb::str(day);
        bridge::raise_error(PyExc_ValueError,
                            "the exchange calendar knows no trading day before %S", when.ptr());
    }
    if (!nb::isinstance(pre, pd.attr("Timestamp")))
        bridge::raise_answer_type("get_previous_trading_date", "one date", answer);
    if (!pre.attr("tz").is_none()) pre = pre.attr("tz_localize")(nb::none());
    return {pre, bridge::date_tick(pre, "get_previous_trading_date")};
}

static nb::object get_price(nb::handle order_book_ids, nb::handle dates, nb::handle field) {
    bridge::DateLabels wanted_dates = bridge::read_dates(dates, bridge::kSpan);
    bridge::IdLabels wanted_ids = bridge::read_ids(order_book_ids, "order_book_ids");
    nb::object api = bridge::client(module_handle);

    // The previous trading date is fetched only to price a first date the market was shut.
    nb::object first = wanted_dates.index[0];
    nb::object start = first;
    std::int64_t start_us = wanted_dates.us.front();
    if (!is_trading_date(api, first)) {
        Day pre = previous_trading_date(api, first);
        start = pre.timestamp;
        start_us = pre.us;
    }
    nb::object price =
        api.attr("get_price")(order_book_ids, start, wanted_dates.index[-1], "fields"_a = field,
                              "expect_df"_a = true, "adjust_type"_a = "post");
    if (!bridge::has_rows(price, "get_price")) not_found(wanted_dates.index, order_book_ids);
    nb::object column = bridge::value_columns(price, {field})[0];
    bridge::LongFrame frame = bridge::read_long_index(price, "get_price");
    bridge::FloatColumn values(column);
    bridge::SeriesStorage storage;
    core::SeriesSource view = bridge::series_of(frame, values, storage);

    // Labels matching as sets keep the fetched order, as the client sorted them; other dates
    // carry the last price at or before them.
    bridge::Conformed axes = bridge::conform(wanted_dates, wanted_ids, frame.dates,
                                             frame.date_index, frame.ids, frame.id_index);
    if (!axes.same_dates)
        axes.date_pos = core::last_at_or_before(frame.dates, wanted_dates.us, start_us);
    const std::size_t from = static_cast<std::size_t>(
        std::lower_bound(frame.dates.begin(), frame.dates.end(), start_us) - frame.dates.begin());

    bridge::ResultArray result = bridge::result_array(axes.id_pos.size(), axes.date_pos.size());
    {
        nb::gil_scoped_release unlocked;
        core::carry_onto(view, axes.id_pos, axes.date_pos, from, result.cells());
    }
    return bridge::make_frame(std::move(result), axes.index, axes.columns);
}

static nb::object equity_price(nb::handle ids, nb::handle dates) {
    return get_price(ids, dates, nb::str("close"));
}
static nb::object futures_price(nb::handle ids, nb::handle dates) {
    return get_price(ids, dates, nb::str("settlement"));
}

} // namespace brelvox::oprane

NB_MODULE(oprane, m) {
    using namespace brelvox::oprane;
    namespace bridge = brelvox::bridge;
    module_handle = m;
    bridge::publish_globals(
        m, {"Sequence", "pd", "np", "ondrax", "DateConvertible", "maybe_reindex", "MissingData"});

    bridge::def(
        m, "_not_found_behave", [](nb::handle dates, nb::handle ids) { not_found(dates, ids); },
        nullptr, "dates"_a.none(), "order_book_ids"_a.none());
    bridge::def(m, "_get_price", &get_price, nullptr, "order_book_ids"_a.none(), "dates"_a.none(),
                "field"_a.none());
    bridge::def(m, "get_equity_price", &equity_price, nullptr, "order_book_ids"_a.none(),
                "dates"_a.none());
    bridge::def(m, "get_futures_price", &futures_price, nullptr, "order_book_ids"_a.none(),
                "dates"_a.none());
}
