"""Industry tables and the per-stock, per-date industry lookup."""

import datetime as dt
import time

import numpy as np
import pandas as pd
import pytest

from brelvox.marketdata import sorvan
from fakes_industry import CITIC, SHENWAN, IndustryClient, sw, zx

D = dt.date
LISTED = {"A": ("2000-01-04", "0000-00-00"), "B": ("2001-02-05", "9999-12-31")}


class Clock:
    def __init__(self, start=1_700_000_000.0):
        self.now = start

    def __call__(self):
        return self.now


@pytest.fixture
def clock(monkeypatch):
    c = Clock()
    monkeypatch.setattr(time, "time", c)
    return c


@pytest.fixture
def use(patch_client, monkeypatch, clock):
    """use(client): fresh holders and listing cache, all data from `client`."""

    def apply(client):
        patch_client(sorvan, client)
        monkeypatch.setattr(sorvan, "_sw_cache", sorvan.Cache({}))
        monkeypatch.setattr(sorvan, "_zx_cache", sorvan.Cache({}))
        sorvan.get_listing_date_and_delisting_date.clear_cache()
        return client

    yield apply
    sorvan.get_listing_date_and_delisting_date.clear_cache()


def industries(frame):
    """{(date string, id): industry or None} of a one-hot result."""
    out = {}
    for (date, oid), row in zip(frame.index, frame.to_numpy()):
        hot = [c for c, v in zip(frame.columns, row) if v == 1]
        assert len(hot) <= 1
        out[(date.strftime("%Y-%m-%d"), oid)] = hot[0] if hot else None
    return out


# ---- module shape ---------------------------------------------------------------------


def test_constants_and_holder_class(clock):
    assert sorvan.END_DATE == D(9999, 12, 31) and sorvan.START_DATE == D(1990, 1, 1)
    assert sorvan.Cache.__slots__ == ("expire", "data")
    holder = sorvan.Cache({"x": 1})
    assert holder.data == {"x": 1} and holder.expire == clock.now
    with pytest.raises(AttributeError):
        holder.other = 1
    assert not hasattr(holder, "__dict__")
    assert sorvan._to_date_int(D(2021, 3, 5)) == 20210305


# ---- tables ---------------------------------------------------------------------------


def test_shenwan_table_filters_renames_and_sorts(use):
    client = use(IndustryClient(shenwan=[
        sw("A", "采掘", "2005-01-01"),
        sw("A", "银行", "2019-06-01"),
        sw("A", "化工", "2010-01-01", version=2),
        sw("B", "金融服务", "2012-01-01"),
        sw("B", "休闲服务", "2003-01-01"),
        sw("B", "餐饮旅游", "2008-01-01"),
        sw("C", "传媒", "2015-01-01"),
        sw("C", "采掘", "2015-01-01"),
    ]))
    table = sorvan._get_sw_cache()
    assert list(table) == ["A", "B", "C"]
    assert table["A"] == [(D(2019, 6, 1), "银行"), (D(2005, 1, 1), "煤炭")]
    assert table["B"] == [(D(2008, 1, 1), "社会服务"), (D(2003, 1, 1), "社会服务")]
    assert table["C"] == [(D(2015, 1, 1), "传媒"), (D(2015, 1, 1), "煤炭")]  # service order kept
    assert table["new"] == [] and "new" in table  # a defaultdict(list)
    assert client.calls == [(SHENWAN,)]


def test_citic_table_keeps_names(use):
    use(IndustryClient(citic=[zx("A", "采掘", "2005-01-01"), zx("A", "银行", "2019-06-01"),
                              zx("A", "传媒", "2019-06-01")]))
    table = sorvan._get_zx_cache()
    assert table["A"] == [(D(2019, 6, 1), "银行"), (D(2019, 6, 1), "传媒"), (D(2005, 1, 1), "采掘")]


def test_table_kept_for_an_hour_from_the_end_of_the_load(use, clock):
    client = use(IndustryClient(shenwan=[sw("A", "银行", "2005-01-01")]))
    first = sorvan._industry_cache("sws")  # a new holder is already due
    assert sorvan._sw_cache.data is first and sorvan._sw_cache.expire == clock.now + 3600
    clock.now += 3599.5
    assert sorvan._industry_cache("sws") is first
    assert client.count(SHENWAN) == 1
    clock.now += 0.5  # expiry reached: stale
    second = sorvan._industry_cache("sws")
    assert second is not first and second == first and client.count(SHENWAN) == 2
    assert first["A"] == [(D(2005, 1, 1), "银行")]  # a table handed out is never changed
    assert sorvan._zx_cache.data == {}  # standards expire independently
    sorvan._industry_cache("anything else")
    assert client.count(CITIC) == 1


