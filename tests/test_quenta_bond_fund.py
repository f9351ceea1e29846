"""Bond, cash and public fund daily returns of brelvox.marketdata.quenta."""

import bisect
import types

import numpy as np
import pandas as pd
import pytest

from brelvox.exceptions import MissingData, UnknownAssets
from brelvox.marketdata import quenta

FIELDS = ["dirty_price_eod", "accrued_interest_intraday", "accrued_interest_eod", "residual_principal"]

THU, FRI, SAT, SUN, MON, TUE = pd.to_datetime(
    ["2024-01-04", "2024-01-05", "2024-01-06", "2024-01-07", "2024-01-08", "2024-01-09"])


def frame_on(records, columns):
    """Frame on (order_book_id, date) from (id, date, value...) tuples."""
    rows = [(r[0], pd.Timestamp(r[1])) + tuple(r[2:]) for r in records]
    return pd.DataFrame(rows, columns=["order_book_id", "date"] + list(columns)).set_index(
        ["order_book_id", "date"])


class Client:
    """Bond valuations, fund catalogue and fund data answered from prebuilt frames.

    Answers are the stored objects themselves (as a caching client would hand them out),
    so a test can check they come back untouched."""

    def __init__(self, calendar, valuation=None, catalogue=None, nav=None):
        self.calendar = pd.DatetimeIndex(pd.to_datetime(calendar))
        self.valuation = valuation
        self.catalogue = catalogue
        self.nav = nav or {}
        self.calls = []
        self.bond = types.SimpleNamespace(get_previous_trading_date=self._previous("bond"),
                                          get_valuation=self._get_valuation)
        self.fund = types.SimpleNamespace(all_instruments=self._all_instruments,
                                          get_nav=self._get_nav)
        self.get_previous_trading_date = self._previous("exchange")

    def _previous(self, which):
        def previous(date, n=1):
            self.calls.append((which + ".get_previous_trading_date", pd.Timestamp(date)))
            return self.calendar[self.calendar < pd.Timestamp(date)][-n]
        return previous

    def _get_valuation(self, ids, start, end, fields=None, valuation_type=None):
        self.calls.append(("bond.get_valuation", list(ids), start, end, fields, valuation_type))
        return self.valuation

    def _all_instruments(self):
        self.calls.append(("fund.all_instruments",))
        return self.catalogue

    def _get_nav(self, ids, start, end, field, expect_df=False):
        self.calls.append(("fund.get_nav", list(ids), pd.Timestamp(start), pd.Timestamp(end),
                           field, expect_df))
        answer = self.nav.get(field)
        if answer is None:
            return None
        asked = answer.index.get_level_values(0).isin(list(ids))
        return answer if asked.all() else answer[asked]


@pytest.fixture
def client(patch_client):
    def make(*args, **kwargs):
        return patch_client(quenta, Client(*args, **kwargs))
    return make


def valuations(records):
    return frame_on(records, FIELDS)


# ---- bonds --------------------------------------------------------------------------------

def test_bond_friday_to_monday_coupon_counts_two_more_days_of_accrual(client):
    # Monday's end-of-day accrued interest is below Friday's: a coupon was paid.
    fake = client([THU, FRI, MON], valuations([
        ("B1", THU, 101.00, 1.98, 2.00, 100.0),
        ("B1", FRI, 101.10, 2.00, 2.02, 100.0),
        ("B1", MON, 99.20, 0.01, 0.03, 100.0),
    ]))
    out = quenta.get_bond_daily_returns(["B1"], pd.DatetimeIndex([FRI, MON]))
    accrual = 0.03 - 0.01
    coupon = 2.02 + (3 - 1) * accrual - 0.01
    assert out.loc[MON, "B1"] == pytest.approx((99.20 + coupon - 101.10) / 101.10, abs=1e-15)
    assert out.loc[FRI, "B1"] == pytest.approx((101.10 - 101.00) / 101.00, abs=1e-15)
    assert fake.calls[0] == ("bond.get_previous_trading_date", FRI)
    assert fake.calls[1] == ("bond.get_valuation", ["B1"], THU, MON, FIELDS, "short")


def test_bond_rising_accrual_is_no_coupon_and_principal_repaid_counts(client):
    # Residual principal 100 -> 80 with the dirty price falling by 20: nearly no return.
    client([THU, FRI, MON], valuations([
        ("B1", FRI, 101.00, 1.00, 1.01, 100.0),
        ("B1", MON, 81.02, 1.01, 1.03, 80.0),
    ]))
    out = quenta.get_bond_daily_returns(["B1"], pd.DatetimeIndex([MON]))
    assert out.loc[MON, "B1"] == pytest.approx((81.02 + 20.0 - 101.00) / 101.00, abs=1e-15)
    assert abs(out.loc[MON, "B1"]) < 1e-3


