"""The attribution library: published worked examples, the adding-up identities on random
data, holdings and benchmark input, and the sample market end to end."""

import itertools
import math
import os

import numpy as np
import pandas as pd
import pytest

from fakes_local import local  # noqa: F401  (fixture)

attribution = pytest.importorskip("brelvox.attribution")
from brelvox.attribution import benchmark as bench, brinson, engine, linking, positions  # noqa: E402

METHODS = ("bf", "bhb")
LINKINGS = ("carino", "menchero", "grap", "frongello")
DATA = os.path.join(os.path.dirname(__file__), "data")

# Bacon, Practical Portfolio Performance Measurement and Attribution, 2nd ed. (Wiley 2008):
# the UK / Japanese / US equities example. Chapter 5 works its first period; chapter 8
# (Table 8.1) gives the four periods and their Brinson-Fachler allocation and selection
# (selection including interaction, wp (rp - rb)), which Tables 8.2-8.5 then link.
BACON_WP = [[0.4, 0.3, 0.3], [0.7, 0.2, 0.1], [0.3, 0.5, 0.2], [0.3, 0.5, 0.2]]
BACON_WB = [[0.4, 0.2, 0.4], [0.4, 0.3, 0.3], [0.5, 0.4, 0.1], [0.4, 0.4, 0.2]]
BACON_RP = [[0.20, -0.05, 0.06], [-0.05, 0.03, -0.05], [-0.20, 0.08, -0.15],
            [0.10, -0.07, 0.25]]
BACON_RB = [[0.10, -0.04, 0.08], [-0.07, 0.04, -0.10], [-0.25, 0.05, -0.20],
            [0.05, -0.05, 0.10]]
BACON_ALLOCATION = [[0.0, -0.0104, -0.0016], [-0.0072, -0.0086, 0.0108],
                    [0.025, 0.0175, -0.0075], [-0.003, -0.007, 0.0]]
BACON_SELECTION = [[0.04, -0.003, -0.006], [0.014, -0.002, 0.005], [0.015, 0.015, 0.01],
                   [0.015, -0.01, 0.03]]
BACON_RETURNS = ([0.083, -0.034, -0.05, 0.045], [0.064, -0.046, -0.125, 0.02])


def bacon_effects(method, periods=slice(None)):
    wp, wb = np.array(BACON_WP)[periods], np.array(BACON_WB)[periods]
    cp, cb = wp * np.array(BACON_RP)[periods], wb * np.array(BACON_RB)[periods]
    parent = (wp.sum(axis=1), wb.sum(axis=1), cb.sum(axis=1))
    return brinson.effects(wp, wb, cp, cb, parent, method), cp.sum(axis=1), cb.sum(axis=1)


class TestPublishedExamples:
    def test_bacon_single_period(self):
        """Bacon 2008, chapter 5: portfolio 8.3 %, benchmark 6.4 %; BHB allocation -1.2 %,
        selection 3.0 %, interaction 0.1 %; Brinson-Fachler moves Japan's allocation to
        -1.04 % and the US's to -0.16 %."""
        bhb, rp, rb = bacon_effects("bhb", slice(0, 1))
        assert (rp[0], rb[0]) == pytest.approx((0.083, 0.064))
        assert bhb["allocation"][0] == pytest.approx([0.0, -0.004, -0.008])
        assert bhb["selection"][0] == pytest.approx([0.04, -0.002, -0.008])
        assert bhb["interaction"][0] == pytest.approx([0.0, -0.001, 0.002])
        assert [bhb[e].sum() for e in brinson.EFFECTS] == pytest.approx([-0.012, 0.03, 0.001])
        bf, _, _ = bacon_effects("bf", slice(0, 1))
        assert bf["allocation"][0] == pytest.approx([0.0, -0.0104, -0.0016])
        assert bf["selection"][0] == pytest.approx(bhb["selection"][0])
        assert sum(bf[e].sum() for e in brinson.EFFECTS) == pytest.approx(0.019, abs=1e-15)

    def test_bacon_four_periods(self):
        bf, rp, rb = bacon_effects("bf")
        assert bf["allocation"] == pytest.approx(np.array(BACON_ALLOCATION), abs=1e-15)
        assert bf["selection"] + bf["interaction"] == pytest.approx(np.array(BACON_SELECTION),
                                                                   abs=1e-15)
        assert rp == pytest.approx(BACON_RETURNS[0]) and rb == pytest.approx(BACON_RETURNS[1])
        # over the year: portfolio 3.86 %, benchmark -9.41 %
        assert np.prod(1 + rp) - 1 == pytest.approx(0.0385932095)
        assert np.prod(1 + rb) - 1 == pytest.approx(-0.09406252)

    @pytest.mark.parametrize("method", LINKINGS)
    def test_bacon_four_periods_linked(self, method):
        """Each linking of Table 8.1's effects, recomputed here from its paper's formula with
        plain loops, and adding up to the excess return 13.27 %."""
        bf, rp, rb = bacon_effects("bf")
        effects = np.hstack([bf[e] for e in brinson.EFFECTS])
        got = linking.linked(effects, rp, rb, method)
        assert got == pytest.approx(by_hand(effects, rp, rb, method), abs=1e-15)
        assert got.sum() == pytest.approx(0.0385932095 + 0.09406252, abs=1e-12)


