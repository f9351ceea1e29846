"""From holdings to the portfolio's weights at the start of each day.

A holdings row is the position at the close of its date. Its value is its weight, or its
quantity times the unit value of that date (see `market.unit_values`; futures and options
also times their contract multiplier, so a futures position counts at its notional, as if
fully collateralised). Each date's values are divided by their sum, the portfolio's value,
so the weights sum to 1 (short positions are negative weights).

Between holdings dates a position's value grows with its daily return (buy and hold): the
weights at the start of day t are those of the last holdings date before t, each times the
growth of its holding since then, divided by their sum. With `rebalance="daily"` the
holdings date's weights stand unchanged until the next holdings date.
"""

import os

import numpy as np
import pandas as pd

from .errors import AttributionError, AttributionWarning

REBALANCE = ("none", "daily")
WEIGHT_TOLERANCE = 1e-6  # weights summing within this of 1 are taken as they are
MULTIPLIED = ("futures", "option")


def holding_values(holdings, types, unit_values, multiplier):
    """(holdings dates x ids frame of each position's value, notes). `unit_values(day, ids)`
    gives {id: value of one unit} for a quantity's date, `multiplier(id)` a futures' or
    option's contract multiplier (or None). Weights not summing to 1 are normalised, with a
    note naming the dates."""
    frame = holdings.frame
    notes = []
    if holdings.kind == "weight":
        amounts = frame["amount"].to_numpy()
    else:
        amounts = _valued(holdings, types, unit_values, multiplier)
    table = pd.DataFrame({"date": frame["date"], "order_book_id": frame["order_book_id"],
                          "value": amounts})
    values = table.pivot(index="date", columns="order_book_id", values="value").fillna(0.0)
    values = values.reindex(columns=holdings.ids)
    totals = values.sum(axis=1)
    bad = totals[~(totals > 0)]
    if len(bad):
        day = bad.index[0]
        raise holdings.error(holdings.first_line(frame["date"] == day),
                             "the positions of %s are worth %.6g in all: a portfolio needs a "
                             "positive value" % (day.date(), bad.iloc[0]))
    if holdings.kind == "weight":
        off = totals[(totals - 1.0).abs() > WEIGHT_TOLERANCE]
        if len(off):
            shown = ", ".join("%s (%.6g)" % (d.date(), s) for d, s in off.iloc[:5].items())
            more = " and %d more" % (len(off) - 5) if len(off) > 5 else ""
            notes.append("%s: weights do not sum to 1 on %s%s; normalised" % (
                os.path.basename(holdings.source), shown, more))
    return values.div(totals, axis=0), notes


def _valued(holdings, types, unit_values, multiplier):
    frame = holdings.frame
    out = np.empty(len(frame))
    for day, rows in frame.groupby("date", sort=True):
        ids = list(rows["order_book_id"])
        prices = unit_values(day, ids)
        for k, oid, qty, line in zip(rows.index, ids, rows["amount"], rows["line"]):
            price = prices.get(oid)
            if price is None or not np.isfinite(price):
                raise holdings.error(line, "no price for %s on or before %s" % (oid, day.date()))
            if types[oid] in MULTIPLIED:
                factor = multiplier(oid)
                if factor is None:
                    raise holdings.error(line, "%s is a %s without a contract multiplier: give "
                                         "its weight instead" % (oid, types[oid]))
                price = price * factor
            out[frame.index.get_loc(k)] = qty * price
    return out


def start_of_day_weights(values, returns, rebalance="none"):
    """(days, ids) weights at the start of each day of `returns` (a days x ids frame of
    daily returns, NaN as 0), from `values` (holdings dates x the same ids, each row
    summing to 1). Every day must come after the first holdings date."""
    if rebalance not in REBALANCE:
        raise ValueError("rebalance must be one of %s, not %r" % (", ".join(REBALANCE), rebalance))
    days = returns.index
    held = values.to_numpy(dtype=float)
    # the holdings date each day starts from: the last one strictly before it
    segment = values.index.searchsorted(days, side="left") - 1
    if len(days) and segment[0] < 0:
        raise AttributionError("no holdings before %s" % days[0].date())
    weights = held[segment]
    if rebalance == "daily" or len(days) == 0:
        return weights
    growth = 1.0 + np.nan_to_num(returns.to_numpy(dtype=float))
    starts = np.flatnonzero(np.diff(np.concatenate([[-1], segment])))
    for lo, hi in zip(starts, list(starts[1:]) + [len(days)]):
        if hi - lo > 1:
            weights[lo + 1:hi] *= np.cumprod(growth[lo:hi - 1], axis=0)
    worth = weights.sum(axis=1)
    bad = np.flatnonzero(~(worth > 0))
    if bad.size:
        raise AttributionError("the portfolio is worth %.6g of its value at the holdings date "
                               "at the start of %s: it cannot be attributed past that day"
                               % (worth[bad[0]], days[bad[0]].date()))
    return weights / worth[:, None]