def test_bond_unchanged_accrued_interest_is_a_coupon_date(client):
    client([THU, FRI], valuations([
        ("B1", THU, 100.0, 0.50, 0.50, 100.0),
        ("B1", FRI, 100.1, 0.48, 0.50, 100.0),
    ]))
    out = quenta.get_bond_daily_returns(["B1"], pd.DatetimeIndex([FRI]))
    coupon = 0.50 + 0 * (0.50 - 0.48) - 0.48
    assert out.loc[FRI, "B1"] == pytest.approx((100.1 + coupon - 100.0) / 100.0, abs=1e-15)


def test_bond_frame_shape_duplicates_and_missing_bonds(client):
    fake = client([THU, FRI, MON], valuations([
        ("B2", THU, 100.0, 0.0, 0.1, 100.0),
        ("B2", FRI, 101.0, 0.1, 0.2, 100.0),
        ("B2", FRI, 555.0, 0.1, 0.2, 100.0),  # a repeated row: the first counts
        ("B1", FRI, 50.0, 0.0, 0.1, 100.0),
        ("B1", MON, 51.0, 0.1, 0.2, 100.0),
    ]))
    dates = pd.DatetimeIndex([FRI, MON, TUE], name="when")
    out = quenta.get_bond_daily_returns(["B2", "B0", "B1"], dates, with_payment=False)
    assert list(out.columns) == ["B2", "B0", "B1"]
    assert out.columns.name == "order_book_id" and out.index.name == "date"
    assert list(out.index) == [FRI, MON, TUE] and dates.name == "when"
    expected = pd.DataFrame({"B2": [0.01, 0.0, 0.0], "B0": 0.0, "B1": [0.0, 0.02, 0.0]},
                            index=out.index, columns=out.columns)
    pd.testing.assert_frame_equal(out, expected, check_exact=False, rtol=1e-12)
    assert out.dtypes.eq(np.float64).all()
    assert fake.calls[1][4] == FIELDS


def test_bond_answer_is_left_untouched_and_rows_are_taken_in_date_order(client):
    # Dates as text and rows out of date order: the result is computed on real dates, in
    # date order, while the client's own frame stays exactly as it was.
    answer = pd.DataFrame(
        [[102.0, 0.1, 0.3, 100.0], [100.0, 0.0, 0.1, 100.0], [101.0, 0.1, 0.2, 100.0]],
        index=pd.MultiIndex.from_tuples(
            [("B1", "2024-01-08"), ("B1", "2024-01-04"), ("B1", "2024-01-05")],
            names=["order_book_id", "date"]),
        columns=FIELDS)
    kept = answer.copy(deep=True)
    client([THU, FRI, MON], answer)
    out = quenta.get_bond_daily_returns(["B1"], pd.DatetimeIndex([FRI, MON]))
    assert out["B1"].tolist() == pytest.approx([0.01, 1.0 / 101.0], abs=1e-15)
    pd.testing.assert_frame_equal(answer, kept)
    assert not pd.api.types.is_datetime64_any_dtype(answer.index.levels[1])


def test_bond_zero_previous_dirty_price_gives_zero(client):
    client([THU, FRI, MON], valuations([
        ("B1", THU, 0.0, 0.0, 0.1, 100.0),
        ("B1", FRI, 100.0, 0.1, 0.2, 100.0),
        ("B1", MON, 101.0, 0.2, 0.4, 100.0),
    ]))
    out = quenta.get_bond_daily_returns(["B1"], pd.DatetimeIndex([FRI, MON]))
    assert out["B1"].tolist() == pytest.approx([0.0, 0.01], abs=1e-15)
    assert np.isfinite(out.to_numpy()).all()


@pytest.mark.parametrize("answer", [None, valuations([])])
def test_bond_without_any_valuation_raises_missing_data(client, answer):
    client([THU, FRI], answer)
    dates = pd.DatetimeIndex([FRI])
    with pytest.raises(MissingData) as info:
        quenta.get_bond_daily_returns(["B1"], dates)
    assert info.value.args[0] == "日收益率"
    assert info.value.args[1] == ["B1"] and info.value.args[2] is dates