def by_hand(effects, rp, rb, method):
    """The linking formulas of Carino (1999), Menchero (2000), GRAP (1997) and Frongello
    (2002), period by period."""
    T = len(rp)
    total_p = math.prod(1 + r for r in rp) - 1
    total_b = math.prod(1 + r for r in rb) - 1
    if method == "carino":
        k = [(math.log(1 + p) - math.log(1 + b)) / (p - b) for p, b in zip(rp, rb)]
        span_k = (math.log(1 + total_p) - math.log(1 + total_b)) / (total_p - total_b)
        return sum(effects[t] * k[t] for t in range(T)) / span_k
    if method == "menchero":
        m = ((total_p - total_b) / T) / ((1 + total_p) ** (1 / T) - (1 + total_b) ** (1 / T))
        d = [p - b for p, b in zip(rp, rb)]
        a = [(total_p - total_b - m * sum(d)) / sum(x * x for x in d) * x for x in d]
        return sum(effects[t] * (m + a[t]) for t in range(T))
    if method == "grap":
        return sum(effects[t] * math.prod(1 + p for p in rp[:t]) * math.prod(1 + b for b in rb[t + 1:])
                   for t in range(T))
    linked = []
    for t in range(T):
        linked.append(effects[t] * math.prod(1 + p for p in rp[:t]) + rb[t] * sum(linked))
    return sum(linked)


def random_case(seed, days=30, ids=14, shorts=True):
    """Returns, weights of both sides (each day summing to 1, with shorts, with groups one
    side lacks), asset types and industries of random securities."""
    rng = np.random.default_rng(seed)
    r = rng.normal(0.0005, 0.03, (days, ids))
    wp = rng.uniform(0, 1, (days, ids)) * (rng.uniform(size=ids) > 0.3)
    if shorts:
        wp[:, 1] = -0.4
    wb = rng.uniform(0, 1, (days, ids)) * (rng.uniform(size=ids) > 0.3)
    wb[:, 0] = 0.0  # the benchmark never holds security 0
    wp[:, 2] = 0.0  # the portfolio never holds security 2
    wp /= wp.sum(axis=1, keepdims=True)
    wb /= wb.sum(axis=1, keepdims=True)
    level1 = np.array([engine.ASSET_TYPES.index(t) for t in
                       rng.choice(["stock", "stock", "bond", "futures", "cash"], ids)])
    level1[:3] = 0
    level2 = np.where(level1[None, :] == 0, rng.integers(0, 4, (days, ids)), -1)
    return r, wp, wb, level1, level2


def run_arrays(case, method, link):
    r, wp, wb, level1, level2 = case
    dates = pd.bdate_range("2025-01-01", periods=r.shape[0])
    return engine.two_levels(r, wp, wb, level1, level2, ["a", "b", "c", "d"], method, link, dates)


