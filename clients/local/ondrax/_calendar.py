"""Trading calendars: the exchange's and the interbank bond market's."""

import bisect
import datetime

from . import _store


def _dates(market):
    # The calendar is small and read-only: keep it in memory with the open database.
    db = _store.database()
    found = db.cache.get(("calendar", market))
    if found is None:
        found = [row[0] for row in _store.rows(
            "SELECT date FROM calendar WHERE market = ? ORDER BY date", [market])]
        db.cache[("calendar", market)] = found
    return found


def _count(n):
    if isinstance(n, bool) or not isinstance(n, int) or n < 1:
        raise ValueError("n must be a positive int, got %r" % (n,))
    return n


def _days(market):
    days = _dates(market)
    if not days:
        raise ValueError("the database has no %s calendar" % market)
    return days


class NoEarlierDate(LookupError):
    """The trading date before a date is asked for, and the database's calendar starts on or
    after it. Not a ValueError: callers that read a ValueError as "no data" would report
    data missing that is there."""

    def __init__(self, market, day, first):
        super().__init__(
            "the %s trading date before %s is not stored: the database's %s calendar starts "
            "on %s; ask from the trading date after %s, or load earlier dates"
            % (market, day, market, first, first))
        self.market, self.date, self.first = market, day, first


def _outside(market, day, days):
    return ValueError("%s is outside the %s calendar (%s to %s)" % (day, market, days[0], days[-1]))


def previous(market, date, n=1):
    """The n-th trading date before `date`."""
    day, n = _store.to_date(date), _count(n)
    days = _days(market)
    # Beyond the last stored date the days in between are unknown.
    if day > days[-1] + datetime.timedelta(days=1):
        raise _outside(market, day, days)
    pos = bisect.bisect_left(days, day) - n
    if pos < 0:
        raise NoEarlierDate(market, day, days[0])
    return days[pos]


def next_(market, date, n=1):
    """The n-th trading date after `date`."""
    day, n = _store.to_date(date), _count(n)
    days = _days(market)
    if day < days[0] - datetime.timedelta(days=1):
        raise _outside(market, day, days)
    pos = bisect.bisect_right(days, day) + n - 1
    if pos >= len(days):
        raise _outside(market, day, days)
    return days[pos]


def between(market, start, end):
    days = _dates(market)
    lo, hi = _store.to_date(start, "start date"), _store.to_date(end, "end date")
    return days[bisect.bisect_left(days, lo):bisect.bisect_right(days, hi)]


def is_trading(market, date):
    days = _dates(market)
    day = _store.to_date(date)
    pos = bisect.bisect_left(days, day)
    return pos < len(days) and days[pos] == day
