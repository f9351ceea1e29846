// Pieces shared by the files of brelvox.marketdata.pelmar.
#pragma once

#include "bridge.hpp"

#include "index_weights.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace brelvox::pelmar {

namespace bridge = brelvox::bridge;

// The requested dates as a DatetimeIndex, their microseconds and their ascending order.
struct Requested {
    nb::object index;
    std::vector<std::int64_t> us;
    std::vector<std::int64_t> order;
    std::vector<std::int64_t> sorted_us;
};

// Label tables of long weight rows: constituent identifiers and list dates (microseconds).
struct Tables {
    std::vector<std::string> ids;
    std::vector<std::int64_t> dates;
};

// Weight records read row by row: codes into `tables`, identifiers interned as they come.
struct RecordRows {
    Tables tables;
    std::vector<std::int32_t> row_id, row_date;
    std::vector<double> weight;
    std::unordered_map<std::string, std::int32_t> id_code;

    std::int32_t code_of(std::string_view id) {
        auto [it, added] =
            id_code.try_emplace(std::string(id), static_cast<std::int32_t>(tables.ids.size()));
        if (added) tables.ids.emplace_back(id);
        return it->second;
    }
    void add(std::int32_t id, std::int32_t date, double w) {
        row_id.push_back(id);
        row_date.push_back(date);
        weight.push_back(w);
    }
};

// Dense list-date-by-constituent weights; a duplicate on a date accepted by `strict` raises
// ValueError naming it.
struct DenseLists {
    core::DateRows weights;
    std::vector<std::string> ids;
    std::vector<std::int64_t> dates;
};

Requested read_requested(nb::handle dates);
bool is_requested(const Requested& req, std::int64_t us);
// The requested dates ascending, named `date` (a new index: the caller's keeps its name).
nb::object sorted_date_index(const Requested& req);

// The service's weight records row by row (each row learns its list date, in place).
RecordRows read_records(nb::handle data, nb::handle data_key, nb::handle o_key);
// A weights Series by constituent, scaled to a total of 1, appended as rows dated `date_us`;
// a constituent named twice is a ValueError.
void append_scaled_list(RecordRows& rows, nb::handle value, std::int64_t date_us);
// The records as dense lists; a repeated constituent on a requested date is a ValueError.
DenseLists record_lists(RecordRows& rows, const Requested& req);
// Bond index weights: the client's Series on (date, constituent), read in place.
DenseLists read_bond_weights(nb::handle answer);

// List weights carried forward over the requested dates, rows ascending.
nb::object spread_frame(DenseLists&& lists, const Requested& req, bool lists_complete);
// No list in the span: the first date's list, scaled to 1, on every distinct requested date.
nb::object constant_weights(nb::handle value, const Requested& req);

} // namespace brelvox::pelmar