class TestIdentities:
    @pytest.mark.parametrize("method, link", list(itertools.product(METHODS, LINKINGS)))
    def test_both_levels_add_up(self, method, link):
        for seed, days in ((1, 60), (2, 1)):
            out = run_arrays(random_case(seed, days), method, link)
            rp, rb = out["portfolio"].to_numpy(), out["benchmark"].to_numpy()
            active = np.prod(1 + rp) - np.prod(1 + rb)
            level1 = out["levels"]["asset_type"].table
            level2 = out["levels"]["industry"].table
            assert level1.loc["total", "total"] == pytest.approx(active, abs=1e-12)
            body = level1.drop("total")[list(brinson.EFFECTS)]
            assert body.to_numpy().sum() == pytest.approx(active, abs=1e-12)
            stock = level1.loc["stock"]
            assert level2.loc["total", "total"] == pytest.approx(
                stock["selection"] + stock["interaction"], abs=1e-12)
            daily = sum(out["levels"]["asset_type"].daily[e].sum(axis=1) for e in brinson.EFFECTS)
            assert daily.to_numpy() == pytest.approx(rp - rb, abs=1e-15)
            if days == 1:  # one day: linking changes nothing
                day = {e: out["levels"]["asset_type"].daily[e].iloc[0] for e in brinson.EFFECTS}
                for e in brinson.EFFECTS:
                    assert level1[e].drop("total").to_numpy() == pytest.approx(
                        day[e].to_numpy(), abs=1e-15)

    def test_frongello_totals_are_grap(self):
        r, wp, wb, *_ = random_case(3)
        cp, cb = wp * r, wb * r
        rp, rb = cp.sum(axis=1), cb.sum(axis=1)
        e = brinson.effects(wp, wb, cp, cb, (wp.sum(1), wb.sum(1), rb))["selection"]
        assert linking.linked(e, rp, rb, "frongello") == pytest.approx(
            linking.linked(e, rp, rb, "grap"), abs=1e-15)
        path = linking.path(e, rp, rb, "carino")
        assert path[-1] == pytest.approx(linking.linked(e, rp, rb, "carino"))
        assert linking.carino_factor(0.05, 0.05) == pytest.approx(1 / 1.05)

    def test_linking_refuses_a_loss_of_everything(self):
        with pytest.raises(attribution.AttributionError, match="period 2"):
            linking.linked(np.zeros((2, 1)), [0.01, -1.0], [0.0, 0.0], "carino")

    def test_net_short_group_keeps_its_own_return(self):
        """Weights A 1.3 / B -0.3, benchmark A 0.5 / C 0.5, returns .02 / .05 / -.01,
        industries x / y / y: the short industry y returns B's 5 %, so the effects sum to the
        active return 0.6 %."""
        r = np.array([[0.02, 0.05, -0.01]])
        wp, wb = np.array([[1.3, -0.3, 0.0]]), np.array([[0.5, 0.0, 0.5]])
        level1 = np.zeros(3, dtype=int)
        level2 = np.array([[0, 1, 1]])
        out = engine.two_levels(r, wp, wb, level1, level2, ["x", "y"], "bf", "carino",
                                pd.DatetimeIndex(["2025-01-02"]))
        table = out["levels"]["industry"].table
        assert table.loc["y", list(brinson.EFFECTS)].to_numpy() == pytest.approx(
            [-0.8 * (-0.01 - 0.005), 0.5 * (0.05 + 0.01), -0.8 * (0.05 + 0.01)])
        assert table.loc["x", list(brinson.EFFECTS)].to_numpy() == pytest.approx(
            [0.8 * (0.02 - 0.005), 0.0, 0.0])
        assert table.loc["total", "total"] == pytest.approx(0.006, abs=1e-15)

    def test_cancelling_long_and_short_is_selection(self):
        wp = np.array([[0.3, -0.3, 1.0]])  # group 0 nets to 0
        wb = np.array([[0.5, 0.0, 0.5]])
        r = np.array([[0.04, 0.01, 0.02]])
        cp, cb = wp * r, wb * r
        groups = np.array([0, 0, 1])
        sums = [brinson.group_sums(a, groups, 2) for a in (wp, wb, cp, cb)]
        e = brinson.effects(*sums, (np.ones(1), np.ones(1), cb.sum(axis=1)))
        assert e["selection"][0, 0] == pytest.approx(0.3 * 0.03 + 0.5 * 0.0)
        assert e["interaction"][0, 0] == 0.0
        assert sum(e[k].sum() for k in e) == pytest.approx((cp - cb).sum(), abs=1e-16)

    def test_nested_level_by_hand(self):
        """Stocks in industries a and b beside a bond; the portfolio holds 60 % stocks (a 40,
        b 20), the benchmark 50 % (a 10, b 40). Level two compares the portfolio's stocks with
        the benchmark's industry mix at 60 %: a 12 %, b 48 %."""
        r = np.array([[0.05, 0.01, 0.002]])
        wp, wb = np.array([[0.4, 0.2, 0.4]]), np.array([[0.1, 0.4, 0.5]])
        level1 = np.array([0, 0, engine.ASSET_TYPES.index("bond")])
        level2 = np.array([[0, 1, -1]])
        out = engine.two_levels(r, wp, wb, level1, level2, ["a", "b"], "bf", "carino",
                                pd.DatetimeIndex(["2025-01-02"]))
        rb_stock = (0.1 * 0.05 + 0.4 * 0.01) / 0.5
        table = out["levels"]["industry"].table
        assert table.loc["a", "allocation"] == pytest.approx((0.4 - 0.12) * (0.05 - rb_stock))
        assert table.loc["b", "allocation"] == pytest.approx((0.2 - 0.48) * (0.01 - rb_stock))
        assert table.loc["a", "selection"] == table.loc["b", "selection"] == 0.0
        stock = out["levels"]["asset_type"].table.loc["stock"]
        assert stock["selection"] + stock["interaction"] == pytest.approx(
            0.6 * ((0.4 * 0.05 + 0.2 * 0.01) / 0.6 - rb_stock))
        assert table.loc["total", "total"] == pytest.approx(
            stock["selection"] + stock["interaction"], abs=1e-16)


