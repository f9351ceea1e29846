"""Equity prices on requested dates with closed days mixed in, at market scale and small.

    PYTHONPATH=build-dev/pkg python bench/bench_oprane.py
"""

import sys
import types

import numpy as np
import pandas as pd

from harness import (SHAPES, best_time, placement, price_panel_floor, real_shaped, report,
                     report_placement)

sys.modules.setdefault("ondrax", types.ModuleType("ondrax"))
from brelvox.marketdata import oprane  # noqa: E402


class Answers:
    """A client answering every call from a prebuilt calendar and price frame."""

    def __init__(self, calendar, price):
        self.calendar, self.price = calendar, price
        days = pd.date_range(calendar[0], calendar[-1], freq="D")
        self.trading = set(calendar)
        self.previous = dict(zip(days, calendar[calendar.searchsorted(days) - 1]))

    def get_trading_dates(self, start, end):
        if start == end:
            return [start] if start in self.trading else []
        lo = self.calendar.searchsorted(pd.Timestamp(start))
        hi = self.calendar.searchsorted(pd.Timestamp(end), side="right")
        return list(self.calendar[lo:hi])

    def get_previous_trading_date(self, date, n=1):
        return self.previous[date]

    def get_price(self, *args, **kwargs):
        return self.price


def scenario(n_ids, n_dates, seed=0):
    """n_dates requested dates, about one in ten a weekend day, the first a Saturday."""
    rng = np.random.default_rng(seed)
    n_trading = n_dates - max(1, n_dates // 10)
    first = pd.Timestamp("2020-01-04")  # a Saturday
    calendar = pd.bdate_range("2020-01-03", periods=n_trading + 1)  # from the Friday before
    weekend = pd.date_range(first, calendar[-1], freq="D")
    weekend = weekend[weekend.day_of_week >= 5]
    picked = rng.choice(len(weekend) - 1, n_dates - n_trading - 1, replace=False) + 1
    dates = calendar[1:].union(weekend[np.sort(picked)]).union([first])
    ids = ["%06d.XSHE" % k for k in range(n_ids)]
    values = 10 * np.exp(np.cumsum(rng.normal(0, 0.02, (n_ids, len(calendar))), axis=1))
    index = pd.MultiIndex.from_product([ids, calendar], names=["order_book_id", "date"])
    price = pd.DataFrame({"close": values.ravel()}, index=index)
    assert len(dates) == n_dates
    return Answers(calendar, price), ids, dates


def floor(client, ids, dates, field="close"):
    return price_panel_floor(client.price, ids, dates, field)


def main():
    sizes = {"equity 3000 x 750": (3000, 750, "close", oprane.get_equity_price, 0.01),
             "futures 300 x 750": (300, 750, "settlement", oprane.get_futures_price, 0.02),
             "equity 10 x 20": (10, 20, "close", oprane.get_equity_price, 0.01)}
    for size, (n_ids, n_dates, field, function, gaps) in sizes.items():
        base, ids, dates = scenario(n_ids, n_dates)
        price = base.price.rename(columns={"close": field})
        for shape, options in SHAPES.items():
            options = dict({"suspended": gaps}, **options)
            client = Answers(base.calendar, real_shaped(price, **options))
            oprane.ondrax = client
            number = 1 if n_ids > 100 else 200
            t = best_time(lambda: function(ids, dates), number=number)
            f = best_time(lambda: floor(client, ids, dates, field), number=number)
            report("%s %s, %s" % (function.__name__, size, shape), t, f, target=3)
            if options.get("shuffled") and n_ids > 100:
                report_placement(best_time(placement(client.price, field), number=number), f)


if __name__ == "__main__":
    main()
