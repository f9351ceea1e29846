"""One in-memory market answering every client operation the data modules use.

Small but complete: exchange and interbank calendars, prices, splits and dividends, the
instrument catalogues and records, index weights (stock and bond), industry services, bond
valuations, interbank codes, the treasury curve and fund data. Answers are new objects cut
from prebuilt frames, so concurrent callers never share a mutable answer.
"""

import threading
import types

import numpy as np
import pandas as pd

from fakes import on_id_date
from fakes_calendar import Calendar

DAYS = pd.bdate_range("2021-01-04", "2021-03-31")
STOCKS = ["000001.XSHE", "000002.XSHE", "600000.XSHG"]
FUTURES = ["IF2103"]
OPTIONS = ["10000001"]
ETFS = ["510300.XSHG"]
INDEXES = ["000300.XSHG"]
PRICED = STOCKS + FUTURES + OPTIONS + ETFS + INDEXES
BONDS = ["210001.IB", "019001.XSHG", "210002.IB"]  # 019001.XSHG is the twin of 210001.IB
TWINS = {"019001.XSHG": "210001.IB"}
BOND_INDEX = "CBA00101.INDX"
DAILY_PROFIT_FUNDS = ["000198"]
NAV_FUNDS = ["110011"]
FUNDS = DAILY_PROFIT_FUNDS + NAV_FUNDS
TYPES = ([(s, "CS") for s in STOCKS] + [(f, "Future") for f in FUTURES]
         + [(o, "Option") for o in OPTIONS] + [(e, "ETF") for e in ETFS]
         + [(i, "INDX") for i in INDEXES] + [("999999.XSHG", "Repo")])
SHENWAN = "__internal__shenwan_industry"
CITIC = "__internal__zx2019_industry"
INDEX_WEIGHTS = "__internal__index_weights"


def _walk(seed, n, start=10.0):
    rng = np.random.default_rng(seed)
    return start * np.cumprod(1.0 + rng.normal(0.0, 0.01, n))


def _prices():
    records = []
    for k, oid in enumerate(PRICED):
        close, settle = _walk(k, len(DAYS)), _walk(100 + k, len(DAYS))
        for j, day in enumerate(DAYS):
            if oid == "000002.XSHE" and 20 <= j < 24:  # suspended for four days
                continue
            records.append((oid, day, close[j], settle[j]))
    return on_id_date(records, ["close", "settlement"])


def _valuations():
    fields = ["dirty_price_eod", "accrued_interest_intraday", "accrued_interest_eod",
              "residual_principal", "yield", "clean_price_eod", "period_of_repayment"]
    records = []
    for k, oid in enumerate(["210001.IB", "210002.IB"]):
        dirty = _walk(200 + k, len(DAYS), 100.0)
        for j, day in enumerate(DAYS):
            accrued = (j % 30) * 0.01
            records.append((oid, day, dirty[j], accrued - 0.01, accrued, 100.0, 3.0 + 0.01 * j,
                            dirty[j] - accrued, 5.0 - j / 250.0))
    return on_id_date(records, fields)


def _cut(frame, ids, start, end, columns=None):
    """Rows of `frame` for `ids` between `start` and `end`, or None when there are none."""
    wanted = {i for i in ids if isinstance(i, str)}
    keep = frame.index.get_level_values(0).isin(list(wanted))
    dates = frame.index.get_level_values(1)
    keep &= (dates >= pd.Timestamp(start)) & (dates <= pd.Timestamp(end))
    out = frame[keep]
    if columns is not None:
        out = out[columns]
    return None if out.empty else out.copy()


def _as_date(ts):
    return ts.date()


def _as_list(value):
    return [value] if isinstance(value, str) else list(value)


class Service:
    def __init__(self, market):
        self.market = market

    def execute(self, name, *args):
        self.market.count(name)
        if name == SHENWAN:
            return [dict(r) for r in self.market.shenwan]
        if name == CITIC:
            return [dict(r) for r in self.market.citic]
        if name == INDEX_WEIGHTS:
            return [{"date": r["date"], "data": [dict(e) for e in r["data"]]}
                    for r in self.market.weight_records if args[:1] == (INDEXES[0],)]
        raise ValueError("unknown service " + str(name))


