"""The local data client: its answers have the shapes the data modules rely upon, every
public data function gives real results on the sample market, and CSV import is strict."""

import datetime
import importlib
import os
import shutil
import sqlite3
import subprocess
import sys

import duckdb
import numpy as np
import pandas as pd
import pytest

from fakes_local import client_pythonpath, local, require, sample_path  # noqa: F401  (fixture)

D = datetime.date
SPLIT_STOCK, SPLIT_DAY = "300142.XSHE", "2024-06-19"
DIVIDEND_STOCK = "600100.XSHG"
TWIN, INTERBANK = "019727.XSHG", "230026.NIB"
AMORTISING = "2380101.NIB"
MONEY_FUND, NAV_FUND = "970101", "970201"
STOCK_INDEX, BOND_INDEX = "000060.XSHG", "KVX1001.INDX"
CURVE = "中债国债收益率曲线"


def month(local, market="exchange", start="2025-11-03", end="2025-11-28"):
    get = local.get_trading_dates if market == "exchange" else local.bond.get_trading_dates
    return pd.DatetimeIndex(get(start, end))


# --- client shapes ---------------------------------------------------------------------------

class TestCalendars:
    def test_exchange_and_interbank_years(self, local):
        exchange = local.get_trading_dates("2024-01-01", "2025-12-31")
        interbank = local.bond.get_trading_dates("2024-01-01", "2025-12-31")
        assert len(exchange) == 485 and exchange == sorted(exchange)
        assert all(type(d) is datetime.date for d in exchange)
        assert set(exchange) < set(interbank)
        extra = sorted(set(interbank) - set(exchange))
        assert D(2024, 2, 4) in extra and D(2025, 10, 11) in extra  # weekend working days
        assert all(d.weekday() >= 5 for d in extra if d != D(2024, 2, 9))

    def test_holidays(self, local):
        assert not local.is_trading_date("2025-10-08")
        assert not local.is_trading_date(D(2024, 2, 12))
        assert local.is_trading_date(pd.Timestamp("2025-10-09"))
        assert local.get_trading_dates("2025-01-28", "2025-02-04") == []

    def test_previous_and_next(self, local):
        assert local.get_previous_trading_date("2024-02-19") == D(2024, 2, 8)
        assert local.bond.get_previous_trading_date("2024-02-19") == D(2024, 2, 18)
        assert local.get_next_trading_date(pd.Timestamp("2024-10-05"), 2) == D(2024, 10, 9)
        assert local.get_previous_trading_date(20240105, n=3) == D(2024, 1, 2)

    def test_outside_the_calendar(self, local):
        # before the first stored date: not a ValueError, which callers read as no data
        for day in ("2024-01-02", "2023-06-01"):
            with pytest.raises(local.local.NoEarlierDate, match="calendar starts on 2024-01-02; "
                               "ask from the trading date after 2024-01-02") as caught:
                local.get_previous_trading_date(day)
            assert not isinstance(caught.value, ValueError)
        with pytest.raises(local.local.NoEarlierDate, match="interbank"):
            local.bond.get_previous_trading_date("2024-01-01")
        with pytest.raises(ValueError, match="outside"):
            local.get_next_trading_date("2026-03-01")
        with pytest.raises(ValueError, match="invalid date"):
            local.get_next_trading_date("not a date")


class TestPrices:
    def test_frame_on_id_and_date(self, local):
        frame = local.get_price([DIVIDEND_STOCK, "SX2603"], "2025-12-01", "2025-12-31",
                                fields="close", expect_df=True, adjust_type="none")
        assert list(frame.index.names) == ["order_book_id", "date"]
        assert list(frame.columns) == ["close"] and frame["close"].dtype == np.float64
        assert frame.index.get_level_values(1).dtype.kind == "M"
        assert set(frame.index.get_level_values(0)) == {"SX2603", DIVIDEND_STOCK}
        assert len(frame) == 2 * len(local.get_trading_dates("2025-12-01", "2025-12-31"))

    def test_nothing_is_none(self, local):
        assert local.get_price(["NOPE"], "2025-01-02", "2025-01-10", fields="close") is None
        assert local.get_price([DIVIDEND_STOCK], "2025-01-02", "2025-01-10",
                               fields="settlement") is None  # stocks have no settlement
        with pytest.raises(ValueError, match="unknown price field"):
            local.get_price([DIVIDEND_STOCK], "2025-01-02", "2025-01-10", fields="vwap")

    def test_futures_settle(self, local):
        frame = local.get_price(["SX2603"], "2025-12-01", "2025-12-31", fields="settlement",
                                adjust_type="post")
        assert frame["settlement"].notna().all() and frame["settlement"].std() > 0

    def test_post_adjustment_restates_splits_and_dividends(self, local):
        raw = local.get_price([SPLIT_STOCK], "2024-06-03", "2024-06-28", fields="close",
                              adjust_type="none")["close"].droplevel(0)
        post = local.get_price([SPLIT_STOCK], "2024-06-03", "2024-06-28", fields="close",
                               adjust_type="post")["close"].droplevel(0)
        day = pd.Timestamp(SPLIT_DAY)
        before = raw.index[raw.index.get_loc(day) - 1]
        assert raw[day] / raw[before] < 0.6  # halved by the split
        assert post[day] / post[before] == pytest.approx(2 * raw[day] / raw[before])
        dividends = local.get_dividend([SPLIT_STOCK], "2024-06-01", "2024-06-30").reset_index()
        ex = pd.Timestamp(dividends.ex_dividend_date[0])
        prev = raw.index[raw.index.get_loc(ex) - 1]
        cash = dividends.dividend_cash_before_tax[0] / dividends.round_lot[0]
        assert post[ex] / post[prev] == pytest.approx((raw[ex] + cash) / raw[prev])

    def test_split_and_dividend_frames(self, local):
        splits = local.get_split(pd.Index([SPLIT_STOCK, DIVIDEND_STOCK]),
                                 pd.Timestamp("2024-01-02"), pd.Timestamp("2025-12-31"))
        assert list(splits.index.names) == ["order_book_id", "ex_dividend_date"]
        row = splits.reset_index().iloc[0]
        assert row.order_book_id == SPLIT_STOCK and row.split_coefficient_to / row.split_coefficient_from == 2
        dividends = local.get_dividend([DIVIDEND_STOCK], "2024-01-01", "2025-12-31")
        assert len(dividends) == 2
        assert {"dividend_cash_before_tax", "round_lot"} <= set(dividends.columns)
        assert local.get_split([DIVIDEND_STOCK], "2024-01-01", "2025-12-31") is None


