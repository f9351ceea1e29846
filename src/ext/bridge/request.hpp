// Requests: the ids and dates a caller asks for, read one way under a named policy; a
// result conformed to them; the checks every module makes of a client answer; and the
// exceptions that say the data is absent.
#pragma once

#include "labels.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace brelvox::bridge {

// ---- absent data --------------------------------------------------------------------------

// The kinds of data the modules report absent; their texts (in Chinese, as the engine
// expects them) live in one table.
enum class Kind {
    daily_return,      // 日收益率
    price,             // 价格数据
    index_weight,      // 指数权重数据
    valuation,         // 估值数据
    treasury_curve,    // 中债国债收益率曲线
    fund_daily_profit, // 公募基金日收益率
    fund_net_value,    // 公募基金净值
};
const char* kind_text(Kind kind);
// The asset kind UnknownAssets names when no requested id is a public fund.
inline constexpr const char* kPublicFund = "公募基金";

// brelvox.exceptions.MissingData(kind, order_book_ids, dates), and MissingData(kind,
// dates=dates) where no ids were asked for.
[[noreturn]] void raise_missing_data(Kind kind, nb::handle order_book_ids, nb::handle dates);
[[noreturn]] void raise_missing_data(Kind kind, nb::handle dates);
// brelvox.exceptions.UnknownAssets(order_book_ids, asset_kind).
[[noreturn]] void raise_unknown_assets(nb::handle order_book_ids, const char* asset_kind);

// ---- requested dates ----------------------------------------------------------------------

// How a function reads its requested dates. Every policy takes what `pd.to_datetime`
// reads and compares dates by the wall clock's microseconds; they differ in what the
// returned index keeps and in what they refuse.
struct DatePolicy {
    bool keep_zone;      // the index keeps a caller's time zone (else: its wall clock)
    bool named_one_date; // one date where a collection is due: a TypeError naming `what`
    bool ascending;      // non-empty, ascending, no NaT: the request spans first to last
};
// Returns, fund returns and index weights: rows on the wall clock's dates.
inline constexpr DatePolicy kWallClock{false, false, false};
// The treasury curve and industries: rows labelled with the dates as the caller gave them.
inline constexpr DatePolicy kAsGiven{true, false, false};
// Prices: fetched from the first date to the last, so those must bound the request.
inline constexpr DatePolicy kSpan{false, true, true};
// Shifted dates (frevo): the caller's dates, moved at one edge.
inline constexpr DatePolicy kShifted{true, true, false};

DateLabels read_dates(nb::handle dates, const DatePolicy& policy, const char* what = "dates");

// ---- requested ids ------------------------------------------------------------------------

// Requested identifiers: the caller's objects and, for the `str` ones, their text. A `str`
// or None where a collection is due is a TypeError naming `argname`.
struct IdLabels {
    nb::list objects;
    std::vector<std::string> text; // empty for a non-str entry
    std::vector<bool> is_str;
};
IdLabels read_ids(nb::handle order_book_ids, const char* argname);
// Positions of the requested ids among `sorted_ids`, -1 for absent or non-str entries.
std::vector<std::int64_t> positions_of_ids(const IdLabels& ids,
                                           const std::vector<std::string>& sorted_ids);

// ---- a result conformed to the request ----------------------------------------------------

// Where each requested date falls among an answer's ascending dates (-1: absent), and
// whether the answer holds exactly the requested dates (as sets, each once): then the
// positions are the answer's own order.
struct DateMatch {
    std::vector<std::int64_t> pos;
    bool same = false;
};
DateMatch match_dates(const std::vector<std::int64_t>& wanted,
                      const std::vector<std::int64_t>& data);

// Both axes of a dates x ids result: the positions of the requested labels in the
// answer's, and the result's labels: the answer's own where it holds exactly the request,
// the request's otherwise, named "date" and "order_book_id".
struct Conformed {
    std::vector<std::int64_t> date_pos, id_pos;
    bool same_dates = false, same_ids = false;
    nb::object index, columns;
    bool as_delivered() const { return same_dates && same_ids; }
};
Conformed conform(const DateLabels& dates, const IdLabels& ids,
                  const std::vector<std::int64_t>& data_dates, nb::handle data_date_index,
                  const std::vector<std::string>& data_ids, nb::handle data_id_index);

// ---- client answers -----------------------------------------------------------------------

// ValueError naming the client operation `what` unless `index` is a MultiIndex of two
// levels; `levels` says which, as "(order_book_id, date)".
void require_two_levels(nb::handle index, const char* what, const char* levels);
// ValueError naming `what` when an answer's parts that go row by row differ in length.
void require_same_length(const char* what, std::size_t rows, std::size_t values);

} // namespace brelvox::bridge
