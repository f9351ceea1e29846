"""Equity daily returns at market scale and for a small request.

    PYTHONPATH=build-dev/pkg python bench/bench_quenta.py
"""

import sys
import types

import numpy as np
import pandas as pd

from harness import (SHAPES, best_time, placement, price_panel_floor, real_shaped, report,
                     report_placement)

sys.modules.setdefault("ondrax", types.ModuleType("ondrax"))
from brelvox.marketdata import quenta  # noqa: E402


class Answers:
    """A client answering every call from prebuilt frames."""

    def __init__(self, calendar, price, split, dividend):
        self.calendar, self.price, self.split, self.dividend = calendar, price, split, dividend

    def get_previous_trading_date(self, date, n=1):
        return self.calendar[self.calendar.searchsorted(pd.Timestamp(date)) - 1]

    def get_price(self, *args, **kwargs):
        return self.price

    def get_split(self, *args):
        return self.split

    def get_dividend(self, *args):
        return self.dividend


def scenario(n_ids, n_dates, event_share, seed=0):
    rng = np.random.default_rng(seed)
    calendar = pd.bdate_range("2020-01-01", periods=n_dates + 1)
    ids = ["%06d.XSHE" % k for k in range(n_ids)]
    values = 10 * np.exp(np.cumsum(rng.normal(0, 0.02, (n_ids, n_dates + 1)), axis=1))
    index = pd.MultiIndex.from_product([ids, calendar], names=["order_book_id", "date"])
    price = pd.DataFrame({"close": values.ravel()}, index=index)
    n_events = max(1, int(event_share * n_ids * n_dates))
    who = rng.integers(0, n_ids, n_events)
    when = calendar[rng.integers(1, n_dates + 1, n_events)]
    half = n_events // 2
    events = lambda sl, cols: pd.DataFrame(  # noqa: E731
        cols, index=pd.MultiIndex.from_arrays([np.array(ids)[who[sl]], when[sl]],
                                              names=["order_book_id", "ex_dividend_date"]))
    split = events(slice(0, half), {"split_coefficient_from": np.ones(half),
                                    "split_coefficient_to": np.full(half, 2.0)})
    rest = n_events - half
    dividend = events(slice(half, None), {"dividend_cash_before_tax": rng.uniform(0.5, 3, rest),
                                          "round_lot": np.full(rest, 10.0)})
    return Answers(calendar, price, split, dividend), ids, calendar[1:]


def floor(client, ids, dates, field="close"):
    return price_panel_floor(client.price, ids, dates, field)


def run(label, function, client, ids, dates, field, shuffled=False):
    quenta.ondrax = client
    number = 1 if len(ids) > 100 else 200
    t = best_time(lambda: function(ids, dates), number=number)
    f = best_time(lambda: floor(client, ids, dates, field), number=number)
    report("%s %s" % (function.__name__, label), t, f, target=3)
    if shuffled and len(ids) > 100:
        report_placement(best_time(placement(client.price, field), number=number), f)


def main():
    sizes = {"equity 3000 x 750": (3000, 750, "close", quenta.get_equity_daily_returns, 0.01),
             "futures 300 x 750": (300, 750, "settlement", quenta.get_future_daily_returns, 0.02),
             "equity 10 x 20": (10, 20, "close", quenta.get_equity_daily_returns, 0.01)}
    for size, (n_ids, n_dates, field, function, gaps) in sizes.items():
        base, ids, dates = scenario(n_ids, n_dates, 0.01)
        if field != "close":
            base.price = base.price.rename(columns={"close": field})
        for shape, options in SHAPES.items():
            options = dict({"suspended": gaps}, **options)
            client = Answers(base.calendar, real_shaped(base.price, **options), base.split,
                             base.dividend)
            run("%s, %s" % (size, shape), function, client, ids, dates, field,
                options.get("shuffled", False))


if __name__ == "__main__":
    main()