def test_bond_bad_input(client):
    fake = client([THU, FRI], valuations([("B1", FRI, 100.0, 0.1, 0.2, 100.0)]))
    with pytest.raises(IndexError):
        quenta.get_bond_daily_returns(["B1"], pd.DatetimeIndex([]))
    assert fake.calls == []
    fake.valuation = fake.valuation.drop(columns="residual_principal")
    with pytest.raises(KeyError, match="residual_principal"):
        quenta.get_bond_daily_returns(["B1"], pd.DatetimeIndex([FRI]))
    with pytest.raises(TypeError):
        quenta.get_bond_daily_returns("B1", pd.DatetimeIndex([FRI]))


def test_docstrings():
    assert quenta.get_bond_daily_returns.__doc__ == " 获取债券收益率数据. "
    assert quenta.get_cash_daily_returns.__doc__ == "日收益率"
    assert quenta.get_public_fund_daily_returns.__doc__ is None
    assert quenta._get_public_fund_daily_profit_return.__doc__ is None
    assert quenta._get_public_fund_unit_net_value_return.__doc__ is None


def reference_bond_returns(answer, ids, dates):
    """The holding return in plain pandas (zero previous dirty prices give no return)."""
    v = answer[~answer.index.duplicated()].sort_index()
    prev = v.groupby(level=0).shift(1)
    days = pd.Series(v.index.get_level_values(1), index=v.index).groupby(level=0).diff().dt.days
    accrual = v.accrued_interest_eod - v.accrued_interest_intraday
    rise = v.accrued_interest_eod - prev.accrued_interest_eod
    coupon = pd.Series(np.where(rise > 0, 0, prev.accrued_interest_eod + (days - 1) * accrual
                                - v.accrued_interest_intraday), v.index).fillna(0.0)
    paid = prev.residual_principal - v.residual_principal
    ret = (v.dirty_price_eod + paid + coupon - prev.dirty_price_eod) / prev.dirty_price_eod
    ret = ret[prev.dirty_price_eod != 0]
    return ret.unstack(0).reindex(index=dates, columns=ids).fillna(0.0)


@pytest.mark.parametrize("sparse", [True, False], ids=["sparse", "complete"])
def test_bond_returns_match_plain_pandas_on_random_data(client, sparse):
    # sparse: days without valuation, repeated rows, NaN values; complete: every bond on
    # every day once, as whole-market answers come
    rng = np.random.default_rng(7 if sparse else 8)
    days = pd.bdate_range("2024-01-01", periods=80)
    records = []
    for b in range(12):
        accrued, principal, dirty = 0.0, 100.0, 100.0 + b
        for d in days:
            if sparse and rng.random() < 0.15:
                continue  # not valued that day
            accrued = 0.0 if rng.random() < 0.05 else accrued + 0.01 * rng.integers(0, 3)
            if rng.random() < 0.03:
                principal -= 10.0
            dirty = dirty * (1 + rng.normal(0, 0.002))
            row = ["B%02d" % b, d, dirty, accrued - 0.01, accrued, principal]
            if sparse and rng.random() < 0.03:
                row[2 + rng.integers(0, 4)] = np.nan
            records.append(tuple(row))
            if sparse and rng.random() < 0.02:
                records.append(tuple(row[:2]) + (999.0, 0.0, 0.0, 0.0))
    answer = valuations(records)
    client(days, answer)
    dates = pd.DatetimeIndex(list(days[5:60:2]) + [pd.Timestamp("2024-06-01")])
    ids = ["B%02d" % b for b in (3, 1, 0, 11, 99, 5, 2, 4, 6, 7, 8, 9, 10)]
    out = quenta.get_bond_daily_returns(ids, dates)
    expected = reference_bond_returns(answer, ids, dates)
    expected.index.name, expected.columns.name = "date", "order_book_id"
    pd.testing.assert_frame_equal(out, expected, check_exact=False, rtol=1e-12, atol=1e-15,
                                  check_index_type=False, check_column_type=False)


# ---- cash ---------------------------------------------------------------------------------

def test_cash_returns_fill_the_requested_shape():
    dates = pd.DatetimeIndex([FRI, MON], name="mine")
    ids = pd.Index(["C1", "C2"], name="theirs")
    zero = quenta.get_cash_daily_returns(["C1", "C2"], dates)
    assert zero.shape == (2, 2) and (zero.to_numpy() == 0.0).all()
    assert zero.index.name == "date" and zero.columns.name == "order_book_id"
    rate = quenta.get_cash_daily_returns(ids, dates, returns=0.0001)
    assert (rate.to_numpy() == 0.0001).all() and list(rate.columns) == ["C1", "C2"]
    assert dates.name == "mine" and ids.name == "theirs"


