// The two industry tables: loading each classification history from the data service and
// keeping it for an hour in its holder.
#include "sorvan.hpp"

#include <algorithm>
#include <array>
#include <numeric>
#include <string_view>
#include <utility>

namespace brelvox::sorvan {

namespace {

constexpr long kTableLifetime = 3600; // seconds, counted from the end of a load

// Shenwan first-level names of earlier revisions and the names that replaced them.
constexpr std::array<std::pair<std::string_view, std::string_view>, 8> kShenwanRenamed{{
    {"餐饮旅游", "社会服务"},
    {"化工", "基础化工"},
    {"休闲服务", "社会服务"},
    {"电气设备", "电力设备"},
    {"纺织服装", "纺织服饰"},
    {"黑色金属", "钢铁"},
    {"商业贸易", "商贸零售"},
    {"采掘", "煤炭"},
}};

// Shenwan first-level names that no longer exist; their records are dropped whole.
constexpr std::array<std::string_view, 5> kShenwanDiscarded{
    "交运设备", "信息服务", "信息设备", "建筑建材", "金融服务",
};

nb::object service_records(const char* service) {
    nb::object api = bridge::client(module());
    nb::object service_client = api.attr("client").attr("get_client")();
    return service_client.attr("execute")(service);
}

nb::object new_table() {
    return module().attr("defaultdict")(nb::handle(&PyList_Type));
}

// Appends `record` to the list of its stock (the defaultdict creates it on first use).
void append_to_stock(nb::handle table, nb::handle record) {
    nb::object records = table[record["order_book_id"]];
    if (PyList_Append(records.ptr(), record.ptr()) != 0) throw nb::python_error();
}

// Replaces each stock's records by (start date, industry name) pairs, newest start first;
// records starting on the same day keep the service's order.
void to_sorted_pairs(nb::handle table, const char* name_key) {
    nb::object stocks = nb::steal(PyDict_Keys(table.ptr()));
    if (!stocks.is_valid()) throw nb::python_error();
    for (nb::handle stock : stocks) {
        nb::object records = table[stock];
        const std::size_t n = nb::len(records);
        std::vector<nb::object> pairs;
        std::vector<std::int32_t> day(n);
        pairs.reserve(n);
        for (nb::handle record : records) {
            nb::object start = record["start_date"].attr("date")();
            nb::object name = record[name_key];
            if (!date_day(start.ptr(), day[pairs.size()])) {
                bridge::raise_error(PyExc_TypeError,
                                    "start_date of a record of %R: date() gave %.200s, not a date",
                                    stock.ptr(), Py_TYPE(start.ptr())->tp_name);
            }
            pairs.push_back(nb::make_tuple(start, name));
        }
        std::vector<std::size_t> order(pairs.size());
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b) { return day[a] > day[b]; });
        nb::list sorted;
        for (std::size_t k : order) sorted.append(pairs[k]);
        table[stock] = sorted;
    }
}

nb::object load_shenwan() {
    std::vector<std::pair<std::string_view, nb::object>> renamed;
    for (const auto& [old_name, new_name] : kShenwanRenamed)
        renamed.emplace_back(old_name, nb::str(new_name.data(), new_name.size()));

    nb::object table = new_table();
    nb::object records = service_records("__internal__shenwan_industry");
    nb::int_ current_version(3);
    for (nb::handle record : records) {
        nb::object version = record["version"];
        const int differs = PyObject_RichCompareBool(version.ptr(), current_version.ptr(), Py_NE);
        if (differs < 0) throw nb::python_error();
        if (differs) continue;
        nb::object name = record["index_name"];
        std::string_view text;
        if (bridge::utf8_of(name.ptr(), text, true)) { // a name without UTF-8 matches none
            if (std::find(kShenwanDiscarded.begin(), kShenwanDiscarded.end(), text) !=
                kShenwanDiscarded.end())
                continue;
            for (const auto& [old_name, new_name] : renamed) {
                if (text != old_name) continue;
                record["index_name"] = new_name;
                break;
            }
        }
        append_to_stock(table, record);
    }
    to_sorted_pairs(table, "index_name");
    return table;
}

nb::object load_citic() {
    nb::object table = new_table();
    nb::object records = service_records("__internal__zx2019_industry");
    for (nb::handle record : records) append_to_stock(table, record);
    to_sorted_pairs(table, "first_industry_name");
    return table;
}

bool is_shenwan(nb::handle standard) {
    const int equal = PyObject_RichCompareBool(standard.ptr(), nb::str("sws").ptr(), Py_EQ);
    if (equal < 0) throw nb::python_error();
    return equal != 0;
}

// The table of `standard` from its holder while fresh, else reloaded. A failed load leaves
// the holder as it was, so the next call tries again.
nb::object industry_cache(nb::handle standard) {
    const bool shenwan = is_shenwan(standard);
    nb::object holder = module().attr(shenwan ? "_sw_cache" : "_zx_cache");
    const int fresh = PyObject_RichCompareBool(holder.attr("expire").ptr(), now().ptr(), Py_GT);
    if (fresh < 0) throw nb::python_error();
    if (fresh) return holder.attr("data");
    nb::object table = module().attr(shenwan ? "_get_sw_cache" : "_get_zx_cache")();
    holder.attr("data") = table;
    holder.attr("expire") = now() + nb::int_(kTableLifetime);
    return table;
}

} // namespace

nb::object industry_table(nb::handle standard) {
    return module().attr("_industry_cache")(standard);
}

void register_tables(nb::module_& m) {
    bridge::def(m, "_get_sw_cache", &load_shenwan,
                "Loads the Shenwan industry table from the data service.");
    bridge::def(m, "_get_zx_cache", &load_citic,
                "Loads the CITIC industry table from the data service.");
    bridge::def(m, "_industry_cache", &industry_cache,
                "The industry table of `standard`, reloaded when older than an hour.",
                "standard"_a.none());
}

} // namespace brelvox::sorvan
