"""Client answers of odd shapes and types: the documented result or a clear error, and the
client's objects are never modified."""

import re

import numpy as np
import pandas as pd
import pytest

import fakes_market as fm
from brelvox.exceptions import MissingData

D = fm.DAYS[5:40]
IDS = list(fm.STOCKS)
CLEAR = (TypeError, ValueError, KeyError, IndexError, MissingData)
INTERNAL = re.compile(r"std::|bad_cast|nanobind|nb::|basic_string|__cxx|Unknown exception|"
                      r"returned NULL|incompatible function arguments", re.I)


class Boom(Exception):
    """Raised by a client operation half-way through a request."""


@pytest.fixture
def market(monkeypatch):
    market = fm.Market()
    fm.bind(monkeypatch, fm.modules("quenta", "oprane", "brisel", "sorvan", "pelmar", "caldre"),
            market)
    return market


def frozen(obj):
    if isinstance(obj, (pd.DataFrame, pd.Series)):
        return obj.copy(deep=True)
    if isinstance(obj, list):
        return [dict(r) if isinstance(r, dict) else r for r in obj]
    return obj


def unchanged(before, after):
    if isinstance(before, pd.DataFrame):
        return (before.equals(after) and before.index.equals(after.index)
                and list(before.columns) == list(after.columns)
                and list(before.index.names) == list(after.index.names))
    if isinstance(before, pd.Series):
        return before.equals(after) and before.index.equals(after.index) and before.name == after.name
    return before == after


def serve(market, path, answer):
    """Makes the operation at `path` (such as "bond.get_valuation") answer `answer` itself."""
    owner = market
    *parts, name = path.split(".")
    for part in parts:
        owner = getattr(owner, part)

    def operation(*args, **kwargs):
        if isinstance(answer, Exception):
            raise answer
        return answer

    setattr(owner, name, operation)


def outcome(call, expected=None):
    """Runs `call`: it equals `expected` (when given) or fails with a clear error."""
    try:
        got = call()
    except CLEAR as e:
        assert str(e) and not INTERNAL.search(str(e)), "unclear error: %r" % e
        return e
    if expected is not None:
        if isinstance(expected, pd.DataFrame):
            pd.testing.assert_frame_equal(got, expected, check_freq=False)
        else:
            assert got == expected
    return got


def _price_answer(market, field, ids=IDS):
    return market.get_price(ids, fm.DAYS[0], D[-1], fields=field)


PRICE_CALLS = [
    ("quenta", "get_equity_daily_returns", "close", IDS),
    ("quenta", "get_future_daily_returns", "settlement", fm.FUTURES),
    ("oprane", "get_equity_price", "close", IDS),
    ("oprane", "get_futures_price", "settlement", fm.FUTURES),
]


def _variants(base, field):
    ints = base.copy()
    ints[field] = (ints[field] * 100).round().astype("int64")
    with_nan_id = pd.concat([base, pd.DataFrame(
        {field: [1.0]}, index=pd.MultiIndex.from_tuples([(np.nan, D[3])], names=base.index.names))])
    three = base.copy()
    three.index = pd.MultiIndex.from_arrays(
        [base.index.get_level_values(0), base.index.get_level_values(1), np.zeros(len(base))])
    return {
        # name: (answer, well-formed answer with the same content, or None when none exists)
        "extra columns": (base.assign(volume=7.0, note="x", open=base[field] + 1), base),
        "unsorted rows": (base.sample(frac=1.0, random_state=3), base),
        "integer values": (ints, ints.astype("float64")),
        "object values": (base.astype(object), base),
        "NaN id": (with_nan_id, None),
        "Series": (base[field], None),
        "flat index": (base.reset_index(level=0), None),
        "three levels": (three, None),
        "no rows": (base.iloc[:0], None),
        "only dates": (base.reset_index(level=0, drop=True), None),
    }


@pytest.mark.parametrize("module_name,name,field,ids", PRICE_CALLS,
                         ids=["%s.%s" % (m, n) for m, n, _, _ in PRICE_CALLS])