# ---- public funds -------------------------------------------------------------------------

def catalogue(rows):
    return pd.DataFrame(rows, columns=["order_book_id", "accrued_daily", "symbol"])


def profits(records):
    return frame_on(records, ["daily_profit"])


def net_values(records):
    return frame_on(records, ["adjusted_net_value"])


def test_money_market_weekend_profit_lands_on_monday(client):
    fake = client([THU, FRI, MON], catalogue=catalogue([("M1", True, "mm")]),
                  nav={"daily_profit": profits([
                      ("M1", FRI, 1.2), ("M1", SAT, 1.2), ("M1", SUN, 1.2), ("M1", MON, 1.5)])})
    out = quenta.get_public_fund_daily_returns(["M1"], ["2024-01-05", "2024-01-08"])
    assert out["M1"].tolist() == pytest.approx([0.00012, (1.5 + 2.4) * 0.0001], abs=1e-18)
    assert out.index.name == "date" and out.columns.name == "order_book_id"
    assert list(out.index) == [FRI, MON]
    assert fake.calls[1] == ("fund.get_nav", ["M1"], FRI, MON, "daily_profit", True)


def test_net_value_return_from_previous_exchange_date(client):
    fake = client([THU, FRI, MON], catalogue=catalogue([("N1", False, "eq")]),
                  nav={"adjusted_net_value": net_values([
                      ("N1", THU, 1.000), ("N1", FRI, 1.010), ("N1", MON, 1.010)])})
    out = quenta.get_public_fund_daily_returns(["N1"], pd.DatetimeIndex([FRI, MON]))
    assert out["N1"].tolist() == pytest.approx([0.01, 0.0], abs=1e-15)
    assert fake.calls[1] == ("exchange.get_previous_trading_date", FRI)
    assert fake.calls[2] == ("fund.get_nav", ["N1"], THU, MON, "adjusted_net_value", True)


def mixed_client(client, rows):
    return client([THU, FRI, MON], catalogue=catalogue(rows), nav={
        "daily_profit": profits([("M2", FRI, 2.0), ("M1", FRI, 1.0), ("M1", MON, 3.0)]),
        "adjusted_net_value": net_values([
            ("N2", THU, 2.0), ("N2", MON, 2.2), ("N1", THU, 1.0), ("N1", FRI, 0.9)]),
    })


def test_mixed_kinds_daily_profit_funds_come_first(client):
    fake = mixed_client(client, [("N2", False, "a"), ("M2", True, "b"), ("N1", 0, "c"),
                                 ("M1", np.nan, "d"), ("X9", True, "e")])
    out = quenta.get_public_fund_daily_returns(["N2", "M2", "N1", "M1"], [FRI, MON])
    assert list(out.columns) == ["M1", "M2", "N1", "N2"]
    expected = [[0.0001, 0.0002, -0.1, 0.0], [0.0003, 0.0, 0.0, 0.1]]
    np.testing.assert_allclose(out.to_numpy(), expected, rtol=1e-12, atol=1e-18)
    # the missing flag made M1 a daily-profit fund; the caller's order goes to the client
    assert fake.calls[1][1] == ["M2", "M1"] and fake.calls[3][1] == ["N2", "N1"]


@pytest.mark.parametrize("flags", [
    [False, True, np.nan], [False, True, None],
    pd.array([False, True, None], dtype="boolean")], ids=["float", "object", "nullable"])
def test_missing_flag_means_daily_profit(client, flags):
    rows = pd.DataFrame({"order_book_id": ["N1", "M2", "M1"], "accrued_daily": flags,
                         "symbol": ["a", "b", "c"]})
    mixed_client(client, [])
    quenta.ondrax.catalogue = rows
    out = quenta.get_public_fund_daily_returns(["N1", "M2", "M1"], [FRI, MON])
    assert list(out.columns) == ["M1", "M2", "N1"]


def test_fund_listed_twice(client):
    rows = [("N2", False, "a"), ("M2", True, "b"), ("N1", False, "c"), ("M1", True, "d"),
            ("N1", False, "c again"), ("M2", None, None)]
    mixed_client(client, rows)
    # twice by the caller: counted once; twice by the catalogue: dropped (an all-empty
    # catalogue row does not count)
    out = quenta.get_public_fund_daily_returns(["M1", "N1", "M1", "M2", "N2"], [FRI, MON])
    assert list(out.columns) == ["M1", "M2", "N2"]
    only = quenta.get_public_fund_daily_returns(["M1", "M1"], [FRI, MON])
    assert list(only.columns) == ["M1"]
    with pytest.raises(UnknownAssets) as info:
        quenta.get_public_fund_daily_returns(["N1"], [FRI, MON])
    assert info.value.args == (["N1"], "公募基金")


