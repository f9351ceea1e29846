#include "frame_index.hpp"
#include "wide_vectors.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

namespace brelvox::core {

namespace {
template <class Span> using CodeOf = std::remove_cv_t<typename Span::element_type>;

template <class Label>
UsedLabels<Label> ascending_of_kept(std::span<const Label> table,
                                    std::span<const std::uint8_t> keep) {
    std::vector<std::size_t> order;
    for (std::size_t k = 0; k < table.size() && k < keep.size(); ++k)
        if (keep[k]) order.push_back(k);
    if (!std::is_sorted(order.begin(), order.end(),
                        [&](std::size_t a, std::size_t b) { return table[a] < table[b]; }))
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b) { return table[a] < table[b]; });
    UsedLabels<Label> out;
    out.position.assign(table.size(), -1);
    out.distinct.reserve(order.size());
    for (std::size_t k : order) {
        if (out.distinct.empty() || !(out.distinct.back() == table[k]))
            out.distinct.push_back(table[k]);
        out.position[k] = static_cast<std::int32_t>(out.distinct.size() - 1);
    }
    return out;
}

// Position table shifted by one so that code -1 reads entry 0 (-1) without a branch.
std::vector<std::int32_t> shifted(std::span<const std::int32_t> position) {
    std::vector<std::int32_t> out(position.size() + 1);
    out[0] = -1;
    std::copy(position.begin(), position.end(), out.begin() + 1);
    return out;
}
} // namespace

std::size_t code_count(const CodeSpan& codes) {
    return std::visit([](auto c) { return c.size(); }, codes);
}

BRELVOX_WIDE_VECTORS std::ptrdiff_t first_bad_code(const CodeSpan& codes, std::size_t n_level) {
    return std::visit(
        [&](auto c) -> std::ptrdiff_t {
            using Code = CodeOf<decltype(c)>;
            using Unsigned = std::make_unsigned_t<Code>;
            // code + 1 must lie in [0, n_level]: the largest code + 1 as unsigned in the
            // code's own width (a code below -1 wraps to a large value), a vectorised maximum.
            const auto widest = static_cast<std::size_t>(std::numeric_limits<Code>::max()) + 1;
            const auto limit = static_cast<Unsigned>(std::min(n_level, widest));
            Unsigned worst = 0;
            for (std::size_t r = 0; r < c.size(); ++r)
                worst = std::max(worst,
                                 static_cast<Unsigned>(static_cast<Unsigned>(c[r]) + Unsigned{1}));
            if (worst <= limit) return -1;
            for (std::size_t r = 0; r < c.size(); ++r) {
                const auto v = static_cast<std::int64_t>(c[r]);
                if (v < -1 || v >= static_cast<std::int64_t>(n_level))
                    return static_cast<std::ptrdiff_t>(r);
            }
            return -1;
        },
        codes);
}

namespace {
// True when the `kRun` codes from `c` all equal `code`: an OR of differences, which
// vectorises where an early exit would not.
constexpr std::size_t kRun = 64;
template <class Code> inline bool run_of(const Code* c, Code code) {
    Code differs = 0;
    for (std::size_t k = 0; k < kRun; ++k) differs |= static_cast<Code>(c[k] ^ code);
    return differs == 0;
}
} // namespace