class TestInstruments:
    def test_catalogue(self, local):
        frame = local.all_instruments()
        assert {"order_book_id", "type"} <= set(frame.columns)
        counts = frame.type.value_counts()
        assert counts["CS"] == 60
        assert {"ETF", "LOF", "INDX", "Future", "Option"} <= set(counts.index)
        assert frame.order_book_id.is_unique

    def test_records(self, local):
        stock = local.instruments(DIVIDEND_STOCK)
        assert stock.order_book_id == DIVIDEND_STOCK and stock.type == "CS"
        datetime.datetime.strptime(stock.listed_date, "%Y-%m-%d")
        assert stock.de_listed_date == "0000-00-00"
        assert local.instruments("688429.XSHG").de_listed_date == "2024-11-29"
        assert local.instruments("NOPE") is None
        assert [r.order_book_id for r in local.instruments(["NOPE", DIVIDEND_STOCK])] == [DIVIDEND_STOCK]

    def test_namespaces(self, local):
        assert local.fund.instruments("510060.XSHG").type == "ETF"
        assert local.fund.instruments(MONEY_FUND).accrued_daily is True
        assert local.instruments(MONEY_FUND) is None
        bond = local.bond.instruments(AMORTISING)
        assert bond.frequency == 2 and bond.coupon_rate > 0
        assert local.bond.instruments(DIVIDEND_STOCK) is None
        assert local.convertible.instruments("113901.XSHG").type == "Convertible"

    def test_fund_catalogue(self, local):
        funds = local.fund.all_instruments().set_index("order_book_id")
        assert funds.accrued_daily.dtype == bool
        assert funds.accrued_daily[MONEY_FUND] and not funds.accrued_daily[NAV_FUND]
        assert {"510060.XSHG", "161005.XSHE"} <= set(funds.index)


class TestWeights:
    def test_stock_index_lists(self, local):
        weights = local.index_weights(STOCK_INDEX, "2025-06-18")
        assert weights.index.name == "order_book_id"
        assert weights.sum() == pytest.approx(1.0, abs=1e-4) and len(weights) > 40
        assert local.index_weights(STOCK_INDEX, "2023-12-01") is None
        assert local.index_weights("NOPE") is None
        records = local.client.get_client().execute("__internal__index_weights", STOCK_INDEX,
                                                    20250610, 20250930)
        assert [r["date"] for r in records] == [datetime.datetime(2025, m, 1) for m in (7, 8, 9)]
        assert records[0]["data"][0].keys() >= {"order_book_id", "weight"}
        assert local.client.get_client().execute("__internal__index_weights", "NOPE",
                                                 20250101, 20251231) == []

    def test_bond_index(self, local):
        series = local.bond.index_weights(BOND_INDEX, "2025-12-01", "2025-12-31")
        assert list(series.index.names) == ["date", "order_book_id"]
        assert series.groupby(level=0).sum().round(4).eq(1.0).all()
        assert local.bond.index_weights(BOND_INDEX, "2030-01-01", "2030-02-01") is None


class TestBondData:
    def test_valuation_fields(self, local):
        frame = local.bond.get_valuation([AMORTISING], "2025-04-17", "2025-04-23",
                                         source="chinabond", valuation_type="short",
                                         fields=["dirty_price_eod", "residual_principal", "nope"])
        assert list(frame.columns) == ["dirty_price_eod", "residual_principal"]
        assert list(frame.index.names) == ["order_book_id", "date"]
        residual = frame["residual_principal"].to_numpy()
        assert residual[0] == 80 and residual[-1] == 60  # repaid on 2025-04-20
        dirty = frame["dirty_price_eod"].to_numpy()
        assert dirty[0] - dirty[-1] == pytest.approx(21.2, abs=1.0)  # per original face
        assert local.bond.get_valuation(["NOPE"], "2025-01-01", "2025-01-31") is None

    def test_coupon_day_resets_accrued_interest(self, local):
        frame = local.bond.get_valuation([INTERBANK], "2025-05-20", "2025-05-30",
                                         fields=["accrued_interest_eod", "accrued_interest_intraday"])
        eod = frame["accrued_interest_eod"].droplevel(0)
        paid = eod.diff() < 0
        assert paid.sum() == 1  # coupon of 25 May
        day = eod.index[paid.to_numpy()][0]
        assert frame.loc[(INTERBANK, day), "accrued_interest_intraday"] < 0.05

    def test_twins_and_market_codes(self, local):
        codes = local.bond.get_secu_market_code([TWIN, INTERBANK, "188123.XSHG"])
        assert codes.loc[TWIN, "NIB"] == INTERBANK and codes.loc[INTERBANK, "NIB"] == INTERBANK
        assert pd.isna(codes.loc["188123.XSHG", "NIB"])
        twin = local.bond.get_valuation([TWIN], "2024-01-02", "2024-12-31")
        own = local.bond.get_valuation([INTERBANK], "2024-01-02", "2024-12-31")
        assert len(twin) < len(own)  # listed later, and no weekend working days

    def test_yield_curve(self, local):
        frame = local.bond.get_yield_curves(names=CURVE, type="yield_curve",
                                            start_date=pd.Timestamp("2025-12-29"),
                                            end_date=pd.Timestamp("2025-12-31"))
        assert list(frame.columns) == ["tenor", "rate"]
        wide = frame.droplevel(0).pivot(columns="tenor", values="rate")
        assert wide.shape == (3, 11) and (wide[10.0] > wide[0.25]).all()
        assert local.bond.get_yield_curves(names="nope") is None