def test_profit_after_the_last_requested_date_is_ignored(client):
    client([THU, FRI, MON], catalogue=catalogue([("M1", True, "mm")]),
           nav={"daily_profit": profits([("M1", THU, 9.0), ("M1", FRI, 1.0), ("M1", SAT, 2.0),
                                         ("M1", MON, 4.0), ("M1", TUE, 8.0)])})
    out = quenta.get_public_fund_daily_returns(["M1"], [FRI])
    assert out["M1"].tolist() == pytest.approx([(1.0 + 9.0) * 0.0001], abs=1e-18)
    out = quenta.get_public_fund_daily_returns(["M1"], [FRI, SUN])
    assert out["M1"].tolist() == pytest.approx([10.0 * 0.0001, 2.0 * 0.0001], abs=1e-18)


def test_fund_answers_are_left_untouched(client):
    fake = mixed_client(client, [("N1", False, "a"), ("M1", True, "b")])
    kept = {k: v.copy(deep=True) for k, v in fake.nav.items()}
    kept_catalogue = fake.catalogue.copy(deep=True)
    dates = pd.DatetimeIndex([FRI, MON], name="mine")
    quenta.get_public_fund_daily_returns(["N1", "M1"], dates)
    pd.testing.assert_frame_equal(fake.catalogue, kept_catalogue)
    for field, frame in fake.nav.items():
        pd.testing.assert_frame_equal(frame, kept[field])
    assert dates.name == "mine"


def test_fund_missing_data_names_the_kind(client):
    fake = mixed_client(client, [("N1", False, "a"), ("M1", True, "b")])
    fake.nav["daily_profit"] = profits([])
    with pytest.raises(MissingData) as info:
        quenta.get_public_fund_daily_returns(["N1", "M1"], [FRI, MON])
    kind, ids, dates = info.value.args
    assert kind == "公募基金日收益率" and list(ids) == ["M1"] and list(dates) == [FRI, MON]
    fake.nav["adjusted_net_value"] = None
    with pytest.raises(MissingData) as info:
        quenta.get_public_fund_daily_returns(["N1"], [FRI, MON])
    assert info.value.args[0] == "公募基金净值" and list(info.value.args[1]) == ["N1"]


def test_fund_bad_input(client):
    fake = mixed_client(client, [("N1", False, "a"), ("M1", True, "b")])
    with pytest.raises(IndexError):
        quenta.get_public_fund_daily_returns(["N1"], [])
    assert fake.calls == []
    with pytest.raises(KeyError, match="Z1"):
        quenta.get_public_fund_daily_returns(["N1", "Z1"], [FRI])
    fake.nav["adjusted_net_value"] = fake.nav["adjusted_net_value"].rename(
        columns={"adjusted_net_value": "nav"})
    with pytest.raises(KeyError, match="adjusted_net_value"):
        quenta.get_public_fund_daily_returns(["N1"], [FRI])


def test_net_value_of_zero_gives_no_return(client):
    client([THU, FRI, MON], catalogue=catalogue([("N1", False, "eq")]),
           nav={"adjusted_net_value": net_values([("N1", THU, 0.0), ("N1", FRI, 1.0),
                                                  ("N1", MON, 1.1)])})
    out = quenta.get_public_fund_daily_returns(["N1"], [FRI, MON])
    assert out["N1"].tolist() == pytest.approx([0.0, 0.1], abs=1e-15)


def test_partial_functions_called_directly(client):
    mixed_client(client, [])
    dates = pd.DatetimeIndex([FRI, MON])
    odf = pd.DataFrame({"accrued_daily": [True, True]}, index=pd.Index(["M1", "M2"]))
    daily = quenta._get_public_fund_daily_profit_return(odf, dates)
    assert list(daily.columns) == ["M1", "M2"] and daily.index.equals(dates)
    assert daily.loc[MON, "M1"] == pytest.approx(0.0003, abs=1e-18)
    net = quenta._get_public_fund_unit_net_value_return(pd.Index(["N1", "N2"]), dates)
    assert net.loc[FRI, "N1"] == pytest.approx(-0.1) and net.loc[MON, "N2"] == pytest.approx(0.1)


