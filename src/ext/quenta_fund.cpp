// Cash and public fund daily returns of brelvox.marketdata.quenta.
#include "bridge.hpp"

#include "fund_returns.hpp"

#include <algorithm>
#include <numeric>
#include <string_view>
#include <unordered_map>

namespace brelvox::quenta {

namespace bridge = brelvox::bridge;

namespace {
nb::handle module_handle;

const char* const kCashDoc = "日收益率";
const char* const kDailyProfitKind = "公募基金日收益率";
const char* const kNetValueKind = "公募基金净值";
const char* const kPublicFund = "公募基金";

bool has_rows(nb::handle frame) {
    return !frame.is_none() && !nb::cast<bool>(frame.attr("empty"));
}

[[noreturn]] void raise_key_error(nb::handle key) {
    PyErr_SetObject(PyExc_KeyError, key.ptr());
    throw nb::python_error();
}

// Returns of some funds on the wanted dates, one series per fund the client answered for.
struct FundReturns {
    core::Panel panel;
    std::vector<std::string> ids; // ascending
    nb::object ids_name;          // the name of the client's instrument level
};

nb::object fund_index(const std::vector<std::string>& ids, nb::handle name) {
    nb::list items;
    for (const std::string& s : ids) items.append(nb::str(s.data(), s.size()));
    return bridge::pandas().attr("Index")(items, "name"_a = name);
}

// The client's answer on (fund, date) as a panel of one column; read, never modified.
bridge::LongFrame read_nav(nb::handle answer, const char* field, std::vector<double>& values) {
    bridge::LongFrame frame = bridge::read_long_frame(answer, "get_nav");
    values = bridge::read_column(frame, nb::str(field));
    return frame;
}

nb::object level_name(const bridge::LongFrame& frame) {
    return frame.frame.attr("index").attr("names")[0];
}

FundReturns daily_profit_returns(nb::handle funds, nb::handle dates,
                                 const bridge::DateLabels& wanted) {
    nb::object first = dates[0];
    nb::object last = dates[-1];
    nb::object answer =
        bridge::client(module_handle)
            .attr("fund")
            .attr("get_nav")(funds, first, last, "daily_profit", "expect_df"_a = true);
    if (!has_rows(answer)) bridge::raise_missing_data(kDailyProfitKind, funds, dates);
    std::vector<double> values;
    bridge::LongFrame frame = read_nav(answer, "daily_profit", values);
    core::Panel profit = bridge::long_to_panel(frame, values);
    FundReturns out{{}, std::move(frame.ids), level_name(frame)};
    nb::gil_scoped_release unlocked;
    out.panel = core::carried_daily_profit(profit, frame.dates, wanted.ns);
    return out;
}

FundReturns net_value_returns(nb::handle funds, nb::handle dates,
                              const bridge::DateLabels& wanted) {
    nb::object first = dates[0];
    nb::object api = bridge::client(module_handle);
    nb::object start = api.attr("get_previous_trading_date")(first);
    nb::object last = dates[-1];
    nb::object answer = api.attr("fund").attr("get_nav")(funds, start, last, "adjusted_net_value",
                                                         "expect_df"_a = true);
    if (!has_rows(answer)) bridge::raise_missing_data(kNetValueKind, funds, dates);
    std::vector<double> values;
    bridge::LongFrame frame = read_nav(answer, "adjusted_net_value", values);
    core::Panel net_value = bridge::long_to_panel(frame, values);
    FundReturns out{{}, std::move(frame.ids), level_name(frame)};
    nb::gil_scoped_release unlocked;
    const core::Panel change = core::net_value_change(net_value);
    std::vector<std::int64_t> all_ids(change.n_ids);
    std::iota(all_ids.begin(), all_ids.end(), 0);
    out.panel =
        core::conform(change, all_ids, core::positions_in_sorted(frame.dates, wanted.ns), 0.0);
    core::fill_nan(out.panel, 0.0);
    return out;
}

// A partial result as its own frame: the dates as given (converted), funds by the client.
nb::object partial_frame(FundReturns&& part, const bridge::DateLabels& wanted) {
    nb::object index = wanted.index.attr("rename")(wanted.index.attr("name"));
    nb::object columns = fund_index(part.ids, part.ids_name);
    return bridge::make_frame(std::move(part.panel), index, columns);
}

nb::object daily_profit_frame(nb::handle odf, nb::handle dates) {
    nb::object funds = odf.attr("index");
    bridge::DateLabels wanted = bridge::to_date_labels(dates);
    return partial_frame(daily_profit_returns(funds, dates, wanted), wanted);
}

nb::object net_value_frame(nb::handle order_book_ids, nb::handle dates) {
    bridge::DateLabels wanted = bridge::to_date_labels(dates);
    return partial_frame(net_value_returns(order_book_ids, dates, wanted), wanted);
}

// ---- the fund catalogue -------------------------------------------------------------------

struct FundKinds {
    std::vector<std::string> daily_profit; // in the caller's order
    std::vector<std::string> net_value;
};

// The catalogue rows of the requested funds, sorted into the two kinds. A fund counts when
// exactly one of its catalogue rows holds any value: a fund the catalogue lists twice is
// ambiguous and left out, while a fund the caller lists twice counts once. A missing
// `accrued_daily` flag means a daily-profit fund.
FundKinds select_funds(nb::handle catalogue, const bridge::IdLabels& ids) {
    nb::object columns = catalogue.attr("columns");
    for (const char* name : {"order_book_id", "accrued_daily"})
        if (!nb::cast<bool>(columns.attr("__contains__")(name))) raise_key_error(nb::str(name));
    const std::size_t n_cols = nb::len(columns);
    std::vector<std::int64_t> is_id =
        bridge::to_vector<std::int64_t>(columns.attr("__eq__")("order_book_id"), "int64");
    std::vector<std::int64_t> is_flag =
        bridge::to_vector<std::int64_t>(columns.attr("__eq__")("accrued_daily"), "int64");
    const auto flag_col =
        static_cast<std::size_t>(std::find(is_flag.begin(), is_flag.end(), 1) - is_flag.begin());
    nb::object missing_frame = catalogue.attr("isna")();
    std::vector<std::int64_t> missing = bridge::to_vector<std::int64_t>(
        missing_frame.attr("to_numpy")("dtype"_a = "int64"), "int64");
    nb::list cat_ids = nb::borrow<nb::list>(catalogue["order_book_id"].attr("tolist")());
    nb::list flags = nb::borrow<nb::list>(catalogue["accrued_daily"].attr("tolist")());
    const std::size_t n_rows = cat_ids.size();

    std::unordered_map<std::string_view, std::vector<std::size_t>> rows_of;
    rows_of.reserve(ids.text.size() * 2);
    for (std::size_t k = 0; k < ids.text.size(); ++k)
        if (ids.is_str[k]) rows_of.try_emplace(ids.text[k]);
    std::vector<std::string> cat_text(n_rows);
    for (std::size_t r = 0; r < n_rows; ++r) {
        PyObject* item = PyList_GET_ITEM(cat_ids.ptr(), static_cast<Py_ssize_t>(r));
        if (!PyUnicode_Check(item)) continue;
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
        if (!utf8) throw nb::python_error();
        auto it = rows_of.find(std::string_view(utf8, static_cast<std::size_t>(size)));
        if (it != rows_of.end()) it->second.push_back(r);
    }

    nb::list absent;
    for (std::size_t k = 0; k < ids.text.size(); ++k)
        if (!ids.is_str[k] || rows_of[ids.text[k]].empty()) {
            nb::object id = ids.objects[k];
            if (!nb::cast<bool>(absent.attr("__contains__")(id))) absent.append(id);
        }
    if (absent.size() > 0) {
        nb::str message = nb::str("{!r} not in the fund catalogue").format(absent);
        raise_key_error(message);
    }

    auto holds_a_value = [&](std::size_t r) {
        for (std::size_t c = 0; c < n_cols; ++c)
            if (!is_id[c] && !missing[r * n_cols + c]) return true;
        return false;
    };
    FundKinds out;
    std::unordered_map<std::string_view, bool> done;
    for (std::size_t k = 0; k < ids.text.size(); ++k) {
        const std::string& id = ids.text[k];
        if (!done.try_emplace(id, true).second) continue;
        std::ptrdiff_t row = -1;
        int with_values = 0;
        for (std::size_t r : rows_of[id])
            if (holds_a_value(r)) {
                row = static_cast<std::ptrdiff_t>(r);
                ++with_values;
            }
        if (with_values != 1) continue;
        const auto r = static_cast<std::size_t>(row);
        bool daily = true;
        if (!missing[r * n_cols + flag_col]) {
            const int truth =
                PyObject_IsTrue(PyList_GET_ITEM(flags.ptr(), static_cast<Py_ssize_t>(r)));
            if (truth < 0) throw nb::python_error();
            daily = truth == 1;
        }
        (daily ? out.daily_profit : out.net_value).push_back(id);
    }
    return out;
}

nb::object public_fund_returns(nb::handle order_book_ids, nb::handle dates) {
    bridge::DateLabels wanted = bridge::to_date_labels(dates);
    nb::object first = wanted.index[nb::int_(0)]; // an empty `dates` fails here
    (void)first;
    bridge::IdLabels ids = bridge::read_ids(order_book_ids, "order_book_ids");
    nb::object catalogue = bridge::client(module_handle).attr("fund").attr("all_instruments")();
    FundKinds kinds = select_funds(catalogue, ids);
    if (kinds.daily_profit.empty() && kinds.net_value.empty()) {
        nb::object cls = nb::module_::import_("brelvox.exceptions").attr("UnknownAssets");
        nb::object error = cls(order_book_ids, nb::str(kPublicFund));
        PyErr_SetObject(cls.ptr(), error.ptr());
        throw nb::python_error();
    }

    nb::str id_name("order_book_id");
    FundReturns daily, net;
    if (!kinds.daily_profit.empty())
        daily = daily_profit_returns(fund_index(kinds.daily_profit, id_name), wanted.index, wanted);
    if (!kinds.net_value.empty())
        net = net_value_returns(fund_index(kinds.net_value, id_name), wanted.index, wanted);

    // Daily-profit funds first, then net-value funds, each as the client ordered them.
    core::Panel both(daily.ids.size() + net.ids.size(), wanted.ns.size(), 0.0);
    std::copy(daily.panel.values.begin(), daily.panel.values.end(), both.values.begin());
    std::copy(net.panel.values.begin(), net.panel.values.end(),
              both.values.begin() + static_cast<std::ptrdiff_t>(daily.panel.values.size()));
    std::vector<std::string> names = std::move(daily.ids);
    names.insert(names.end(), net.ids.begin(), net.ids.end());
    return bridge::make_frame(std::move(both), bridge::renamed(wanted.index, "date"),
                              fund_index(names, id_name));
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

} // namespace brelvox::quenta

// Called at the end of the module's initialisation.
void register_fund_returns(nb::module_& m) {
    using namespace brelvox::quenta;
    module_handle = m;
    bridge::export_function(m, "get_cash_daily_returns",
                            nb::cpp_function(&cash_returns, nb::name("get_cash_daily_returns"),
                                             "order_book_ids"_a, "dates"_a, "returns"_a = 0.0),
                            kCashDoc);
    bridge::export_function(m, "_get_public_fund_daily_profit_return",
                            nb::cpp_function(&daily_profit_frame,
                                             nb::name("_get_public_fund_daily_profit_return"),
                                             "odf"_a, "dates"_a));
    bridge::export_function(m, "_get_public_fund_unit_net_value_return",
                            nb::cpp_function(&net_value_frame,
                                             nb::name("_get_public_fund_unit_net_value_return"),
                                             "order_book_ids"_a, "dates"_a));
    bridge::export_function(m, "get_public_fund_daily_returns",
                            nb::cpp_function(&public_fund_returns,
                                             nb::name("get_public_fund_daily_returns"),
                                             "order_book_ids"_a, "dates"_a));
}
