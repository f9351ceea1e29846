// Listing and delisting dates of a stock, which bound every industry answer.
#include "sorvan.hpp"

#include "calendar.hpp"

#include <string_view>

namespace brelvox::sorvan {

namespace {

constexpr long kListingLifetime = 3600; // seconds each stock's bounds are reused

// "YYYY-MM-DD" in ASCII digits naming a real day; anything else is left to strptime,
// which parses the looser forms and words the errors.
bool parse_plain_date(std::string_view text, int& year, int& month, int& day) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
    auto digits = [&](std::size_t from, std::size_t count, int& out) {
        out = 0;
        for (std::size_t k = from; k < from + count; ++k) {
            if (text[k] < '0' || text[k] > '9') return false;
            out = out * 10 + (text[k] - '0');
        }
        return true;
    };
    if (!digits(0, 4, year) || !digits(5, 2, month) || !digits(8, 2, day)) return false;
    return core::is_valid_date(year, month, day);
}

// The calendar date of a "%Y-%m-%d" string; None and placeholders starting with "0" or "9"
// give `fallback`.
nb::object convert_date_named(nb::handle text, nb::handle fallback, const char* name) {
    if (text.is_none()) return nb::borrow(fallback);
    std::string_view view;
    if (!bridge::utf8_of(text.ptr(), view)) bridge::raise_arg_type(name, "str", text);
    if (!view.empty() && (view.front() == '0' || view.front() == '9')) return nb::borrow(fallback);
    int year = 0, month = 0, day = 0;
    if (parse_plain_date(view, year, month, day)) return make_date(year, month, day);
    nb::object parsed = module().attr("Datetime").attr("strptime")(text, "%Y-%m-%d");
    return parsed.attr("date")();
}

nb::object convert_date(nb::handle text, nb::handle fallback) {
    return convert_date_named(text, fallback, "ds");
}

nb::object listing_bounds(nb::handle order_book_id) {
    bridge::require_str_or_none(order_book_id, "order_book_id");
    nb::object instrument = bridge::client(module()).attr("instruments")(order_book_id);
    nb::object first = module().attr("START_DATE");
    if (instrument.is_none()) return nb::make_tuple(first, module().attr("END_DATE"));
    nb::object listed = convert_date_named(instrument.attr("listed_date"), first, "listed_date");
    nb::object delisted = convert_date_named(instrument.attr("de_listed_date"),
                                             module().attr("END_DATE"), "de_listed_date");
    return nb::make_tuple(listed, delisted);
}

nb::object date_int(nb::handle dt) {
    return dt.attr("year") * nb::int_(10000) + dt.attr("month") * nb::int_(100) + dt.attr("day");
}

} // namespace

void register_listing(nb::module_& m) {
    const char* name = "get_listing_date_and_delisting_date";
    bridge::def(m, name, &listing_bounds,
                "The stock's listing and delisting dates, (START_DATE, END_DATE) "
                "where unknown.",
                "order_book_id"_a.none());
    nb::object plain = m.attr(name);
    m.attr(name) = m.attr("ttl_cache")(nb::int_(kListingLifetime))(plain);

    bridge::def(m, "_cvtdate", &convert_date,
                "The date of a year-month-day string, or `default` for None and placeholders.",
                "ds"_a.none(), "default"_a.none());
    bridge::def(m, "_to_date_int", &date_int, "The date as an integer YYYYMMDD.", "dt"_a.none());
}

} // namespace brelvox::sorvan
