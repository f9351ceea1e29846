// brelvox.marketdata.oprane: equity and futures prices on every requested date.
#include "bridge.hpp"

#include "align.hpp"
#include "price_fill.hpp"

#include <algorithm>
#include <limits>
#include <numeric>

namespace brelvox::oprane {

namespace bridge = brelvox::bridge;
static nb::handle module_handle;

static const char* const kPriceData = "价格数据";

[[noreturn]] static void not_found(nb::handle dates, nb::handle order_book_ids) {
    bridge::raise_missing_data(kPriceData, order_book_ids, dates);
}

// The requested dates after `pd.to_datetime`: non-empty, ascending, no NaT.
static bridge::DateLabels requested_dates(nb::handle dates) {
    bridge::require_one_dimension(dates, "dates");
    nb::module_ pd = bridge::pandas();
    nb::object converted = nb::borrow(dates);
    if (!nb::isinstance(dates, pd.attr("DatetimeIndex"))) {
        converted = pd.attr("to_datetime")(dates);
        if (!nb::isinstance(converted, pd.attr("DatetimeIndex")) &&
            !nb::isinstance(converted, pd.attr("Series"))) {
            PyErr_Format(PyExc_TypeError, "dates: expected a collection of dates, got %.200s",
                         Py_TYPE(dates.ptr())->tp_name);
            throw nb::python_error();
        }
    }
    bridge::DateLabels out = bridge::to_date_labels(converted);
    if (out.us.empty()) throw nb::index_error("dates is empty: there is no first date to price");
    // The fetch range runs from the first date to the last: any other order, or a NaT,
    // would leave requested dates outside it and price them from the wrong day.
    for (std::size_t k = 0; k < out.us.size(); ++k)
        if (out.us[k] == bridge::kNaT || (k > 0 && out.us[k] < out.us[k - 1]))
            throw nb::value_error("dates must be in ascending order and hold no NaT");
    return out;
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
        PyErr_Format(PyExc_ValueError, "the exchange calendar knows no trading day before %S",
                     when.ptr());
        throw nb::python_error();
    }
    if (!nb::isinstance(pre, pd.attr("Timestamp"))) {
        PyErr_Format(PyExc_TypeError,
                     "get_previous_trading_date: expected one date from the data client, got "
                     "%.200s",
                     Py_TYPE(answer.ptr())->tp_name);
        throw nb::python_error();
    }
    if (!pre.attr("tz").is_none()) pre = pre.attr("tz_localize")(nb::none());
    return {pre, bridge::date_tick(pre, "get_previous_trading_date")};
}

static std::vector<std::int64_t> all_positions(std::size_t n) {
    std::vector<std::int64_t> out(n);
    std::iota(out.begin(), out.end(), 0);
    return out;
}

// Positions of the requested ids among the fetched ones; the common request, the fetched
// ids themselves in their order, needs no search.
static std::vector<std::int64_t> id_positions(const bridge::IdLabels& wanted,
                                              const std::vector<std::string>& fetched) {
    const bool all_str =
        std::all_of(wanted.is_str.begin(), wanted.is_str.end(), [](bool is_str) { return is_str; });
    if (all_str && wanted.text == fetched) return all_positions(fetched.size());
    return bridge::positions_of_ids(wanted, fetched);
}

static nb::object get_price(nb::handle order_book_ids, nb::handle dates, nb::handle field) {
    bridge::DateLabels wanted_dates = requested_dates(dates);
    bridge::IdLabels wanted_ids = bridge::read_ids(order_book_ids, "order_book_ids");
    nb::module_ pd = bridge::pandas();
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

    std::vector<std::int64_t> exact = core::positions_in_sorted(frame.dates, wanted_dates.us);
    std::vector<std::int64_t> id_pos = id_positions(wanted_ids, frame.ids);
    const bool same_dates = core::covers_exactly(frame.dates.size(), exact);
    const bool same_ids = core::covers_exactly(frame.ids.size(), id_pos);
    // Labels matching as sets keep the fetched order, as the client sorted them.
    std::vector<std::int64_t> date_pos =
        same_dates ? all_positions(frame.dates.size())
                   : core::last_at_or_before(frame.dates, wanted_dates.us, start_us);
    if (same_ids) id_pos = all_positions(frame.ids.size());
    const std::size_t from = static_cast<std::size_t>(
        std::lower_bound(frame.dates.begin(), frame.dates.end(), start_us) - frame.dates.begin());

    bridge::ResultArray result = bridge::result_array(id_pos.size(), date_pos.size());
    {
        nb::gil_scoped_release unlocked;
        core::carry_onto(view, id_pos, date_pos, from,
                         std::span<double>(result.data, result.n_ids * result.n_dates));
    }

    nb::object index = same_dates ? frame.date_index : wanted_dates.index;
    nb::object columns = same_ids ? frame.id_index : pd.attr("Index")(wanted_ids.objects);
    return bridge::make_frame(std::move(result), bridge::renamed(index, "date"),
                              bridge::renamed(columns, "order_book_id"));
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
