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
    # Every cell written and every value read, whether or not the answer is complete.
    n = min(values.size, out.size)
    flat = out.reshape(-1)
    flat[:n] = values[:n]
    flat[n:] = np.nan
    return pd.DataFrame(out.T, index=dates.rename("date"),
                        columns=pd.Index(ids, name="order_book_id"), copy=False), codes


def placement(price, field="close"):
    """For rows in no particular order: a call that only puts each value in its cell of a
    panel, with numpy (cells computed beforehand). The floor never does this, and no
    answer can be read without it; its time is shown beside the floor for reference."""
    n_dates = len(price.index.levels[1])
    cells = (np.asarray(price.index.codes[0], dtype=np.int64) * n_dates
             + np.asarray(price.index.codes[1], dtype=np.int64))
    values = price[field].to_numpy(dtype="float64")
    out = np.full(len(price.index.levels[0]) * n_dates, np.nan)

    def place():
        out[cells] = values
    return place


def report_placement(seconds, floor_seconds):
    """The line under a scenario of unordered rows: the placement alone against the floor."""
    print("%-48s %10.3f ms   floor      -           ratio %6.2f  (reference)"
          % ("    placing the rows alone (numpy)", seconds * 1e3, seconds / floor_seconds))


def real_shaped(price, seed=0, suspended=0.01, listed=0.05, shuffled=False, id_dtype=None):
    """A complete answer on (id, date) made to look like a real market's: a share of
    instrument-days missing (suspensions), a share of instruments listing inside the span
    (no rows before a random date), rows in no particular order, ids of another dtype."""
    rng = np.random.default_rng(seed)
    ids = price.index.get_level_values(0)
    dates = price.index.get_level_values(1)
    keep = rng.random(len(price)) >= suspended
    if listed:
        level = price.index.levels[0]
        late = rng.choice(len(level), max(1, int(listed * len(level))), replace=False)
        day = price.index.levels[1]
        listing = pd.Series(day[rng.integers(1, len(day), len(late))], index=level[late])
        starts = listing.reindex(ids).to_numpy()
        keep &= ~(dates.to_numpy() < starts)  # NaT (not listed late) compares False
    out = price[keep]
    if shuffled:
        out = out.iloc[rng.permutation(len(out))]
    if id_dtype is not None:
        out = out.set_axis(out.index.set_levels(out.index.levels[0].astype(id_dtype), level=0))
    return out


# Real-shaped variants of a complete answer beside the complete one itself.
SHAPES = {
    "dense": {"suspended": 0, "listed": 0},
    "1% suspended": {"listed": 0},
    "5% listed in span": {"suspended": 0},
    "suspended+listed": {},
    "suspended+listed, shuffled": {"shuffled": True},
    "suspended+listed, ids str": {"id_dtype": str},
    "suspended+listed, ids object": {"id_dtype": object},
    "suspended+listed, ids category": {"id_dtype": "category"},
}
