// Cash and public fund daily returns of brelvox.marketdata.quenta.
#include "quenta.hpp"

#include "fund_returns.hpp"
#include "label_match.hpp"

#include <algorithm>
#include <memory>
#include <string_view>

namespace brelvox::quenta {

namespace {
// The cash function's docstring is the daily-return kind's text.
const char* const kCashDoc = bridge::kind_text(bridge::Kind::daily_return);

[[noreturn]] void raise_key_error(nb::handle key) {
    PyErr_SetObject(PyExc_KeyError, key.ptr());
    throw nb::python_error();
}

// One get_nav answer of the client, read in place (never modified).
struct FundAnswer {
    bridge::LongFrame rows;
    bridge::FloatColumn column;
    core::Scratch storage; // the values as a panel when the rows are not one already
    core::PanelView panel;

    FundAnswer(nb::handle answer, const char* field)
        : rows(bridge::read_long_index(answer, "get_nav")), column(answer[nb::str(field)]),
          panel(bridge::panel_view(rows, column, storage)) {}
    core::FundSeries series() const {
        return {{panel.values, panel.n_ids * panel.n_dates}, rows.ids.size(), rows.dates};
    }
    std::size_t n_funds() const { return rows.ids.size(); }
};

// The client's daily profits of `funds` from the first to the last requested date: a
// daily profit is already the return of its own day.
std::unique_ptr<FundAnswer> fetch_daily_profit(nb::handle funds, nb::handle dates) {
    nb::object first = dates[0];
    nb::object last = dates[-1];
    nb::object answer = client().attr("fund").attr("get_nav")(funds, first, last, "daily_profit",
                                                              "expect_df"_a = true);
    if (!bridge::has_rows(answer, "get_nav"))
        bridge::raise_missing_data(bridge::Kind::fund_daily_profit, funds, dates);
    return std::make_unique<FundAnswer>(answer, "daily_profit");
}

// The client's adjusted net values of `funds` from the exchange trading date before the
// first requested date to the last.
std::unique_ptr<FundAnswer> fetch_net_value(nb::handle funds, nb::handle dates) {
    nb::object first = dates[0];
    nb::object api = client();
    nb::object start = api.attr("get_previous_trading_date")(first);
    nb::object last = dates[-1];
    nb::object answer = api.attr("fund").attr("get_nav")(funds, start, last, "adjusted_net_value",
                                                         "expect_df"_a = true);
    if (!bridge::has_rows(answer, "get_nav"))
        bridge::raise_missing_data(bridge::Kind::fund_net_value, funds, dates);
    return std::make_unique<FundAnswer>(answer, "adjusted_net_value");
}

// The funds of both answers in order; complete answers lend their instrument level.
nb::object fund_columns(const FundAnswer* daily, const FundAnswer* net, nb::handle id_name) {
    const bool lend = (!daily || daily->rows.dense_sorted) && (!net || net->rows.dense_sorted);
    if (lend && daily && net)
        return daily->rows.id_index.attr("append")(net->rows.id_index).attr("rename")(id_name);
    if (lend) return (daily ? daily : net)->rows.id_index.attr("rename")(id_name);
    std::vector<std::string> names;
    if (daily) names = daily->rows.ids;
    if (net) names.insert(names.end(), net->rows.ids.begin(), net->rows.ids.end());
    return bridge::str_index(names, id_name);
}

// Side by side on the wanted dates: the daily-profit funds, then the net-value funds,
// each in the order of the client's answer.
nb::object fund_frame(const FundAnswer* daily, const FundAnswer* net,
                      const bridge::DateLabels& wanted, nb::handle index, nb::handle id_name) {
    const std::size_t n_daily = daily ? daily->n_funds() : 0;
    const std::size_t n_net = net ? net->n_funds() : 0;
    const std::size_t n_dates = wanted.us.size();
    bridge::ResultArray out = bridge::result_array(n_daily + n_net, n_dates);
    {
        nb::gil_scoped_release unlocked;
        const std::span<double> cells = out.cells();
        if (daily)
            core::carried_daily_profit(daily->series(), wanted.us, cells.first(n_daily * n_dates));
        if (net) core::net_value_change(net->series(), wanted.us, cells.subspan(n_daily * n_dates));
    }
    return bridge::make_frame(std::move(out), index, fund_columns(daily, net, id_name));
}

// A partial result keeps the dates' own name and the client's name of the fund level.
nb::object same_name(const bridge::DateLabels& wanted) {
    return wanted.index.attr("rename")(wanted.index.attr("name"));
}

nb::object daily_profit_frame(nb::handle odf, nb::handle dates) {
    nb::object funds = odf.attr("index");
    bridge::DateLabels wanted = bridge::read_dates(dates, bridge::kWallClock);
    std::unique_ptr<FundAnswer> daily = fetch_daily_profit(funds, dates);
    return fund_frame(daily.get(), nullptr, wanted, same_name(wanted), daily->rows.id_name);
}

nb::object net_value_frame(nb::handle order_book_ids, nb::handle dates) {
    bridge::DateLabels wanted = bridge::read_dates(dates, bridge::kWallClock);
    std::unique_ptr<FundAnswer> net = fetch_net_value(order_book_ids, dates);
    return fund_frame(nullptr, net.get(), wanted, same_name(wanted), net->rows.id_name);
}

// ---- the fund catalogue -------------------------------------------------------------------

struct FundKinds {
    nb::list daily_profit; // the caller's identifiers, in the caller's order
    nb::list net_value;
};

// The catalogue rows of the requested funds, sorted into the two kinds. A fund counts when
// exactly one of its catalogue rows holds any value: a fund the catalogue lists twice is
// ambiguous and left out, while a fund the caller lists twice counts once. A missing
// `accrued_daily` flag means a daily-profit fund.
FundKinds select_funds(nb::handle catalogue, const bridge::IdLabels& ids) {
    nb::object columns = catalogue.attr("columns");
    for (const char* name : {"order_book_id", "accrued_daily"})
        if (!nb::cast<bool>(columns.attr("__contains__")(name))) raise_key_error(nb::str(name));
    nb::object flag_column = catalogue["accrued_daily"];
    const bridge::LabelTable cat_ids = bridge::id_table(catalogue["order_book_id"]);
    nb::list flags = nb::borrow<nb::list>(flag_column.attr("tolist")());
    // A column of bool cannot hold a missing flag; any other may.
    nb::object bool_dtype = bridge::numpy().attr("dtype")("bool");
    const bool plain_flags = bool_dtype.equal(flag_column.attr("dtype"));
    const std::vector<std::int32_t> flag_missing =
        plain_flags ? std::vector<std::int32_t>(nb::len(flag_column), 0)
                    : bridge::to_vector<std::int32_t>(flag_column.attr("isna")(), "int32");
    const std::size_t n_rows = cat_ids.text.size();

    // The distinct requested ids, sorted; where each request and each catalogue row falls.
    std::vector<std::string> texts;
    std::vector<std::string_view> requests(ids.text.size());
    for (std::size_t k = 0; k < ids.text.size(); ++k)
        if (ids.is_str[k]) {
            texts.push_back(ids.text[k]);
            requests[k] = ids.text[k];
        }
    const std::vector<std::string> wanted = core::sorted_distinct(texts);
    std::vector<std::int64_t> request_at = core::positions_of_labels(wanted, requests);
    for (std::size_t k = 0; k < ids.text.size(); ++k)
        if (!ids.is_str[k]) request_at[k] = -1;
    const std::vector<std::string_view> row_ids(cat_ids.text.begin(), cat_ids.text.end());
    std::vector<std::int64_t> row_at = core::positions_of_labels(wanted, row_ids);
    for (std::size_t r = 0; r < n_rows; ++r)
        if (!cat_ids.valid[r]) row_at[r] = -1;

    // A row whose flag is missing may hold no value at all; such rows do not count.
    std::vector<std::size_t> unflagged;
    for (std::size_t r = 0; r < n_rows; ++r)
        if (row_at[r] >= 0 && flag_missing[r]) unflagged.push_back(r);
    std::vector<bool> empty_row(n_rows, false);
    if (!unflagged.empty()) {
        nb::list rows;
        for (std::size_t r : unflagged) rows.append(r);
        nb::object part = catalogue.attr("take")(rows);
        const std::size_t n_cols = nb::len(columns);
        const std::vector<std::int32_t> is_id =
            bridge::to_vector<std::int32_t>(columns.attr("__eq__")("order_book_id"), "int32");
        const std::vector<std::int32_t> missing = bridge::to_vector<std::int32_t>(
            part.attr("isna")().attr("to_numpy")("dtype"_a = "int32"), "int32");
        for (std::size_t k = 0; k < unflagged.size(); ++k) {
            bool all_missing = true;
            for (std::size_t c = 0; c < n_cols; ++c)
                all_missing &= is_id[c] || missing[k * n_cols + c];
            empty_row[unflagged[k]] = all_missing;
        }
    }
    std::vector<bool> listed(wanted.size(), false);
    std::vector<int> with_values(wanted.size(), 0);
    std::vector<std::size_t> row_of(wanted.size(), 0);
    for (std::size_t r = 0; r < n_rows; ++r) {
        if (row_at[r] < 0) continue;
        const auto u = static_cast<std::size_t>(row_at[r]);
        listed[u] = true;
        if (empty_row[r]) continue;
        ++with_values[u];
        row_of[u] = r;
    }

    nb::list absent;
    for (std::size_t k = 0; k < ids.text.size(); ++k) {
        if (request_at[k] >= 0 && listed[static_cast<std::size_t>(request_at[k])]) continue;
        nb::object id = ids.objects[k];
        if (!nb::cast<bool>(absent.attr("__contains__")(id))) absent.append(id);
    }
    if (absent.size() > 0)
        raise_key_error(nb::str("{!r} not in the fund catalogue").format(absent));

    FundKinds out;
    std::vector<bool> done(wanted.size(), false);
    for (std::size_t k = 0; k < ids.text.size(); ++k) {
        const auto u = static_cast<std::size_t>(request_at[k]);
        if (done[u]) continue;
        done[u] = true;
        if (with_values[u] != 1) continue;
        const std::size_t r = row_of[u];
        bool daily = true;
        if (!flag_missing[r]) {
            const int truth =
                PyObject_IsTrue(PyList_GET_ITEM(flags.ptr(), static_cast<Py_ssize_t>(r)));
            if (truth < 0) throw nb::python_error();
            daily = truth == 1;
        }
        (daily ? out.daily_profit : out.net_value).append(ids.objects[k]);
    }
    return out;
}

nb::object public_fund_returns(nb::handle order_book_ids, nb::handle dates) {
    bridge::DateLabels wanted = bridge::read_dates(dates, bridge::kWallClock);
    nb::object first = wanted.index[nb::int_(0)]; // an empty `dates` fails here
    (void)first;
    bridge::IdLabels ids = bridge::read_ids(order_book_ids, "order_book_ids");
    nb::object catalogue = client().attr("fund").attr("all_instruments")();
    FundKinds kinds = select_funds(catalogue, ids);
    if (kinds.daily_profit.size() == 0 && kinds.net_value.size() == 0)
        bridge::raise_unknown_assets(order_book_ids, bridge::kPublicFund);

    nb::str id_name("order_book_id");
    std::unique_ptr<FundAnswer> daily, net;
    nb::object index_type = bridge::pandas().attr("Index");
    if (kinds.daily_profit.size() > 0)
        daily =
            fetch_daily_profit(index_type(kinds.daily_profit, "name"_a = id_name), wanted.index);
    if (kinds.net_value.size() > 0)
        net = fetch_net_value(index_type(kinds.net_value, "name"_a = id_name), wanted.index);
    return fund_frame(daily.get(), net.get(), wanted, bridge::renamed(wanted.index, "date"),
                      id_name);
}

nb::object cash_returns(nb::handle order_book_ids, nb::handle dates, nb::handle returns) {
    nb::object frame = bridge::pandas().attr("DataFrame")(returns, "index"_a = dates,
                                                          "columns"_a = order_book_ids);
    // New axis objects: the frame may share the caller's index, which must keep its name.
    frame.attr("index") = bridge::renamed(frame.attr("index"), "date");
    frame.attr("columns") = bridge::renamed(frame.attr("columns"), "order_book_id");
    return frame;
}
} // namespace

void register_fund_returns(nb::module_& m) {
    bridge::def(m, "get_cash_daily_returns", &cash_returns, kCashDoc, "order_book_ids"_a.none(),
                "dates"_a.none(), "returns"_a.none() = 0.0);
    bridge::def(m, "_get_public_fund_daily_profit_return", &daily_profit_frame, nullptr, "odf"_a,
                "dates"_a);
    bridge::def(m, "_get_public_fund_unit_net_value_return", &net_value_frame, nullptr,
                "order_book_ids"_a, "dates"_a);
    bridge::def(m, "get_public_fund_daily_returns", &public_fund_returns, nullptr,
                "order_book_ids"_a, "dates"_a);
}

} // namespace brelvox::quenta