BRELVOX_WIDE_VECTORS std::vector<std::uint8_t> used_entries(const CodeSpan& codes,
                                                            std::size_t n_level) {
    std::vector<std::uint8_t> used(n_level + 1, 0); // entry 0 collects the -1 codes
    std::visit(
        [&](auto c) {
            std::uint8_t* at = used.data() + 1;
            // Usually every entry is used, and the dates of one complete instrument already
            // show it: the scan stops once every entry is seen. Codes also come in runs
            // (rows sorted by that level): a run is passed a block at a time.
            if (c.empty()) return;
            using Code = CodeOf<decltype(c)>;
            Code previous = c[0];
            at[static_cast<std::ptrdiff_t>(previous)] = 1;
            std::size_t seen = previous >= 0 ? 1 : 0;
            if (seen == n_level) return;
            for (std::size_t r = 1; r < c.size(); ++r) {
                if (r + kRun <= c.size() && run_of(c.data() + r, previous)) {
                    r += kRun - 1;
                    continue;
                }
                // Row by row to the end of this block.
                const std::size_t end = std::min(c.size(), r + kRun);
                for (; r < end; ++r) {
                    if (c[r] == previous) continue;
                    previous = c[r];
                    const auto code = static_cast<std::ptrdiff_t>(previous);
                    if (at[code]) continue;
                    at[code] = 1;
                    if (code >= 0 && ++seen == n_level) return;
                }
                --r;
            }
        },
        codes);
    used.erase(used.begin());
    return used;
}

UsedLabels<std::string> used_ascending(std::span<const std::string> table,
                                       std::span<const std::uint8_t> keep) {
    return ascending_of_kept(table, keep);
}
UsedLabels<std::int64_t> used_ascending(std::span<const std::int64_t> table,
                                        std::span<const std::uint8_t> keep) {
    return ascending_of_kept(table, keep);
}
UsedLabels<std::int64_t> used_ascending(std::span<const std::int64_t> table,
                                        std::span<const std::int32_t> codes) {
    std::vector<std::uint8_t> keep(table.size(), 0);
    for (std::int32_t c : codes)
        if (c >= 0 && static_cast<std::size_t>(c) < table.size())
            keep[static_cast<std::size_t>(c)] = 1;
    return ascending_of_kept(table, std::span<const std::uint8_t>(keep));
}

bool is_identity(std::span<const std::int32_t> position, std::size_t n_distinct) {
    if (position.size() != n_distinct) return false;
    for (std::size_t k = 0; k < position.size(); ++k)
        if (position[k] != static_cast<std::int32_t>(k)) return false;
    return true;
}

std::vector<std::int32_t> to_positions(const CodeSpan& codes,
                                       std::span<const std::int32_t> position) {
    const std::vector<std::int32_t> table = shifted(position);
    std::vector<std::int32_t> out(code_count(codes));
    std::visit(
        [&](auto c) {
            const std::int32_t* at = table.data() + 1;
            for (std::size_t r = 0; r < c.size(); ++r)
                out[r] = at[static_cast<std::ptrdiff_t>(c[r])];
        },
        codes);
    return out;
}

std::vector<std::int64_t> take_by_code(const CodeSpan& codes, std::span<const std::int64_t> table,
                                       std::int64_t missing) {
    std::vector<std::int64_t> out(code_count(codes));
    std::visit(
        [&](auto c) {
            for (std::size_t r = 0; r < c.size(); ++r)
                out[r] = c[r] < 0 ? missing : table[static_cast<std::size_t>(c[r])];
        },
        codes);
    return out;
}

bool codes_form_panel(const CodeSpan& id_codes, const CodeSpan& date_codes, std::size_t n_ids,
                      std::size_t n_dates) {
    if (n_ids == 0 || n_dates == 0 || code_count(id_codes) != n_ids * n_dates ||
        code_count(date_codes) != n_ids * n_dates)
        return false;
    const bool ids_ok = std::visit(
        [&](auto c) {
            using Code = CodeOf<decltype(c)>;
            if (n_ids - 1 > static_cast<std::size_t>(std::numeric_limits<Code>::max()))
                return false;
            for (std::size_t i = 0; i < n_ids; ++i) {
                const auto want = static_cast<Code>(i);
                const Code* row = c.data() + i * n_dates;
                Code differs = 0; // an OR of differences vectorises, an early exit would not
                for (std::size_t d = 0; d < n_dates; ++d)
                    differs |= static_cast<Code>(row[d] ^ want);
                if (differs) return false;
            }
            return true;
        },
        id_codes);
    if (!ids_ok) return false;
    return std::visit(
        [&](auto c) {
            using Code = CodeOf<decltype(c)>;
            if (n_dates - 1 > static_cast<std::size_t>(std::numeric_limits<Code>::max()))
                return false;
            for (std::size_t d = 0; d < n_dates; ++d)
                if (c[d] != static_cast<Code>(d)) return false;
            for (std::size_t i = 1; i < n_ids; ++i)
                if (std::memcmp(c.data(), c.data() + i * n_dates, n_dates * sizeof(Code)) != 0)
                    return false;
            return true;
        },
        date_codes);
}