class TestFunds:
    def test_daily_profit_every_calendar_day(self, local):
        frame = local.fund.get_nav([MONEY_FUND, NAV_FUND], "2025-12-26", "2025-12-31",
                                   "daily_profit", expect_df=True)
        assert set(frame.index.get_level_values(0)) == {MONEY_FUND}
        assert len(frame) == 6 and (frame["daily_profit"] > 0).all()

    def test_net_values(self, local):
        frame = local.fund.get_nav([NAV_FUND], "2024-12-01", "2024-12-31", "adjusted_net_value")
        assert len(frame) == len(local.get_trading_dates("2024-12-01", "2024-12-31"))
        unit = local.fund.get_nav([NAV_FUND], "2024-12-18", "2024-12-24",
                                  ["unit_net_value", "adjusted_net_value"])
        ratio = unit["adjusted_net_value"] / unit["unit_net_value"]
        assert ratio.iloc[-1] > ratio.iloc[0] * 1.02  # a distribution in between
        assert local.fund.get_nav(["NOPE"], "2024-12-01", "2024-12-31", "daily_profit") is None


class TestServices:
    def test_shenwan_records(self, local):
        records = local.client.get_client().execute("__internal__shenwan_industry")
        assert {"version", "index_name", "order_book_id", "start_date"} <= set(records[0])
        assert {r["version"] for r in records} == {2, 3}
        names = {r["index_name"] for r in records}
        assert {"采掘", "休闲服务", "餐饮旅游", "金融服务"} <= names
        assert all(isinstance(r["start_date"].date(), datetime.date) for r in records)

    def test_citic_records(self, local):
        records = local.client.get_client().execute("__internal__zx2019_industry")
        assert {"order_book_id", "start_date", "first_industry_name"} <= set(records[0])
        assert len({r["order_book_id"] for r in records}) == 60

    def test_unknown_service(self, local):
        with pytest.raises(ValueError, match="unknown service"):
            local.client.get_client().execute("__internal__nope")


class TestDatabase:
    def test_missing_or_foreign_file(self, local, monkeypatch, tmp_path):
        monkeypatch.setenv(local.ENV_VAR, str(tmp_path / "none.sqlite"))
        with pytest.raises(local.LocalDataError, match="no database"):
            local.get_trading_dates("2024-01-01", "2024-01-31")
        other = tmp_path / "other.sqlite"
        other.write_text("not a database at all")
        monkeypatch.setenv(local.ENV_VAR, str(other))
        with pytest.raises(local.LocalDataError, match="not an ondrax local database"):
            local.get_trading_dates("2024-01-01", "2024-01-31")

    def test_sample_is_deterministic(self, local, tmp_path):
        again = tmp_path / "again.duckdb"
        local.local.write_sample(str(again))
        assert table_rows(sample_path()) == table_rows(again)

    def test_sample_portfolio_as_quantities(self, local, tmp_path):
        path = local.local.write_sample_holdings(str(tmp_path / "h.csv"))
        rows = pd.read_csv(path, dtype={"order_book_id": str})
        assert list(rows.columns) == ["date", "order_book_id", "quantity"] and len(rows) == 25
        assert (rows["date"] == "2025-06-30").all() and (rows["quantity"] > 0).all()
        quantity = rows.set_index("order_book_id")["quantity"]
        close = local.get_price(["600100.XSHG"], "2025-06-30", "2025-06-30", fields="close",
                                adjust_type="none")["close"].iloc[0]
        assert quantity["600100.XSHG"] % 100 == 0
        assert quantity["600100.XSHG"] * close == pytest.approx(4e6, rel=0.01)  # 4 % of 1e8
        assert quantity["CNY"] == 6e6 and local.instruments("10008001").contract_multiplier == 10000
        with pytest.raises(FileExistsError):
            local.local.write_sample_holdings(path)

    def test_larger_sample_has_a_broad_index(self, local, monkeypatch, tmp_path):
        path = tmp_path / "wider.duckdb"
        local.local.write_sample(str(path), stocks=260, dates=130)
        monkeypatch.setenv(local.ENV_VAR, str(path))
        days = local.get_trading_dates("2025-07-01", "2025-12-31")
        lists = local.client.get_client().execute("__internal__index_weights", "000750.XSHG",
                                                  20250701, 20251231)
        assert len(lists) == 6  # one list a month
        assert all(len(r["data"]) == 50 for r in lists)  # a quarter of the 200 further stocks
        assert sum(w["weight"] for w in lists[0]["data"]) == pytest.approx(1.0, abs=1e-4)
        closes = local.get_price(["000750.XSHG"], days[0], days[-1], fields="close")["close"]
        assert len(closes) == len(days) and closes.iloc[0] > 0


