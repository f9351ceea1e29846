"""The local data client end to end at market scale: a generated market of 3000 stocks over
750 exchange dates (suspensions, listings and delistings inside the span, splits, cash
dividends) written as CSV, loaded, then every stock's returns and prices over every date
through the client, warm; against the layer's own time on the same answers replayed from
memory.

    PYTHONPATH=build-dev/pkg:clients/local python bench/bench_local_client.py [--stocks N]
        [--dates M] [--keep DIR]
"""

import argparse
import os
import shutil
import sys
import tempfile
import time

import pandas as pd

from harness import best_time

import ondrax
from ondrax import _store, local
from brelvox.marketdata import oprane, quenta

LOAD_TARGET, CALL_TARGET, RATIO_TARGET = 5.0, 0.150, 5.0


class Replay:
    """A client answering each call with the answer the local client gave to the same call."""

    def __init__(self, client):
        self.client, self.answers = client, {}

    def __getattr__(self, name):
        real = getattr(self.client, name)
        if not callable(real):
            return real

        def call(*args, **kwargs):
            key = (name, repr(args), repr(sorted(kwargs.items())))
            if key not in self.answers:
                self.answers[key] = real(*args, **kwargs)
            return self.answers[key]
        return call


def timed(label, fn, target=None):
    seconds = best_time(fn, repeat=7)
    verdict = "" if target is None else ("  ok" if seconds <= target else "  OVER %.0f ms"
                                         % (target * 1e3))
    print("%-52s %9.1f ms%s" % (label, seconds * 1e3, verdict))
    return seconds


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--stocks", type=int, default=3000)
    parser.add_argument("--dates", type=int, default=750)
    parser.add_argument("--keep", metavar="DIR", help="write the CSV files and database here")
    args = parser.parse_args()
    work = args.keep or tempfile.mkdtemp(prefix="bench-local-")
    try:
        run(work, args.stocks, args.dates)
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


def run(work, stocks, dates):
    csv_dir, db = os.path.join(work, "csv"), os.path.join(work, "market.duckdb")
    if not os.path.exists(os.path.join(csv_dir, "prices.csv")):
        start = time.perf_counter()
        counts = local.write_sample_csv(csv_dir, stocks=stocks, dates=dates)
        print("generated %s in %.1f s" % (", ".join("%s %d" % kv for kv in counts.items()),
                                         time.perf_counter() - start))
    best_load = float("inf")
    for _ in range(3):
        if os.path.exists(db):
            os.remove(db)
        start = time.perf_counter()
        counts = local.load_csv(csv_dir, db)
        best_load = min(best_load, time.perf_counter() - start)
    print("%-52s %9.2f s%s" % ("load (%d price rows), best of 3" % counts["prices"], best_load,
                               "  ok" if best_load <= LOAD_TARGET else "  OVER %.0f s" % LOAD_TARGET))

    os.environ[local.ENV_VAR] = db
    ids = [i for i in ondrax.all_instruments(type="CS").order_book_id]
    days = pd.DatetimeIndex(ondrax.get_trading_dates("2000-01-01", "2030-12-31"))[1:]
    print("%d stocks x %d dates" % (len(ids), len(days)))

    calls = {
        "returns": lambda: quenta.get_equity_daily_returns(ids, days),
        "prices": lambda: oprane.get_equity_price(ids, days),
    }
    replay = Replay(ondrax)
    results = {}
    for name, call in calls.items():
        _store._close()  # the next call opens the file and reads the columns it needs
        start = time.perf_counter()
        call()
        print("%-52s %9.1f ms" % ("%s, first call after opening the file" % name,
                                  (time.perf_counter() - start) * 1e3))
        end_to_end = timed("%s end to end through the client" % name, call, CALL_TARGET)
        quenta.ondrax = oprane.ondrax = replay
        try:
            layer = timed("%s, the layer alone (answers replayed)" % name, call)
        finally:
            quenta.ondrax = oprane.ondrax = ondrax
        ratio = end_to_end / layer
        print("%-52s %9.1f x%s" % ("%s: end to end / layer" % name, ratio,
                                   "  ok" if ratio <= RATIO_TARGET else "  OVER %.0f x"
                                   % RATIO_TARGET))
        results[name] = (end_to_end, layer)
    for adjust in ("none", "post"):
        timed("client alone: get_price of every close, %s" % adjust, lambda: ondrax.get_price(
            ids, days[0], days[-1], fields="close", adjust_type=adjust))
    return results


if __name__ == "__main__":
    sys.exit(main())
