"""The sample market: a deterministic, seeded generator of a small but complete database.

Two years of exchange and interbank calendars; 60 stocks on a common market factor (with
listings, delistings, a suspension, a 2-for-1 split, cash dividends and industry changes);
a stock index with monthly weight lists; ETFs, LOFs and a convertible; index and gold
futures; ETF options; bonds valued off a moving treasury curve (semi-annual coupons, an
amortising bond, exchange twins of interbank bonds) with a bond index; money-market and
net-value public funds. Prices follow geometric random walks from Python's seeded
`random.Random`, so the data is the same on every machine.

A larger market of the same kinds (`generate(seed, stocks, dates)`) extends the calendars
back from the end of 2025 and adds stocks drawn column-wise with numpy, with listings and
delistings inside the span, suspensions, splits and cash dividends.
"""

import datetime
import json
import math
import random

import numpy as np
import pandas as pd

from . import _holidays, _schema

SEED = 14
REVISION = 2  # bump whenever the generated data changes, so cached samples are redone
STOCK_INDEX = "000060.XSHG"
BROAD_INDEX = "000750.XSHG"  # in a larger market: about a quarter of its stocks
BOND_INDEX = "KVX1001.INDX"
TREASURY_CURVE = "中债国债收益率曲线"
TENORS = (0.25, 0.5, 1.0, 2.0, 3.0, 5.0, 7.0, 10.0, 15.0, 20.0, 30.0)
D = datetime.date

SW_INDUSTRIES = (
    "农林牧渔", "基础化工", "钢铁", "有色金属", "电子", "汽车", "家用电器", "食品饮料",
    "纺织服饰", "轻工制造", "医药生物", "公用事业", "交通运输", "房地产", "商贸零售",
    "社会服务", "银行", "非银金融", "建筑材料", "建筑装饰", "电力设备", "机械设备",
    "国防军工", "计算机", "传媒", "通信", "煤炭", "石油石化", "环保", "美容护理")
SW_TO_CITICS = {
    "农林牧渔": "农林牧渔", "基础化工": "基础化工", "钢铁": "钢铁", "有色金属": "有色金属",
    "电子": "电子", "汽车": "汽车", "家用电器": "家电", "食品饮料": "食品饮料",
    "纺织服饰": "纺织服装", "轻工制造": "轻工制造", "医药生物": "医药", "公用事业": "电力及公用事业",
    "交通运输": "交通运输", "房地产": "房地产", "商贸零售": "商贸零售", "社会服务": "消费者服务",
    "银行": "银行", "非银金融": "非银行金融", "建筑材料": "建材", "建筑装饰": "建筑",
    "电力设备": "电力设备及新能源", "机械设备": "机械", "国防军工": "国防军工", "计算机": "计算机",
    "传媒": "传媒", "通信": "通信", "煤炭": "煤炭", "石油石化": "石油石化", "环保": "电力及公用事业",
    "美容护理": "基础化工"}
# Stocks whose only current Shenwan record still carries a pre-2021 name.
_OLD_NAMES = {3: ("采掘", "煤炭"), 11: ("休闲服务", "社会服务"), 19: ("餐饮旅游", "社会服务"),
              27: ("化工", "基础化工"), 35: ("电气设备", "电力设备")}
# (stock number, date, new Shenwan industry)
_RECLASSIFIED = ((8, D(2024, 7, 1), "电子"), (21, D(2025, 3, 3), "计算机"),
                 (44, D(2024, 11, 18), "汽车"))
_SPLIT = (6, D(2024, 6, 19))  # 2-for-1
_SUSPENDED = (14, D(2024, 9, 2), D(2024, 9, 13))
_LISTED_IN_SPAN = {52: D(2024, 7, 15), 57: D(2025, 3, 10)}
_DELISTED_IN_SPAN = {47: D(2024, 11, 29), 58: D(2025, 6, 30)}

_SURNAMES = "华长东新中海金天远恒广盛泰安宏瑞嘉汇鼎博"
_SUFFIX = {"银行": "银行", "非银金融": "证券", "电子": "电子", "计算机": "软件", "医药生物": "药业",
           "食品饮料": "食品", "汽车": "汽车", "煤炭": "能源", "社会服务": "旅游",
           "基础化工": "化学", "电力设备": "电气"}


class _Book:
    """Rows per table (tuples in the logical column order, or whole frames), written in one go."""

    def __init__(self):
        self.rows = {t.name: [] for t in _schema.TABLES}
        self.chunks = {t.name: [] for t in _schema.TABLES}

    def add(self, table, *row):
        self.rows[table].append(row)

    def frames(self):
        """{table: frame in the logical layout} of the tables that have rows."""
        out = {}
        for table in _schema.TABLES:
            names = [c.name for c in table.columns]
            parts = [pd.DataFrame.from_records(self.rows[table.name], columns=names)] \
                if self.rows[table.name] else []
            parts += self.chunks[table.name]
            if parts:
                frame = pd.concat(parts, ignore_index=True) if len(parts) > 1 else parts[0]
                for col in table.columns:
                    if col.kind in ("int", "bool"):
                        frame[col.name] = frame[col.name].astype(
                            "Int64" if col.kind == "int" else "boolean")
                out[table.name] = frame
        return out

    def instrument(self, oid, catalogue, type_, symbol, exchange, listed, delisted=None,
                   round_lot=1, accrued_daily=None, **extra):
        self.add("instruments", oid, catalogue, type_, symbol, exchange,
                 listed.isoformat() if listed else None,
                 delisted.isoformat() if delisted else None, round_lot,
                 None if accrued_daily is None else int(accrued_daily),
                 json.dumps(extra, ensure_ascii=False, sort_keys=True) if extra else None)