# --- every public data function on the sample ------------------------------------------------

class TestDataModules:
    def test_equity_futures_option_returns(self, local):
        quenta = require("quenta")
        dates = month(local)
        stocks = quenta.get_equity_daily_returns([DIVIDEND_STOCK, SPLIT_STOCK, "510060.XSHG"], dates)
        assert stocks.shape == (len(dates), 3) and stocks.notna().all().all()
        assert (stocks.std() > 0.002).all()
        futures = quenta.get_future_daily_returns(["SX2603"], dates)
        options = quenta.get_option_daily_returns(["10008001"], dates)
        assert futures.std().iloc[0] > 0 and options.std().iloc[0] > futures.std().iloc[0]

    def test_split_and_dividend_days_are_ordinary_returns(self, local):
        quenta = require("quenta")
        dates = pd.DatetimeIndex(local.get_trading_dates("2024-06-03", "2024-06-28"))
        frame = quenta.get_equity_daily_returns([SPLIT_STOCK, DIVIDEND_STOCK], dates)
        assert frame.abs().max().max() < 0.12

    def test_bond_returns(self, local):
        quenta = require("quenta")
        dates = month(local, start="2025-04-01", end="2025-05-30")
        frame = quenta.get_bond_daily_returns([TWIN, AMORTISING, "2480055.NIB"], dates)
        assert frame.abs().max().max() < 0.02  # repayments and coupons are not losses
        assert (frame.std() > 0).all()

    def test_fund_and_cash_returns(self, local):
        quenta = require("quenta")
        dates = month(local)
        frame = quenta.get_public_fund_daily_returns([MONEY_FUND, NAV_FUND], dates)
        assert list(frame.columns) == [MONEY_FUND, NAV_FUND]
        monday = frame.loc[pd.Timestamp("2025-11-10"), MONEY_FUND]
        assert monday > 2.5 * frame.loc[pd.Timestamp("2025-11-07"), MONEY_FUND]  # the weekend
        assert frame[NAV_FUND].std() > 0.001
        assert (quenta.get_cash_daily_returns(["CNY"], dates, 0.0001) == 0.0001).all().all()

    def test_prices(self, local):
        oprane = require("oprane")
        dates = pd.date_range("2025-09-26", "2025-10-12", name="date")
        prices = oprane.get_equity_price([DIVIDEND_STOCK], dates)
        assert prices.notna().all().all()
        assert prices.loc["2025-10-01":"2025-10-08"].nunique().iloc[0] == 1  # the holiday
        settle = oprane.get_futures_price(["SX2603"], dates)
        assert settle.notna().all().all()

    def test_asset_types_and_instruments(self, local):
        brisel = require("brisel")
        types = brisel.get_asset_types([DIVIDEND_STOCK, "510060.XSHG", "161005.XSHE", "SX2603",
                                        "10008001", STOCK_INDEX, MONEY_FUND, TWIN])
        assert types == {DIVIDEND_STOCK: "stock", "510060.XSHG": "fund", "161005.XSHE": "fund",
                         "SX2603": "futures", "10008001": "option", STOCK_INDEX: "index",
                         MONEY_FUND: "public_fund"}
        assert brisel.get_instrument("510060.XSHG").type == "ETF"
        assert brisel.is_stock(DIVIDEND_STOCK) and not brisel.is_stock("510060.XSHG")
        assert brisel.is_stock_index_and_have_weight(STOCK_INDEX)
        assert brisel.maybe_bond_index(BOND_INDEX)

    def test_industries(self, local):
        sorvan = require("sorvan")
        stocks = ["688121.XSHG", "688177.XSHG", "000303.XSHE", "600156.XSHG", "688429.XSHG"]
        dates = ["2024-06-28", "2024-07-01", "2024-12-02"]
        frame = sorvan.get_stock_industry(stocks, dates, "sws")
        named = frame.idxmax(axis=1).where(frame.sum(axis=1) > 0)
        assert named[(pd.Timestamp("2024-06-28"), "688121.XSHG")] == "煤炭"  # was 采掘
        assert named[(pd.Timestamp("2024-06-28"), "688177.XSHG")] == "社会服务"  # was 休闲服务
        assert named[(pd.Timestamp("2024-06-28"), "000303.XSHE")] != "金融服务"
        assert named[(pd.Timestamp("2024-06-28"), "600156.XSHG")] != \
            named[(pd.Timestamp("2024-07-01"), "600156.XSHG")]
        assert pd.isna(named[(pd.Timestamp("2024-12-02"), "688429.XSHG")])  # delisted
        assert frame.sum(axis=1).max() == 1
        citic = sorvan.get_stock_industry(stocks, dates, "citics")
        assert citic.shape[0] == frame.shape[0] and citic.sum().sum() > 10

    def test_index_weights(self, local):
        pelmar = require("pelmar")
        dates = month(local, start="2025-10-20", end="2025-11-28")
        stock = pelmar.get_stock_index_weight(STOCK_INDEX, dates)
        assert stock.shape[0] == len(dates) and stock.shape[1] > 40
        assert np.allclose(stock.sum(axis=1), 1.0)
        assert not stock.loc["2025-10-31"].equals(stock.loc["2025-11-03"])  # a new list
        bond = pelmar.get_bond_index_weight(BOND_INDEX, dates)
        assert bond.notna().all().all() and np.allclose(bond.sum(axis=1), 1.0, atol=1e-4)

    def test_valuations_and_curve(self, local):
        caldre = require("caldre")
        frame = caldre.get_chinabond_valuation([TWIN, "188123.XSHG"],
                                               ["yield_to_maturity", "period_of_repayment"],
                                               "2024-02-01", "2024-02-29")
        assert list(frame.columns) == ["yield_to_maturity", "period_of_repayment"]
        ids = set(frame.index.get_level_values("order_book_id"))
        assert ids == {TWIN, "188123.XSHG"}  # the twin answered from its interbank id
        twin_days = frame.loc[TWIN].index
        assert pd.Timestamp("2024-02-04") in twin_days  # an interbank-only day
        curve = caldre.get_treasury_bond_yield(month(local, "interbank"))
        assert curve.shape[1] == 11 and curve.notna().all().all()

    def test_returns_from_the_first_stored_date(self, local):
        # the stocks have prices on every date but the first has no close before it: the
        # error says so and what to do, rather than that the data is missing
        quenta = require("quenta")
        dates = pd.DatetimeIndex(local.get_trading_dates("2024-01-01", "2024-01-31"))
        with pytest.raises(local.local.NoEarlierDate, match="calendar starts on 2024-01-02"):
            quenta.get_equity_daily_returns(["600100.XSHG", "600156.XSHG"], dates)
        later = quenta.get_equity_daily_returns(["600100.XSHG", "600156.XSHG"], dates[1:])
        assert later.shape == (len(dates) - 1, 2) and later.notna().all().all()

    def test_calendars(self, local):
        tolvik = require("tolvik")
        assert tolvik.get_exchange_previous_trading_date("2024-02-19") == datetime.datetime(2024, 2, 8)
        assert tolvik.is_bank_trading_date(None, D(2024, 2, 4))
        assert not tolvik.is_bank_trading_date(None, D(2024, 2, 3))
        assert len(tolvik.get_bank_trading_dates("2024-01-01", "2025-12-31")) == 499