def test_odd_price_answers(market, module_name, name, field, ids):
    module = pytest.importorskip("brelvox.marketdata." + module_name)
    function = getattr(module, name)
    base = _price_answer(market, field, ids)
    results = {}
    for label, (answer, same_as) in _variants(base, field).items():
        expected = None
        if same_as is not None:
            serve(market, "get_price", same_as)
            expected = function(ids, D)
        kept = frozen(answer)
        serve(market, "get_price", answer)
        results[label] = outcome(lambda: function(ids, D), expected)
        assert unchanged(kept, answer), "%s: the client's answer was modified" % label
    # an empty answer is no data (or, at most, a frame without any value)
    empty = results["no rows"]
    assert isinstance(empty, MissingData) or (
        isinstance(empty, pd.DataFrame) and empty.shape == (len(D), len(ids)))


@pytest.mark.parametrize("answer", ["Series", "flat index", "only dates"])
def test_price_answer_of_the_wrong_shape_names_the_problem(market, answer):
    quenta = pytest.importorskip("brelvox.marketdata.quenta")
    bad = _variants(_price_answer(market, "close"), "close")[answer][0]
    serve(market, "get_price", bad)
    with pytest.raises(CLEAR) as info:
        quenta.get_equity_daily_returns(IDS, D)
    assert not INTERNAL.search(str(info.value))


def test_event_answers_of_odd_shapes(market):
    quenta = pytest.importorskip("brelvox.marketdata.quenta")
    expected = quenta.get_equity_daily_returns(IDS, D)
    splits, dividends = market.splits, market.dividends
    for path, good in (("get_split", splits), ("get_dividend", dividends)):
        original = getattr(market, path)
        for answer in (good.assign(extra=1.0), good.iloc[::-1], good.astype(object),
                       good.iloc[:0], None, ValueError("nothing")):
            kept = frozen(answer)
            serve(market, path, answer)
            got = quenta.get_equity_daily_returns(IDS, D)
            if isinstance(answer, pd.DataFrame) and len(answer):
                pd.testing.assert_frame_equal(got, expected)
            if isinstance(answer, pd.DataFrame):
                assert unchanged(kept, answer)
        setattr(market, path, original)


def test_exception_half_way_propagates_and_leaves_no_trace(market):
    quenta = pytest.importorskip("brelvox.marketdata.quenta")
    expected = quenta.get_equity_daily_returns(IDS, D)
    error = Boom("dividends service down")
    original = market.get_dividend
    serve(market, "get_dividend", error)
    with pytest.raises(Boom) as info:
        quenta.get_equity_daily_returns(IDS, D)
    assert info.value is error
    market.get_dividend = original
    pd.testing.assert_frame_equal(quenta.get_equity_daily_returns(IDS, D), expected)


def test_odd_valuation_answers(market):
    quenta = pytest.importorskip("brelvox.marketdata.quenta")
    fields = ["dirty_price_eod", "accrued_interest_intraday", "accrued_interest_eod",
              "residual_principal"]
    base = market.valuations.loc[:, fields]
    base = base[base.index.get_level_values(1) <= D[-1]]
    serve(market, "bond.get_valuation", base)
    expected = quenta.get_bond_daily_returns(fm.BONDS, D)
    ints = base.copy()
    ints["residual_principal"] = ints["residual_principal"].astype("int64")
    for label, answer, same in (("extra", base.assign(other=1.0), True),
                                ("unsorted", base.sample(frac=1.0, random_state=1), True),
                                ("integer", ints, True), ("object", base.astype(object), True),
                                ("Series", base["dirty_price_eod"], False),
                                ("flat", base.reset_index(level=0), False),
                                ("missing column", base.drop(columns="residual_principal"), False)):
        kept = frozen(answer)
        serve(market, "bond.get_valuation", answer)
        outcome(lambda: quenta.get_bond_daily_returns(fm.BONDS, D), expected if same else None)
        assert unchanged(kept, answer), label
    serve(market, "bond.get_valuation", base.iloc[:0])
    with pytest.raises(MissingData):
        quenta.get_bond_daily_returns(fm.BONDS, D)