def _ohlc(rng, prev, close, vol, digits):
    open_ = round(prev * (1 + rng.gauss(0, 0.3 * vol)), digits)
    high = round(max(open_, close) * (1 + abs(rng.gauss(0, 0.3 * vol))), digits)
    low = round(min(open_, close) * (1 - abs(rng.gauss(0, 0.3 * vol))), digits)
    return open_, high, low


class _Generator:
    def __init__(self, seed, stocks=None, dates=None):
        self.rng = random.Random(seed)
        self.seed = seed
        self.n_stocks = 60 if stocks is None else stocks
        self.book = _Book()
        self.exchange, self.interbank = _holidays.calendars(dates)
        for day in self.exchange:
            self.book.add("calendar", "exchange", day.isoformat())
        for day in self.interbank:
            self.book.add("calendar", "interbank", day.isoformat())
        self.market = [self.rng.gauss(0.0002, 0.011) for _ in self.exchange]

    # --- equities --------------------------------------------------------------------------

    def stocks(self):
        rng, book = self.rng, self.book
        self.stock_ids, self.stock_paths, self.shares = [], {}, {}
        for k in range(min(self.n_stocks, 60)):
            board = ("600%03d.XSHG", "000%03d.XSHE", "300%03d.XSHE", "688%03d.XSHG")[k % 4]
            oid = board % (100 + 7 * k)
            industry = SW_INDUSTRIES[(k * 7) % len(SW_INDUSTRIES)]
            name = _SURNAMES[k % len(_SURNAMES)] + _SURNAMES[(k * 3 + 5) % len(_SURNAMES)] + \
                _SUFFIX.get(industry, "股份")
            listed = _LISTED_IN_SPAN.get(k, D(2005 + k % 17, 1 + k % 12, 10 + k % 15))
            delisted = _DELISTED_IN_SPAN.get(k)
            book.instrument(oid, "exchange", "CS", name, oid[-4:], listed, delisted,
                            round_lot=100 if k % 4 != 3 else 200, board_type=board[:3])
            self.stock_ids.append(oid)
            self.shares[oid] = rng.randint(2, 60) * 1e8
            beta = rng.uniform(0.6, 1.4)
            vol = rng.uniform(0.010, 0.022)
            price = round(rng.uniform(6, 90), 2)
            dividends = {}
            if k % 4 == 0 or k == _SPLIT[0]:
                for year in (2024, 2025):
                    ex = self._trading_on_or_after(D(year, 6 + k % 2, 5 + k % 20))
                    dividends[ex] = None
            split_day = _SPLIT[1] if k == _SPLIT[0] else None
            gross = {}
            prev = None
            for t, day in enumerate(self.exchange):
                if day < listed or (delisted and day > delisted):
                    continue
                if k == _SUSPENDED[0] and _SUSPENDED[1] <= day <= _SUSPENDED[2]:
                    continue
                g = math.exp(beta * self.market[t] + rng.gauss(0, vol) - 0.5 * vol * vol)
                if prev is None:
                    close = price
                else:
                    cash = 0.0
                    if day in dividends:
                        cash = round(prev * rng.uniform(0.01, 0.03) * 10, 2)
                        book.add("dividends", oid, day.isoformat(), cash, 10.0,
                                 (day - datetime.timedelta(days=1)).isoformat(),
                                 day.isoformat())
                    factor = 2.0 if day == split_day else 1.0
                    close = round((prev * g - cash / 10) / factor, 2)
                    if factor != 1.0:
                        book.add("splits", oid, day.isoformat(), 1.0, 2.0)
                open_, high, low = _ohlc(rng, prev or close, close, vol, 2)
                volume = float(rng.randint(1, 400) * 10000)
                book.add("prices", oid, day.isoformat(), open_, high, low, close, None, volume)
                gross[day] = g if prev is not None else 1.0
                prev = close
            self.stock_paths[oid] = gross
            self._industries(k, oid, listed, industry)

    def _trading_on_or_after(self, day):
        for d in self.exchange:
            if d >= day:
                return d
        return self.exchange[-1]

    def _industries(self, k, oid, listed, industry):
        add = self.book.add
        start = max(listed, D(2014, 1, 1))
        add("industries", "sws", oid, D(2014, 1, 1).isoformat() if listed < D(2014, 1, 1)
            else listed.isoformat(), "综合", "S51", 2)  # superseded version, ignored
        old = _OLD_NAMES.get(k)
        if old:
            industry = old[1]
        sw_name = old[0] if old else industry
        add("industries", "sws", oid, start.isoformat(), sw_name, "S%02d" % (k % 31), 3)
        add("industries", "citics", oid, start.isoformat(), SW_TO_CITICS[industry],
            "CI%03d" % (k % 30), None)
        if k == 29:  # a record under a discarded name: readers keep the earlier one
            add("industries", "sws", oid, D(2019, 1, 2).isoformat(), "金融服务", "S49", 3)
        for number, day, new in _RECLASSIFIED:
            if number == k:
                add("industries", "sws", oid, day.isoformat(), new, "S%02d" % (k % 31 + 1), 3)
                add("industries", "citics", oid, day.isoformat(), SW_TO_CITICS[new],
                    "CI%03d" % (k % 30 + 1), None)

    def stock_index(self):
        """Monthly capitalisation-weighted lists of 50 stocks; the level follows them."""
        book = self.book
        book.instrument(STOCK_INDEX, "exchange", "INDX", "样本60指数", "XSHG", D(2010, 1, 4))
        closes = {}
        for oid, day, _o, _h, _l, close, _s, _v in book.rows["prices"]:
            closes[(oid, day)] = close
        weights, level, prev_day = None, 1000.0, None
        months = set()
        self.index_levels = {}
        for t, day in enumerate(self.exchange):
            if prev_day is not None and weights:
                change = sum(w * self.stock_paths[o].get(day, 1.0) for o, w in weights.items())
                level *= change
            if (day.year, day.month) not in months:
                months.add((day.year, day.month))
                ref = prev_day or day
                caps = {}
                for oid in self.stock_ids[:50]:
                    close = closes.get((oid, ref.isoformat())) or closes.get((oid, day.isoformat()))
                    if close:
                        caps[oid] = close * self.shares[oid]
                total = sum(caps.values())
                weights = {o: round(c / total, 6) for o, c in caps.items()}
                for oid, w in sorted(weights.items()):
                    book.add("index_weights", STOCK_INDEX, day.isoformat(), oid, w)
            close = round(level, 2)
            o, h, lo = _ohlc(self.rng, self.index_levels.get(prev_day, close), close, 0.01, 2)
            book.add("prices", STOCK_INDEX, day.isoformat(), o, h, lo, close, None,
                     float(self.rng.randint(100, 900) * 1e6))
            self.index_levels[day] = level
            prev_day = day

    def _walk(self, oid, start_price, vol, digits, beta=0.0, first=None, last=None,
              settlement=False, tracker=None, cash=None):
        """Prices of a random walk (optionally on the market factor or an index); `cash`
        maps ex-dates to the cash per unit by which the price drops."""
        rng = self.rng
        price, prev, prev_day, out = start_price, None, None, {}
        for t, day in enumerate(self.exchange):
            if (first and day < first) or (last and day > last):
                continue
            if prev is not None:
                base = tracker[day] / tracker[prev_day] if tracker else \
                    math.exp(beta * self.market[t])
                price = price * base * math.exp(rng.gauss(0, vol) - 0.5 * vol * vol)
                price -= (cash or {}).get(day, 0.0)
            close = round(price, digits)
            o, h, lo = _ohlc(rng, out.get(prev_day, close) if prev else close, close, vol, digits)
            settle = round(close * (1 + rng.gauss(0, 0.0008)), digits) if settlement else None
            self.book.add("prices", oid, day.isoformat(), o, h, lo, close, settle,
                          float(rng.randint(1, 300) * 1000))
            out[day] = close
            prev, prev_day = close, day
        return out

    def funds_traded(self):
        book = self.book
        book.instrument("510060.XSHG", "exchange", "ETF", "样本60ETF", "XSHG", D(2012, 5, 28),
                        round_lot=100, underlying=STOCK_INDEX)
        ex = self._trading_on_or_after(D(2025, 1, 16))
        book.add("dividends", "510060.XSHG", ex.isoformat(), 0.2, 10.0, None, None)
        self.etf = self._walk("510060.XSHG", self.index_levels[self.exchange[0]] / 1000, 0.002, 3,
                              tracker=self.index_levels, cash={ex: 0.02})
        book.instrument("159901.XSHE", "exchange", "ETF", "深成长ETF", "XSHE", D(2011, 8, 1),
                        round_lot=100)
        self._walk("159901.XSHE", 2.35, 0.014, 3, beta=1.1)
        book.instrument("512880.XSHG", "exchange", "ETF", "证券行业ETF", "XSHG", D(2016, 7, 29),
                        round_lot=100)
        self._walk("512880.XSHG", 0.98, 0.019, 3, beta=1.5)
        for oid, name, listed, start, vol in (("160105.XSHE", "南方积配LOF", D(2006, 1, 20), 1.42, 0.011),
                                              ("161005.XSHE", "富国天惠LOF", D(2006, 3, 1), 2.61, 0.013)):
            book.instrument(oid, "exchange", "LOF", name, oid[-4:], listed, round_lot=100)
            closes = self._walk(oid, start, vol, 3, beta=0.9)
            for day, close in closes.items():
                unit = round(close * (1 + self.rng.gauss(0, 0.002)), 4)
                book.add("nav", oid, day.isoformat(), unit, round(unit + 0.35, 4), unit, None, None)
        book.instrument("113901.XSHG", "convertible", "Convertible", "华新转债", "XSHG",
                        D(2023, 3, 15), D(2029, 3, 14), round_lot=10, coupon_rate=0.004,
                        conversion_price=18.6, stock_code=self.stock_ids[0])
        self._walk("113901.XSHG", 118.0, 0.006, 3, beta=0.4)

    def derivatives(self):
        book = self.book
        for year, month in ((2024, 3), (2024, 6), (2024, 9), (2024, 12), (2025, 3), (2025, 6),
                            (2025, 9), (2025, 12), (2026, 3)):
            oid = "SX%02d%02d" % (year % 100, month)
            expiry = self._third_friday(year, month)
            listed = self._trading_on_or_after(expiry - datetime.timedelta(days=270))
            book.instrument(oid, "exchange", "Future", "样本60指数期货%02d%02d" % (year % 100, month),
                            "CCFX", listed, expiry, round_lot=1, underlying_order_book_id=STOCK_INDEX,
                            contract_multiplier=300, maturity_date=expiry.isoformat())
            for day in self.exchange:
                if day < listed or day > expiry:
                    continue
                spot = self.index_levels[day]
                basis = -0.004 * (expiry - day).days / 91 + self.rng.gauss(0, 0.0015)
                settle = round(spot * (1 + basis), 1)
                close = round(settle * (1 + self.rng.gauss(0, 0.0007)), 1)
                o, h, lo = _ohlc(self.rng, settle, close, 0.008, 1)
                book.add("prices", oid, day.isoformat(), o, h, lo, close, settle,
                         float(self.rng.randint(2, 80) * 1000))
        book.instrument("AU2512", "exchange", "Future", "黄金2512", "XSGE", D(2024, 12, 16),
                        D(2025, 12, 15), round_lot=1, contract_multiplier=1000,
                        maturity_date="2025-12-15")
        self._walk("AU2512", 612.0, 0.009, 2, first=D(2024, 12, 16), last=D(2025, 12, 15),
                   settlement=True)
        listed, maturity = self._trading_on_or_after(D(2025, 6, 26)), D(2026, 3, 25)
        strike = round(self.etf[listed] * 20) / 20
        for oid, kind in (("10008001", "C"), ("10008002", "P")):
            book.instrument(oid, "exchange", "Option", "60ETF%s%s" % ("购" if kind == "C" else "沽", "3月"),
                            "XSHG", listed, maturity, round_lot=10000, option_type=kind,
                            contract_multiplier=10000,
                            strike_price=strike, underlying_order_book_id="510060.XSHG",
                            maturity_date=maturity.isoformat())
            prev = None
            for day, spot in self.etf.items():
                if day < listed:
                    continue
                years = (maturity - day).days / 365.0
                close = max(round(_black_scholes(kind, spot, strike, years, 0.015, 0.19), 4), 0.0001)
                o, h, lo = _ohlc(self.rng, prev or close, close, 0.04, 4)
                book.add("prices", oid, day.isoformat(), o, h, lo, close, close,
                         float(self.rng.randint(1, 50) * 100))
                prev = close

    def _third_friday(self, year, month):
        day = D(year, month, 1)
        fridays = 0
        while True:
            if day.weekday() == 4:
                fridays += 1
                if fridays == 3:
                    return self._trading_on_or_after(day) if day <= self.exchange[-1] else day
            day += datetime.timedelta(days=1)

    # --- rates -----------------------------------------------------------------------------

    def curve(self):
        rng = self.rng
        level, slope, bend = 2.95, -1.05, -0.45
        self.curves = {}
        n = len(self.interbank)
        for t, day in enumerate(self.interbank):
            level += (2.05 - 2.95) / n + rng.gauss(0, 0.012)
            slope += rng.gauss(0, 0.01) + (-0.75 - slope) * 0.01
            bend += rng.gauss(0, 0.008) + (-0.45 - bend) * 0.02
            self.curves[day] = (level, slope, bend)
            for tenor in TENORS:
                self.book.add("yield_curves", TREASURY_CURVE, day.isoformat(), tenor,
                              round(_nelson_siegel(level, slope, bend, tenor), 4))

    def bonds(self):
        """(id, name, coupon %, issue, maturity, spread %, twin, twin listed, amortising)"""
        specs = (
            ("230026.NIB", "23附息国债26", 2.67, D(2023, 11, 25), D(2033, 11, 25), 0.0,
             "019727.XSHG", D(2024, 3, 1), False),
            ("230012.NIB", "23附息国债12", 2.40, D(2023, 5, 15), D(2028, 5, 15), 0.0,
             "019709.XSHG", D(2023, 5, 19), False),
            ("230205.NIB", "23国开05", 2.50, D(2023, 6, 10), D(2026, 6, 10), 0.18, None, None, False),
            ("2380101.NIB", "23华远企业债", 3.20, D(2023, 4, 20), D(2028, 4, 20), 0.95,
             "184201.XSHG", D(2023, 5, 5), True),
            ("2480055.NIB", "24恒泰MTN001", 2.85, D(2024, 3, 15), D(2027, 3, 15), 0.70, None, None, False),
            ("188123.XSHG", "22盛安01", 3.60, D(2022, 8, 10), D(2027, 8, 10), 1.10, None, None, False),
            ("220008.NIB", "22附息国债08", 2.10, D(2022, 6, 10), D(2024, 6, 10), 0.0, None, None, False),
        )
        book = self.book
        self.bond_returns, self.bond_dirty = {}, {}
        for oid, name, coupon, issue, maturity, spread, twin, twin_listed, amortising in specs:
            exchange = oid.split(".")[1]
            book.instrument(oid, "bond", "Bond", name, exchange, issue, maturity - datetime.timedelta(days=3),
                            round_lot=1, coupon_rate=coupon / 100, frequency=2, par_value=100.0,
                            maturity_date=maturity.isoformat(), issue_date=issue.isoformat(),
                            amortising=amortising)
            days = self.interbank if exchange == "NIB" else self.exchange
            values = self._valuations(issue, maturity, coupon, spread, amortising, days)
            for day, row in values.items():
                book.add("valuations", oid, day.isoformat(), *row)
            if twin:
                book.instrument(twin, "bond", "Bond", name, twin.split(".")[1], twin_listed,
                                maturity - datetime.timedelta(days=3), round_lot=10,
                                coupon_rate=coupon / 100, frequency=2, par_value=100.0,
                                maturity_date=maturity.isoformat(), issue_date=issue.isoformat(),
                                amortising=amortising)
                book.add("market_codes", twin, oid)
                for day, row in values.items():
                    if day >= twin_listed and day in self._exchange_set:
                        book.add("valuations", twin, day.isoformat(), *row)
        self._bond_index([s for s in specs if s[0].endswith(".NIB")])

    def _valuations(self, issue, maturity, coupon, spread, amortising, days):
        flows = _cash_flows(issue, maturity, coupon, amortising)
        out, noise = {}, 0.0
        for day in days:
            if day < issue or day >= maturity:
                continue
            # coupon period around the day, and principal outstanding after today's payments
            start = max([issue] + [f[0] for f in flows if f[0] <= day])
            end = min(f[0] for f in flows if f[0] > day)
            residual = 100.0 - sum(f[2] for f in flows if f[0] <= day)
            per_day = coupon / 100 / 2 * residual / (end - start).days
            intraday = per_day * (day - start).days
            eod = per_day * ((day - start).days + 1)
            ttm = (maturity - day).days / 365.0
            curve_day = day if day in self.curves else max(d for d in self.curves if d <= day)
            noise = 0.9 * noise + self.rng.gauss(0, 0.012)
            y = _nelson_siegel(*self.curves[curve_day], max(ttm, 0.05)) + spread + noise
            dirty, duration, convexity = _price(flows, day, y)
            out[day] = (round(y, 4), round(dirty - eod, 4), round(dirty, 4), round(eod, 6),
                        round(intraday, 6), residual, round(duration, 4), round(convexity, 4),
                        round(ttm, 4))
        return out

    def _bond_index(self, specs):
        book = self.book
        book.instrument(BOND_INDEX, "exchange", "INDX", "中债样本综合指数", "CCDC", D(2015, 1, 5))
        values = {s[0]: {} for s in specs}
        amount = {s[0]: 100 + 37 * i for i, s in enumerate(specs)}
        for oid, day, *row in book.rows["valuations"]:
            if oid in values:
                values[oid][day] = row
        level, prev_weights, prev_day, prev = 100.0, None, None, None
        for day in self.interbank:
            iso = day.isoformat()
            alive = {o: v[iso] for o, v in values.items() if iso in v}
            if prev_weights:
                change = 0.0
                for o, w in prev_weights.items():
                    now, before = alive.get(o), values[o].get(prev_day)
                    if now and before:
                        paid = before[5] - now[5]
                        gap = (day - prev).days
                        coupon = 0.0 if now[3] > before[3] else \
                            before[3] + (gap - 1) * (now[3] - now[4]) - now[4]
                        change += w * (now[2] + paid + coupon - before[2]) / before[2]
                level *= 1 + change
            total = sum(v[2] * amount[o] for o, v in alive.items())
            weights = {o: round(v[2] * amount[o] / total, 6) for o, v in alive.items()}
            for o, w in sorted(weights.items()):
                book.add("index_weights", BOND_INDEX, iso, o, w)
            close = round(level, 4)
            book.add("prices", BOND_INDEX, iso, close, close, close, close, None, None)
            prev_weights, prev_day, prev = weights, iso, day

    # --- public funds ----------------------------------------------------------------------

    def public_funds(self):
        book, rng = self.book, self.rng
        first, last = D(self.exchange[0].year, 1, 1), D(_holidays.YEARS[-1], 12, 31)
        for oid, name, start_yield, end_yield in (("970101", "样本货币A", 2.05, 1.30),
                                                  ("970102", "样本现金宝", 1.85, 1.15)):
            book.instrument(oid, "fund", "Money", name, None, D(2014, 6, 1), round_lot=1,
                            accrued_daily=True, fund_type="Money")
            day, n, recent = first - datetime.timedelta(days=1), (last - first).days, []
            t = 0
            while day < last:
                day += datetime.timedelta(days=1)
                annual = start_yield + (end_yield - start_yield) * t / n + rng.gauss(0, 0.04)
                profit = round(annual / 100 / 365 * 10000, 4)
                recent = (recent + [profit])[-7:]
                weekly = round(sum(recent) / len(recent) * 365 / 100, 4)
                book.add("nav", oid, day.isoformat(), 1.0, 1.0, 1.0, profit, weekly)
                t += 1
        for oid, name, kind, beta, vol, start in (("970201", "样本成长混合", "Hybrid", 1.0, 0.012, 1.85),
                                                  ("970301", "样本纯债A", "Bond", 0.0, 0.0008, 1.062)):
            book.instrument(oid, "fund", kind, name, None, D(2016, 3, 1), round_lot=1,
                            accrued_daily=False, fund_type=kind)
            unit, adjusted, paid = start, start, 0.0
            distribution = self._trading_on_or_after(D(2024, 12, 20))
            for t, day in enumerate(self.exchange):
                if t:
                    g = math.exp(beta * self.market[t] + rng.gauss(0, vol) + (0.00012 if beta == 0 else 0))
                    unit *= g
                    adjusted *= g
                    if day == distribution:
                        cash = round(unit * 0.03, 3)
                        unit -= cash
                        paid += cash
                book.add("nav", oid, day.isoformat(), round(unit, 4), round(unit + paid, 4),
                         round(adjusted, 4), None, None)

    def run(self):
        self._exchange_set = set(self.exchange)
        self.stocks()
        if self.n_stocks > 60:
            rng = np.random.default_rng(self.seed)
            _more_stocks(self, rng, self.n_stocks - 60)
            _broad_index(self, rng)
        self.stock_index()
        self.funds_traded()
        self.derivatives()
        self.curve()
        self.bonds()
        self.public_funds()
        return self.book


