"""The command line's own share of `returns` and `prices` on a market of 3000 ids x 750
dates with --csv: the package's modules are replaced by stand-ins that hand back prebuilt
frames at once, so what is timed is classification plumbing, listing gaps, the screen
preview and the CSV writer.

    PYTHONPATH=build-dev/pkg:bench python bench/bench_cli.py [n_ids n_dates]
"""

import datetime
import io
import os
import sys
import tempfile
import types
from contextlib import redirect_stderr, redirect_stdout

import numpy as np
import pandas as pd

from harness import best_time

from brelvox.attribution import market
from brelvox.cli import data, main


def stand_ins(n_ids, n_dates, seed=0):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2022-01-04", periods=n_dates, name="date")
    ids = ["%06d.XSHE" % k for k in range(n_ids)]
    returns = pd.DataFrame(rng.normal(0, 0.02, (n_dates, n_ids)), index=dates,
                           columns=pd.Index(ids, name="order_book_id"))
    prices = (1 + returns).cumprod() * 10
    listed = {oid: dates[rng.integers(0, n_dates)] if k % 10 == 0 else dates[0] - pd.Timedelta(days=400)
              for k, oid in enumerate(ids)}
    records = {oid: types.SimpleNamespace(symbol="s", listed_date=day.strftime("%Y-%m-%d"),
                                          de_listed_date="0000-00-00")
               for oid, day in listed.items()}
    py_dates = [d.to_pydatetime() for d in dates]

    def trading_dates(start, end):
        lo, hi = pd.Timestamp(start), pd.Timestamp(end)
        return [d for d in py_dates if lo <= d <= hi]

    def previous(day, n=1):
        k = dates.searchsorted(pd.Timestamp(day))
        return py_dates[k - n] if k >= n else py_dates[0] - datetime.timedelta(days=1)

    tolvik = types.SimpleNamespace(get_exchange_trading_dates=trading_dates,
                                   get_bank_trading_dates=trading_dates,
                                   get_exchange_previous_trading_date=previous,
                                   get_bank_previous_trading_date=previous)
    brisel = types.SimpleNamespace(get_asset_types=lambda ids: {o: "stock" for o in ids},
                                   get_instruments=lambda ids: {o: records[o] for o in ids})
    quenta = types.SimpleNamespace(
        get_equity_daily_returns=lambda ids, d: returns.reindex(index=d, columns=ids),
        ondrax=types.SimpleNamespace())
    oprane = types.SimpleNamespace(get_equity_price=lambda ids, d: prices.reindex(index=d, columns=ids))
    modules = {"tolvik": tolvik, "brisel": brisel, "quenta": quenta, "oprane": oprane}
    return modules, ids, dates


def run(argv):
    sink_out, sink_err = io.StringIO(), io.StringIO()
    with redirect_stdout(sink_out), redirect_stderr(sink_err):
        status = main(argv)
    assert status == 0, sink_err.getvalue()
    return len(sink_out.getvalue())


def bench(n_ids=3000, n_dates=750):
    modules, ids, dates = stand_ins(n_ids, n_dates)
    # the command line reaches the modules through the attribution's market reader
    data.module = market.module = modules.__getitem__
    with tempfile.TemporaryDirectory() as tmp:
        target = os.path.join(tmp, "out.csv")
        for command in ("returns", "prices"):
            argv = [command, *ids, "--start", str(dates[0].date()), "--end",
                    str(dates[-1].date()), "--csv", target]
            printed = run(argv)
            seconds = best_time(lambda: run(argv), repeat=3)
            print("%-8s %d ids x %d dates --csv: %.2f s of the command line's own, "
                  "%d bytes on the screen, %.1f MB of CSV"
                  % (command, n_ids, n_dates, seconds, printed, os.path.getsize(target) / 1e6))


if __name__ == "__main__":
    sizes = [int(a) for a in sys.argv[1:3]] or [3000, 750]
    bench(*sizes)
