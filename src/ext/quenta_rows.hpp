// Client answers on (order_book_id, date) read in place for the bond and fund returns: value
// columns are borrowed, and a complete answer sorted by instrument then date (what the
// client sends for whole panels) is recognised so that no per-row keys need building.
#pragma once

#include "bridge.hpp"

#include <span>

namespace brelvox::quenta {

// A float64 column of a client frame, borrowed when it already is one (KeyError naming
// the column when the frame lacks it). Release with the GIL held.
class ValueColumn {
  public:
    ValueColumn(nb::handle frame, const char* field);
    ~ValueColumn();
    ValueColumn(const ValueColumn&) = delete;
    ValueColumn& operator=(const ValueColumn&) = delete;
    std::span<const double> values() const;

  private:
    nb::object array_;
    Py_buffer view_{};
};

struct KeyedRows {
    // ids and dates ascending; row_id and row_date are left empty when `dense`: row r is
    // then instrument r / dates.size() on date r % dates.size(), every cell exactly once.
    bridge::LongFrame keys;
    bool dense = false;
    nb::object id_name;  // the name of the instrument level
    nb::object id_level; // when dense: the instrument level itself, the ids as an Index
};

// Reads the (id, date) index of a client answer; `what` names it in errors.
KeyedRows read_keyed_rows(nb::handle frame, const char* what);

// The values of a result frame, instrument-major (series k at k * n_dates), left
// uninitialised for a kernel to fill every cell; frame() hands them to pandas uncopied.
class ResultValues {
  public:
    ResultValues(std::size_t n_ids, std::size_t n_dates);
    ~ResultValues();
    ResultValues(const ResultValues&) = delete;
    ResultValues& operator=(const ResultValues&) = delete;
    std::span<double> values() const;
    nb::object frame(nb::handle index, nb::handle columns) const;

  private:
    nb::object array_;
    Py_buffer view_{};
};

} // namespace brelvox::quenta
