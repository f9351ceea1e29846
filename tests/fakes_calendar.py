"""A stand-in for the client's exchange and interbank calendars, shared by every fake."""

import types

import pandas as pd


def day_of(value):
    """A client refuses what is not one date, as the real one does."""
    day = pd.Timestamp(value)
    if day is pd.NaT:
        raise ValueError("not a date: %r" % (value,))
    return day


class Calendar:
    """Trading days from a fixed list. A day before or after the list is None, or with
    `extend` the day n calendar days beyond its end; `box` is how a day is handed back and
    `list_box` how the days of a span are (default: `box`); calls are recorded in `log`
    (name and positional arguments) when one is given."""

    def __init__(self, days, log=None, prefix="", box=lambda ts: ts, list_box=None, extend=False):
        self.days = pd.DatetimeIndex(pd.to_datetime(days))
        self.log = log
        self.prefix = prefix
        self.box = box
        self.list_box = list_box or box
        self.extend = extend

    def _record(self, name, *args, **kwargs):
        if self.log is not None:
            self.log.append((self.prefix + name,) + args + ((kwargs,) if kwargs else ()))

    def get_previous_trading_date(self, *args, **kwargs):
        self._record("get_previous_trading_date", *args, **kwargs)
        date, n = args[0], (args[1] if len(args) > 1 else kwargs.get("n", 1))
        earlier = self.days[self.days < day_of(date).normalize()]
        if len(earlier) >= n:
            return self.box(earlier[-n])
        return self.days[0] - pd.Timedelta(days=n) if self.extend else None

    def get_next_trading_date(self, *args, **kwargs):
        self._record("get_next_trading_date", *args, **kwargs)
        date, n = args[0], (args[1] if len(args) > 1 else kwargs.get("n", 1))
        later = self.days[self.days > day_of(date).normalize()]
        if len(later) >= n:
            return self.box(later[n - 1])
        return self.days[-1] + pd.Timedelta(days=n) if self.extend else None

    def get_trading_dates(self, *args, **kwargs):
        self._record("get_trading_dates", *args, **kwargs)
        start, end = day_of(args[0]), day_of(args[1])
        return [self.list_box(d) for d in self.days[(self.days >= start) & (self.days <= end)]]

    def is_trading_date(self, *args, **kwargs):
        self._record("is_trading_date", *args, **kwargs)
        return day_of(args[0]).normalize() in self.days


def calendar_client(exchange_days, bank_days, box=lambda ts: ts):
    """A client whose top level is the exchange calendar and whose `bond` is the interbank one."""
    log = []
    client = Calendar(exchange_days, log, box=box)
    client.bond = Calendar(bank_days, log, prefix="bond.", box=box)
    client.fund = types.SimpleNamespace()
    return client