class Market(Calendar):
    """The client. `calls` counts operations by name (thread-safe)."""

    def __init__(self):
        super().__init__(DAYS, list_box=_as_date, extend=True)
        self._lock = threading.Lock()
        self.calls = {}
        self.prices = _prices()
        self.splits = pd.DataFrame(
            {"split_coefficient_from": [1.0], "split_coefficient_to": [2.0]},
            index=pd.MultiIndex.from_tuples([("000002.XSHE", DAYS[10])],
                                            names=["order_book_id", "ex_dividend_date"]))
        self.dividends = pd.DataFrame(
            {"dividend_cash_before_tax": [2.5], "round_lot": [10.0]},
            index=pd.MultiIndex.from_tuples([("000001.XSHE", DAYS[30])],
                                            names=["order_book_id", "ex_dividend_date"]))
        self.catalogue = pd.DataFrame(TYPES, columns=["order_book_id", "type"])
        self.records = {oid: types.SimpleNamespace(order_book_id=oid, type=t,
                                                   listed_date="2000-01-04",
                                                   de_listed_date="0000-00-00")
                        for oid, t in TYPES}
        self.shenwan = [
            {"order_book_id": s, "index_name": name, "start_date": pd.Timestamp(start),
             "version": 3}
            for s, name, start in [("000001.XSHE", "银行", "2014-01-01"),
                                   ("000002.XSHE", "房地产", "2014-01-01"),
                                   ("600000.XSHG", "银行", "2014-01-01"),
                                   ("600000.XSHG", "化工", "2021-02-01")]]
        self.citic = [
            {"order_book_id": s, "first_industry_name": name, "start_date": pd.Timestamp(start)}
            for s, name, start in [("000001.XSHE", "银行", "2015-01-01"),
                                   ("000002.XSHE", "房地产", "2015-01-01"),
                                   ("600000.XSHG", "银行", "2015-01-01")]]
        self.weight_records = [
            {"date": DAYS[0].to_pydatetime(),
             "data": [{"order_book_id": s, "weight": w} for s, w in zip(STOCKS, (0.5, 0.3, 0.2))]},
            {"date": DAYS[25].to_pydatetime(),
             "data": [{"order_book_id": s, "weight": w} for s, w in zip(STOCKS, (0.4, 0.4, 0.2))]},
        ]
        self.valuations = _valuations()
        self.curve = pd.DataFrame(
            [("中债国债收益率曲线", d, tenor, 2.0 + 0.1 * k + 0.001 * j)
             for j, d in enumerate(DAYS) for k, tenor in enumerate(["0.25", "1", "10"])],
            columns=["name", "date", "tenor", "rate"]).set_index(["name", "date"])
        bond_weights = pd.Series(
            [0.6, 0.4] * len(DAYS),
            index=pd.MultiIndex.from_tuples([(d, b) for d in DAYS for b in ("210001.IB", "210002.IB")],
                                            names=["date", "order_book_id"]))
        self.bond_weights = bond_weights
        self.fund_catalogue = pd.DataFrame(
            {"order_book_id": FUNDS, "accrued_daily": [True, False]})
        nav = []
        for k, f in enumerate(FUNDS):
            values = _walk(300 + k, 90, 1.0)
            for j, d in enumerate(pd.date_range("2021-01-01", periods=90)):
                nav.append((f, d, 0.8 + 0.01 * (j % 5), values[j]))
        self.nav = on_id_date(nav, ["daily_profit", "adjusted_net_value"])

        self.bond = Calendar(DAYS, list_box=_as_date, extend=True)
        self.bond.get_valuation = self._get_valuation
        self.bond.get_secu_market_code = self._get_secu_market_code
        self.bond.get_yield_curves = self._get_yield_curves
        self.bond.index_weights = self._bond_index_weights
        self.bond.instruments = self._lookup("bond.instruments", ())
        self.fund = types.SimpleNamespace(all_instruments=self._fund_all_instruments,
                                          get_nav=self._get_nav,
                                          instruments=self._lookup("fund.instruments", FUNDS))
        self.convertible = types.SimpleNamespace(
            instruments=self._lookup("convertible.instruments", ()))
        self.client = types.SimpleNamespace(get_client=lambda: Service(self))

    def count(self, name):
        with self._lock:
            self.calls[name] = self.calls.get(name, 0) + 1

    # exchange data
    def get_price(self, ids, start, end, fields=None, expect_df=True, adjust_type="post"):
        self.count("get_price")
        return _cut(self.prices, _as_list(ids), start, end, [fields])

    def _events(self, frame, ids, start, end):
        dates = frame.index.get_level_values(1)
        keep = frame.index.get_level_values(0).isin([i for i in ids if isinstance(i, str)])
        keep &= (dates >= pd.Timestamp(start)) & (dates <= pd.Timestamp(end))
        return frame[keep].copy() if keep.any() else None

    def get_split(self, ids, start, end):
        self.count("get_split")
        return self._events(self.splits, list(ids), start, end)

    def get_dividend(self, ids, start, end):
        self.count("get_dividend")
        return self._events(self.dividends, list(ids), start, end)

    def all_instruments(self):
        self.count("all_instruments")
        return self.catalogue.copy()

    def _lookup(self, name, ids):
        def instruments(order_book_id):
            self.count(name)
            if isinstance(order_book_id, str) and order_book_id in ids:
                return types.SimpleNamespace(order_book_id=order_book_id, type="PublicFund")
            return None
        return instruments

    def instruments(self, order_book_id):
        self.count("instruments")
        return self.records.get(order_book_id) if isinstance(order_book_id, str) else None

    def index_weights(self, order_book_id, date=None):
        self.count("index_weights")
        if order_book_id != INDEXES[0]:
            return None
        return pd.Series([0.5, 0.3, 0.2], index=pd.Index(STOCKS, name="order_book_id"))

    # bond data
    def _get_valuation(self, ids, start, end, source=None, fields=None, valuation_type=None):
        self.count("bond.get_valuation")
        columns = _as_list(fields) if fields is not None else None
        if columns is not None:
            columns = [c for c in columns if c in self.valuations.columns]
        return _cut(self.valuations, _as_list(ids), start, end, columns)

    def _get_secu_market_code(self, ids):
        self.count("bond.get_secu_market_code")
        ids = _as_list(ids)
        return pd.DataFrame({"NIB": [TWINS.get(i, np.nan) for i in ids]}, index=ids)

    def _get_yield_curves(self, names=None, type=None, start_date=None, end_date=None):
        self.count("bond.get_yield_curves")
        dates = self.curve.index.get_level_values(1)
        keep = (dates >= pd.Timestamp(start_date)) & (dates <= pd.Timestamp(end_date))
        return self.curve[keep].copy() if keep.any() else None

    def _bond_index_weights(self, order_book_id, start, end):
        self.count("bond.index_weights")
        if order_book_id != BOND_INDEX:
            return None
        dates = self.bond_weights.index.get_level_values(0)
        keep = (dates >= pd.Timestamp(start)) & (dates <= pd.Timestamp(end))
        return self.bond_weights[keep].copy() if keep.any() else None

    # fund data
    def _fund_all_instruments(self):
        self.count("fund.all_instruments")
        return self.fund_catalogue.copy()

    def _get_nav(self, ids, start, end, field, expect_df=True):
        self.count("fund.get_nav")
        return _cut(self.nav, _as_list(ids), start, end, [field])


