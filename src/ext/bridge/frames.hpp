// Client answers on a two-level (order_book_id, date) index, read into level tables and
// row positions whatever the index holds: missing labels, codes outside their level,
// unsorted or unused level entries, any string dtype, any date unit or time zone.
#pragma once

#include "arrays.hpp"
#include "labels.hpp"
#include "results.hpp"

#include "panel.hpp"
#include "scratch.hpp"

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace brelvox::bridge {

// True for a client answer holding at least one row: None holds none, and anything but a
// DataFrame is a TypeError naming the client operation `what`.
bool has_rows(nb::handle answer, const char* what);

struct LongFrame {
    const char* what = "";
    nb::object frame;
    nb::object id_name;              // the name of the client's instrument level
    std::vector<std::string> ids;    // distinct instruments present, ascending
    nb::object id_index;             // those instruments as an Index (the level when it is them)
    std::vector<std::int64_t> dates; // distinct dates present, ascending (microseconds)
    nb::object date_index;           // those dates as a DatetimeIndex in the client's unit
    std::size_t rows = 0;
    bool dense_sorted = false; // every (id, date) exactly once, rows sorted by id then date
    // Level codes and each level entry's position among `ids` / `dates` (-1: no label).
    std::shared_ptr<Codes> id_codes, date_codes;
    std::vector<std::int32_t> id_pos, date_pos;
    // Per row: position in `ids` / `dates`, -1 when missing (filled by row_positions).
    std::vector<std::int32_t> row_id, row_date;
};

// Reads the (id, date) index of a client answer; `what` names the client operation in
// errors (TypeError for an answer that is not a DataFrame, ValueError for another index).
LongFrame read_long_index(nb::handle frame, const char* what);
// The same with row_id and row_date filled.
LongFrame read_long_frame(nb::handle frame, const char* what);

// A view of the panel of a value column: the column itself when the rows already form the
// panel, otherwise `storage` filled from it. Duplicate (id, date) rows raise ValueError.
core::PanelView panel_view(const LongFrame& frame, const FloatColumn& values,
                           core::Scratch& storage);

// The instrument series of a value column, for kernels that read one series at a time:
// the column itself when the rows form the panel, the rows in place when they are sorted
// (gaps allowed), otherwise a panel written into `storage`.
struct SeriesStorage {
    core::SortedRows rows;
    core::Scratch panel;
};
core::SeriesSource series_of(const LongFrame& frame, const FloatColumn& values,
                             SeriesStorage& storage);

// The value columns `names` of a client frame (float64 arrays read in place where they can
// be, NA as NaN). A frame made of exactly those columns is read in one go when it has one
// column or few rows: taking one column of a frame on a MultiIndex costs a copy of that
// index. A missing column raises KeyError, as indexing the frame does.
std::vector<nb::object> value_columns(nb::handle frame, std::initializer_list<nb::handle> names);

// The codes of level `level` of a two-level index, after checking every code is -1 or an
// entry of the level (ValueError naming `what` otherwise).
std::shared_ptr<Codes> checked_codes(nb::handle index, int level, const char* what);

} // namespace brelvox::bridge