# --- CSV import ------------------------------------------------------------------------------

def table_rows(path):
    """{table: sorted rows} of a database file, read through a connection closed on every path."""
    conn = duckdb.connect(str(path), read_only=True)
    try:
        names = [r[0] for r in conn.execute("SELECT table_name FROM duckdb_tables()").fetchall()]
        return {n: sorted(conn.execute("SELECT * FROM %s" % n).fetchall(), key=repr)
                for n in names}
    finally:
        conn.close()


def write_csvs(directory, **tables):
    os.makedirs(directory, exist_ok=True)
    for name, text in tables.items():
        with open(os.path.join(directory, name + ".csv"), "w", encoding="utf-8") as handle:
            handle.write(text.strip() + "\n")


CALENDAR = "market,date\nexchange,2024-01-02\nexchange,2024-01-03\nexchange,20240104\n" \
           "interbank,2024-01-02\ninterbank,2024-01-03"
INSTRUMENTS = "order_book_id,catalogue,type,symbol,listed_date,sector,code,lot\n" \
              "A.XSHG,exchange,CS,甲,2010-01-04,tech,000001,2.5\nF1,fund,Money,货币,,,,\n"
PRICES = "order_book_id,date,close\nA.XSHG,2024-01-02,10\nA.XSHG,2024-01-03,10.5\n" \
         "A.XSHG,2024-01-04,10.2"


