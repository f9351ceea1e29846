"""The two-level attribution: market data read once for any number of portfolios
(`MarketInputs`), then each portfolio's weights, effects and linking (`MarketInputs.run`),
on arrays (`two_levels`)."""

import math
import warnings

import numpy as np
import pandas as pd

from . import benchmark as bench
from . import brinson, linking, market, positions
from .errors import AttributionError, AttributionWarning, HoldingsError
from .holdings import read_holdings
from .report import EFFECTS, TOTAL, Level, Report

STANDARDS = {"sws": "Shenwan", "citics": "CITIC"}
# Level one: asset types, in this order; level two divides this class by industry.
ASSET_TYPES = ("stock", "fund", "index", "convertible", "bond", "futures", "option",
               "public_fund", "cash")
CLASS = "stock"
UNCLASSIFIED = "(unclassified)"
NOISE = 1e-15


def attribute(holdings, benchmark, start=None, end=None, standard="sws", method="bf",
              linking_method="carino", rebalance="none", cash_rate=0.0):
    """The attribution of one portfolio against a benchmark: a Report.

    holdings: a CSV file's path, a DataFrame (date, order_book_id, weight or quantity) or
    Holdings; benchmark: a definition such as "000060.XSHG" or
    "000060.XSHG:0.6,KVX1001.INDX:0.3,CNY:0.1"; start, end: the span (default: the trading
    date after the first holdings date, and the last date of the data); standard: "sws" or
    "citics"; method: "bf" (Brinson-Fachler) or "bhb" (Brinson-Hood-Beebower);
    linking_method: "carino", "menchero", "grap" or "frongello"; rebalance: "none" (weights
    drift with returns between holdings dates) or "daily"; cash_rate: the annual rate of
    cash, in the benchmark and in the portfolio.
    """
    holdings = read_holdings(holdings)
    inputs = MarketInputs([holdings], benchmark, start=start, end=end, standard=standard,
                          cash_rate=cash_rate)
    return inputs.run(holdings, method=method, linking_method=linking_method,
                      rebalance=rebalance)


def check_options(method="bf", linking_method="carino", rebalance="none", standard="sws",
                  cash_rate=0.0):
    for name, value, valid in (("method", method, brinson.METHODS),
                               ("linking", linking_method, linking.METHODS),
                               ("rebalance", rebalance, positions.REBALANCE),
                               ("standard", standard, STANDARDS)):
        if value not in valid:
            raise ValueError("%s must be one of %s, not %r" % (name, ", ".join(valid), value))
    if isinstance(cash_rate, bool) or not isinstance(cash_rate, (int, float)) \
            or not math.isfinite(cash_rate) or cash_rate <= -1:
        raise ValueError("cash_rate must be an annual rate above -1, not %r" % (cash_rate,))


