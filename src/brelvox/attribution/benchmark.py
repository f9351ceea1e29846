"""Benchmarks: a stock index, a bond index, cash, or a composite of them.

A definition is `ID` or `ID:SHARE,ID:SHARE,...` (shares summing to 1), for example
`000060.XSHG:0.6,KVX1001.INDX:0.3,CNY:0.1`. A composite is rebalanced to its shares every
day, as fund contracts define benchmarks: the weight of constituent j of component k at the
start of day t is share_k times the index's weight of j at the start of day t.

An index's weights at the start of day t are the weights in force at the close of the
trading date before t; a stock index's lists carry forward until the next list. A bond
index's weights come from the bond-index function, normalised to sum to 1 on each date; a
day without a row carries the last one. Cash (an id of asset type cash) returns the cash
rate. A span that starts before an index's first weights is an error.
"""

import math
from dataclasses import dataclass

import numpy as np
import pandas as pd

from . import market
from .errors import BenchmarkError

SHARE_TOLERANCE = 1e-9


@dataclass(frozen=True)
class Component:
    order_book_id: str
    share: float
    kind: str = ""  # "stock_index", "bond_index" or "cash", once resolved


@dataclass(frozen=True)
class Benchmark:
    components: tuple
    text: str

    @property
    def ids(self):
        return [c.order_book_id for c in self.components]


def parse_benchmark(text):
    """A Benchmark from its definition (shares checked, kinds not yet known)."""
    if isinstance(text, Benchmark):
        return text
    if not isinstance(text, str):
        raise TypeError("a benchmark is a definition such as '000060.XSHG' or "
                        "'000060.XSHG:0.6,CNY:0.4', not %s" % type(text).__name__)
    parts = [p.strip() for p in text.split(",")]
    if not text.strip() or any(not p for p in parts):
        raise BenchmarkError("benchmark %r: expected ID or ID:SHARE,ID:SHARE,..." % text)
    components = []
    for part in parts:
        oid, sep, share_text = part.partition(":")
        oid = oid.strip()
        if not oid:
            raise BenchmarkError("benchmark %r: a component without an id" % text)
        if sep:
            try:
                share = float(share_text)
            except ValueError:
                raise BenchmarkError("benchmark %r: the share of %s, %r, is not a number"
                                     % (text, oid, share_text)) from None
        elif len(parts) == 1:
            share = 1.0
        else:
            raise BenchmarkError("benchmark %r: %s has no share (ID:SHARE)" % (text, oid))
        if not math.isfinite(share) or share <= 0:
            raise BenchmarkError("benchmark %r: the share of %s must be above 0, not %s"
                                 % (text, oid, share_text))
        if any(c.order_book_id == oid for c in components):
            raise BenchmarkError("benchmark %r names %s twice" % (text, oid))
        components.append(Component(oid, share))
    total = sum(c.share for c in components)
    if abs(total - 1.0) > SHARE_TOLERANCE:
        raise BenchmarkError("benchmark %r: the shares sum to %.10g, not 1" % (text, total))
    return Benchmark(tuple(components), text)


def resolve(benchmark):
    """The benchmark with each component's kind, from the instrument catalogue: an id that
    is neither an index nor cash is refused."""
    types, unknown = market.asset_types(benchmark.ids)
    resolved = []
    for c in benchmark.components:
        code = types.get(c.order_book_id)
        if code == "cash":
            kind = "cash"
        elif code == "index":
            kind = "bond_index" if market.is_bond_index(c.order_book_id) else "stock_index"
        elif c.order_book_id in unknown:
            raise BenchmarkError("benchmark %s: unknown instrument %s" % (benchmark.text,
                                                                          c.order_book_id))
        else:
            raise BenchmarkError("benchmark %s: %s is not an index or cash (asset type %s)"
                                 % (benchmark.text, c.order_book_id, code))
        resolved.append(Component(c.order_book_id, c.share, kind))
    return Benchmark(tuple(resolved), benchmark.text)


def start_of_day_weights(component, days, before):
    """days x constituents: one component's weights at the start of each of `days` (an
    index's weights of the previous trading date, each row summing to 1). `before` is the
    trading date before the first day."""
    if component.kind == "cash":
        return pd.DataFrame(1.0, index=days, columns=[component.order_book_id])
    asked = days.insert(0, before)
    oid = component.order_book_id
    try:
        if component.kind == "stock_index":
            frame = market.stock_index_weights(oid, asked)
        else:
            frame = market.bond_index_weights(oid, asked)
    except Exception as exc:
        if not market.is_missing(exc):
            raise
        raise _no_weights(component, asked, days) from None
    frame = frame.reindex(asked).ffill()
    values = frame.to_numpy(dtype=float)
    totals = np.nansum(values, axis=1)
    empty = np.flatnonzero(~(totals > 0))
    if empty.size:
        if empty[0] == 0:
            raise _no_weights(component, asked, days, _first_row(totals, asked))
        raise BenchmarkError("%s has no weights on %s" % (oid, asked[empty[0]].date()))
    values = np.nan_to_num(values) / totals[:, None]
    return pd.DataFrame(values[:-1], index=days, columns=[str(c) for c in frame.columns])


def _first_row(totals, asked):
    found = np.flatnonzero(totals > 0)
    return asked[found[0]] if found.size else None


def _no_weights(component, asked, days, first=None):
    oid = component.order_book_id
    if first is None and component.kind == "stock_index":
        first = market.first_stock_index_list(oid, asked[0], asked[-1])
    if first is None:
        return BenchmarkError("%s has no weights from %s to %s" % (
            oid, asked[0].date(), asked[-1].date()))
    return BenchmarkError("%s has weights from %s on; the span starts %s, and its first day "
                          "needs the weights of %s: start after %s" % (
                              oid, first.date(), days[0].date(), asked[0].date(), first.date()))