class TestLoad:
    def test_round_trip(self, local, monkeypatch, tmp_path):
        write_csvs(tmp_path / "csv", calendar=CALENDAR, instruments=INSTRUMENTS, prices=PRICES)
        target = tmp_path / "mine.sqlite"
        counts = local.local.load_csv(str(tmp_path / "csv"), str(target))
        assert counts == {"calendar": 5, "instruments": 2, "prices": 3}
        monkeypatch.setenv(local.ENV_VAR, str(target))
        assert local.get_previous_trading_date("2024-01-04") == D(2024, 1, 3)
        close = local.get_price(["A.XSHG"], "2024-01-01", "2024-01-31", fields="close")
        assert close["close"].tolist() == [10.0, 10.5, 10.2]
        record = local.instruments("A.XSHG")
        assert record.sector == "tech" and record.symbol == "甲"
        assert record.code == "000001" and record.lot == 2.5
        assert local.fund.all_instruments().order_book_id.tolist() == ["F1"]
        assert local.get_split(["A.XSHG"]) is None

    @pytest.mark.parametrize("ending", ["\r\n", "\r"])
    def test_any_line_ending(self, local, tmp_path, ending):
        # CR alone is how old Mac spreadsheets save; rows and line numbers are the same
        write_csvs(tmp_path / "csv", calendar=CALENDAR, instruments=INSTRUMENTS)
        (tmp_path / "csv" / "prices.csv").write_bytes(PRICES.replace("\n", ending).encode())
        counts = local.local.load_csv(str(tmp_path / "csv"), str(tmp_path / "a.duckdb"))
        assert counts["prices"] == 3
        (tmp_path / "csv" / "prices.csv").write_bytes(
            (PRICES + "\nA.XSHG,2024-01-05,ten").replace("\n", ending).encode())
        with pytest.raises(local.local.CsvError, match="prices.csv line 5: bad number 'ten'"):
            local.local.load_csv(str(tmp_path / "csv"), str(tmp_path / "b.duckdb"))

    @pytest.mark.parametrize("table, text, message", [
        ("instruments", "order_book_id,catalogue\nA,exchange", r"instruments.csv line 1: missing column 'type'"),
        ("prices", "order_book_id,close\nA.XSHG,1", r"prices.csv line 1: missing column 'date'"),
        ("prices", PRICES + "\nA.XSHG,2024-13-01,3", r"prices.csv line 5: bad date '2024-13-01' in column date"),
        ("prices", PRICES + "\nA.XSHG,2024-01-05,ten", r"prices.csv line 5: bad number 'ten' in column close"),
        ("prices", PRICES + "\nA.XSHG,2024-01-03,11", r"prices.csv line 5: repeats line 3"),
        ("calendar", CALENDAR + "\nmoon,2024-01-05", r"calendar.csv line 7: market must be one of"),
        ("splits", "order_book_id,ex_dividend_date,split_coefficient_from\nA,2024-01-02,1",
         r"splits.csv line 1: missing column 'split_coefficient_to'"),
        ("prices", "order_book_id,date,close,vwap\nA,2024-01-02,1,1", r"prices.csv line 1: unknown column 'vwap'"),
        ("prices", "order_book_id,date,close\nA,2024-01-02", r"prices.csv line 2: 2 fields where the header has 3"),
        ("dividends", "order_book_id,ex_dividend_date,dividend_cash_before_tax,round_lot\n,2024-01-02,1,10",
         r"dividends.csv line 2: empty order_book_id"),
        ("prices", PRICES + "\nA.XSHG,2024-01-05,nan", r"line 5: 'nan' in column close is not a finite"),
        ("prices", PRICES.replace("10.5", "0"), r"line 3: close must be above zero, got 0"),
        ("prices", PRICES.replace("10.5", "-3"), r"line 3: close must be above zero, got -3"),
        ("prices", PRICES + "\nA.XSHG,2024-01-06,10", r"line 5: 2024-01-06 is not a trading day of the "
         r"exchange calendar \(Saturday\)"),
        ("prices", PRICES + "\nA.XSHG,2023-12-29,10", r"line 5: 2023-12-29 is not a trading day"),
        ("prices", PRICES + "\nB.XSHG,2024-01-02,10", r"line 5: order_book_id 'B.XSHG' is not listed in "
         r"instruments.csv"),
        ("industries", "standard,order_book_id,start_date,industry_name\nsws,B,2024-01-02,银行",
         r"industries.csv line 2: order_book_id 'B' is not listed"),
        ("splits", "order_book_id,ex_dividend_date,split_coefficient_from,split_coefficient_to\n"
         "A.XSHG,2024-01-03,0,2", r"splits.csv line 2: split_coefficient_from must be above zero"),
        ("dividends", "order_book_id,ex_dividend_date,dividend_cash_before_tax,round_lot\n"
         "A.XSHG,2024-01-03,-1,10", r"dividends.csv line 2: dividend_cash_before_tax must not be negative"),
        ("index_weights", "index_id,date,order_book_id,weight\nA.XSHG,2024-01-02,A.XSHG,-0.5",
         r"index_weights.csv line 2: weight must not be negative"),
        ("instruments", "order_book_id,catalogue,type,round_lot\nA.XSHG,exchange,CS,99999999999999999999",
         r"instruments.csv line 2: bad integer '99999999999999999999' in column round_lot"),
        ("prices", "order_book_id;date;close\nA.XSHG;2024-01-02;10",
         r"prices.csv line 1: .* separated by semicolons; save it with commas"),
    ])
    def test_errors_name_file_and_line(self, local, tmp_path, table, text, message):
        tables = {"calendar": CALENDAR, "instruments": INSTRUMENTS, "prices": PRICES}
        tables[table] = text
        write_csvs(tmp_path / "csv", **tables)
        target = tmp_path / "mine.sqlite"
        with pytest.raises(local.local.CsvError, match=message):
            local.local.load_csv(str(tmp_path / "csv"), str(target))
        assert sorted(os.listdir(tmp_path)) == ["csv"]  # nothing half-written

    def test_not_utf8_names_the_line(self, local, tmp_path):
        write_csvs(tmp_path / "csv", calendar=CALENDAR, instruments=INSTRUMENTS)
        (tmp_path / "csv" / "prices.csv").write_bytes(
            (PRICES + "\n").encode() + "A.XSHG,2024-01-05,甲\n".encode("gbk"))
        with pytest.raises(local.local.CsvError, match="prices.csv line 5: not UTF-8 text; save"):
            local.local.load_csv(str(tmp_path / "csv"), str(tmp_path / "x.duckdb"))
        assert sorted(os.listdir(tmp_path)) == ["csv"]

    def test_unusual_rows_are_loaded_with_warnings(self, local, tmp_path):
        # a Saturday in the exchange calendar is a warning, prices on it are kept; the
        # interbank market does trade on some weekend days
        write_csvs(tmp_path / "csv",
                   calendar=CALENDAR + "\nexchange,2024-01-06\ninterbank,2024-01-06",
                   prices=PRICES.replace("10.2", "21") + "\nA.XSHG,2024-01-06,21.5",
                   instruments=INSTRUMENTS + "B.XSHG,exchange,CS,乙,,,,")
        result = local.local.load_csv(str(tmp_path / "csv"), str(tmp_path / "x.duckdb"))
        assert result["prices"] == 4
        assert result.warnings == [
            "prices.csv line 4: A.XSHG closed +100.0% on 2024-01-04 without a split or "
            "dividend that day",
            "calendar.csv line 7: 2024-01-06 is a Saturday: exchanges do not trade at weekends",
            "instruments.csv line 4: B.XSHG has no prices"]

    def test_whole_directory_checks(self, local, tmp_path):
        write_csvs(tmp_path / "a", prices=PRICES)
        with pytest.raises(local.local.CsvError, match="calendar.csv: missing"):
            local.local.load_csv(str(tmp_path / "a"), str(tmp_path / "x.sqlite"))
        write_csvs(tmp_path / "b", calendar=CALENDAR, quotes=PRICES)
        with pytest.raises(local.local.CsvError, match="quotes.csv: unknown table"):
            local.local.load_csv(str(tmp_path / "b"), str(tmp_path / "x.sqlite"))
        assert not os.path.exists(tmp_path / "x.sqlite")

    def test_existing_database_is_kept_unless_overwritten(self, local, tmp_path):
        write_csvs(tmp_path / "csv", calendar=CALENDAR)
        target = tmp_path / "mine.sqlite"
        target.write_bytes(b"precious")
        with pytest.raises(FileExistsError):
            local.local.load_csv(str(tmp_path / "csv"), str(target))
        assert target.read_bytes() == b"precious"
        write_csvs(tmp_path / "csv", prices=PRICES + "\nA.XSHG,bad,1")
        with pytest.raises(local.local.CsvError):
            local.local.load_csv(str(tmp_path / "csv"), str(target), overwrite=True)
        assert target.read_bytes() == b"precious"  # a failed load replaces nothing
        os.remove(tmp_path / "csv" / "prices.csv")
        local.local.load_csv(str(tmp_path / "csv"), str(target), overwrite=True)
        assert len(table_rows(target)["calendar"]) == 5