def test_odd_fund_answers(market):
    quenta = pytest.importorskip("brelvox.marketdata.quenta")
    expected = quenta.get_public_fund_daily_returns(fm.FUNDS, D)
    catalogue = market.fund_catalogue
    for answer, same in ((catalogue.assign(name="x"), True), (catalogue.iloc[::-1], True),
                         (catalogue.assign(accrued_daily=[1, 0]), True),
                         (catalogue.drop(columns="accrued_daily"), False),
                         (catalogue.set_index("order_book_id"), False)):
        kept = frozen(answer)
        serve(market, "fund.all_instruments", answer)
        outcome(lambda: quenta.get_public_fund_daily_returns(fm.FUNDS, D),
                expected if same else None)
        assert unchanged(kept, answer)
    serve(market, "fund.all_instruments", catalogue)
    get_nav = market.fund.get_nav
    for answer in (market.nav.iloc[:0], None):
        serve(market, "fund.get_nav", answer)
        with pytest.raises(MissingData):
            quenta.get_public_fund_daily_returns(fm.FUNDS, D)
    answers = []

    def odd_nav(*args, **kwargs):
        # the usual answer for the funds asked, rows shuffled, with a column nobody asked for
        answer = get_nav(*args, **kwargs).sample(frac=1.0, random_state=2).assign(other=1)
        answers.append((answer, frozen(answer)))
        return answer

    market.fund.get_nav = odd_nav
    outcome(lambda: quenta.get_public_fund_daily_returns(fm.FUNDS, D), expected)
    assert answers and all(unchanged(kept, answer) for answer, kept in answers)


def test_odd_catalogues_keep_the_asset_type_table_consistent(market):
    brisel = pytest.importorskip("brelvox.marketdata.brisel")
    catalogue = market.catalogue
    nan_id = pd.concat([catalogue, pd.DataFrame({"order_book_id": [np.nan, None],
                                                 "type": ["CS", "ETF"]})], ignore_index=True)
    answers = [catalogue.assign(extra=1), catalogue.iloc[::-1], nan_id, catalogue.iloc[:0],
               catalogue.set_index("order_book_id"), catalogue["order_book_id"],
               catalogue.drop(columns="type"), pd.concat([catalogue, catalogue]),
               catalogue.assign(type=catalogue["type"].astype(object).where(
                   catalogue["type"] != "CS", None))]
    for answer in answers:
        kept = frozen(answer)
        serve(market, "all_instruments", answer)
        brisel._type_cache = brisel.AssetTypeCache()
        result = outcome(lambda: brisel.get_asset_types(IDS))
        if isinstance(result, dict):
            assert set(result) <= set(IDS)
        assert unchanged(kept, answer)
        cache = brisel._type_cache
        stored = [i for ids in cache._typedict.values() for i in ids]
        assert len(stored) == len(set(stored)) == len(cache._oset) == len(cache._otypedict)


def test_catalogue_failure_half_way_is_retried(market):
    brisel = pytest.importorskip("brelvox.marketdata.brisel")
    error = Boom("catalogue down")
    serve(market, "fund.all_instruments", error)
    with pytest.raises(Boom):
        brisel.get_asset_types(IDS)
    assert brisel._type_cache.is_expired()
    serve(market, "fund.all_instruments", market.fund_catalogue.copy())
    assert brisel.get_asset_types(IDS) == {i: "stock" for i in IDS}


