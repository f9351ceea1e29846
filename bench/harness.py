"""Timing helpers shared by the benchmark scripts.

Each scenario times a function against its floor: the pandas work it cannot avoid (taking
the arrays out of the client's answer and building a result of the same shape).
"""

import gc
import time

import numpy as np
import pandas as pd


def best_time(fn, repeat=5, number=1):
    """Best wall time of `number` calls of fn() over `repeat` rounds, in seconds per call."""
    fn()  # warm-up
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - start) / number)
    return best


def report(name, seconds, floor_seconds, target=None):
    """Prints one line: the function's time, the floor's, and their ratio."""
    ratio = seconds / floor_seconds if floor_seconds > 0 else float("inf")
    verdict = ""
    if target is not None:
        verdict = "  ok" if ratio <= target else "  OVER TARGET %.1f" % target
    print("%-48s %10.3f ms   floor %10.3f ms   ratio %6.2f%s"
          % (name, seconds * 1e3, floor_seconds * 1e3, ratio, verdict))
    return ratio


def price_panel_floor(price, ids, dates, field="close"):
    """The floor of a price-panel function: take the index codes and the value column out of
    the client's frame on (id, date), and build a dates x ids frame from an array."""
    codes = [np.asarray(c) for c in price.index.codes]
    values = price[field].to_numpy(dtype="float64")
    out = np.empty((len(ids), len(dates)))
    out[:] = values[: out.size].reshape(out.shape) if values.size >= out.size else 0.0
    return pd.DataFrame(out.T, index=dates.rename("date"),
                        columns=pd.Index(ids, name="order_book_id"), copy=False), codes
