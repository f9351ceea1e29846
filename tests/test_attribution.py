"""Brinson-Fachler effects by group and their Carino linking: by hand, and on the sample."""

import numpy as np
import pandas as pd
import pytest

from fakes_local import local  # noqa: F401  (fixture)

portfolio = pytest.importorskip("brelvox.cli.portfolio")


def frame(rows, columns, dates):
    return pd.DataFrame(rows, index=pd.DatetimeIndex(dates, name="date"), columns=columns)


def test_one_day_by_hand():
    dates = ["2025-01-02"]
    ids = ["a1", "a2", "b1", "c1"]
    groups = frame([["A", "A", "B", "C"]], ids, dates)
    held = frame([[0.6, 0.0, 0.0, 0.4]], ids, dates)  # C is not in the benchmark
    bench = frame([[0.3, 0.2, 0.5, 0.0]], ids, dates)  # B is not held
    r = frame([[0.02, -0.01, 0.03, 0.05]], ids, dates)
    result = portfolio.brinson_fachler(held, bench, r, groups)
    rb_a, rb_total = (0.3 * 0.02 - 0.2 * 0.01) / 0.5, 0.3 * 0.02 - 0.2 * 0.01 + 0.5 * 0.03
    day = {e: result.daily[e].iloc[0] for e in portfolio.EFFECTS}
    assert day["allocation"]["A"] == pytest.approx((0.6 - 0.5) * (rb_a - rb_total))
    assert day["selection"]["A"] == pytest.approx(0.5 * (0.02 - rb_a))
    assert day["interaction"]["A"] == pytest.approx(0.1 * (0.02 - rb_a))
    assert day["allocation"]["B"] == pytest.approx(-0.5 * (0.03 - rb_total))
    assert day["selection"]["B"] == day["interaction"]["B"] == 0.0
    assert (day["allocation"]["C"], day["selection"]["C"]) == (0.0, 0.0)
    assert day["interaction"]["C"] == pytest.approx(0.4 * (0.05 - rb_total))
    active = 0.6 * 0.02 + 0.4 * 0.05 - rb_total
    assert sum(d.sum() for d in day.values()) == pytest.approx(active, abs=1e-15)
    assert result.linked.loc["total", "total"] == pytest.approx(active, abs=1e-15)


def test_linking_is_exact_when_the_days_do_not_add():
    rng = np.random.default_rng(7)
    dates = pd.bdate_range("2025-01-01", periods=60)
    ids = ["s%d" % k for k in range(8)]
    r = frame(rng.normal(0.001, 0.03, (60, 8)), ids, dates)
    groups = frame([["g%d" % (k % 3) for k in range(8)]] * 60, ids, dates)
    held = frame(rng.uniform(0, 1, (60, 8)) * (rng.uniform(size=8) > 0.3), ids, dates)
    bench = frame(rng.uniform(0, 1, (60, 8)), ids, dates)
    result = portfolio.brinson_fachler(held, bench, r, groups)
    simple = sum(result.daily[e].to_numpy().sum() for e in portfolio.EFFECTS)
    assert abs(simple - result.active) > 1e-3  # plain sums would not do
    assert result.linked.loc["total", "total"] == pytest.approx(result.active, abs=1e-13)
    body = result.linked.drop("total")
    assert body.sum().to_numpy() == pytest.approx(result.linked.loc["total"].to_numpy(), abs=1e-13)
    assert portfolio.carino_factor(0.05, 0.05) == pytest.approx(1 / 1.05)


def test_sample_portfolio_identities(local):
    demo = pytest.importorskip("brelvox.cli.demo")
    tolvik = pytest.importorskip("brelvox.marketdata.tolvik")
    pelmar = pytest.importorskip("brelvox.marketdata.pelmar")
    stocks = [oid for oid, _ in demo.DEMO_HOLDINGS[:15]]
    weights = pd.Series(dict(demo.DEMO_HOLDINGS))[stocks]
    dates = pd.DatetimeIndex(tolvik.get_exchange_trading_dates(*demo.DEMO_SPAN), name="date")
    before = tolvik.get_exchange_previous_trading_date(dates[0])
    bench = pelmar.get_stock_index_weight(demo.DEMO_BENCHMARK, dates.insert(0, before))
    result = demo.attribute(stocks, weights, bench, dates)
    daily = sum(result.daily[e].sum(axis=1) for e in portfolio.EFFECTS)
    assert daily.to_numpy() == pytest.approx((result.portfolio - result.benchmark).to_numpy(),
                                             abs=1e-14)
    total = result.linked.loc["total"]
    assert total["total"] == pytest.approx(result.active, abs=1e-13)
    assert total[list(portfolio.EFFECTS)].sum() == pytest.approx(result.active, abs=1e-13)
    assert {"计算机", "电子", "银行"} <= set(result.linked.index)
    assert abs(result.active) > 1e-3 and result.linked.shape[0] > 8