def test_failed_load_leaves_holder_untouched(use, clock):
    client = use(IndustryClient(shenwan=[sw("A", "银行", "2005-01-01")]))
    before = sorvan._sw_cache.data, sorvan._sw_cache.expire
    client.records[SHENWAN] = [{"order_book_id": "A", "version": 3, "index_name": "银行"}]
    with pytest.raises(KeyError):
        sorvan._industry_cache("sws")
    client.records[SHENWAN] = RuntimeError("service down")
    with pytest.raises(RuntimeError, match="service down"):
        sorvan.get_stock_industry(["A"], ["2020-01-01"], "sws")
    assert (sorvan._sw_cache.data, sorvan._sw_cache.expire) == before
    client.records[SHENWAN] = [sw("A", "银行", "2005-01-01")]
    assert sorvan._industry_cache("sws")["A"] == [(D(2005, 1, 1), "银行")]


# ---- lookup ---------------------------------------------------------------------------


@pytest.mark.parametrize("standard,make", [("sws", sw), ("citics", zx)])
def test_switch_day_and_listing_bounds(use, standard, make):
    records = [make("A", "机械设备", "2005-01-01"), make("A", "电子", "2019-06-01"),
               make("B", "传媒", "2010-01-01")]
    key = "shenwan" if standard == "sws" else "citic"
    use(IndustryClient(**{key: records},
                       listing={"A": ("2005-01-03", "2019-06-03"), "B": ("2012-03-01", "0")}))
    dates = ["2004-12-31", "2005-01-02", "2005-01-03", "2019-05-31", "2019-06-01",
             "2019-06-03", "2019-06-04", "2012-02-29", "2012-03-01"]
    got = industries(sorvan.get_stock_industry(["A", "B"], dates, standard))
    assert [got[(d, "A")] for d in dates] == [None, None, "机械设备", "机械设备", "电子", "电子",
                                              None, "机械设备", "机械设备"]
    assert [got[(d, "B")] for d in dates] == [None, None, None] + ["传媒"] * 4 + [None, "传媒"]


def test_result_frame_shape_and_column_order(use):
    use(IndustryClient(shenwan=[sw("A", "银行", "2020-01-02"), sw("B", "传媒", "2000-01-01"),
                                sw("C", "银行", "2000-01-01")], listing=LISTED))
    dates = ["2020-01-01", "2020-01-02"]
    out = sorvan.get_stock_industry(["A", "B", "C", "A"], dates, "sws")
    assert out.index.names == ["date", "order_book_id"]
    assert list(out.index) == [(pd.Timestamp(d), o) for d in dates for o in "ABCA"]
    assert list(out.columns) == ["传媒", "银行"]  # B on day 1 is met before A on day 2
    assert (out.dtypes == np.int8).all()
    assert out.to_numpy().tolist() == [[0, 0], [1, 0], [0, 1], [0, 0],
                                       [0, 1], [1, 0], [0, 1], [0, 1]]


def test_placeholders_and_unknown_instruments(use):
    client = use(IndustryClient(shenwan=[sw(o, "银行", "1980-01-01") for o in "ABCD"],
                                listing={"A": ("0000-00-00", "0000-00-00"),
                                         "B": ("2001-2-5", "9999-12-31"), "C": (None, None)}))
    f = sorvan.get_listing_date_and_delisting_date
    assert f("A") == (D(1990, 1, 1), D(9999, 12, 31))
    assert f("B") == (D(2001, 2, 5), D(9999, 12, 31))
    assert f("C") == f("D") == (D(1990, 1, 1), D(9999, 12, 31))
    assert sorvan._cvtdate("2021-03-05", None) == D(2021, 3, 5)
    got = industries(sorvan.get_stock_industry(list("AD"), ["1989-12-31", "1990-01-01"], "sws"))
    assert got == {("1989-12-31", "A"): None, ("1989-12-31", "D"): None,
                   ("1990-01-01", "A"): "银行", ("1990-01-01", "D"): "银行"}
    assert client.count("instruments") == 4  # once per stock, then cached


def test_listing_bounds_kept_for_an_hour(use, clock):
    client = use(IndustryClient(shenwan=[sw("A", "银行", "2005-01-01")], listing=LISTED))
    f = sorvan.get_listing_date_and_delisting_date
    assert f.__name__ == "get_listing_date_and_delisting_date"
    for _ in range(2):
        sorvan.get_stock_industry(["A", "A"], ["2020-01-01", "2020-01-02"], "sws")
    assert client.count("instruments") == 1
    clock.now += 3600
    client.listing["A"] = ("2021-01-04", None)
    out = sorvan.get_stock_industry(["A"], ["2020-01-01"], "sws")
    assert client.count("instruments") == 2 and out.shape == (1, 0)  # listed after the date
    f.clear_cache()
    f("A")
    assert client.count("instruments") == 3