def test_odd_industry_records(market):
    sorvan = pytest.importorskip("brelvox.marketdata.sorvan")
    expected = sorvan.get_stock_industry(IDS, D, "sws")
    good = list(market.shenwan)
    sorvan._sw_cache = sorvan.Cache({})
    market.shenwan = [dict(r, extra="x") for r in reversed(good)]
    pd.testing.assert_frame_equal(sorvan.get_stock_industry(IDS, D, "sws"), expected)
    for bad in ([{"order_book_id": "000001.XSHE"}], [dict(good[0], start_date="2021-01-01")],
                [dict(good[0], start_date=None)], [None], [1]):
        market.shenwan = bad
        sorvan._sw_cache = sorvan.Cache({})
        try:
            outcome(lambda: sorvan.get_stock_industry(IDS, D, "sws"))
        except AttributeError as e:  # a start date without date(): the documented failure
            assert "date" in str(e)
    # a failed load leaves the holder as it was, and the next request loads again
    market.shenwan = good
    sorvan._sw_cache = sorvan.Cache({})
    holder = sorvan._sw_cache
    before = (holder.data, holder.expire)
    error = Boom("service down")
    market.client.get_client = lambda: type("S", (), {"execute": lambda self, *a: (_ for _ in ()).throw(error)})()
    with pytest.raises(Boom):
        sorvan.get_stock_industry(IDS, D, "sws")
    assert (sorvan._sw_cache.data, sorvan._sw_cache.expire) == before


def test_odd_index_weight_answers(market):
    pelmar = pytest.importorskip("brelvox.marketdata.pelmar")
    expected = pelmar.get_stock_index_weight(fm.INDEXES[0], D)
    records = market.weight_records
    market.weight_records = list(reversed(records))
    pd.testing.assert_frame_equal(pelmar.get_stock_index_weight(fm.INDEXES[0], D), expected)
    market.weight_records = [dict(r, extra=1) for r in records]
    pd.testing.assert_frame_equal(pelmar.get_stock_index_weight(fm.INDEXES[0], D), expected)
    for bad in ([{"date": D[0].to_pydatetime()}], [{"data": records[0]["data"]}],
                [dict(records[0], data=[{"weight": 1.0}])], [None]):
        market.weight_records = bad
        outcome(lambda: pelmar.get_stock_index_weight(fm.INDEXES[0], D))
    bond_expected = pelmar.get_bond_index_weight(fm.BOND_INDEX, D)
    weights = market.bond_weights[market.bond_weights.index.get_level_values(0) <= D[-1]]
    for answer, same in ((weights.sample(frac=1.0, random_state=4), True),
                         (weights.astype(object), True), (weights.iloc[:0], False),
                         (weights.to_frame("w"), False), (weights.droplevel(0), False)):
        kept = frozen(answer)
        serve(market, "bond.index_weights", answer)
        outcome(lambda: pelmar.get_bond_index_weight(fm.BOND_INDEX, D),
                bond_expected if same else None)
        assert unchanged(kept, answer)


def test_odd_valuation_and_curve_answers_for_chinabond(market):
    caldre = pytest.importorskip("brelvox.marketdata.caldre")
    expected = caldre.get_chinabond_valuation(fm.BONDS, ["yield"], D[0], D[-1])
    codes = market.bond.get_secu_market_code(fm.BONDS)
    for answer in (codes.assign(extra=1), codes.iloc[::-1], codes.drop(columns="NIB"),
                   codes.iloc[:0], None, codes["NIB"]):
        kept = frozen(answer)
        serve(market, "bond.get_secu_market_code", answer)
        outcome(lambda: caldre.get_chinabond_valuation(fm.BONDS, ["yield"], D[0], D[-1]))
        if answer is not None:
            assert unchanged(kept, answer)
    serve(market, "bond.get_secu_market_code", codes.assign(extra=1))
    pd.testing.assert_frame_equal(
        caldre.get_chinabond_valuation(fm.BONDS, ["yield"], D[0], D[-1]), expected)
    curve_expected = caldre.get_treasury_bond_yield(D)
    on = market.curve.index.get_level_values(1)
    curve = market.curve[(on >= D[0]) & (on <= D[-1])]
    for answer, same in ((curve.sample(frac=1.0, random_state=5), True),
                         (curve.assign(extra=1.0), True), (curve.iloc[:0], False),
                         (curve.reset_index(level=0), False), (curve["rate"], False)):
        kept = frozen(answer)
        serve(market, "bond.get_yield_curves", answer)
        outcome(lambda: caldre.get_treasury_bond_yield(D), curve_expected if same else None)
        assert unchanged(kept, answer)