def stored_rows(path, table):
    conn = duckdb.connect(str(path), read_only=True)
    try:
        return conn.execute("SELECT * FROM %s" % table).fetchall()  # in stored order
    finally:
        conn.close()


class TestLargeTables:
    def test_sorted_a_range_of_instruments_at_a_time(self, local, monkeypatch, tmp_path):
        csv_dir = tmp_path / "csv"
        local.local.write_sample_csv(str(csv_dir), stocks=12, dates=130)
        local.local.load_csv(str(csv_dir), str(tmp_path / "whole.duckdb"))
        build = importlib.import_module("ondrax._build")
        monkeypatch.setattr(build, "SORT_ROWS", 300)
        local.local.load_csv(str(csv_dir), str(tmp_path / "ranged.duckdb"))
        for table in ("prices", "dividends", "instruments"):
            whole = stored_rows(tmp_path / "whole.duckdb", table)
            assert len(whole) > 0 and stored_rows(tmp_path / "ranged.duckdb", table) == whole
        # a repeated row is found in whichever range it falls
        lines = (csv_dir / "prices.csv").read_text().splitlines()
        (csv_dir / "prices.csv").write_text("\n".join(lines + [lines[700]]) + "\n")
        with pytest.raises(local.local.CsvError, match="prices.csv line %d: repeats line 701"
                           % (len(lines) + 1)):
            local.local.load_csv(str(csv_dir), str(tmp_path / "again.duckdb"))


class TestAppend:
    def base(self, local, tmp_path):
        write_csvs(tmp_path / "csv", calendar=CALENDAR, instruments=INSTRUMENTS, prices=PRICES)
        target = tmp_path / "mine.duckdb"
        local.local.load_csv(str(tmp_path / "csv"), str(target))
        return target

    def append(self, local, tmp_path, replace=False, **tables):
        write_csvs(tmp_path / "day", **tables)
        try:
            return local.local.load_csv(str(tmp_path / "day"), str(tmp_path / "mine.duckdb"),
                                        append=True, replace=replace)
        finally:
            for name in tables:
                os.remove(tmp_path / "day" / (name + ".csv"))

    def test_a_day_is_added_checked_against_what_is_stored(self, local, monkeypatch, tmp_path):
        target = self.base(local, tmp_path)
        monkeypatch.setenv(local.ENV_VAR, str(target))
        assert len(local.get_price(["A.XSHG"], "2024-01-01", "2024-01-31", fields="close")) == 3
        self.append(local, tmp_path, calendar="market,date\nexchange,2024-01-05",
                    instruments="order_book_id,catalogue,type\nB.XSHG,exchange,CS",
                    prices="order_book_id,date,close\nA.XSHG,2024-01-05,10.4\nB.XSHG,2024-01-05,3")
        close = local.get_price(["A.XSHG", "B.XSHG"], "2024-01-01", "2024-01-31", fields="close")
        assert close["close"].tolist() == [10.0, 10.5, 10.2, 10.4, 3.0]  # the file was reopened
        assert local.instruments("A.XSHG").sector == "tech"  # stored rows are kept

    def test_a_failed_append_leaves_the_database_as_it_was(self, local, tmp_path):
        target = self.base(local, tmp_path)
        before = target.read_bytes()
        for tables, message in (
                ({"calendar": "market,date\nexchange,2024-01-05",
                  "prices": "order_book_id,date,close\nA.XSHG,2024-01-05,10\nA.XSHG,2024-01-08,10"},
                 r"prices.csv line 3: 2024-01-08 is not a trading day"),
                ({"prices": "order_book_id,date,close\nA.XSHG,2024-01-04,11"},
                 r"prices.csv line 2: would replace a stored row \(same order_book_id, date\); "
                 r"append with --replace"),
                ({"calendar": "market,date\nexchange,2024-01-03"}, r"calendar.csv line 2: would replace")):
            with pytest.raises(local.local.CsvError, match=message):
                self.append(local, tmp_path, **tables)
            assert target.read_bytes() == before
        assert sorted(os.listdir(tmp_path)) == ["csv", "day", "mine.duckdb"]
        self.append(local, tmp_path, replace=True, prices="order_book_id,date,close\nA.XSHG,2024-01-04,11")
        assert (datetime.date(2024, 1, 4), 11.0) in [(r[1], r[5]) for r in table_rows(target)["prices"]]

    def test_concurrent_loads_into_one_new_file(self, local, tmp_path):
        write_csvs(tmp_path / "csv", calendar=CALENDAR, instruments=INSTRUMENTS, prices=PRICES)
        code = ("import sys, ondrax.local as l\ntry:\n    l.load_csv(sys.argv[1], sys.argv[2])\n"
                "except FileExistsError:\n    sys.exit(3)\n")
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(client_pythonpath()))
        runs = [subprocess.Popen([sys.executable, "-c", code, str(tmp_path / "csv"),
                                  str(tmp_path / "one.duckdb")], env=env) for _ in range(3)]
        assert sorted(run.wait(timeout=120) for run in runs) == [0, 3, 3]
        assert len(table_rows(tmp_path / "one.duckdb")["prices"]) == 3

    def test_leftovers_of_a_killed_load_are_removed(self, local, monkeypatch, tmp_path):
        write_csvs(tmp_path / "csv", calendar=CALENDAR)
        for name in ("db%41.duckdb.partial-99999", "db%41.duckdb.partial-99999.wal"):
            (tmp_path / name).write_bytes(b"half")
        (tmp_path / "dbA.duckdb").write_bytes(b"another file")
        local.local.load_csv(str(tmp_path / "csv"), str(tmp_path / "db%41.duckdb"))
        assert sorted(os.listdir(tmp_path)) == ["csv", "db%41.duckdb", "dbA.duckdb"]
        monkeypatch.setenv(local.ENV_VAR, str(tmp_path / "db%41.duckdb"))  # the path as given
        assert len(local.get_trading_dates("2024-01-01", "2024-01-31")) == 3


