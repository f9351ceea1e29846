"""A recording stand-in for the client's exchange and interbank calendars."""

import types

import pandas as pd


class Calendar:
    """Trading days from a fixed list; every call is recorded with its positional arguments."""

    def __init__(self, days, log, prefix="", box=lambda ts: ts):
        self.days = pd.DatetimeIndex(pd.to_datetime(days))
        self.log = log
        self.prefix = prefix
        self.box = box  # how a day is handed back (Timestamp, date, datetime...)

    def _record(self, name, *args, **kwargs):
        self.log.append((self.prefix + name,) + args + ((kwargs,) if kwargs else ()))

    def get_previous_trading_date(self, *args, **kwargs):
        self._record("get_previous_trading_date", *args, **kwargs)
        date, n = args[0], (args[1] if len(args) > 1 else 1)
        earlier = self.days[self.days < pd.Timestamp(date).normalize()]
        return self.box(earlier[-n]) if len(earlier) >= n else None

    def get_next_trading_date(self, *args, **kwargs):
        self._record("get_next_trading_date", *args, **kwargs)
        date, n = args[0], (args[1] if len(args) > 1 else 1)
        later = self.days[self.days > pd.Timestamp(date).normalize()]
        return self.box(later[n - 1]) if len(later) >= n else None

    def get_trading_dates(self, *args, **kwargs):
        self._record("get_trading_dates", *args, **kwargs)
        start, end = pd.Timestamp(args[0]), pd.Timestamp(args[1])
        return [self.box(d) for d in self.days[(self.days >= start) & (self.days <= end)]]

    def is_trading_date(self, *args, **kwargs):
        self._record("is_trading_date", *args, **kwargs)
        return pd.Timestamp(args[0]).normalize() in self.days


def calendar_client(exchange_days, bank_days, box=lambda ts: ts):
    """A client whose top level is the exchange calendar and whose `bond` is the interbank one."""
    log = []
    client = Calendar(exchange_days, log, box=box)
    client.bond = Calendar(bank_days, log, prefix="bond.", box=box)
    client.fund = types.SimpleNamespace()
    return client
