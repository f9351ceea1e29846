// brelvox.marketdata.caldre: ChinaBond valuations and the treasury yield curve.
#include "caldre.hpp"

namespace brelvox::caldre {

static nb::handle module_handle;

nb::handle module() {
    return module_handle;
}
nb::object client() {
    return bridge::client(module_handle);
}

} // namespace brelvox::caldre

NB_MODULE(caldre, m) {
    using namespace brelvox::caldre;
    module_handle = m;
    bridge::publish_globals(m, {"pd", "ondrax", "MissingData", "maybe_reindex"});

    bridge::def(m, "get_chinabond_valuation", &get_chinabond_valuation,
                "对于跨银行间-"
                "交易所发行，存在数据缺失的债券，以银行间合约估值数据填充交易所合约估值数据\n\n"
                ":param bond_list: list 债券列表\n"
                ":param fields: 字段\n"
                ":param start_date: string 开始日期\n"
                ":param end_date: string 结束日期\n"
                ":return: 填充后中债估值数据（例如到期收益率、日终全价、应计利息等）",
                "bond_list"_a.none(), "fields"_a.none(), "start_date"_a.none(),
                "end_date"_a.none());
    bridge::def(m, "get_treasury_bond_yield", &get_treasury_bond_yield, "获取国债收益率相关数据",
                "dates"_a.none());
}