namespace {
// How many of `cells` are not NaN.
BRELVOX_WIDE_VECTORS std::size_t number_count(std::span<const double> cells) {
    std::size_t count = 0;
    for (double v : cells) count += v == v;
    return count;
}

// Where row r goes in the panel: its instrument and date positions, false when either of
// its labels names nothing requested.
template <class IdCodes, class DateCodes>
inline bool row_place(IdCodes ci, DateCodes cd, const std::int32_t* id_at,
                      const std::int32_t* date_at, std::size_t r, std::int32_t& i,
                      std::int32_t& d) {
    i = id_at[static_cast<std::ptrdiff_t>(ci[r])];
    d = date_at[static_cast<std::ptrdiff_t>(cd[r])];
    return (i | d) >= 0;
}

inline std::size_t cell_of(std::int32_t i, std::int32_t d, std::size_t n_dates) {
    return static_cast<std::size_t>(i) * n_dates + static_cast<std::size_t>(d);
}

// Rows sorted by instrument then date, gaps allowed (the usual answer): every cell is
// written once, in order, the gaps with NaN. False, with `out` partly written, as soon as a
// row is out of that order or repeats a cell.
template <class IdCodes, class DateCodes>
bool scatter_in_order(IdCodes ci, DateCodes cd, const std::int32_t* id_at,
                      const std::int32_t* date_at, std::span<const double> values, std::size_t rows,
                      std::size_t n_dates, std::span<double> out) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    std::size_t next = 0; // every cell before `next` is written
    for (std::size_t r = 0; r < rows; ++r) {
        std::int32_t i, d;
        if (!row_place(ci, cd, id_at, date_at, r, i, d)) continue;
        const std::size_t cell = cell_of(i, d, n_dates);
        if (cell < next) return false;
        std::fill(out.begin() + static_cast<std::ptrdiff_t>(next),
                  out.begin() + static_cast<std::ptrdiff_t>(cell), nan);
        out[cell] = values[r];
        next = cell + 1;
    }
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(next), out.end(), nan);
    return true;
}

// Rows in no particular order: each value goes straight to its cell. A cell check per row
// would be a read of a random cell before its write, which costs more than the write:
// instead the rows placed are counted, and once no value among them is NaN, the cells
// holding a number must be exactly as many, or some row repeated a cell.
template <class IdCodes, class DateCodes>
bool scatter_direct(IdCodes ci, DateCodes cd, const std::int32_t* id_at,
                    const std::int32_t* date_at, std::span<const double> values, std::size_t rows,
                    std::size_t n_dates, std::span<double> out) {
    std::fill(out.begin(), out.end(), std::numeric_limits<double>::quiet_NaN());
    std::size_t placed = 0, nan_values = 0;
    for (std::size_t r = 0; r < rows; ++r) {
        std::int32_t i, d;
        if (!row_place(ci, cd, id_at, date_at, r, i, d)) continue;
        const double value = values[r];
        out[cell_of(i, d, n_dates)] = value;
        ++placed;
        nan_values += value != value;
    }
    return nan_values == 0 && number_count(out) == placed;
}
} // namespace