class TestWeights:
    def test_drift_between_holdings_dates(self):
        days = pd.DatetimeIndex(["2025-01-02", "2025-01-03", "2025-01-06", "2025-01-07"])
        values = pd.DataFrame([[0.5, 0.5], [0.2, 0.8]],
                              index=pd.DatetimeIndex(["2024-12-31", "2025-01-03"]))
        returns = pd.DataFrame([[0.1, 0.0], [0.5, -0.5], [0.0, 0.0], [0.0, 0.0]], index=days)
        w = positions.start_of_day_weights(values, returns)
        assert w[0] == pytest.approx([0.5, 0.5])
        assert w[1] == pytest.approx([0.55 / 1.05, 0.5 / 1.05])
        assert w[2] == pytest.approx([0.2, 0.8])  # the holdings of 01-03 from 01-06 on
        assert positions.start_of_day_weights(values, returns, "daily")[1] == pytest.approx(
            [0.5, 0.5])

    def test_quantities_need_a_price_and_a_multiplier(self, tmp_path):
        path = tmp_path / "h.csv"
        path.write_text("date,order_book_id,quantity\n2025-01-02,F1,2\n2025-01-02,S1,100\n")
        holdings = attribution.read_holdings(str(path))
        types = {"F1": "futures", "S1": "stock"}
        values, _ = positions.holding_values(holdings, types, lambda d, ids: {"F1": 10.0, "S1": 4.0},
                                             lambda oid: 300.0)
        assert values.iloc[0].to_numpy() == pytest.approx([6000 / 6400, 400 / 6400])
        with pytest.raises(attribution.HoldingsError, match=r"h.csv line 2: F1 .*multiplier"):
            positions.holding_values(holdings, types, lambda d, ids: {"F1": 10.0, "S1": 4.0},
                                     lambda oid: None)
        with pytest.raises(attribution.HoldingsError, match=r"h.csv line 3: no price for S1"):
            positions.holding_values(holdings, types, lambda d, ids: {"F1": 10.0},
                                     lambda oid: 300.0)


