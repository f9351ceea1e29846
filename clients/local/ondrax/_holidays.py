"""Public holidays of the sample years.

The Shanghai exchange closes on the weekdays below and never trades at weekends. The
interbank market follows the State Council's schedule: the same closures except the
exchange's own extra day (New Year's Eve of the 2024 Spring Festival), and it trades on the
weekend days that the schedule makes working days.
"""

import datetime


def _days(text):
    return frozenset(datetime.date.fromisoformat(d) for d in text.split())


YEARS = (2024, 2025)

EXCHANGE_CLOSED = _days("""
    2024-01-01
    2024-02-09 2024-02-12 2024-02-13 2024-02-14 2024-02-15 2024-02-16
    2024-04-04 2024-04-05
    2024-05-01 2024-05-02 2024-05-03
    2024-06-10
    2024-09-16 2024-09-17
    2024-10-01 2024-10-02 2024-10-03 2024-10-04 2024-10-07
    2025-01-01
    2025-01-28 2025-01-29 2025-01-30 2025-01-31 2025-02-03 2025-02-04
    2025-04-04
    2025-05-01 2025-05-02 2025-05-05
    2025-06-02
    2025-10-01 2025-10-02 2025-10-03 2025-10-06 2025-10-07 2025-10-08
""")

# Closed by the exchange only; an ordinary working day of the official schedule.
EXCHANGE_ONLY_CLOSED = _days("2024-02-09")

WEEKEND_WORKDAYS = _days("""
    2024-02-04 2024-02-18 2024-04-07 2024-04-28 2024-05-11 2024-09-14 2024-09-29 2024-10-12
    2025-01-26 2025-02-08 2025-04-27 2025-09-28 2025-10-11
""")


def _usual_holiday(day):
    # years without a schedule above: New Year, Labour Day and National Day weeks
    return day.year not in YEARS and (
        (day.month, day.day) == (1, 1) or (day.month == 5 and day.day <= 3)
        or (day.month == 10 and day.day <= 7))


def calendars(count=None):
    """(exchange trading days, interbank trading days), ascending: the sample years, or the
    last `count` exchange days up to the end of them (earlier years get the usual holidays),
    with the interbank days from the first of those on."""
    first_year = YEARS[0] if count is None else YEARS[0] - (count // 240 + 1)
    day = datetime.date(first_year, 1, 1)
    end = datetime.date(YEARS[-1], 12, 31)
    exchange, interbank = [], []
    while day <= end:
        weekday = day.weekday() < 5 and not _usual_holiday(day)
        if weekday and day not in EXCHANGE_CLOSED:
            exchange.append(day)
        if (weekday and (day not in EXCHANGE_CLOSED or day in EXCHANGE_ONLY_CLOSED)) or \
                day in WEEKEND_WORKDAYS:
            interbank.append(day)
        day += datetime.timedelta(days=1)
    if count is not None:
        exchange = exchange[-count:]
        interbank = [d for d in interbank if d >= exchange[0]]
    return exchange, interbank
