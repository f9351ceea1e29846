"""What an attribution gives back, and the tables made from it."""

from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from .brinson import EFFECTS

TOTAL = "total"
SIDE_COLUMNS = ("portfolio_weight", "benchmark_weight", "portfolio_return", "benchmark_return")
TABLE_COLUMNS = EFFECTS + ("total",) + SIDE_COLUMNS


@dataclass
class Level:
    """One level of the attribution (asset types, or industries inside the stock class).

    table: groups x (allocation, selection, interaction, total, portfolio_weight,
    benchmark_weight, portfolio_return, benchmark_return), linked over the span, with a last
    row `total`; weights are averages of the start-of-day weights over the span, returns
    compounded over the days the side holds the group.
    daily: {effect: dates x groups} of each day's own (unlinked) effects.
    cumulative: {effect: dates x groups} of the effects linked from the first day up to each
    date (its last row is the table's).
    weights, returns: {"portfolio"|"benchmark": dates x groups} start-of-day weights and
    the day's returns of each side in each group (NaN where the side holds none).
    """

    name: str
    table: pd.DataFrame
    daily: dict
    cumulative: dict
    weights: dict
    returns: dict

    @property
    def groups(self):
        return list(self.table.index[:-1])


@dataclass
class Report:
    """The attribution of a portfolio against its benchmark over `dates`.

    portfolio, benchmark: the daily returns (Series on dates); levels: {"asset_type": Level,
    "industry": Level}; reconciliation: per index of the benchmark, the return built from its
    constituents next to its own return over the span (`index_return`, from its closes) and
    the `gap` between them; notes: what was adjusted (weights normalised, ...).
    """

    dates: pd.DatetimeIndex
    portfolio: pd.Series
    benchmark: pd.Series
    levels: dict
    reconciliation: pd.DataFrame
    options: dict
    notes: list = field(default_factory=list)

    @property
    def portfolio_return(self):
        return float(np.prod(1.0 + self.portfolio.to_numpy()) - 1.0)

    @property
    def benchmark_return(self):
        return float(np.prod(1.0 + self.benchmark.to_numpy()) - 1.0)

    @property
    def active_return(self):
        return self.portfolio_return - self.benchmark_return

    @property
    def asset_types(self):
        return self.levels["asset_type"]

    @property
    def industries(self):
        return self.levels["industry"]

    def summary(self):
        """One column `value`: the span, the three returns, each level's effect totals, and
        each index's reconciliation."""
        rows = [("start", self.dates[0].strftime("%Y-%m-%d")),
                ("end", self.dates[-1].strftime("%Y-%m-%d")),
                ("trading_dates", len(self.dates))]
        rows += [(k, v) for k, v in self.options.items()]
        rows += [("portfolio_return", self.portfolio_return),
                 ("benchmark_return", self.benchmark_return),
                 ("active_return", self.active_return)]
        for name, level in self.levels.items():
            total = level.table.loc[TOTAL]
            rows += [("%s_%s" % (name, e), total[e]) for e in EFFECTS + ("total",)]
        for oid, rec in self.reconciliation.iterrows():
            rows += [("%s_%s" % (oid, k), rec[k]) for k in ("built_return", "index_return", "gap")]
        frame = pd.DataFrame(rows, columns=["item", "value"]).set_index("item")
        return frame

    def daily_effects(self):
        """Long frame: date, level, group, effect, value (each day's own effects)."""
        parts = []
        for name, level in self.levels.items():
            for effect in EFFECTS:
                parts.append(_long(level.daily[effect], name, "effect", effect))
        return _joined(parts, ["date", "level", "group", "effect", "value"])

    def daily_groups(self):
        """Long frame: date, level, group, then each side's start-of-day weight and the
        day's return."""
        parts = []
        for name, level in self.levels.items():
            columns = {}
            for side in ("portfolio", "benchmark"):
                columns["%s_weight" % side] = level.weights[side].to_numpy().ravel()
                columns["%s_return" % side] = level.returns[side].to_numpy().ravel()
            frame = level.weights["portfolio"]
            parts.append(pd.DataFrame({
                "date": np.repeat(frame.index.to_numpy(), frame.shape[1]),
                "level": name,
                "group": np.tile(np.asarray(frame.columns, dtype=object), frame.shape[0]),
                **columns}))
        return _joined(parts, ["date", "level", "group"] + list(SIDE_COLUMNS))


def _long(frame, level, key, value):
    return pd.DataFrame({
        "date": np.repeat(frame.index.to_numpy(), frame.shape[1]),
        "level": level,
        "group": np.tile(np.asarray(frame.columns, dtype=object), frame.shape[0]),
        key: value,
        "value": frame.to_numpy().ravel()})


def _joined(parts, columns):
    frame = pd.concat(parts, ignore_index=True) if parts else pd.DataFrame(columns=columns)
    frame = frame[columns]
    frame["date"] = pd.DatetimeIndex(frame["date"])
    return frame
