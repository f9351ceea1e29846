// Labels: instrument identifiers as UTF-8 text and dates as microseconds since 1970.
#pragma once

#include "module.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brelvox::bridge {

// The UTF-8 text of a `str` (or subclass); false for anything else. A str that has no
// UTF-8 form (a lone surrogate) raises, or with `skip_unencodable` is false as well.
bool utf8_of(PyObject* item, std::string_view& text, bool skip_unencodable = false);
// The elements of a sequence as a list (a pandas object's taken out through an object array).
nb::object element_list(nb::handle sequence);

// ---- dates ------------------------------------------------------------------------------

// Dates are compared as microseconds since 1970 (wall clock; NaT: INT64_MIN): every unit
// pandas uses fits without loss of a day for any year it can hold. Finer parts of
// nanosecond dates are dropped.
constexpr std::int64_t kNaT = INT64_MIN;

struct DateLabels {
    nb::object index;             // a tz-naive DatetimeIndex, in the resolution it came with
    std::vector<std::int64_t> us; // the same dates as microseconds
};

// `pd.to_datetime` of the argument as a tz-naive DatetimeIndex (wall clock); an array of
// other than one dimension is a TypeError naming `what`.
nb::object naive_datetime_index(nb::handle values, const char* what);
// Microseconds of every date of a datetime-like collection; a date outside what
// microseconds hold is a ValueError naming `what`.
std::vector<std::int64_t> date_ticks(nb::handle values, const char* what);
// The same for one date (anything `pd.Timestamp` reads).
std::int64_t date_tick(nb::handle value, const char* what);
DateLabels to_date_labels(nb::handle dates, const char* what = "dates");
// A Timestamp of microseconds, for messages.
nb::object timestamp_of(std::int64_t us);

// ---- identifiers ------------------------------------------------------------------------

// The entries of an identifier level: text, and whether the entry is a label at all (a
// NaN, None or other non-str entry names no instrument).
struct LabelTable {
    std::vector<std::string> text;
    std::vector<std::uint8_t> valid;
};
LabelTable id_table(nb::handle level);

// Text of each element of a sequence of `str` (TypeError naming `what` otherwise).
std::vector<std::string> str_labels(nb::handle sequence, const char* what);

// An Index of the given strings, named `name`.
nb::object str_index(const std::vector<std::string>& labels, const char* name);
nb::object str_index(const std::vector<std::string>& labels, nb::handle name);

// `index` renamed (a new object; the caller's keeps its name).
nb::object renamed(nb::handle index, const char* name);

// `sequence[1:]`.
nb::object without_first(nb::handle sequence);

// Whether a label is missing: None, NaN, pd.NA or NaT.
bool is_na(nb::handle value);
// Whether two objects are the same `str` by value (exactly str, not a subclass).
bool same_str(PyObject* a, PyObject* b);

// Distinct labels in the order first met, sorted as Python sorts them (left as met when
// they do not compare): the sorted labels and each label's rank among them. `code_of`
// maps each label to its place in `labels`.
struct Ranked {
    nb::list labels;
    std::vector<std::int64_t> rank;
};
Ranked sorted_ranks(const nb::list& labels, const nb::dict& code_of);

} // namespace brelvox::bridge