class TestFiles:
    def test_old_foreign_and_damaged_files(self, local, monkeypatch, tmp_path):
        old = tmp_path / "old.sqlite"
        conn = sqlite3.connect(old)
        try:
            conn.execute("CREATE TABLE meta (key TEXT, value TEXT)")
            conn.commit()
        finally:
            conn.close()
        other = tmp_path / "other.duckdb"
        conn = duckdb.connect(str(other))
        try:
            conn.execute("CREATE TABLE t (x INTEGER)")
        finally:
            conn.close()
        damaged = tmp_path / "damaged.duckdb"
        shutil.copyfile(sample_path(), damaged)
        with open(damaged, "r+b") as handle:
            handle.seek(4096)
            handle.write(b"\xab" * 8192)
        for path, message in ((old, "written by an earlier version of this client .SQLite.; load "
                                    "its CSV files again with `brelvox-marketdata load"),
                              (other, "a DuckDB file but not an ondrax local database"),
                              (damaged, "damaged.duckdb is damaged")):
            monkeypatch.setenv(local.ENV_VAR, str(path))
            with pytest.raises(local.LocalDataError, match=message):
                local.get_trading_dates("2024-01-01", "2024-01-31")
            write_csvs(tmp_path / "csv", calendar=CALENDAR)
            with pytest.raises(local.LocalDataError, match=message):
                local.local.load_csv(str(tmp_path / "csv"), str(path), append=True)


class TestAdjustedPrices:
    @pytest.mark.parametrize("in_memory", [True, False])
    def test_against_a_plain_computation(self, local, monkeypatch, in_memory):
        if not in_memory:  # a table too large to keep: every request is a query
            monkeypatch.setattr(local._store, "CACHED_ROWS", 0)
            local._store._close()
        ids = list(local.all_instruments(type="CS").order_book_id)
        raw = local.get_price(ids, "2024-01-02", "2025-12-31", fields="close", adjust_type="none")["close"]
        splits = local.get_split(ids).reset_index()
        dividends = local.get_dividend(ids).reset_index()
        ratio = pd.concat([
            splits.assign(r=splits.split_coefficient_to / splits.split_coefficient_from),
            dividends.assign(r=1.0)]).groupby(["order_book_id", "ex_dividend_date"]).r.prod()
        cash = (dividends.dividend_cash_before_tax / dividends.round_lot).groupby(
            [dividends.order_book_id, dividends.ex_dividend_date]).sum()
        on_ex = raw.reindex(ratio.index.rename(["order_book_id", "date"])).to_numpy()
        ratio = ratio + (cash.reindex(ratio.index).fillna(0) / on_ex).fillna(0).to_numpy()
        post = {}
        for oid, close in raw.groupby(level=0):
            events = ratio[oid] if oid in ratio.index.levels[0] else None
            days = close.index.get_level_values(1)
            post[oid] = close.to_numpy() * np.array(
                [1.0 if events is None else events[events.index <= d].prod() for d in days])
        got = local.get_price(ids, "2024-01-02", "2025-12-31", fields="close", adjust_type="post")["close"]
        expected = np.concatenate([post[oid] for oid in got.index.levels[0]])
        np.testing.assert_allclose(got.to_numpy(), expected, rtol=1e-12)
        pre = local.get_price(ids, "2024-01-02", "2025-12-31", fields="close", adjust_type="pre")["close"]
        last = got.groupby(level=0).transform("last") / raw.groupby(level=0).transform("last")
        np.testing.assert_allclose(pre.to_numpy(), (got / last).to_numpy(), rtol=1e-12)
        for oid in (SPLIT_STOCK, DIVIDEND_STOCK, ids[5]):  # asked alone, the same answer
            alone = local.get_price([oid], "2024-01-02", "2025-12-31", fields="close",
                                    adjust_type="post")["close"]
            pd.testing.assert_series_equal(alone, got.loc[[oid]], check_index=False)
