"""Portfolio and attribution arithmetic on plain pandas frames.

Nothing here reads data or the command line: the inputs are return, weight and industry
frames indexed by date, so the arithmetic can be used and tested on its own.
"""

import numpy as np
import pandas as pd

EFFECTS = ("allocation", "selection", "interaction")
UNCLASSIFIED = "(unclassified)"


def cumulative(returns):
    """Compounded return over the whole index of a returns frame or series (NaN as 0)."""
    return (1.0 + returns.fillna(0.0)).prod() - 1.0


def growth(returns, start):
    """Cumulative return path: 0 at `start` (the close before the first date), then the
    compounded return up to each date."""
    path = (1.0 + returns.fillna(0.0)).cumprod() - 1.0
    first = pd.DataFrame(0.0, index=pd.DatetimeIndex([start], name=path.index.name),
                         columns=path.columns)
    return pd.concat([first, path])


def weighted(returns, weights):
    """Daily return of a constant-weight (daily rebalanced) basket of the columns in
    `weights`; the weights need not sum to 1 and are normalised."""
    w = pd.Series(weights, dtype=float)
    w = w / w.sum()
    return returns[list(w.index)].fillna(0.0).mul(w, axis=1).sum(axis=1)


def by_group(returns, weights, groups):
    """Daily returns of each group of holdings (weighted within the group), in the order
    groups first appear; `groups` maps each holding to its group."""
    order = list(dict.fromkeys(groups[h] for h in weights.index))
    frame = pd.DataFrame({g: weighted(returns, weights[[h for h in weights.index
                                                         if groups[h] == g]])
                          for g in order}, index=returns.index)
    return frame


class Attribution:
    """A Brinson-Fachler attribution by group, per day and linked over the span.

    `daily[effect]` is a dates x groups frame for each of EFFECTS; `portfolio` and
    `benchmark` the daily returns; `linked` a groups x (EFFECTS + total) frame whose last
    row `total` adds up to the active return over the span, `active`.
    """

    def __init__(self, daily, portfolio, benchmark, linked):
        self.daily, self.portfolio, self.benchmark, self.linked = daily, portfolio, benchmark, linked

    @property
    def portfolio_return(self):
        return cumulative(self.portfolio)

    @property
    def benchmark_return(self):
        return cumulative(self.benchmark)

    @property
    def active(self):
        return self.portfolio_return - self.benchmark_return


def brinson_fachler(portfolio_weights, benchmark_weights, returns, groups):
    """Daily Brinson-Fachler effects by group, linked over the dates with Carino's factors.

    portfolio_weights, benchmark_weights: dates x holdings, each date's weights at the start
    of the day (they are normalised to sum to 1; a holding absent from a side weighs 0);
    returns: dates x holdings, that day's return (NaN as 0); groups: dates x holdings, each
    holding's group on that day (missing as UNCLASSIFIED).

    Per group i and day: allocation (wp - wb)(rb_i - Rb), selection wb (rp_i - rb_i),
    interaction (wp - wb)(rp_i - rb_i). A group the portfolio does not hold has rp_i = rb_i;
    a group the benchmark does not hold has rb_i = Rb, so its effect is all interaction.
    The effects of a day sum to that day's Rp - Rb.
    """
    dates = returns.index
    names = returns.columns.union(portfolio_weights.columns).union(benchmark_weights.columns)

    def aligned(frame, fill):
        return frame.reindex(index=dates, columns=names).fillna(fill)

    pw = aligned(portfolio_weights, 0.0)
    bw = aligned(benchmark_weights, 0.0)
    pw = pw.div(pw.sum(axis=1).replace(0.0, np.nan), axis=0).fillna(0.0)
    bw = bw.div(bw.sum(axis=1).replace(0.0, np.nan), axis=0).fillna(0.0)
    r = aligned(returns, 0.0)
    g = groups.reindex(index=dates, columns=names).astype(object)
    g = g.where(g.notna() & (g != ""), UNCLASSIFIED)

    long = pd.DataFrame({
        "date": np.repeat(dates.to_numpy(), len(names)),
        "group": g.to_numpy().ravel(),
        "wp": pw.to_numpy().ravel(), "wb": bw.to_numpy().ravel(),
        "cp": (pw * r).to_numpy().ravel(), "cb": (bw * r).to_numpy().ravel(),
    })
    sums = long.groupby(["date", "group"], sort=True)[["wp", "wb", "cp", "cb"]].sum()
    wp, wb, cp, cb = (sums[c].unstack("group", fill_value=0.0).reindex(dates, fill_value=0.0)
                      for c in ("wp", "wb", "cp", "cb"))
    rp_total = cp.sum(axis=1)
    rb_total = cb.sum(axis=1)
    with np.errstate(divide="ignore", invalid="ignore"):
        rb = pd.DataFrame(np.where(wb > 0, cb / wb, rb_total.to_numpy()[:, None]),
                          index=wb.index, columns=wb.columns)
        rp = pd.DataFrame(np.where(wp > 0, cp / wp, rb), index=wp.index, columns=wp.columns)
    daily = {
        "allocation": (wp - wb) * rb.sub(rb_total, axis=0),
        "selection": wb * (rp - rb),
        "interaction": (wp - wb) * (rp - rb),
    }
    for frame in daily.values():
        frame.index.name, frame.columns.name = "date", "group"
    k = carino_factors(rp_total, rb_total)
    span_k = carino_factor(cumulative(rp_total), cumulative(rb_total))
    linked = pd.DataFrame({e: daily[e].mul(k, axis=0).sum() / span_k for e in EFFECTS})
    linked = linked.mask(linked.abs() < 1e-15, 0.0)  # rounding noise of p - b on equal parts
    linked["total"] = linked.sum(axis=1)
    linked = linked.sort_values("total", ascending=False)
    linked.loc["total"] = linked.sum()
    linked.index.name = "group"
    return Attribution(daily, rp_total.rename("portfolio"), rb_total.rename("benchmark"), linked)


def carino_factor(rp, rb):
    """Carino's k for one period: (ln(1 + rp) - ln(1 + rb)) / (rp - rb), 1 / (1 + rp) in the
    limit rp = rb."""
    return carino_factors(pd.Series([rp]), pd.Series([rb])).iloc[0]


def carino_factors(rp, rb):
    rp, rb = rp.astype(float), rb.astype(float)
    diff = rp - rb
    close = diff.abs() < 1e-12
    safe = diff.where(~close, 1.0)
    k = (np.log1p(rp) - np.log1p(rb)) / safe
    return k.where(~close, 1.0 / (1.0 + rp))