class MarketInputs:
    """The market data that a set of portfolios needs against one benchmark, read once:
    trading dates, asset types, every holding's and constituent's daily returns, the stocks'
    industries, the benchmark's start-of-day weights, the indexes' closes and the prices
    that value quantities."""

    def __init__(self, portfolios, benchmark, start=None, end=None, standard="sws",
                 cash_rate=0.0):
        check_options(standard=standard, cash_rate=cash_rate)
        self.standard, self.cash_rate = standard, float(cash_rate)
        self.benchmark = bench.resolve(bench.parse_benchmark(benchmark))
        portfolios = [read_holdings(h) for h in portfolios]
        self.end = pd.Timestamp(end) if end is not None else market.last_data_date()
        self.start = pd.Timestamp(start) if start is not None else None
        for h in portfolios:
            if h.dates[0] >= self.end:
                raise h.error(h.first_line(h.frame["date"] == h.dates[0]),
                              "the first holdings date %s is not before the end of the span, %s"
                              % (h.dates[0].date(), self.end.date()))
        first = min(h.dates[0] for h in portfolios)
        self.calendar = market.trading_dates(first, self.end)
        # holdings dated after the span play no part
        portfolios = [h.until(self.end) for h in portfolios]
        for h in portfolios:
            _check_dates(h, self.calendar, self.end)
        self.types = self._classify(portfolios)
        spans = [self.span(h) for h in portfolios]
        self.days = self.calendar[self.calendar > first]  # returns and weights drift on these
        self.span_days = self.days[self.days >= min(s[0] for s in spans)]
        self._benchmark_weights()
        self._returns()
        self._industries()
        self._index_closes()
        self._quantity_prices(portfolios)

    # --- what every portfolio shares --------------------------------------------------

    def span(self, holdings):
        """The trading dates a portfolio is attributed over."""
        first = holdings.dates[0]
        start = self.start if self.start is not None else first + pd.Timedelta(days=1)
        days = self.calendar[(self.calendar >= start) & (self.calendar <= self.end)]
        if days.empty:
            raise AttributionError("no trading dates from %s to %s" % (start.date(), self.end.date()))
        if days[0] <= first:
            raise holdings.error(holdings.first_line(holdings.frame["date"] == first),
                                 "the span starts on %s, but the first holdings are of %s: "
                                 "a holding counts from the trading date after its date"
                                 % (days[0].date(), first.date()))
        return days

    def _classify(self, portfolios):
        ids = list(dict.fromkeys(o for h in portfolios for o in h.ids))
        types, unknown = market.asset_types(ids)
        for h in portfolios:
            bad = [o for o in h.ids if o in unknown]
            if bad:
                line = h.first_line(h.frame["order_book_id"] == bad[0])
                raise h.error(line, "unknown instrument %s" % bad[0])
            for oid in h.ids:
                if types[oid] not in market.RETURN_FUNCTIONS:
                    raise h.error(h.first_line(h.frame["order_book_id"] == oid),
                                  "%s is of asset type %s, which has no daily returns"
                                  % (oid, types[oid]))
        return types

    def _benchmark_weights(self):
        days = self.span_days
        before = market.previous_trading_date(days[0])
        if before is None:
            raise AttributionError("%s is the first stored date: the benchmark's weights at "
                                   "its start are not known" % days[0].date())
        self.components = {}
        for c in self.benchmark.components:
            self.components[c.order_book_id] = bench.start_of_day_weights(c, days, before)
            kind = {"stock_index": "stock", "bond_index": "bond", "cash": "cash"}[c.kind]
            for oid in self.components[c.order_book_id].columns:
                self.types.setdefault(oid, kind)
        self.ids = list(self.types)
        self.position = position = {oid: k for k, oid in enumerate(self.ids)}
        weights = np.zeros((len(days), len(self.ids)))
        for c in self.benchmark.components:
            frame = self.components[c.order_book_id]
            weights[:, [position[o] for o in frame.columns]] += c.share * frame.to_numpy()
        self.benchmark_weights = weights
        self.before = before

    def _returns(self):
        frame, self.without_returns, _ = market.daily_returns(self.types, self.days,
                                                               self.cash_rate)
        self.returns = frame.fillna(0.0)

    def _industries(self):
        stocks = [o for o in self.ids if self.types[o] == CLASS]
        codes, names = market.industry_codes(stocks, self.span_days, self.standard)
        unclassified = len(names)
        codes = np.where(codes < 0, unclassified, codes)
        self.industry_names = names + [UNCLASSIFIED]
        full = np.full((len(self.span_days), len(self.ids)), -1, dtype=np.int32)
        full[:, [self.position[o] for o in stocks]] = codes
        self.industry = full

    def _index_closes(self):
        indexes = [c.order_book_id for c in self.benchmark.components if c.kind != "cash"]
        asked = self.span_days.insert(0, self.before)
        self.closes = market.index_closes(indexes, asked) if indexes else None

    def _quantity_prices(self, portfolios):
        """Unit values on every holdings date of the portfolios given as quantities, and
        the contract multipliers of their futures and options, read now so that running a
        portfolio reads nothing more."""
        wanted = {}
        for h in portfolios:
            if h.kind == "quantity":
                for day, rows in h.frame.groupby("date"):
                    wanted.setdefault(day, set()).update(rows["order_book_id"])
        self.prices = {day: market.unit_values({o: self.types[o] for o in sorted(ids)}, day)
                       for day, ids in wanted.items()}
        self.multipliers = {o: market.contract_multiplier(o)
                            for ids in wanted.values() for o in sorted(ids)
                            if self.types[o] in positions.MULTIPLIED}

    def unit_values(self, day, ids):
        return self.prices.get(day, {})

    def multiplier(self, order_book_id):
        return self.multipliers.get(order_book_id)

    # --- one portfolio ------------------------------------------------------------------

    def run(self, holdings, method="bf", linking_method="carino", rebalance="none"):
        """The Report of one portfolio (whose ids were among those read)."""
        check_options(method, linking_method, rebalance)
        holdings = read_holdings(holdings).until(self.end)
        missing = [o for o in holdings.ids if o not in self.types]
        if missing:
            raise HoldingsError("%s was not among the portfolios the market data was read for"
                                % missing[0])
        values, notes = positions.holding_values(holdings, self.types, self.unit_values,
                                                 self.multiplier)
        silent = [o for o in holdings.ids if o in self.without_returns]
        if silent:
            notes.append("no daily returns for %s over the span; counted as 0"
                         % ", ".join(silent))
        for note in notes:
            warnings.warn(note, AttributionWarning, stacklevel=3)
        span = self.span(holdings)
        # drift from the day after the last holdings date before the span
        anchor = values.index[values.index.searchsorted(span[0], side="left") - 1]
        days = self.days[(self.days > anchor) & (self.days <= span[-1])]
        returns = self.returns.loc[days]
        columns = [self.position[o] for o in values.columns]
        path = positions.start_of_day_weights(values, returns.iloc[:, columns], rebalance)
        in_span = days.isin(span)
        wp = np.zeros((len(span), len(self.ids)))
        wp[:, columns] = path[in_span]
        rows = self.span_days.get_indexer(span)
        r = returns.to_numpy()[in_span]
        level1 = np.array([_type_code(self.types[o]) for o in self.ids])
        result = two_levels(r, wp, self.benchmark_weights[rows], level1, self.industry[rows],
                            self.industry_names, method, linking_method, span)
        options = {"benchmark": self.benchmark.text, "method": method,
                   "linking": linking_method, "rebalance": rebalance,
                   "standard": self.standard, "cash_rate": self.cash_rate}
        reconciliation = self._reconciliation(rows, r)
        return Report(span, result["portfolio"], result["benchmark"], result["levels"],
                      reconciliation, options, notes)

    def _reconciliation(self, rows, r):
        """Per index of the benchmark: its return built from its constituents' weights and
        returns over the span, its own return from its closes, and the gap."""
        records = []
        for c in self.benchmark.components:
            if c.kind == "cash":
                continue
            frame = self.components[c.order_book_id]
            w = frame.to_numpy()[rows]
            daily = (w * r[:, [self.position[o] for o in frame.columns]]).sum(axis=1)
            built = float(np.prod(1.0 + daily) - 1.0)
            # closes hold the date before the first span day at row 0
            level = self.closes[c.order_book_id].to_numpy(dtype=float)
            first, last = level[rows[0]], level[rows[-1] + 1]
            own = last / first - 1.0 if first > 0 else float("nan")
            records.append((c.order_book_id, c.share, built, own, built - own))
        return pd.DataFrame(records, columns=["index", "share", "built_return", "index_return",
                                              "gap"]).set_index("index")


