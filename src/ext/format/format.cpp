// brelvox.utils.format: date and string conversion, and the package's JSON encoder.
#include "bridge.hpp"

#include "calendar.hpp"

#include <datetime.h>

#include <optional>

namespace brelvox::format {

namespace bridge = brelvox::bridge;
using bridge::checked;
using bridge::truthy;

// Defined in format_encoder.cpp.
void add_json_encoder(nb::module_& module);

namespace {

// Module constants and the callables the functions use, held for the interpreter's life.
struct Refs {
    PyObject* timestamp_match = nullptr;
    PyObject* number_match = nullptr;
    PyObject* float_match = nullptr;
    PyObject* integer_match = nullptr;
    PyObject* yield_rate_search = nullptr;
    PyObject* boolean_states = nullptr;
    PyObject* timestamp_type = nullptr;
    PyObject* numpy_integer = nullptr;
    PyObject* to_datetime = nullptr;
};
Refs refs;

// Ten lines, compiled verbose: layout whitespace and the comment do not count.
const char* const kTimestampPattern = R"re(^(?P<year>[0-9][0-9][0-9][0-9])
    -(?P<month>[0-9][0-9]?)
    -(?P<day>[0-9][0-9]?)
    (?:((?P<t>[Tt])|[ \t]+)   # explictly not retaining extra spaces
    (?P<hour>[0-9][0-9]?)
    :(?P<minute>[0-9][0-9])
    :(?P<second>[0-9][0-9])
    (?:\.(?P<fraction>[0-9]*))?
    (?:[ \t]*(?P<tz>Z|(?P<tz_sign>[-+])(?P<tz_hour>[0-9][0-9]?)
    (?::(?P<tz_minute>[0-9][0-9]))?))?)?$)re";

nb::object call1(PyObject* callable, nb::handle arg) {
    return checked(PyObject_CallOneArg(callable, arg.ptr()));
}

bool has_year(nb::handle value) {
    return PyObject_HasAttrString(value.ptr(), "year") == 1;
}

// The exact date types whose fields can be read without attribute look-ups (a NaT is a
// datetime subclass whose fields mean nothing, so subclasses other than Timestamp go the
// attribute way).
bool plain_date(PyObject* value) {
    return PyDate_CheckExact(value) || PyDateTime_CheckExact(value) ||
           Py_TYPE(value) == reinterpret_cast<PyTypeObject*>(refs.timestamp_type);
}

struct Ymd {
    int year, month, day;
};

// An eight-digit integer read as year, month, day (20200102). Pandas would read any integer
// as nanoseconds since 1970, which is never what an eight-digit date number means.
std::optional<Ymd> eight_digit_date(nb::handle value) {
    PyObject* o = value.ptr();
    bool integer = PyLong_Check(o) && !PyBool_Check(o);
    if (!integer && !PyLong_Check(o)) {
        const int numpy_int = PyObject_IsInstance(o, refs.numpy_integer);
        if (numpy_int < 0) throw nb::python_error();
        integer = numpy_int == 1;
    }
    if (!integer) return std::nullopt;
    nb::object as_int = checked(PyNumber_Index(o));
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(as_int.ptr(), &overflow);
    if (overflow != 0 || v < 10000000 || v > 99999999) return std::nullopt;
    const Ymd d{static_cast<int>(v / 10000), static_cast<int>(v / 100 % 100),
                static_cast<int>(v % 100)};
    if (!core::is_valid_date(d.year, d.month, d.day)) {
        bridge::raise_error(PyExc_ValueError, "dt: %lld is not a date in year-month-day form", v);
    }
    return d;
}

nb::object midnight_of(nb::handle year, nb::handle month, nb::handle day) {
    auto* type = reinterpret_cast<PyObject*>(PyDateTimeAPI->DateTimeType);
    return checked(PyObject_CallFunctionObjArgs(type, year.ptr(), month.ptr(), day.ptr(), nullptr));
}

nb::object convert_to_datetime(nb::handle dt) {
    if (PyDateTime_Check(dt.ptr())) return nb::borrow(dt);
    if (has_year(dt)) return midnight_of(dt.attr("year"), dt.attr("month"), dt.attr("day"));
    if (std::optional<Ymd> d = eight_digit_date(dt))
        return checked(PyDateTime_FromDateAndTime(d->year, d->month, d->day, 0, 0, 0, 0));
    return call1(refs.to_datetime, dt).attr("to_pydatetime")();
}

// year * 10000 + month * 100 + day, in Python arithmetic so that any object with date
// attributes (an Index of dates, a NaT) gives what its own numbers give.
nb::object date_number(nb::handle dt) {
    PyObject* o = dt.ptr();
    if (plain_date(o))
        return nb::int_(PyDateTime_GET_YEAR(o) * 10000L + PyDateTime_GET_MONTH(o) * 100L +
                        PyDateTime_GET_DAY(o));
    nb::object year = dt.attr("year"), month = dt.attr("month"), day = dt.attr("day");
    nb::object y = checked(PyNumber_Multiply(year.ptr(), nb::int_(10000).ptr()));
    nb::object m = checked(PyNumber_Multiply(month.ptr(), nb::int_(100).ptr()));
    nb::object ym = checked(PyNumber_Add(y.ptr(), m.ptr()));
    return checked(PyNumber_Add(ym.ptr(), day.ptr()));
}

nb::object convert_date_to_int(nb::handle dt) {
    if (plain_date(dt.ptr()) || has_year(dt)) return date_number(dt);
    nb::object converted = convert_to_datetime(dt);
    // Pandas may give back something that is not one date (an array for a list): asking
    // again would never end.
    if (!has_year(converted)) {
        bridge::raise_error(PyExc_TypeError, "dt: cannot read a single date from %.200s",
                            Py_TYPE(dt.ptr())->tp_name);
    }
    return date_number(converted);
}

nb::object is_bool_string(nb::handle v) {
    nb::object lower = v.attr("lower")();
    const int found = PyDict_Contains(refs.boolean_states, lower.ptr());
    if (found < 0) throw nb::python_error();
    return nb::bool_(found == 1);
}

nb::object is_true_string(nb::handle v) {
    PyObject* value = PyDict_GetItemWithError(refs.boolean_states, v.ptr());
    if (value) return nb::borrow(value);
    if (PyErr_Occurred()) throw nb::python_error();
    return nb::bool_(false);
}

nb::object union_of(nb::args iterables) {
    nb::object distinct = checked(PySet_New(nullptr));
    for (nb::handle iterable : iterables) {
        nb::object it = checked(PyObject_GetIter(iterable.ptr()));
        while (PyObject* item = PyIter_Next(it.ptr())) {
            const int rc = PySet_Add(distinct.ptr(), item);
            Py_DECREF(item);
            if (rc < 0) throw nb::python_error();
        }
        if (PyErr_Occurred()) throw nb::python_error();
    }
    return checked(PySequence_List(distinct.ptr()));
}

nb::object get_terms_in_year(nb::handle s) {
    bridge::require_str_or_none(s, "s");
    nb::object match = call1(refs.yield_rate_search, s);
    if (match.is_none()) {
        bridge::raise_error(PyExc_ValueError, "invalid string: %U", s.ptr());
    }
    nb::object number = match.attr("group")("number");
    nb::object unit = match.attr("group")(2);
    nb::object count = checked(PyLong_FromUnicodeObject(number.ptr(), 10));
    if (PyUnicode_CompareWithASCIIString(unit.ptr(), "Y") == 0) return count;
    return checked(PyNumber_TrueDivide(count.ptr(), nb::int_(12).ptr()));
}

PyObject* keep(nb::object value) {
    return value.release().ptr();
}

void add_constants(nb::module_& m) {
    nb::module_ re = nb::module_::import_("re");
    auto compile = [&](const char* pattern) { return re.attr("compile")(pattern); };
    nb::object timestamp_regexp = re.attr("compile")(kTimestampPattern, re.attr("X"));
    nb::object number_regex = compile(R"(-?\d+\.?\d*)");
    nb::object float_regex = compile(R"(-?\d+\.\d*)");
    nb::object integer_regex = compile(R"(-?\d+)");
    nb::dict boolean_states;
    for (const char* word : {"1", "yes", "true", "on"}) boolean_states[word] = true;
    for (const char* word : {"0", "no", "false", "off"}) boolean_states[word] = false;
    nb::object yield_rate_regex = compile(R"((?P<number>\d+)(M|Y)$)");

    m.attr("timestamp_regexp") = timestamp_regexp;
    m.attr("number_regex") = number_regex;
    m.attr("float_regex") = float_regex;
    m.attr("integer_regex") = integer_regex;
    m.attr("BOOLEAN_STATES") = boolean_states;
    m.attr("yield_rate_regex") = yield_rate_regex;

    refs.timestamp_match = keep(timestamp_regexp.attr("match"));
    refs.number_match = keep(number_regex.attr("match"));
    refs.float_match = keep(float_regex.attr("match"));
    refs.integer_match = keep(integer_regex.attr("match"));
    refs.yield_rate_search = keep(yield_rate_regex.attr("search"));
    refs.boolean_states = keep(boolean_states);
}

} // namespace

} // namespace brelvox::format

