// brelvox.marketdata.tolvik: the exchange and interbank trading calendars of the client.
#include "bridge.hpp"

#include <datetime.h>

namespace brelvox::tolvik {

namespace bridge = brelvox::bridge;
using bridge::checked;
using bridge::truthy;
static nb::handle module_handle;

namespace {

// The exchange calendar is the client itself, the interbank one its bond namespace.
nb::object exchange() {
    return bridge::client(module_handle);
}
nb::object bank() {
    return bridge::client(module_handle).attr("bond");
}

nb::object to_datetime(nb::handle dt) {
    PyObject* o = dt.ptr();
    // Only exact types are read field by field: subclasses (a NaT among them) may keep
    // their own meaning of year, month and day.
    if (PyDate_CheckExact(o) || PyDateTime_CheckExact(o))
        return checked(PyDateTime_FromDateAndTime(PyDateTime_GET_YEAR(o), PyDateTime_GET_MONTH(o),
                                                  PyDateTime_GET_DAY(o), 0, 0, 0, 0));
    nb::object year = dt.attr("year"), month = dt.attr("month"), day = dt.attr("day");
    auto* type = reinterpret_cast<PyObject*>(PyDateTimeAPI->DateTimeType);
    return checked(PyObject_CallFunctionObjArgs(type, year.ptr(), month.ptr(), day.ptr(), nullptr));
}

nb::object day_list(nb::handle days) {
    nb::list out;
    nb::object it = checked(PyObject_GetIter(days.ptr()));
    while (PyObject* day = PyIter_Next(it.ptr())) {
        nb::object held = nb::steal(day);
        out.append(to_datetime(held));
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return out;
}

nb::object is_exchange_trading_date(nb::handle dt) {
    return exchange().attr("is_trading_date")(dt);
}
nb::object exchange_previous(nb::handle dt, nb::handle n) {
    return to_datetime(exchange().attr("get_previous_trading_date")(dt, n));
}
nb::object exchange_next(nb::handle dt, nb::handle n) {
    return to_datetime(exchange().attr("get_next_trading_date")(dt, n));
}
nb::object exchange_dates(nb::handle start_date, nb::handle end_date) {
    return day_list(exchange().attr("get_trading_dates")(start_date, end_date));
}

// The calendar day `pd.Timestamp` reads from a date of any kind (str, date, datetime, ...).
nb::object calendar_day(nb::handle value) {
    return bridge::pandas().attr("Timestamp")(value).attr("date")();
}

// A day is an interbank trading day when the trading day after its previous one is itself;
// the two are compared as calendar days, whatever type each comes in.
nb::object is_bank_trading_date(nb::handle /*self*/, nb::handle dt) {
    nb::object calendar = bank();
    nb::object previous = calendar.attr("get_previous_trading_date")(dt);
    nb::object following = calendar.attr("get_next_trading_date")(previous);
    return nb::bool_(calendar_day(dt).equal(calendar_day(following)));
}
nb::object bank_previous(nb::handle dt, nb::handle n) {
    return to_datetime(bank().attr("get_previous_trading_date")(dt, n));
}
nb::object bank_next(nb::handle dt, nb::handle n) {
    return to_datetime(bank().attr("get_next_trading_date")(dt, n));
}
nb::object bank_dates(nb::handle start_date, nb::handle end_date) {
    return day_list(bank().attr("get_trading_dates")(start_date, end_date));
}

} // namespace

} // namespace brelvox::tolvik

NB_MODULE(tolvik, m) {
    using namespace brelvox::tolvik;
    namespace bridge = brelvox::bridge;
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw nb::python_error();
    module_handle = m;

    bridge::publish_globals(m, {"datetime", "List", "ondrax", "DateConvertible"});

    bridge::def(m, "is_exchange_trading_date", &is_exchange_trading_date,
                "Whether dt is an exchange trading day, as the client answers.", "dt"_a.none());
    bridge::def(m, "get_exchange_previous_trading_date", &exchange_previous,
                "The n-th exchange trading day before dt, at midnight.", "dt"_a.none(),
                "n"_a.none() = 1);
    bridge::def(m, "get_exchange_next_trading_date", &exchange_next,
                "The n-th exchange trading day after dt, at midnight.", "dt"_a.none(),
                "n"_a.none() = 1);
    bridge::def(m, "get_exchange_trading_dates", &exchange_dates,
                "The exchange trading days from start_date to end_date, at midnight.",
                "start_date"_a.none(), "end_date"_a.none());
    bridge::def(m, "is_bank_trading_date", &is_bank_trading_date,
                "Whether dt is an interbank trading day; self is not used.", "self"_a.none(),
                "dt"_a.none());
    bridge::def(m, "get_bank_previous_trading_date", &bank_previous,
                "The n-th interbank trading day before dt, at midnight.", "dt"_a.none(),
                "n"_a.none() = 1);
    bridge::def(m, "get_bank_next_trading_date", &bank_next,
                "The n-th interbank trading day after dt, at midnight.", "dt"_a.none(),
                "n"_a.none() = 1);
    bridge::def(m, "get_bank_trading_dates", &bank_dates,
                "The interbank trading days from start_date to end_date, at midnight.",
                "start_date"_a.none(), "end_date"_a.none());
    bridge::def(m, "_to_datetime", &to_datetime, "Midnight of the day of dt as a datetime.",
                "dt"_a.none());
}