std::ptrdiff_t scatter_codes(const CodeSpan& id_codes, std::span<const std::int32_t> id_pos,
                             const CodeSpan& date_codes, std::span<const std::int32_t> date_pos,
                             std::span<const double> values, std::size_t n_dates,
                             std::span<double> out, Duplicates policy) {
    const std::vector<std::int32_t> ids = shifted(id_pos), dates = shifted(date_pos);
    const std::int32_t* id_at = ids.data() + 1;
    const std::int32_t* date_at = dates.data() + 1;
    const std::size_t rows =
        std::min({code_count(id_codes), code_count(date_codes), values.size()});
    if (n_dates == 0) return -1;
    return std::visit(
        [&](auto ci, auto cd) -> std::ptrdiff_t {
            if (scatter_in_order(ci, cd, id_at, date_at, values, rows, n_dates, out)) return -1;
            if (scatter_direct(ci, cd, id_at, date_at, values, rows, n_dates, out)) return -1;
            // Row by row, each cell checked: what names the first row that repeats a cell,
            // and what places NaN values.
            std::fill(out.begin(), out.end(), std::numeric_limits<double>::quiet_NaN());
            std::vector<std::uint8_t> taken(out.size(), 0);
            std::ptrdiff_t first = -1;
            for (std::size_t r = 0; r < rows; ++r) {
                std::int32_t i, d;
                if (!row_place(ci, cd, id_at, date_at, r, i, d)) continue;
                const std::size_t cell = cell_of(i, d, n_dates);
                if (taken[cell]) {
                    if (first < 0) first = static_cast<std::ptrdiff_t>(r);
                    if (policy == Duplicates::report) return first;
                    continue;
                }
                taken[cell] = 1;
                out[cell] = values[r];
            }
            return first;
        },
        id_codes, date_codes);
}

namespace {
template <bool Plain, class IdCodes, class DateCodes>
bool rows_in_order(IdCodes ci, DateCodes cd, const std::int32_t* id_at, const std::int32_t* date_at,
                   std::size_t rows, std::size_t n_dates, SortedRows& out) {
    std::size_t next = 0; // the next cell a row may take
    std::size_t id = 0;   // instruments before `id` have their start
    for (std::size_t r = 0; r < rows; ++r) {
        const std::int32_t i =
            Plain ? static_cast<std::int32_t>(ci[r]) : id_at[static_cast<std::ptrdiff_t>(ci[r])];
        const std::int32_t d =
            Plain ? static_cast<std::int32_t>(cd[r]) : date_at[static_cast<std::ptrdiff_t>(cd[r])];
        if (i < 0) { // a row without an instrument may sit between two instruments
            if (d >= 0) return false;
            continue;
        }
        if (d < 0) continue;
        const std::size_t cell =
            static_cast<std::size_t>(i) * n_dates + static_cast<std::size_t>(d);
        if (cell < next) return false;
        next = cell + 1;
        for (; id <= static_cast<std::size_t>(i); ++id) out.start[id] = r;
    }
    return true;
}
} // namespace

