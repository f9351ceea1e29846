// Bond daily returns of brelvox.marketdata.quenta, from the client's bond valuations.
#include "quenta.hpp"

#include "align.hpp"
#include "bond_returns.hpp"

#include <memory>

namespace brelvox::quenta {

namespace {
const char* const kBondDoc = " 获取债券收益率数据. ";
// Asked for in this order; the client's frame must carry all four.
const char* const kFields[] = {"dirty_price_eod", "accrued_interest_intraday",
                               "accrued_interest_eod", "residual_principal"};

// `with_payment` is accepted for callers' sake: payments always count.
nb::object bond_daily_returns(nb::handle order_book_ids, nb::handle dates, nb::handle) {
    nb::object first = dates[0];
    nb::object last = dates[-1];
    bridge::IdLabels wanted_ids = bridge::read_ids(order_book_ids, "order_book_ids");
    nb::object bond = client().attr("bond");
    nb::object pre_date = bond.attr("get_previous_trading_date")(first);
    nb::list fields;
    for (const char* field : kFields) fields.append(nb::str(field));
    nb::object answer = bond.attr("get_valuation")(
        order_book_ids, pre_date, last, "fields"_a = fields, "valuation_type"_a = "short");
    if (!bridge::has_rows(answer, "get_valuation"))
        bridge::raise_missing_data(bridge::Kind::daily_return, order_book_ids, dates);

    // Only read: the answer may live on in the client's own cache.
    bridge::LongFrame rows = bridge::read_long_frame(answer, "get_valuation");
    const std::vector<nb::object> read =
        bridge::value_columns(answer, {nb::str(kFields[0]), nb::str(kFields[1]),
                                       nb::str(kFields[2]), nb::str(kFields[3])});
    std::unique_ptr<bridge::FloatColumn> column[4];
    for (int k = 0; k < 4; ++k) {
        column[k] = std::make_unique<bridge::FloatColumn>(read[static_cast<std::size_t>(k)]);
        bridge::require_same_length("get_valuation", rows.rows, column[k]->size());
    }
    bridge::DateLabels wanted_dates = bridge::read_dates(dates, bridge::kWallClock);
    const std::vector<std::int64_t> id_pos = bridge::positions_of_ids(wanted_ids, rows.ids);
    // Bonds asked for in the order of a complete answer: its level already is the columns.
    bool as_level = rows.dense_sorted && id_pos.size() == rows.ids.size();
    for (std::size_t k = 0; as_level && k < id_pos.size(); ++k)
        as_level = id_pos[k] == static_cast<std::int64_t>(k);
    nb::object columns =
        as_level ? rows.id_index : nb::object(bridge::pandas().attr("Index")(wanted_ids.objects));

    bridge::ResultArray result = bridge::result_array(id_pos.size(), wanted_dates.us.size());
    {
        nb::gil_scoped_release unlocked;
        const core::BondValuations valuations{
            rows.row_id,         rows.row_date,       rows.dates,          column[0]->values(),
            column[1]->values(), column[2]->values(), column[3]->values(), rows.ids.size()};
        core::bond_holding_returns(valuations, id_pos,
                                   core::positions_in_sorted(rows.dates, wanted_dates.us),
                                   result.cells());
    }
    return bridge::make_frame(std::move(result), bridge::renamed(wanted_dates.index, "date"),
                              bridge::renamed(columns, "order_book_id"));
}
} // namespace

void register_bond_returns(nb::module_& m) {
    bridge::def(m, "get_bond_daily_returns", &bond_daily_returns, kBondDoc, "order_book_ids"_a,
                "dates"_a, "with_payment"_a.none() = true);
}

} // namespace brelvox::quenta