class TestHoldingsInput:
    @pytest.mark.parametrize("text, message", [
        ("", "h.csv is empty"),
        ("date,order_book_id\n2025-01-02,A\n", "no column weight or quantity"),
        ("date,order_book_id,weight,quantity\n", "both weight and quantity"),
        ("date,order_book_id,weight\n", "h.csv holds no positions"),
        ("date,order_book_id,weight\n2025-13-01,A,1\n", "h.csv line 2: bad date '2025-13-01'"),
        ("date,order_book_id,weight\n2025-01-02,A,\n", "h.csv line 2: no weight"),
        ("date,order_book_id,weight\n2025-01-02,A,1\n2025-01-02,B,x\n",
         "h.csv line 3: weight 'x' is not a number"),
        ("date,order_book_id,weight\n2025-01-02,A,nan\n", "line 2: weight 'nan' is not a number"),
        ("date,order_book_id,weight\n2025-01-02,A,0.5\n\n2025-01-02,A,0.5\n",
         "h.csv line 4: A on 2025-01-02 repeats h.csv line 2"),
        ("date,order_book_id,weight\n2025-01-02,A\n", "line 2: 2 fields where the header has 3"),
    ])
    def test_refused_with_file_and_line(self, tmp_path, text, message):
        (tmp_path / "h.csv").write_text(text)
        with pytest.raises(attribution.HoldingsError) as exc:
            attribution.read_holdings(str(tmp_path / "h.csv"))
        assert message in str(exc.value)

    def test_frame_and_old_mac_lines(self, tmp_path):
        (tmp_path / "h.csv").write_bytes(b"\xef\xbb\xbfDate,order_book_id,Weight\r2025-01-02,A,0.6\r"
                                         b"20250102,B,0.4\r")
        h = attribution.read_holdings(str(tmp_path / "h.csv"))
        assert h.kind == "weight" and h.ids == ["A", "B"] and list(h.frame["line"]) == [2, 3]
        frame = pd.DataFrame({"date": pd.to_datetime(["2025-01-02"]), "order_book_id": ["A"],
                              "quantity": [5]})
        h = attribution.read_holdings(frame)
        assert h.kind == "quantity" and h.where(1) == "holdings row 1"


class TestBenchmarkInput:
    @pytest.mark.parametrize("text, message", [
        ("000060.XSHG:0.6,CNY:0.3", "the shares sum to 0.9, not 1"),
        ("000060.XSHG:0.6,CNY", "CNY has no share"),
        ("000060.XSHG:abc", "is not a number"),
        ("000060.XSHG:1,000060.XSHG:0", "above 0"),
        ("000060.XSHG:0.5,000060.XSHG:0.5", "names 000060.XSHG twice"),
        (",", "expected ID or ID:SHARE"),
    ])
    def test_refused_specifications(self, text, message):
        with pytest.raises(attribution.BenchmarkError, match=message):
            attribution.parse_benchmark(text)

    def test_refused_ids(self, local):
        with pytest.raises(attribution.BenchmarkError, match="600100.XSHG is not an index"):
            bench.resolve(attribution.parse_benchmark("600100.XSHG"))
        with pytest.raises(attribution.BenchmarkError, match="unknown instrument NOPE"):
            bench.resolve(attribution.parse_benchmark("NOPE:0.5,CNY:0.5"))

    def test_span_before_the_first_weights(self, monkeypatch):
        def none(*a):
            raise attribution.market.module_exceptions().MissingData("指数权重数据", "I", None)

        monkeypatch.setattr(attribution.market, "stock_index_weights", none)
        monkeypatch.setattr(attribution.market, "first_stock_index_list",
                            lambda *a: pd.Timestamp("2025-03-03"))
        days = pd.DatetimeIndex(["2025-01-03", "2025-01-06"])
        with pytest.raises(attribution.BenchmarkError,
                           match="I has weights from 2025-03-03 on; the span starts 2025-01-03"):
            bench.start_of_day_weights(bench.Component("I", 1.0, "stock_index"), days,
                                       pd.Timestamp("2025-01-02"))


# The demo's stock sleeve before this library: 15 stocks at constant weights (rebalanced
# daily), against 000060.XSHG from 2025-07-01 to 2025-12-31; its attribution.csv is
# tests/data/demo_stock_attribution.csv.
DEMO_STOCKS = (("600100.XSHG", 0.040), ("300310.XSHE", 0.025), ("300142.XSHE", 0.030),
               ("600352.XSHG", 0.025), ("600156.XSHG", 0.035), ("300254.XSHE", 0.030),
               ("000247.XSHE", 0.030), ("000303.XSHE", 0.025), ("688513.XSHG", 0.020),
               ("000107.XSHE", 0.040), ("688317.XSHG", 0.025), ("600296.XSHG", 0.035),
               ("688177.XSHG", 0.030), ("000387.XSHE", 0.025), ("600380.XSHG", 0.035))


