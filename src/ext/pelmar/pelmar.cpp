// brelvox.marketdata.pelmar: constituent weights of stock and bond indexes on requested dates.
#include "pelmar.hpp"

#include <algorithm>

namespace brelvox::pelmar {

static nb::handle module_handle;

static nb::object get_index_weight(nb::handle order_book_id, nb::handle concerned_dates,
                                   nb::handle api, nb::handle api_name, nb::handle data_key,
                                   nb::handle o_key, nb::handle /*asset_type*/) {
    bridge::require_str_or_none(order_book_id, "order_book_id");
    Requested req = read_requested(concerned_dates);
    nb::object dates = req.index;
    nb::object start = dates[0], end = dates[-1];

    nb::object to_int = module_handle.attr("convert_date_to_int");
    nb::object service = bridge::client(module_handle).attr("client").attr("get_client")();
    nb::object data = service.attr("execute")(api_name, order_book_id, to_int(start), to_int(end));
    const int has_data = PyObject_IsTrue(data.ptr());
    if (has_data < 0) throw nb::python_error();

    if (!has_data) {
        nb::object value = api(order_book_id, start);
        if (value.is_none())
            bridge::raise_missing_data(bridge::Kind::index_weight, order_book_id, dates);
        return constant_weights(value, req);
    }

    RecordRows rows = read_records(data, data_key, o_key);

    // The first requested date needs its own list unless some record is dated on it.
    const std::int64_t start_us = req.us.front();
    const std::vector<std::int64_t>& record_us = rows.tables.dates;
    if (std::find(record_us.begin(), record_us.end(), start_us) == record_us.end()) {
        nb::object value = api(order_book_id, start);
        if (value.is_none())
            bridge::raise_missing_data(bridge::Kind::index_weight, order_book_id, dates);
        append_scaled_list(rows, value, start_us);
    }

    // Only lists on requested dates reach the result; duplicates elsewhere do no harm.
    DenseLists lists = record_lists(rows, req);
    {
        nb::gil_scoped_release unlocked;
        core::normalise_by_date(lists.weights);
    }
    return spread_frame(std::move(lists), req, false);
}

static nb::object get_stock_index_weight(nb::handle order_book_id, nb::handle concerned_dates) {
    bridge::require_str_or_none(order_book_id, "order_book_id");
    nb::object api = bridge::client(module_handle).attr("index_weights");
    nb::object stock = module_handle.attr("AssetType").attr("STOCK");
    return get_index_weight(order_book_id, concerned_dates, api,
                            nb::str("__internal__index_weights"), nb::str("data"),
                            nb::str("order_book_id"), stock);
}

static nb::object get_bond_index_weight(nb::handle order_book_id, nb::handle concerned_dates) {
    bridge::require_str_or_none(order_book_id, "order_book_id");
    nb::object first = concerned_dates[0], last = concerned_dates[-1];
    nb::object answer = bridge::client(module_handle)
                            .attr("bond")
                            .attr("index_weights")(order_book_id, first, last);
    if (answer.is_none())
        bridge::raise_missing_data(bridge::Kind::index_weight, order_book_id, concerned_dates);
    Requested req = read_requested(concerned_dates);
    // Delivered as is: no scaling, no list for the first date.
    return spread_frame(read_bond_weights(answer), req, true);
}

} // namespace brelvox::pelmar

NB_MODULE(pelmar, m) {
    using namespace brelvox::pelmar;
    namespace bridge = brelvox::bridge;
    module_handle = m;
    bridge::publish_globals(m, {"pd", "ondrax", "convert_date_to_int", "AssetType", "MissingData"});

    bridge::def(
        m, "get_stock_index_weight", &get_stock_index_weight,
        "Constituent weights of a stock index on every requested date, each date summing to 1.",
        "order_book_id"_a.none(), "concerned_dates"_a.none());
    bridge::def(m, "get_bond_index_weight", &get_bond_index_weight,
                "Constituent weights of a bond index on every requested date, as delivered.",
                "order_book_id"_a.none(), "concerned_dates"_a.none());
    bridge::def(m, "_get_index_weight", &get_index_weight, nullptr, "order_book_id"_a.none(),
                "concerned_dates"_a.none(), "api"_a.none(), "api_name"_a.none(),
                "data_key"_a.none(), "o_key"_a.none(), "asset_type"_a.none());
}