def reference_daily_profit(profit, dates):
    """Carry-forward in plain pandas: `profit` is date x fund, `dates` ascending."""
    wanted = set(dates)
    target = []
    for d in profit.index:
        k = bisect.bisect_right(dates, d)
        target.append(d if d in wanted else (dates[k] if k < len(dates) else pd.NaT))
    return profit.fillna(0.0).groupby(pd.DatetimeIndex(target)).sum().reindex(dates).fillna(0.0) * 0.0001


def reference_net_value(nav, dates):
    filled = nav.ffill()
    change = (filled / filled.shift(1) - 1).where(filled.shift(1) != 0)
    return change.reindex(dates).fillna(0.0)


def long_form(wide, rng, field, absent):
    """Date x fund values as the client sends them, a share of the cells absent."""
    frame = pd.DataFrame({field: wide.to_numpy().T.ravel()}, index=pd.MultiIndex.from_product(
        [wide.columns, wide.index], names=["order_book_id", "date"]))
    return frame[rng.random(len(frame)) >= absent]


@pytest.mark.parametrize("absent,missing", [(0.1, 0.1), (0.0, 0.1), (0.0, 0.0)],
                         ids=["sparse", "complete-with-nan", "complete"])
def test_fund_returns_match_plain_pandas_on_random_data(client, absent, missing):
    rng = np.random.default_rng(11)
    days = pd.date_range("2024-01-01", periods=60)
    trading = days[days.day_of_week < 5]
    dp_ids = ["M%02d" % k for k in range(6)]
    nv_ids = ["N%02d" % k for k in range(6)]
    dp = pd.DataFrame(rng.normal(1.0, 0.5, (len(days), 6)), index=days, columns=dp_ids)
    dp[rng.random(dp.shape) < missing] = np.nan
    nv = pd.DataFrame(np.cumprod(1 + rng.normal(0, 0.01, (len(trading), 6)), axis=0),
                      index=trading, columns=nv_ids)
    nv[rng.random(nv.shape) < missing] = np.nan
    answers = {"daily_profit": long_form(dp, rng, "daily_profit", absent),
               "adjusted_net_value": long_form(nv, rng, "adjusted_net_value", absent)}
    client(trading, catalogue=catalogue([(i, True, i) for i in dp_ids] + [(i, False, i) for i in nv_ids]),
           nav=answers)
    dates = pd.DatetimeIndex(sorted(rng.choice(trading[1:-3], 20, replace=False)))
    ids = list(rng.permutation(dp_ids + nv_ids))
    out = quenta.get_public_fund_daily_returns(ids, dates)
    dp_in, nv_in = (answers[f][f].unstack(0) for f in ("daily_profit", "adjusted_net_value"))
    expected = pd.concat([reference_daily_profit(dp_in, dates), reference_net_value(nv_in, dates)],
                         axis=1)
    expected.index.name, expected.columns.name = "date", "order_book_id"
    pd.testing.assert_frame_equal(out, expected, check_exact=False, rtol=1e-12, atol=1e-15,
                                  check_index_type=False, check_column_type=False, check_freq=False)


def test_daily_profit_follows_python_bisect_on_unordered_dates(client):
    # Dates out of order still land where a bisect over the list as given puts them.
    days = pd.date_range("2024-01-01", periods=12)
    profit = pd.DataFrame({"M1": np.arange(1.0, 13.0), "M2": np.arange(12.0, 0.0, -1.0)},
                          index=days)
    client(days, catalogue=catalogue([("M1", True, "a"), ("M2", True, "b")]),
           nav={"daily_profit": long_form(profit, np.random.default_rng(0), "daily_profit", 0.0)})
    dates = pd.DatetimeIndex([days[3], days[9], days[6], days[11]])
    out = quenta.get_public_fund_daily_returns(["M1", "M2"], dates)
    expected = reference_daily_profit(profit, dates)
    np.testing.assert_allclose(out.to_numpy(), expected.to_numpy(), rtol=1e-12)


def test_repeated_fund_rows_are_refused(client):
    client([THU, FRI, MON], catalogue=catalogue([("N1", False, "eq")]),
           nav={"adjusted_net_value": net_values([("N1", THU, 1.0), ("N1", FRI, 1.1),
                                                  ("N1", FRI, 1.2)])})
    with pytest.raises(ValueError, match="duplicate"):
        quenta.get_public_fund_daily_returns(["N1"], [FRI])