def strptime_error(text):
    with pytest.raises(ValueError) as err:
        dt.datetime.strptime(text, "%Y-%m-%d")
    return str(err.value)


def test_bad_listing_date_raises_and_caches_nothing(use):
    client = use(IndustryClient(shenwan=[sw("A", "银行", "2005-01-01")],
                                listing={"A": ("2021-02-30", None), "B": ("20210305", None)}))
    # strptime's own error reaches the caller; its wording is the interpreter's.
    with pytest.raises(ValueError) as err:
        sorvan.get_stock_industry(["A"], ["2021-03-01"], "sws")
    assert str(err.value) == strptime_error("2021-02-30")
    with pytest.raises(ValueError) as err:
        sorvan.get_listing_date_and_delisting_date("B")
    assert str(err.value) == strptime_error("20210305")
    client.listing["A"] = ("2021-02-28", None)
    assert sorvan.get_listing_date_and_delisting_date("A")[0] == D(2021, 2, 28)
    assert client.count("instruments") == 3


def test_argument_checks(use):
    client = use(IndustryClient(shenwan=[sw("A", "银行", "2005-01-01")]))

    class Code(str):
        pass

    message = "Argument 'order_book_id' has incorrect type (expected str, got %s)"
    for bad in (Code("A"), 1):
        with pytest.raises(TypeError) as err:
            sorvan.get_listing_date_and_delisting_date(bad)
        assert str(err.value) == message % type(bad).__name__
        with pytest.raises(TypeError) as err:
            sorvan.get_stock_industry(["A", bad], ["2020-01-01"], "sws")
        assert str(err.value) == message % type(bad).__name__
    assert client.count("instruments") == 1  # "A", met before the bad id; then cached
    for standard in ("SWS", "zx", None):
        client.calls.clear()
        with pytest.raises(AssertionError):
            sorvan.get_stock_industry(["A"], ["2020-01-01"], standard)
        assert client.calls == []
    with pytest.raises(TypeError, match="'ds'"):
        sorvan._cvtdate(20210305, None)
    client.listing["A"] = (D(2001, 1, 1), None)
    sorvan.get_listing_date_and_delisting_date.clear_cache()
    with pytest.raises(TypeError, match="'listed_date'"):
        sorvan.get_listing_date_and_delisting_date("A")
    client.listing["A"] = ("2001-01-01", None)
    # None is a valid id with no history
    out = sorvan.get_stock_industry(["A", None], ["2020-01-01"], "sws")
    assert out.to_numpy().tolist() == [[1], [0]]


def test_empty_inputs(use):
    client = use(IndustryClient(shenwan=[sw("A", "银行", "2005-01-01")], listing=LISTED))
    for ids, dates in (([], ["2020-01-01"]), (["A"], []), ([], [])):
        out = sorvan.get_stock_industry(ids, dates, "sws")
        assert out.shape == (0, 0) and out.index.names == ["date", "order_book_id"]
    out = sorvan.get_stock_industry(["A", "Z"], ["2001-01-01", "2002-01-01"], "sws")
    assert out.shape == (4, 0) and list(out.index.get_level_values(1)) == ["A", "Z"] * 2
    assert client.count("instruments") == 1  # only for the stock with a history
    assert "Z" in sorvan._sw_cache.data  # the defaultdict grew by the unknown stock
    assert client.count(SHENWAN) == 1


def test_industry_idx_and_one_industry(use):
    use(IndustryClient(shenwan=[sw("A", "银行", "2020-01-02"), sw("B", "传媒", "2000-01-01")],
                       listing=LISTED))
    dates = pd.to_datetime(["2020-01-01", "2020-01-02"])
    rv = sorvan._industry_idx(["A", "B"], dates, "sws")
    assert list(rv.items()) == [("传媒", [(D(2020, 1, 1), "B"), (D(2020, 1, 2), "B")]),
                                ("银行", [(D(2020, 1, 2), "A")])]
    assert rv["x"] == []
    table = sorvan._sw_cache.data
    assert sorvan._one_industry(table, "A", D(2020, 1, 2)) == "银行"
    assert sorvan._one_industry(table, "A", D(2020, 1, 1)) is None
    assert sorvan._one_industry(table, "Q", D(2020, 1, 1)) is None
    with pytest.raises(TypeError, match="order_book_id"):
        sorvan._one_industry(table, b"A", D(2020, 1, 1))


