"""Bond and public fund daily returns at market scale.

    PYTHONPATH=build-dev/pkg python bench/bench_quenta_bond_fund.py
"""

import sys
import types

import numpy as np
import pandas as pd

from harness import best_time, report

sys.modules.setdefault("ondrax", types.ModuleType("ondrax"))
from brelvox.marketdata import quenta  # noqa: E402

FIELDS = ["dirty_price_eod", "accrued_interest_intraday", "accrued_interest_eod", "residual_principal"]


class Answers:
    """A client answering every call from prebuilt frames."""

    def __init__(self, calendar, valuation=None, catalogue=None, nav=None):
        self.calendar, self.valuation, self.catalogue, self.nav = calendar, valuation, catalogue, nav
        self.bond = types.SimpleNamespace(get_previous_trading_date=self.get_previous_trading_date,
                                          get_valuation=lambda *a, **k: self.valuation)
        self.fund = types.SimpleNamespace(all_instruments=lambda: self.catalogue,
                                          get_nav=lambda ids, s, e, field, **k: self.nav[field])

    def get_previous_trading_date(self, date, n=1):
        return self.calendar[self.calendar.searchsorted(pd.Timestamp(date)) - n]


def bond_scenario(n_bonds, n_dates, seed=0):
    """Semiannual coupons (staggered), a fifth of the bonds repaying principal in steps."""
    rng = np.random.default_rng(seed)
    calendar = pd.bdate_range("2021-01-04", periods=n_dates + 1)
    ids = ["%06d.IB" % k for k in range(n_bonds)]
    day = (calendar - calendar[0]).days.to_numpy()
    rate = rng.uniform(0.02, 0.05, n_bonds)[:, None]
    since_coupon = (day[None, :] + rng.integers(0, 182, n_bonds)[:, None]) % 182
    accrued_eod = 100 * rate * (since_coupon + 1) / 365
    accrued_intraday = 100 * rate * since_coupon / 365
    principal = np.full((n_bonds, n_dates + 1), 100.0)
    amortising = rng.random(n_bonds) < 0.2
    for b in np.flatnonzero(amortising):
        for when in rng.integers(1, n_dates + 1, 3):
            principal[b, when:] -= 10.0
    clean = principal * (1 + np.cumsum(rng.normal(0, 0.001, (n_bonds, n_dates + 1)), axis=1))
    index = pd.MultiIndex.from_product([ids, calendar], names=["order_book_id", "date"])
    valuation = pd.DataFrame({
        "dirty_price_eod": (clean + accrued_eod).ravel(),
        "accrued_interest_intraday": accrued_intraday.ravel(),
        "accrued_interest_eod": accrued_eod.ravel(),
        "residual_principal": principal.ravel()}, index=index)
    return Answers(calendar, valuation=valuation), ids, calendar[1:]


def fund_scenario(n_funds, n_days, seed=0):
    """Half daily-profit funds reporting every calendar day, half net-value funds on weekdays."""
    rng = np.random.default_rng(seed)
    days = pd.date_range("2021-01-01", periods=n_days)
    trading = days[days.day_of_week < 5]
    half = n_funds // 2
    daily_ids = ["%06d.OF" % k for k in range(half)]
    nav_ids = ["%06d.OF" % k for k in range(half, n_funds)]
    others = ["%06d.OF" % k for k in range(n_funds, n_funds + 500)]
    catalogue = pd.DataFrame({
        "order_book_id": daily_ids + nav_ids + others,
        "accrued_daily": [True] * half + [False] * (n_funds - half) + [False] * len(others),
        "symbol": ["fund %d" % k for k in range(n_funds + len(others))]})
    profit = pd.DataFrame({"daily_profit": rng.uniform(0.5, 1.5, half * n_days)},
                          index=pd.MultiIndex.from_product([daily_ids, days],
                                                           names=["order_book_id", "date"]))
    values = np.cumprod(1 + rng.normal(0, 0.01, (n_funds - half, len(trading))), axis=1)
    nav = pd.DataFrame({"adjusted_net_value": values.ravel()},
                       index=pd.MultiIndex.from_product([nav_ids, trading],
                                                        names=["order_book_id", "date"]))
    client = Answers(trading, catalogue=catalogue,
                     nav={"daily_profit": profit, "adjusted_net_value": nav})
    return client, daily_ids + nav_ids, trading[1:]


def result_frame(parts, dates, ids):
    """A result of the requested shape, filled from the answer's values (one pass, as in
    bench_quenta.py): `parts` are value arrays for consecutive blocks of instruments."""
    out = np.empty((len(ids), len(dates)))
    start = 0
    for values, n in parts:
        block = out[start:start + n]
        block[:] = values[: block.size].reshape(block.shape) if values.size >= block.size else 0.0
        start += n
    return pd.DataFrame(out.T, index=dates.rename("date"),
                        columns=pd.Index(ids, name="order_book_id"), copy=False)


def bond_floor(client, ids, dates):
    """Take the arrays out of the answer and build a result frame of the same shape."""
    frame = client.valuation
    arrays = [np.asarray(c) for c in frame.index.codes]
    arrays += [frame[f].to_numpy(dtype="float64") for f in FIELDS]
    return result_frame([(arrays[2], len(ids))], dates, ids), arrays


def fund_floor(client, ids, dates):
    arrays = [client.catalogue[c].to_numpy() for c in ("order_book_id", "accrued_daily")]
    for field, frame in client.nav.items():
        arrays += [np.asarray(c) for c in frame.index.codes]
        arrays.append(frame[field].to_numpy(dtype="float64"))
    half = len(ids) // 2
    return result_frame([(arrays[4], half), (arrays[7], len(ids) - half)], dates, ids), arrays


def main():
    client, ids, dates = bond_scenario(800, 750)
    quenta.ondrax = client
    t = best_time(lambda: quenta.get_bond_daily_returns(ids, dates))
    f = best_time(lambda: bond_floor(client, ids, dates))
    report("get_bond_daily_returns 800 x 750", t, f, target=3)

    client, ids, dates = fund_scenario(1500, 750)
    quenta.ondrax = client
    t = best_time(lambda: quenta.get_public_fund_daily_returns(ids, dates))
    f = best_time(lambda: fund_floor(client, ids, dates))
    report("get_public_fund_daily_returns 1500 x 750 days", t, f, target=3)


if __name__ == "__main__":
    main()