def bind(monkeypatch, modules, market):
    """Points each module at `market`, with fresh module-level caches."""
    for module in modules:
        monkeypatch.setattr(module, "ondrax", market)
        name = module.__name__.rsplit(".", 1)[-1]
        if name == "brisel":
            monkeypatch.setattr(module, "_type_cache", module.AssetTypeCache())
            monkeypatch.setattr(module, "instrument_getters", [
                market.convertible.instruments, market.fund.instruments, market.instruments])
            for memo in ("maybe_bond_index", "maybe_bond", "is_stock_index_and_have_weight",
                         "is_stock"):
                getattr(module, memo).cache_clear()
        if name == "sorvan":
            monkeypatch.setattr(module, "_sw_cache", module.Cache({}))
            monkeypatch.setattr(module, "_zx_cache", module.Cache({}))
            module.get_listing_date_and_delisting_date.clear_cache()


def modules(*names):
    """The named modules that are built (brelvox.marketdata.<name>), skipping the others."""
    import importlib

    out = []
    for name in names:
        try:
            out.append(importlib.import_module("brelvox.marketdata." + name))
        except ImportError:
            pass
    return out


def data_calls(dates=None):
    """(label, call) for every data function and cached lookup of the built modules, each
    call well-formed against a bound Market."""
    import importlib

    d = DAYS[5:40] if dates is None else dates
    table = {
        "quenta": [
            ("equity returns", lambda m: m.get_equity_daily_returns(STOCKS, d)),
            ("futures returns", lambda m: m.get_future_daily_returns(FUTURES, d)),
            ("option returns", lambda m: m.get_option_daily_returns(OPTIONS, d)),
            ("bond returns", lambda m: m.get_bond_daily_returns(BONDS, d)),
            ("cash returns", lambda m: m.get_cash_daily_returns(["CASH"], d, 0.0001)),
            ("fund returns", lambda m: m.get_public_fund_daily_returns(FUNDS, d)),
        ],
        "oprane": [
            ("equity prices", lambda m: m.get_equity_price(STOCKS, d)),
            ("futures prices", lambda m: m.get_futures_price(FUTURES, d)),
        ],
        "brisel": [
            ("asset types", lambda m: m.get_asset_types(PRICED + FUNDS + ["NOPE"])),
            ("asset type", lambda m: m.get_asset_type("000001.XSHE")),
            ("instruments", lambda m: sorted(m.get_instruments(STOCKS + FUNDS))),
            ("maybe bond", lambda m: m.maybe_bond("210001.IB")),
            ("maybe bond index", lambda m: m.maybe_bond_index(BOND_INDEX)),
            ("stock index weight", lambda m: m.is_stock_index_and_have_weight(INDEXES[0])),
            ("is stock", lambda m: m.is_stock("600000.XSHG")),
        ],
        "sorvan": [
            ("industry sws", lambda m: m.get_stock_industry(STOCKS, d, "sws")),
            ("industry citics", lambda m: m.get_stock_industry(STOCKS, d, "citics")),
            ("listing bounds", lambda m: m.get_listing_date_and_delisting_date("000002.XSHE")),
        ],
        "pelmar": [
            ("stock index weights", lambda m: m.get_stock_index_weight(INDEXES[0], d)),
            ("bond index weights", lambda m: m.get_bond_index_weight(BOND_INDEX, d)),
        ],
        "caldre": [
            ("chinabond valuation", lambda m: m.get_chinabond_valuation(
                BONDS, ["yield", "clean_price_eod"], d[0], d[-1])),
            ("treasury curve", lambda m: m.get_treasury_bond_yield(d)),
        ],
        "tolvik": [
            ("trading dates", lambda m: m.get_exchange_trading_dates(d[0], d[-1])),
            ("previous bank date", lambda m: m.get_bank_previous_trading_date(d[3], 2)),
        ],
    }
    out = []
    for name, calls in table.items():
        try:
            module = importlib.import_module("brelvox.marketdata." + name)
        except ImportError:
            continue
        out.extend(("%s: %s" % (name, label), (lambda f, mod: lambda: f(mod))(call, module))
                   for label, call in calls)
    return out


def same_result(a, b):
    """Equality of two results of one call, for frames, dicts, tuples and scalars."""
    if isinstance(a, (pd.DataFrame, pd.Series)):
        try:
            pd.testing.assert_frame_equal(a, b) if isinstance(a, pd.DataFrame) else \
                pd.testing.assert_series_equal(a, b)
        except AssertionError:
            return False
        return True
    if isinstance(a, dict) and isinstance(b, dict):
        return list(a) == list(b) and all(same_result(a[k], b[k]) for k in a)
    return a == b