def _type_code(code):
    return ASSET_TYPES.index(code) if code in ASSET_TYPES else len(ASSET_TYPES)


def _check_dates(holdings, calendar, end):
    days = holdings.dates
    bad = days[(days <= end) & ~days.isin(calendar)]
    if len(bad):
        line = holdings.first_line(holdings.frame["date"] == bad[0])
        raise holdings.error(line, "%s is not an exchange trading date" % bad[0].date())


# --- the arithmetic -------------------------------------------------------------------------

def two_levels(returns, wp, wb, level1, level2, level2_names, method, linking_method, dates):
    """The two levels on arrays: returns, wp, wb (days, ids); level1 (ids,) asset type codes
    (positions in ASSET_TYPES); level2 (days, ids) industry codes of the stock class (-1
    elsewhere). Returns {"portfolio", "benchmark": daily Series, "levels": {name: Level}}."""
    n1, n2 = len(ASSET_TYPES) + 1, len(level2_names)
    cp, cb = wp * returns, wb * returns
    w1p, w1b = brinson.group_sums(wp, level1, n1), brinson.group_sums(wb, level1, n1)
    c1p, c1b = brinson.group_sums(cp, level1, n1), brinson.group_sums(cb, level1, n1)
    rp, rb = c1p.sum(axis=1), c1b.sum(axis=1)
    if (w1b.sum(axis=1) <= 0).any():
        raise AttributionError("the benchmark has no weights on %s"
                               % dates[np.flatnonzero(w1b.sum(axis=1) <= 0)[0]].date())
    top = (w1p.sum(axis=1), w1b.sum(axis=1), rb / w1b.sum(axis=1))
    e1 = brinson.effects(w1p, w1b, c1p, c1b, top, method)
    s = ASSET_TYPES.index(CLASS)
    class_rb = brinson.class_return(w1b[:, s], c1b[:, s], top[2])
    in_class = np.where(level1[None, :] == s, level2, -1)
    w2p, w2b = brinson.group_sums(wp, in_class, n2), brinson.group_sums(wb, in_class, n2)
    c2p, c2b = brinson.group_sums(cp, in_class, n2), brinson.group_sums(cb, in_class, n2)
    e2 = brinson.effects(w2p, w2b, c2p, c2b, (w1p[:, s], w1b[:, s], class_rb), method)
    names1 = list(ASSET_TYPES) + ["other"]
    levels = {
        "asset_type": _level("asset_type", names1, dates, e1, (w1p, w1b, c1p, c1b), rp, rb,
                             linking_method, (rp, rb)),
        "industry": _level("industry", level2_names, dates, e2, (w2p, w2b, c2p, c2b), rp, rb,
                           linking_method, (c1p[:, s], c1b[:, s], w1p[:, s], w1b[:, s])),
    }
    return {"portfolio": pd.Series(rp, index=dates, name="portfolio"),
            "benchmark": pd.Series(rb, index=dates, name="benchmark"),
            "levels": levels}