class TestSample:
    def test_stock_sleeve_reproduces_the_demo(self, local):
        holdings = pd.DataFrame({"date": "2025-06-30", "order_book_id": [s for s, _ in DEMO_STOCKS],
                                 "weight": [w for _, w in DEMO_STOCKS]})
        with pytest.warns(attribution.AttributionWarning, match=r"2025-06-30 \(0.45\); normalised"):
            report = attribution.attribute(holdings, "000060.XSHG", end="2025-12-31",
                                           rebalance="daily")
        expected = pd.read_csv(os.path.join(DATA, "demo_stock_attribution.csv"), index_col=0)
        got = report.industries.table[expected.columns].reindex(expected.index)
        assert got.to_numpy() == pytest.approx(expected.to_numpy(), abs=1e-12)
        assert report.portfolio_return == pytest.approx(0.09384020266819859, abs=1e-13)
        assert report.dates[0] == pd.Timestamp("2025-07-01") and len(report.dates) == 126

    def test_quantities_against_a_composite(self, local):
        inputs = attribution.MarketInputs([local.local.sample_holdings_path()],
                                          "000060.XSHG:0.6,KVX1001.INDX:0.3,CNY:0.1",
                                          start="2025-07-01", end="2025-12-31", cash_rate=0.02)
        for method, link, rebalance in itertools.product(METHODS, LINKINGS, ("none", "daily")):
            report = inputs.run(local.local.sample_holdings_path(), method, link, rebalance)
            level1, level2 = report.asset_types.table, report.industries.table
            assert level1.loc["total", "total"] == pytest.approx(report.active_return, abs=1e-12)
            stock = level1.loc["stock"]
            assert level2.loc["total", "total"] == pytest.approx(
                stock["selection"] + stock["interaction"], abs=1e-12)
        assert set(level1.index) == {"stock", "fund", "bond", "futures", "option", "public_fund",
                                     "cash", "total"}
        assert level1.loc["total", "portfolio_weight"] == pytest.approx(1.0)
        cash = level1.loc["cash", "benchmark_return"]
        assert cash == pytest.approx(1.02 ** (184 / 365) - 1, rel=1e-12)  # 06-30 to 12-31
        rec = report.reconciliation
        assert abs(rec.loc["000060.XSHG", "gap"]) < 1e-3 and abs(rec.loc["KVX1001.INDX", "gap"]) < 1e-6
        assert list(rec["share"]) == [0.6, 0.3]

    def test_drifting_sleeve_and_suspended_stock(self, local):
        """Bought on a day of 300198.XSHE's suspension: valued at its last close before it."""
        holdings = pd.DataFrame({"date": ["2024-09-05", "2024-09-05", "2030-01-02"],
                                 "order_book_id": ["300198.XSHE", "600100.XSHG", "600100.XSHG"],
                                 "quantity": [1000, 1000, 1]})  # a date after the span is left out
        report = attribution.attribute(holdings, "000060.XSHG", end="2024-09-20")
        closes = local.get_price(["300198.XSHE", "600100.XSHG"], "2024-08-30", "2024-09-05",
                                 fields="close", adjust_type="none")["close"]
        suspended = closes.loc["300198.XSHE"].iloc[-1]
        assert closes.loc["300198.XSHE"].index[-1] == pd.Timestamp("2024-08-30")
        first = report.industries.weights["portfolio"].iloc[0]
        value = np.array([suspended, closes.loc["600100.XSHG"].iloc[-1]])
        assert sorted(first[first != 0]) == pytest.approx(sorted(value / value.sum()))

    def test_holdings_checked_against_the_market(self, local, tmp_path):
        cases = [("2025-06-30,NOPE,1", "h.csv line 2: unknown instrument NOPE"),
                 ("2025-06-29,600100.XSHG,1", "line 2: 2025-06-29 is not an exchange trading date"),
                 ("2024-12-31,000499.XSHE,100", "line 2: no price for 000499.XSHE")]
        for row, message in cases:
            kind = "quantity" if row.endswith("100") else "weight"
            (tmp_path / "h.csv").write_text("date,order_book_id,%s\n%s\n" % (kind, row))
            with pytest.raises(attribution.HoldingsError, match=message):
                attribution.attribute(str(tmp_path / "h.csv"), "000060.XSHG", end="2025-12-31")