namespace {
// Plain levels: true when every code is an entry (none -1) and the cells
// id * n_dates + date rise strictly, checked by vectorised minima instead of a branch a row;
// fills the instruments' starts then.
template <class IdCodes, class DateCodes>
BRELVOX_WIDE_VECTORS bool plain_in_order(IdCodes ci, DateCodes cd, std::size_t rows,
                                         std::size_t n_ids, std::size_t n_dates, SortedRows& out) {
    if (rows == 0 || n_ids * n_dates > static_cast<std::size_t>(INT32_MAX)) return false;
    // Cells rise strictly when no instrument code falls and, where it stays, the date code
    // rises (dates being below n_dates): minima of differences, no value carried between
    // rows and no multiplication, so the loop vectorises. Rows out of order are usually
    // out of order everywhere: the minima are looked at every few thousand rows.
    constexpr std::size_t kChunk = 4096;
    std::int32_t id_step = 0, step = 1, lowest = std::min<std::int32_t>(ci[0], cd[0]);
    for (std::size_t begin = 1; begin < rows; begin += kChunk) {
        const std::size_t end = std::min(rows, begin + kChunk);
        for (std::size_t r = begin; r < end; ++r) {
            const std::int32_t i = ci[r], d = cd[r];
            const std::int32_t di = i - static_cast<std::int32_t>(ci[r - 1]);
            const std::int32_t dd = d - static_cast<std::int32_t>(cd[r - 1]);
            id_step = std::min(id_step, di);
            step = std::min(step, std::max(di, dd));
            lowest = std::min(lowest, std::min(i, d));
        }
        if (id_step < 0 || step < 1 || lowest < 0) return false;
    }
    if (step < 1 || lowest < 0) return false; // a single row
    // Instrument codes now ascend, each instrument on at most n_dates rows: each start is a
    // search among the n_dates rows from the one before.
    std::size_t from = 0;
    for (std::size_t i = 0; i < n_ids; ++i) {
        const auto begin = ci.begin() + static_cast<std::ptrdiff_t>(from);
        const auto end = ci.begin() + static_cast<std::ptrdiff_t>(std::min(rows, from + n_dates));
        from = static_cast<std::size_t>(
            std::lower_bound(begin, end, static_cast<CodeOf<IdCodes>>(i)) - ci.begin());
        out.start[i] = from;
    }
    out.plain = true;
    return true;
}
} // namespace

bool sorted_rows(const CodeSpan& id_codes, std::span<const std::int32_t> id_pos,
                 const CodeSpan& date_codes, std::span<const std::int32_t> date_pos,
                 std::size_t n_ids, std::size_t n_dates, SortedRows& out) {
    const std::vector<std::int32_t> ids = shifted(id_pos);
    out.date_at = shifted(date_pos);
    out.date_codes = date_codes;
    const std::int32_t* id_at = ids.data() + 1;
    const std::int32_t* date_at = out.date_at.data() + 1;
    const std::size_t rows = std::min(code_count(id_codes), code_count(date_codes));
    out.start.assign(n_ids + 1, rows);
    // Levels that are their own positions (sorted, all in use: the usual answer) are read
    // without the position tables.
    const bool plain = is_identity(id_pos, n_ids) && is_identity(date_pos, n_dates);
    out.plain = false;
    return std::visit(
        [&](auto ci, auto cd) {
            if (plain && plain_in_order(ci, cd, rows, n_ids, n_dates, out)) return true;
            return plain ? rows_in_order<true>(ci, cd, id_at, date_at, rows, n_dates, out)
                         : rows_in_order<false>(ci, cd, id_at, date_at, rows, n_dates, out);
        },
        id_codes, date_codes);
}

std::ptrdiff_t ticks_to_us(std::span<std::int64_t> ticks, std::int64_t per_tick,
                           std::int64_t ticks_per_us) {
    constexpr std::int64_t nat = std::numeric_limits<std::int64_t>::min();
    if (ticks_per_us > 1) {
        for (std::int64_t& t : ticks) {
            if (t == nat) continue;
            std::int64_t q = t / ticks_per_us;
            if (t % ticks_per_us < 0) --q; // floor: a time before 1970 stays before its tick
            t = q;
        }
        return -1;
    }
    if (per_tick == 1) return -1;
    const std::int64_t limit = std::numeric_limits<std::int64_t>::max() / per_tick;
    for (std::size_t k = 0; k < ticks.size(); ++k) {
        std::int64_t& t = ticks[k];
        if (t == nat) continue;
        if (t > limit || t < -limit) return static_cast<std::ptrdiff_t>(k);
        t *= per_tick;
    }
    return -1;
}

double nan_skipping_total(std::span<const double> values) {
    double total = 0.0;
    for (double v : values)
        if (!std::isnan(v)) total += v;
    return total;
}

} // namespace brelvox::core