def _level(name, names, dates, daily, sides, rp, rb, linking_method, whole):
    wp, wb, cp, cb = sides
    used = np.flatnonzero((wp != 0).any(axis=0) | (wb != 0).any(axis=0)
                          | (cp != 0).any(axis=0))
    labels = [names[k] for k in used]
    index = pd.DatetimeIndex(dates, name="date")
    columns = pd.Index(labels, name="group")
    frames, paths, linked = {}, {}, {}
    for effect in EFFECTS:
        values = daily[effect][:, used]
        frames[effect] = pd.DataFrame(values, index=index, columns=columns)
        cumulative = linking.path(values, rp, rb, linking_method)
        paths[effect] = pd.DataFrame(cumulative, index=index, columns=columns)
        # a group's return differs from its benchmark's by rounding alone where both hold
        # the same securities: effects of that size are 0
        linked[effect] = np.where(np.abs(cumulative[-1]) < NOISE, 0.0, cumulative[-1])
    with np.errstate(divide="ignore", invalid="ignore"):
        rpg = np.where(wp != 0, cp / wp, np.nan)[:, used]
        rbg = np.where(wb != 0, cb / wb, np.nan)[:, used]
    table = pd.DataFrame({e: linked[e] for e in EFFECTS}, index=columns)
    table["total"] = table[list(EFFECTS)].sum(axis=1)
    table["portfolio_weight"] = wp[:, used].mean(axis=0)
    table["benchmark_weight"] = wb[:, used].mean(axis=0)
    table["portfolio_return"] = _compounded(rpg)
    table["benchmark_return"] = _compounded(rbg)
    if name == "industry":
        table = table.sort_values("total", ascending=False, kind="stable")
    totals = table[list(EFFECTS) + ["total", "portfolio_weight", "benchmark_weight"]].sum()
    if name == "asset_type":
        whole_p, whole_b = whole
    else:
        cp_s, cb_s, wp_s, wb_s = whole
        with np.errstate(divide="ignore", invalid="ignore"):
            whole_p = np.where(wp_s != 0, cp_s / wp_s, np.nan)
            whole_b = np.where(wb_s != 0, cb_s / wb_s, np.nan)
    totals["portfolio_return"] = _compounded(whole_p[:, None])[0]
    totals["benchmark_return"] = _compounded(whole_b[:, None])[0]
    table.loc[TOTAL] = totals
    table.index.name = "group"
    weights = {"portfolio": pd.DataFrame(wp[:, used], index=index, columns=columns),
               "benchmark": pd.DataFrame(wb[:, used], index=index, columns=columns)}
    returns = {"portfolio": pd.DataFrame(rpg, index=index, columns=columns),
               "benchmark": pd.DataFrame(rbg, index=index, columns=columns)}
    return Level(name, table, frames, paths, weights, returns)


def _compounded(returns):
    """Per column: the compounded return over the rows that are not NaN; NaN if none."""
    held = ~np.isnan(returns)
    grown = np.prod(np.where(held, 1.0 + returns, 1.0), axis=0) - 1.0
    return np.where(held.any(axis=0), grown, np.nan)