def _black_scholes(kind, spot, strike, years, rate, vol):
    if years <= 0:
        return max(spot - strike, 0.0) if kind == "C" else max(strike - spot, 0.0)
    d1 = (math.log(spot / strike) + (rate + 0.5 * vol * vol) * years) / (vol * math.sqrt(years))
    d2 = d1 - vol * math.sqrt(years)
    cdf = lambda x: 0.5 * (1 + math.erf(x / math.sqrt(2)))  # noqa: E731
    disc = strike * math.exp(-rate * years)
    if kind == "C":
        return spot * cdf(d1) - disc * cdf(d2)
    return disc * cdf(-d2) - spot * cdf(-d1)


def _nelson_siegel(level, slope, bend, tenor, scale=2.0):
    x = tenor / scale
    loading = (1 - math.exp(-x)) / x
    return level + slope * loading + bend * (loading - math.exp(-x))


def _add_months(day, months):
    month = day.month - 1 + months
    year, month = day.year + month // 12, month % 12 + 1
    last = (D(year + month // 12, month % 12 + 1, 1) - datetime.timedelta(days=1)).day
    return D(year, month, min(day.day, last))


def _cash_flows(issue, maturity, coupon, amortising):
    """(date, coupon, principal) per 100 of original face, semi-annual."""
    out, residual, k = [], 100.0, 1
    while True:
        day = _add_months(issue, 6 * k)
        principal = 0.0
        if day >= maturity:
            out.append((maturity, coupon / 2 * residual / 100, residual))
            return out
        if amortising and k % 2 == 0:
            principal = 20.0
        out.append((day, coupon / 2 * residual / 100, principal))
        residual -= principal
        k += 1


def _price(flows, day, y):
    """Dirty price after today's payments, modified duration and convexity at yield y %."""
    rate = y / 100 / 2
    pv = dur = conv = 0.0
    for when, cpn, principal in flows:
        if when <= day:
            continue
        t = (when - day).days / 365.0
        df = (1 + rate) ** (-2 * t)
        amount = cpn + principal
        pv += amount * df
        dur += t * amount * df
        conv += t * (t + 0.5) * amount * df
    return pv, dur / pv / (1 + rate), conv / pv / (1 + rate) ** 2


def generate(seed=SEED, stocks=None, dates=None):
    """The book of a sample market: the bundled one, or one of `stocks` stocks over `dates`
    exchange trading dates ending 2025-12-31."""
    if stocks is not None and (isinstance(stocks, bool) or not isinstance(stocks, int)
                               or stocks < 1):
        raise ValueError("stocks must be a positive int, got %r" % (stocks,))
    if dates is not None and (isinstance(dates, bool) or not isinstance(dates, int)
                              or dates < 130):
        raise ValueError("dates must be an int of at least 130 (half a year), got %r" % (dates,))
    return _Generator(seed, stocks, dates).run()


_BOARDS = ("60%04d.XSHG", "00%04d.XSHE", "30%04d.XSHE", "68%04d.XSHG")


def _more_stocks(gen, rng, count):
    """Stocks 60 onwards, column-wise: prices, splits, dividends, records and industries."""
    days = np.array(gen.exchange, dtype="datetime64[D]")
    n = days.size
    market = np.array(gen.market)
    ks = np.arange(60, 60 + count)
    ids = np.array([_BOARDS[k % 4] % (1000 + k) for k in ks], dtype=object)
    # first and last day of trading: a tenth list inside the span, a fiftieth delist
    first = np.where(rng.random(count) < 0.1, rng.integers(1, n - 20, count), 0)
    last = np.where(rng.random(count) < 0.02, rng.integers(first + 10, n), n - 1)
    beta = rng.uniform(0.6, 1.4, count)
    vol = rng.uniform(0.010, 0.022, count)
    g = np.exp(beta[:, None] * market[None, :] + rng.normal(0, 1, (count, n)) * vol[:, None]
               - 0.5 * vol[:, None] ** 2)
    # corporate actions: about two dividends a year, and splits
    dividend = rng.random((count, n)) < 2.0 / 243
    split = rng.random((count, n)) < 1.4 / n
    live = (np.arange(n)[None, :] > first[:, None]) & (np.arange(n)[None, :] <= last[:, None])
    dividend &= live
    split &= live
    yield_ = np.where(dividend, rng.uniform(0.005, 0.03, (count, n)), 0.0)
    ratio = np.where(split, rng.choice([1.5, 2.0, 10.0 / 8.0], (count, n)), 1.0)
    g[:, 0] = 1.0
    total = np.cumprod(g, axis=1)
    factor = np.cumprod(ratio / (1.0 - yield_), axis=1)
    start = rng.uniform(6, 90, count)
    close = np.maximum(np.round(start[:, None] * total / factor, 2), 0.05)
    prev = np.concatenate([close[:, :1], close[:, :-1]], axis=1)
    noise = np.abs(rng.normal(0, 0.3, (3, count, n))) * vol[None, :, None]
    open_ = np.round(prev * (1 + rng.normal(0, 0.3, (count, n)) * vol[:, None]), 2)
    open_ = np.maximum(open_, 0.01)
    high = np.round(np.maximum(open_, close) * (1 + noise[0]), 2)
    low = np.maximum(np.round(np.minimum(open_, close) * (1 - noise[1]), 2), 0.01)
    volume = rng.integers(1, 400, (count, n)).astype(np.float64) * 10000
    # a suspension of one to three weeks for one stock in twenty
    suspended = np.zeros((count, n), dtype=bool)
    for s in np.flatnonzero(rng.random(count) < 0.05):
        at = int(rng.integers(first[s] + 1, max(first[s] + 2, last[s] - 15)))
        suspended[s, at:at + int(rng.integers(5, 16))] = True
    dividend &= ~suspended
    split &= ~suspended
    keep = (np.arange(n)[None, :] >= first[:, None]) & (np.arange(n)[None, :] <= last[:, None]) \
        & ~suspended
    row, col = np.nonzero(keep)
    iso = np.datetime_as_string(days, unit="D").astype(object)
    gen.more = {"ids": ids, "close": close, "trading": keep, "growth": g, "iso": iso}
    book = gen.book
    book.chunks["prices"].append(pd.DataFrame({
        "order_book_id": ids[row], "date": iso[col], "open": open_[row, col],
        "high": high[row, col], "low": low[row, col], "close": close[row, col],
        "settlement": np.nan, "volume": volume[row, col]}))
    row, col = np.nonzero(split)
    book.chunks["splits"].append(pd.DataFrame({
        "order_book_id": ids[row], "ex_dividend_date": iso[col],
        "split_coefficient_from": 1.0, "split_coefficient_to": ratio[row, col]}))
    row, col = np.nonzero(dividend)
    cash = np.round(yield_[row, col] * prev[row, col] * g[row, col] * 10, 4)
    book.chunks["dividends"].append(pd.DataFrame({
        "order_book_id": ids[row], "ex_dividend_date": iso[col],
        "dividend_cash_before_tax": cash, "round_lot": 10.0,
        "book_closure_date": iso[col - 1], "payable_date": iso[col]}))
    listed = np.where(first > 0, iso[first],
                      [D(2005 + k % 17, 1 + k % 12, 10 + k % 15).isoformat() for k in ks])
    delisted = np.where(last < n - 1, iso[last], None)
    book.chunks["instruments"].append(pd.DataFrame({
        "order_book_id": ids, "catalogue": "exchange", "type": "CS",
        "symbol": [_SURNAMES[k % 20] + _SURNAMES[(k * 7 + 3) % 20] + "股份" for k in ks],
        "exchange": [b[-4:] for b in (_BOARDS[k % 4] for k in ks)], "listed_date": listed,
        "de_listed_date": delisted, "round_lot": 100, "accrued_daily": np.nan,
        "extra": [json.dumps({"board_type": _BOARDS[k % 4][:2]}) for k in ks]}))
    industry = np.array(SW_INDUSTRIES, dtype=object)[ks % len(SW_INDUSTRIES)]
    start_date = np.maximum(listed.astype("datetime64[D]"), np.datetime64("2014-01-01"))
    start_iso = np.datetime_as_string(start_date, unit="D").astype(object)
    frames = [pd.DataFrame({"standard": "sws", "order_book_id": ids, "start_date": start_iso,
                            "industry_name": industry, "industry_code": "S%02d" % 0, "version": 3}),
              pd.DataFrame({"standard": "citics", "order_book_id": ids, "start_date": start_iso,
                            "industry_name": [SW_TO_CITICS[i] for i in industry],
                            "industry_code": "CI000", "version": np.nan})]
    book.chunks["industries"].extend(frames)


def _broad_index(gen, rng):
    """A capitalisation-weighted index of about a quarter of the stocks beyond the first 60,
    listed again on the first trading date of each month; its level follows the lists."""
    more, book = gen.more, gen.book
    close, trading, growth, iso = more["close"], more["trading"], more["growth"], more["iso"]
    count, n = close.shape
    shares = rng.integers(2, 60, count).astype(np.float64) * 1e8
    book.instrument(BROAD_INDEX, "exchange", "INDX", "样本宽基指数", "XSHG", D(2010, 1, 4))
    months = np.array([d.year * 12 + d.month for d in gen.exchange])
    firsts = np.flatnonzero(np.concatenate([[True], months[1:] != months[:-1]]))
    size = max(1, count // 4)
    lists = np.zeros((firsts.size, count))
    for m, t in enumerate(firsts):
        caps = np.where(trading[:, t], close[:, max(t - 1, 0)] * shares, 0.0)
        top = np.argsort(-caps, kind="stable")[:size]
        top = top[caps[top] > 0]
        lists[m, top] = np.round(caps[top] / caps[top].sum(), 6)
        for k in top:
            book.add("index_weights", BROAD_INDEX, iso[t], more["ids"][k], lists[m, k])
    in_force = np.searchsorted(firsts, np.arange(n), side="right") - 1
    moves = lists @ growth  # (lists, days): each list's growth on each day
    factor = np.ones(n)
    factor[1:] = moves[in_force[:-1], np.arange(1, n)] / lists[in_force[:-1]].sum(axis=1)
    level = 1000.0 * np.cumprod(factor)
    for t in range(n):
        close_t = round(float(level[t]), 2)
        book.add("prices", BROAD_INDEX, iso[t], close_t, close_t, close_t, close_t, None,
                 float(rng.integers(100, 900) * 1e6))


# The sample portfolio: (order_book_id, weight) at the close of PORTFOLIO_DATE, written as
# the quantities those weights buy of PORTFOLIO_VALUE yuan. Its stocks hold constituents of
# the stock index in nine Shenwan industries, and one stock outside it.
PORTFOLIO = (
    ("600100.XSHG", 0.040),  # pays cash dividends
    ("300310.XSHE", 0.025),
    ("300142.XSHE", 0.030),  # split 2-for-1
    ("600352.XSHG", 0.025),
    ("600156.XSHG", 0.035),  # reclassified by both standards
    ("300254.XSHE", 0.030),
    ("000247.XSHE", 0.030),  # reclassified by Shenwan
    ("000303.XSHE", 0.025),
    ("688513.XSHG", 0.020),  # not in the index
    ("000107.XSHE", 0.040),
    ("688317.XSHG", 0.025),
    ("600296.XSHG", 0.035),
    ("688177.XSHG", 0.030),
    ("000387.XSHE", 0.025),
    ("600380.XSHG", 0.035),
    ("510060.XSHG", 0.080),  # ETF on the index
    ("161005.XSHE", 0.040),  # LOF
    ("SX2603", 0.030),       # index future, at its notional
    ("10008001", 0.020),     # ETF call option
    ("019727.XSHG", 0.100),  # exchange twin of an interbank treasury
    ("2380101.NIB", 0.060),  # amortising corporate bond
    ("2480055.NIB", 0.050),
    ("970101", 0.060),       # money-market fund
    ("970201", 0.050),       # net-value fund
    ("CNY", 0.060),
)
PORTFOLIO_DATE = D(2025, 6, 30)
PORTFOLIO_VALUE = 100_000_000.0


def portfolio_quantities(book):
    """[(date, order_book_id, quantity)] of the sample portfolio on PORTFOLIO_DATE: shares in
    round lots, whole contracts (futures at settlement times the multiplier, options at
    close times the multiplier), bonds in tens of 100 face at the dirty price, fund units at
    the unit net value, and the cash amount."""
    day = PORTFOLIO_DATE.isoformat()
    records = {r[0]: r for r in book.rows["instruments"]}
    prices = {r[0]: r for r in book.rows["prices"] if r[1] == day}
    dirty = {r[0]: r[4] for r in book.rows["valuations"] if r[1] == day}
    nav = {r[0]: r[2] for r in book.rows["nav"] if r[1] == day}
    rows = []
    for oid, weight in PORTFOLIO:
        value = weight * PORTFOLIO_VALUE
        if oid == "CNY":
            rows.append((day, oid, value))
            continue
        record = records[oid]
        extra = json.loads(record[9]) if record[9] else {}
        if record[1] == "bond":
            quantity = round(value / dirty[oid] / 10) * 10
        elif record[1] == "fund":
            quantity = round(value / nav[oid])
        elif record[2] in ("Future", "Option"):
            price = prices[oid][6] if record[2] == "Future" else prices[oid][5]
            quantity = round(value / (price * extra["contract_multiplier"]))
        else:
            lot = record[7] or 100
            quantity = round(value / prices[oid][5] / lot) * lot
        rows.append((day, oid, quantity))
    return rows
