"""The local store at the size of a whole market's history: 5000 stocks over 4800 exchange
dates (about 22.5 M price rows, a 1.2 GB prices.csv) written as CSV the way the sample is,
then `load` and a day's `load --append` run as a user runs them, each in its own process:
wall time, peak memory (the process's maximum resident set) and the database's size; and
two reads of the loaded store.

    PYTHONPATH=build-dev/pkg:clients/local python bench/bench_store_load.py [--stocks N]
        [--dates M] [--cache DIR]

Generating the market takes about three minutes and 6 GB of memory; the CSV files are kept
in --cache (default: a folder in the system's temporary directory) and reused.
"""

import argparse
import datetime
import os
import subprocess
import sys
import tempfile
import time

import pandas as pd

from harness import best_time
from ondrax import local

LOAD_TARGET, MEMORY_TARGET = 15.0, 1.5 * 2**30


def in_process(argv, env):
    """(wall seconds, peak resident bytes, exit status) of one command in its own process."""
    with tempfile.TemporaryFile() as err:
        start = time.perf_counter()
        child = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL, stderr=err)
        _, status, usage = os.wait4(child.pid, 0)
        seconds = time.perf_counter() - start
        if status:
            err.seek(0)
            sys.exit("%s failed:\n%s" % (" ".join(argv), err.read().decode(errors="replace")))
        err.seek(0)
        if err.read().strip():
            err.seek(0)
            print("    (stderr: %s)" % err.read().decode(errors="replace").strip()[:200])
    return seconds, usage.ru_maxrss * 1024, status


def verdict(value, target):
    return "  ok" if value <= target else "  OVER %g" % target


def append_files(db, directory):
    """A day's files after the database's last date: every stock that traded on the last
    date trades again, 1 % up."""
    import ondrax
    last = local.calendar_span()[1]
    day = last + datetime.timedelta(days=1)
    while day.weekday() >= 5:
        day += datetime.timedelta(days=1)
    ids = ondrax.all_instruments(type="CS").order_book_id.tolist()
    closes = ondrax.get_price(ids, last, last, fields="close", expect_df=True,
                              adjust_type="none")
    os.makedirs(directory, exist_ok=True)
    pd.DataFrame({"market": ["exchange", "interbank"], "date": [day, day]}).to_csv(
        os.path.join(directory, "calendar.csv"), index=False)
    frame = closes.reset_index()
    pd.DataFrame({"order_book_id": frame["order_book_id"], "date": day,
                  "close": (frame["close"] * 1.01).round(2)}).to_csv(
        os.path.join(directory, "prices.csv"), index=False)
    return len(frame)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--stocks", type=int, default=5000)
    parser.add_argument("--dates", type=int, default=4800)
    parser.add_argument("--cache", metavar="DIR")
    args = parser.parse_args()
    work = args.cache or os.path.join(tempfile.gettempdir(),
                                      "brelvox-store-%dx%d" % (args.stocks, args.dates))
    csv_dir, db = os.path.join(work, "csv"), os.path.join(work, "market.duckdb")
    if not os.path.exists(os.path.join(csv_dir, "yield_curves.csv")):
        start = time.perf_counter()
        counts = local.write_sample_csv(csv_dir, stocks=args.stocks, dates=args.dates)
        print("generated %s in %.0f s" % (", ".join("%s %d" % kv for kv in counts.items()),
                                         time.perf_counter() - start))
    size = sum(os.path.getsize(os.path.join(csv_dir, f)) for f in os.listdir(csv_dir))
    with open(os.path.join(csv_dir, "prices.csv"), "rb") as handle:
        rows = sum(block.count(b"\n") for block in iter(lambda: handle.read(1 << 24), b"")) - 1
    print("market: %d stocks x %d dates, %d price rows, CSV files %.0f MB"
          % (args.stocks, args.dates, rows, size / 1e6))

    env = dict(os.environ)
    cli = [sys.executable, "-m", "brelvox.cli"]
    times = []
    for _ in range(2):
        seconds, peak, _ = in_process(cli + ["load", csv_dir, db, "--force", "--quiet"], env)
        times.append(seconds)
        print("load                     %6.1f s%s   peak %5.0f MB%s" % (
            seconds, verdict(seconds, LOAD_TARGET), peak / 2**20, verdict(peak, MEMORY_TARGET)))
    print("database                 %6.0f MB (best load %.1f s)"
          % (os.path.getsize(db) / 2**20, min(times)))

    os.environ[local.ENV_VAR] = db
    import ondrax
    ids = ondrax.all_instruments(type="CS").order_book_id.tolist()
    last = local.calendar_span()[1]
    first = ondrax.get_previous_trading_date(last, 249)
    for label, asked, start in (("300 stocks x 250 dates", ids[:300], first),
                                ("every stock, whole history", ids, local.calendar_span()[0])):
        seconds = best_time(lambda: ondrax.get_price(asked, start, last, fields="close",
                                                     expect_df=True, adjust_type="none"),
                            repeat=3)
        print("query %-26s %6.3f s (warm)" % (label, seconds))

    day_dir = os.path.join(work, "day")
    appended = append_files(db, day_dir)
    seconds, peak, _ = in_process(cli + ["load", day_dir, db, "--append", "--quiet"], env)
    print("load --append of a day   %6.1f s   peak %5.0f MB%s  (%d price rows)" % (
        seconds, peak / 2**20, verdict(peak, MEMORY_TARGET), appended))


if __name__ == "__main__":
    main()