NB_MODULE(format, m) {
    using namespace brelvox::format;
    namespace bridge = brelvox::bridge;
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw nb::python_error();

    bridge::publish_globals(m, {"re", "itertools", "json", "uuid", "datetime.datetime",
                                "datetime.date", "Iterable", "List", "Union", "pd",
                                "DateConvertible"});
    nb::module_ pd = bridge::pandas();

    refs.timestamp_type = keep(pd.attr("Timestamp"));
    refs.to_datetime = keep(pd.attr("to_datetime"));
    refs.numpy_integer = keep(bridge::numpy().attr("integer"));
    add_constants(m);

    bridge::def(m, "convert_to_datetime", &convert_to_datetime,
                "The value as a datetime: a datetime itself, midnight of a date, otherwise what "
                "pandas parses.",
                "dt"_a.none());
    bridge::def(m, "convert_date_to_int", &convert_date_to_int,
                "The date as the integer year * 10000 + month * 100 + day.", "dt"_a.none());
    auto predicate = [&](const char* name, PyObject* const* match, const char* doc) {
        bridge::def(m, name, [match](nb::handle v) { return call1(*match, v); }, doc, "v"_a.none());
    };
    predicate("is_datetime_string", &refs.timestamp_match,
              "The match of the timestamp pattern at the start of v, or None.");
    predicate("is_number_string", &refs.number_match,
              "The match of a number at the start of v, or None.");
    predicate("is_float_string", &refs.float_match,
              "The match of a float at the start of v, or None.");
    predicate("is_integer_string", &refs.integer_match,
              "The match of an integer at the start of v, or None.");
    bridge::def(m, "is_bool_string", &is_bool_string,
                "Whether v, lower-cased, is one of the boolean words.", "v"_a.none());
    bridge::def(m, "is_true_string", &is_true_string,
                "Whether v, exactly as given, is one of the words for true.", "v"_a.none());
    bridge::def_signed(m, "union", &union_of,
                       "Every distinct element of the iterables once, as a list.", "(*it)");
    bridge::def(m, "get_terms_in_year", &get_terms_in_year,
                "A tenor such as 10Y or 6M as a number of years.", "s"_a.none());
    add_json_encoder(m);
}