def test_changes_to_a_served_table_are_seen(use):
    use(IndustryClient(shenwan=[sw("A", "银行", "2005-01-01")], listing=LISTED))
    dates = ["2021-01-04"]
    assert list(sorvan.get_stock_industry(["A"], dates, "sws").columns) == ["银行"]
    sorvan._sw_cache.data["A"].insert(0, (D(2021, 1, 1), "传媒"))
    assert list(sorvan.get_stock_industry(["A"], dates, "sws").columns) == ["传媒"]
    sorvan._sw_cache.data["A"][0] = (D(2021, 1, 1), "电子")  # same length, pair replaced
    assert list(sorvan.get_stock_industry(["A"], dates, "sws").columns) == ["电子"]
    sorvan._sw_cache.data = {"A": [(D(2021, 1, 1), "钢铁")]}
    assert list(sorvan.get_stock_industry(["A"], dates, "sws").columns) == ["钢铁"]


def test_time_of_day_and_timezones_use_the_calendar_date(use):
    use(IndustryClient(shenwan=[sw("A", "银行", "2020-01-02")], listing=LISTED))
    out = sorvan.get_stock_industry(["A"], ["2020-01-01 23:00", "2020-01-02 09:30"], "sws")
    assert out["银行"].tolist() == [0, 1]
    # a day and a time on it: both rows are that day's, each keeping its own label
    asked = [pd.Timestamp("2020-01-02"), pd.Timestamp("2020-01-02 10:00")]
    out = sorvan.get_stock_industry(["A"], asked, "sws")
    assert out["银行"].tolist() == [1, 1]
    assert list(out.index.get_level_values("date")) == asked
    stamps = pd.DatetimeIndex(["2020-01-02 00:30"]).tz_localize("Asia/Shanghai")
    out = sorvan.get_stock_industry(["A"], stamps, "sws")
    assert out["银行"].tolist() == [1] and out.index.levels[0].tz is not None


def test_native_pass_agrees_with_the_single_lookup(use):
    """Random histories, bounds and unordered dates: every cell as _one_industry answers it."""
    rng = np.random.default_rng(7)
    names = ["银行", "传媒", "电子", "钢铁", None]
    ids = ["S%d" % k for k in range(40)]
    days = pd.date_range("2018-01-01", "2020-12-31", freq="D")
    listing = {}
    for oid in ids[:35]:
        lo, hi = sorted(rng.choice(len(days), 2, replace=False))
        listing[oid] = (str(days[lo].date()), str(days[hi].date()) if rng.random() < 0.5 else "0")
    use(IndustryClient(listing=listing))
    table = sorvan._industry_cache("citics")
    for oid in ids[:38]:  # the last two have no history; unsorted and None names included
        picks = rng.choice(len(days), int(rng.integers(1, 5)))
        table[oid] = [(days[k].date(), names[rng.integers(len(names))]) for k in picks]
    dates = list(days[rng.choice(len(days), 60)]) + list(days[:3])
    out = sorvan.get_stock_industry(ids + ids[:2], dates, "citics")
    got = industries(out)
    for d in dates:
        for oid in ids:
            want = sorvan._one_industry(table, oid, d.date())
            assert got[(d.strftime("%Y-%m-%d"), oid)] == want, (d, oid)
    rv = sorvan._industry_idx(ids, pd.DatetimeIndex(dates), "citics")
    assert list(rv) == list(out.columns)
    assert {(d, o, i) for i, pairs in rv.items() for d, o in pairs} == {
        (pd.Timestamp(d).date(), o, i) for (d, o), i in got.items() if i is not None}


@pytest.mark.parametrize("ids,dates", [
    (["B", "A", "B", "长江"], ["2020-01-02", "2020-01-01", "2020-01-02"]),
    ([], ["2020-01-01"]),
    (["A"], []),
    (["A", None], ["2020-01-01", None]),
    (["A"], pd.DatetimeIndex(["2020-01-01"]).tz_localize("Asia/Shanghai")),
])
def test_index_is_the_product_of_dates_and_ids(use, ids, dates):
    use(IndustryClient(shenwan=[sw("A", "银行", "2005-01-01")], listing=LISTED))
    got = sorvan.get_stock_industry(ids, dates, "sws").index
    want = pd.MultiIndex.from_product([pd.to_datetime(dates), ids], names=["date", "order_book_id"])
    assert got.names == want.names and got.equals(want)
    for a, b in zip(got.levels, want.levels):
        assert a.dtype == b.dtype and a.equals(b)
    for a, b in zip(got.codes, want.codes):
        assert a.dtype == b.dtype and (a == b).all()
