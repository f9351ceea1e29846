"""Every public function against arguments of the wrong kind, shape, order or size.

Each call must either answer or raise a clear Python exception of the documented kinds:
never a crash, a SystemError, a leaked C++ exception or a message from the binding layer's
internals. Arguments the caller passed must come back unchanged.
"""

import copy
import datetime
import importlib
import json
import re
import uuid
import warnings

import numpy as np
import pandas as pd
import pytest

import fakes_market as fm
from brelvox.exceptions import MissingData, UnknownAssets


class Name(str):
    """A str subclass: refused where a parameter takes exactly str."""


D = fm.DAYS[5:40]
IDS = list(fm.STOCKS)

ALLOWED = (TypeError, ValueError, KeyError, IndexError, MissingData, UnknownAssets,
           AssertionError)
# Text that only the C++ side or the binding layer could have put into a message.
INTERNAL = re.compile(r"std::|bad_cast|bad_alloc|bad_any|nanobind|nb::|basic_string|__cxx|"
                      r"vector<|unordered_|terminate called|Unknown exception|"
                      r"returned NULL|returned a result with an exception", re.I)

LONG_IDS = IDS + ["X%05d.XSHE" % i for i in range(5000)]
LONG_DATES = pd.date_range("1995-01-01", "2035-12-31")

IDS_VALUES = {
    "None": None, "int": 1, "float": 1.5, "bytes": b"000001.XSHE", "str": "000001.XSHE",
    "str subclass": Name("000001.XSHE"), "dict": {"000001.XSHE": 1}, "empty": [],
    "unsorted": ["600000.XSHG", "000001.XSHE", "000002.XSHE"],
    "duplicated": ["000001.XSHE", "000002.XSHE", "000001.XSHE"],
    "ndarray": np.array(IDS), "object ndarray": np.array(IDS, dtype=object),
    "Index": pd.Index(IDS), "tuple": tuple(IDS), "set": set(IDS),
    "generator": (i for i in IDS), "subclass items": [Name(i) for i in IDS],
    "None item": ["000001.XSHE", None], "int items": [1, 2], "NaN item": ["000001.XSHE", np.nan],
    "bytes items": [b"000001.XSHE"], "unknown": ["NOPE.XSHE"], "long": LONG_IDS,
}
DATES_VALUES = {
    "None": None, "int": 1, "float": 1.5, "bytes": b"2021-02-01", "str": "2021-02-01",
    "not a date": "not a date", "dict": {"a": 1}, "empty": [],
    "empty index": pd.DatetimeIndex([]),
    "unsorted": pd.DatetimeIndex([D[5], D[1], D[3]]), "duplicated": pd.DatetimeIndex([D[1], D[1], D[2]]),
    "tz-aware": D.tz_localize("Asia/Shanghai"), "NaT only": [pd.NaT],
    "NaT inside": pd.DatetimeIndex([D[0], pd.NaT, D[2]]), "garbage item": ["2021-02-01", "garbage"],
    "strings": [str(d.date()) for d in D], "datetime64 array": D.values,
    "dates": list(D.date), "weekend": pd.DatetimeIndex(["2021-02-06", "2021-02-07"]),
    "before data": pd.date_range("2001-01-01", periods=3), "long": LONG_DATES,
    "Series": pd.Series(D), "intraday": D + pd.Timedelta(hours=9, minutes=30),
}
DATE_VALUES = {
    "None": None, "int": 1, "float": 1.5, "bytes": b"2021-02-01", "not a date": "not a date",
    "NaT": pd.NaT, "tz-aware": pd.Timestamp("2021-02-01", tz="Asia/Shanghai"), "dict": {},
    "list": [D[0]], "str subclass": Name("2021-02-01"), "date": datetime.date(2021, 2, 1),
    "far future": pd.Timestamp("2200-01-01"), "numpy": np.datetime64("2021-02-01"),
}
STR_VALUES = {
    "None": None, "int": 1, "float": 1.5, "bytes": b"sws", "str subclass": Name("sws"),
    "dict": {}, "empty": "", "unknown": "no such thing", "list": ["sws"], "NaN": np.nan,
}
ANY_VALUES = {
    "None": None, "int": 1, "float": 1.5, "bytes": b"x", "str": "x", "dict": {}, "list": [],
    "frame": pd.DataFrame({"a": [1]}), "object": object(),
}
KIND_VALUES = {"ids": IDS_VALUES, "dates": DATES_VALUES, "date": DATE_VALUES,
               "str": STR_VALUES, "any": ANY_VALUES}


def price_frame():
    return (fm.Market().prices["close"].unstack(0).loc[D[0]:D[-1], IDS])


def fund_catalogue():
    return fm.Market().fund_catalogue.set_index("order_book_id").loc[["000198"]]


# module -> {function: (good positional arguments, {position: kind}, extra allowed errors)}
TABLE = {
    "brelvox.marketdata.quenta": {
        "get_equity_daily_returns": ([IDS, D], {0: "ids", 1: "dates"}),
        "get_option_daily_returns": ([fm.OPTIONS, D], {0: "ids", 1: "dates"}),
        "get_future_daily_returns": ([fm.FUTURES, D], {0: "ids", 1: "dates"}),
        "_get_daily_returns": ([IDS, D, "close", True], {0: "ids", 1: "dates", 2: "str", 3: "any"}),
        "_adjust_daily_return": ([price_frame()], {0: "any"}, (AttributeError,)),
        "_not_found_behave": ([D, IDS], {0: "dates", 1: "ids"}),
        "get_bond_daily_returns": ([fm.BONDS, D, True], {0: "ids", 1: "dates", 2: "any"}),
        "get_cash_daily_returns": ([["CASH"], D, 0.0], {0: "ids", 1: "dates", 2: "any"}),
        "get_public_fund_daily_returns": ([fm.FUNDS, D], {0: "ids", 1: "dates"}),
        "_get_public_fund_daily_profit_return": ([fund_catalogue(), D], {0: "any", 1: "dates"},
                                                 (AttributeError,)),
        "_get_public_fund_unit_net_value_return": ([fm.NAV_FUNDS, D], {0: "ids", 1: "dates"}),
    },
    "brelvox.marketdata.oprane": {
        "get_equity_price": ([IDS, D], {0: "ids", 1: "dates"}),
        "get_futures_price": ([fm.FUTURES, D], {0: "ids", 1: "dates"}),
        "_get_price": ([IDS, D, "close"], {0: "ids", 1: "dates", 2: "str"}),
        "_not_found_behave": ([D, IDS], {0: "dates", 1: "ids"}),
    },
    "brelvox.marketdata.brisel": {
        "get_instrument": (["000001.XSHE"], {0: "str"}, (AttributeError,)),
        "_get_instrument": (["000001.XSHE"], {0: "str"}, (AttributeError,)),
        "get_instruments": ([IDS], {0: "ids"}, (AttributeError,)),
        "get_asset_type": (["000001.XSHE"], {0: "str"}, (AttributeError,)),
        "get_asset_types": ([IDS], {0: "ids"}, (AttributeError,)),
        "maybe_bond_index": ([fm.BOND_INDEX], {0: "str"}, (AttributeError,)),
        "maybe_bond": (["210001.IB"], {0: "str"}, (AttributeError,)),
        "is_stock_index_and_have_weight": ([fm.INDEXES[0]], {0: "str"}, (AttributeError,)),
        "is_stock": (["000001.XSHE"], {0: "str"}, (AttributeError,)),
    },
    "brelvox.marketdata.sorvan": {
        "get_stock_industry": ([IDS, D, "sws"], {0: "ids", 1: "dates", 2: "str"}),
        "_industry_idx": ([IDS, D, "sws"], {0: "ids", 1: "dates", 2: "str"}, (AttributeError,)),
        "get_listing_date_and_delisting_date": (["000001.XSHE"], {0: "str"}),
        "_cvtdate": (["2021-02-01", None], {0: "any", 1: "any"}, (AttributeError,)),
        "_to_date_int": ([D[0]], {0: "date"}, (AttributeError,)),
        "_industry_cache": (["sws"], {0: "str"}),
    },
    "brelvox.marketdata.pelmar": {
        "get_stock_index_weight": ([fm.INDEXES[0], D], {0: "str", 1: "dates"}),
        "get_bond_index_weight": ([fm.BOND_INDEX, D], {0: "str", 1: "dates"}),
    },
    "brelvox.marketdata.caldre": {
        "get_chinabond_valuation": ([fm.BONDS, ["yield"], D[0], D[-1]],
                                    {0: "ids", 1: "ids", 2: "date", 3: "date"}),
        "get_treasury_bond_yield": ([D], {0: "dates"}),
    },
    "brelvox.marketdata.tolvik": {
        "is_exchange_trading_date": ([D[0]], {0: "date"}),
        "get_exchange_previous_trading_date": ([D[3], 1], {0: "date", 1: "any"}, (AttributeError,)),
        "get_exchange_next_trading_date": ([D[3], 1], {0: "date", 1: "any"}, (AttributeError,)),
        "get_exchange_trading_dates": ([D[0], D[-1]], {0: "date", 1: "date"}, (AttributeError,)),
        "is_bank_trading_date": ([None, D[0]], {1: "date"}),
        "get_bank_previous_trading_date": ([D[3], 1], {0: "date", 1: "any"}, (AttributeError,)),
        "get_bank_next_trading_date": ([D[3], 1], {0: "date", 1: "any"}, (AttributeError,)),
        "get_bank_trading_dates": ([D[0], D[-1]], {0: "date", 1: "date"}, (AttributeError,)),
        "_to_datetime": ([D[0]], {0: "date"}, (AttributeError,)),
    },
    "brelvox.utils.frevo": {
        "maybe_reindex": ([price_frame(), D[::-1], 0], {0: "any", 1: "dates", 2: "any"},
                          (AttributeError,)),
        "shift1_by_trading_date": ([D, True, True], {0: "dates", 1: "any", 2: "any"}),
        "convert_to_datetime_index": ([D], {0: "dates"}),
        "append_level_in_multi_index": (
            [pd.MultiIndex.from_product([IDS, D[:2]]), "level", 1], {0: "any", 1: "str", 2: "any"},
            (AttributeError,)),
    },
    "brelvox.utils.format": {
        "convert_to_datetime": ([D[0]], {0: "date"}, (AttributeError,)),
        "convert_date_to_int": ([D[0]], {0: "date"}, (AttributeError,)),
        "is_datetime_string": (["2021-02-01"], {0: "any"}),
        "is_number_string": (["1.5"], {0: "any"}),
        "is_float_string": (["1.5"], {0: "any"}),
        "is_integer_string": (["15"], {0: "any"}),
        "is_bool_string": (["yes"], {0: "any"}, (AttributeError,)),
        "is_true_string": (["yes"], {0: "any"}),
        "union": ([IDS, IDS[::-1]], {0: "ids", 1: "ids"}),
        "get_terms_in_year": (["10Y"], {0: "str"}),
    },
    "brelvox.const": {
        "AssetType.is_equity": (["stock"], {0: "str"}),
        "AssetType.chinese": (["stock"], {0: "str"}, (AttributeError,)),
        "AssetType.contains": (["stock"], {0: "any"}),
        "MongoCollections.all_members": ([], {}),
    },
    "brelvox.utils.decorators": {
        "ttl_cache": ([60], {0: "any"}),
        "retry": ([2, ValueError, None], {0: "any", 1: "any", 2: "any"}),
        "exception_capture": ([lambda e, a, k: None], {0: "any"}),
        "update_doc": ([len, True], {0: "any", 1: "any"}),
        "_make_key": ([(1, 2), {}, False], {0: "any", 1: "any", 2: "any"}, (AttributeError,)),
        "cached_property": ([lambda self: 1], {0: "any"}, (AttributeError,)),
    },
}


def _lookup(module, dotted):
    target = module
    for part in dotted.split("."):
        target = getattr(target, part)
    return target


def _snapshot(value):
    if isinstance(value, (pd.DataFrame, pd.Series, pd.Index)):
        return value.copy(deep=True)
    if isinstance(value, np.ndarray):
        return value.copy()
    if isinstance(value, (list, dict, tuple, set)):
        try:
            return copy.deepcopy(value)
        except Exception:
            return None
    return None


def _same(before, after):
    if before is None:
        return True
    if isinstance(before, (pd.DataFrame, pd.Series)):
        return before.equals(after) and before.index.equals(after.index)
    if isinstance(before, pd.Index):
        return before.equals(after) and before.name == after.name
    if isinstance(before, np.ndarray):
        return np.array_equal(before, after, equal_nan=before.dtype.kind == "f")
    try:
        return bool(pd.isna(before) is True) or before == after or repr(before) == repr(after)
    except Exception:
        return repr(before) == repr(after)


def outcome(function, args, extra=()):
    """None when the call answered or failed cleanly, else a description of the fault."""
    kept = [_snapshot(a) for a in args]
    try:
        with warnings.catch_warnings():
            # pandas warns on its own conversions (nanoseconds dropped, formats guessed,
            # deprecated inference): its business, not this sweep's
            warnings.simplefilter("ignore")
            function(*args)
    except ALLOWED + tuple(extra) as e:
        text = str(e)
        if INTERNAL.search(text):
            return "%s with internal text: %s" % (type(e).__name__, text[:300])
    except Exception as e:  # SystemError, RuntimeError from C++, OverflowError, ...
        return "%s: %s" % (type(e).__name__, str(e)[:300])
    for position, (before, after) in enumerate(zip(kept, args)):
        if position == 1 and function.__name__ == "get_chinabond_valuation":
            continue  # the fields list is completed in place by design
        if not _same(before, after):
            return "argument %d was modified" % position
    return None


CASES = [(module, name) for module, functions in TABLE.items() for name in functions]


@pytest.fixture
def market(monkeypatch):
    market = fm.Market()
    fm.bind(monkeypatch, fm.modules("quenta", "oprane", "brisel", "sorvan", "pelmar",
                                    "caldre", "tolvik"), market)
    frevo = importlib.import_module("brelvox.utils.frevo")
    monkeypatch.setattr(frevo, "ondrax", market)
    return market


@pytest.mark.parametrize("module_name,name", CASES, ids=["%s.%s" % (m.rsplit(".", 1)[-1], n)
                                                          for m, n in CASES])
def test_wrong_kinds_of_argument_fail_cleanly(market, module_name, name):
    module = pytest.importorskip(module_name)
    entry = TABLE[module_name][name]
    good, kinds = entry[0], entry[1]
    extra = entry[2] if len(entry) > 2 else ()
    function = _lookup(module, name)
    assert outcome(function, list(good), extra) is None, "the well-formed call fails"
    faults = []
    for position, kind in kinds.items():
        for label, value in KIND_VALUES[kind].items():
            args = list(good)
            args[position] = value
            fault = outcome(function, args, extra)
            if fault:
                faults.append("arg %d = %s: %s" % (position, label, fault))
    # too few and too many arguments, and an unknown keyword
    for args, kwargs in ((good[:-1], {}), (list(good) + [None] * 4, {}), (good, {"bogus": 1})):
        if not good and not kwargs:
            continue
        try:
            function(*args, **kwargs)
        except TypeError as e:
            if INTERNAL.search(str(e)):
                faults.append("arity: internal text: %s" % str(e)[:200])
        except Exception as e:
            if not isinstance(e, ALLOWED + tuple(extra)):
                faults.append("arity: %s: %s" % (type(e).__name__, str(e)[:200]))
    assert not faults, "\n".join(faults)


def _data_calls():
    out = []
    for module_name in ("brelvox.marketdata.quenta", "brelvox.marketdata.oprane"):
        for name, entry in TABLE[module_name].items():
            if entry[1].get(0) == "ids" and entry[1].get(1) == "dates":
                out.append((module_name, name))
    out.append(("brelvox.marketdata.sorvan", "get_stock_industry"))
    return out


@pytest.mark.parametrize("module_name,name", _data_calls(),
                         ids=[n for _, n in _data_calls()])
def test_id_containers_answer_like_a_list(market, module_name, name):
    module = pytest.importorskip(module_name)
    good = list(TABLE[module_name][name][0])
    function = getattr(module, name)
    expected = function(*good)
    containers = [np.array(good[0], dtype=object), pd.Index(good[0]), tuple(good[0])]
    if name != "get_stock_industry":  # there every id must be exactly str, not numpy.str_
        containers.append(np.array(good[0]))
    for container in containers:
        args = [container] + good[1:]
        pd.testing.assert_frame_equal(function(*args), expected, check_column_type=False)


@pytest.mark.parametrize("module_name,name", _data_calls(),
                         ids=[n for _, n in _data_calls()])
def test_dates_as_strings_or_dates_answer_like_timestamps(market, module_name, name):
    module = pytest.importorskip(module_name)
    good = list(TABLE[module_name][name][0])
    function = getattr(module, name)
    if name == "get_cash_daily_returns":
        pytest.skip("labels its rows with the dates exactly as given")
    expected = function(*good)
    for dates in ([str(d.date()) for d in good[1]], list(good[1].date), good[1].values):
        args = [good[0], dates] + good[2:]
        got = function(*args)
        # the time unit follows pandas' own conversion of the caller's dates, which differs
        # between pandas versions; the labels must still be the same dates
        levels = got.index.levels if isinstance(got.index, pd.MultiIndex) else [got.index]
        assert any(level.dtype.kind == "M" for level in levels)
        pd.testing.assert_frame_equal(got, expected, check_names=False, check_freq=False,
                                      check_index_type=False)


@pytest.mark.parametrize("module_name,name", _data_calls(),
                         ids=[n for _, n in _data_calls()])
def test_unsorted_and_repeated_ids_keep_one_column_per_request(market, module_name, name):
    module = pytest.importorskip(module_name)
    good = list(TABLE[module_name][name][0])
    function = getattr(module, name)
    if name in ("get_public_fund_daily_returns", "get_stock_industry") or len(good[0]) < 2:
        pytest.skip("needs two or more comparable ids")
    shuffled = good[0][::-1]
    got = function(shuffled, *good[1:])
    expected = function(good[0], *good[1:])
    assert sorted(got.columns) == sorted(expected.columns)
    pd.testing.assert_frame_equal(got[expected.columns], expected, check_column_type=False)


def test_json_encoder_refuses_what_it_cannot_write():
    fmt = pytest.importorskip("brelvox.utils.format")
    for value in (set(), np.int64(1), pd.DataFrame(), object(), b"x", 1j):
        with pytest.raises(TypeError) as info:
            json.dumps({"v": value}, cls=fmt.JSONEncoder)
        assert not INTERNAL.search(str(info.value))
    text = json.dumps([pd.NaT, pd.Timestamp("2021-01-01", tz="UTC"), uuid.UUID(int=0),
                       datetime.date(2021, 1, 1)], cls=fmt.JSONEncoder)
    assert json.loads(text)[1:] == ["2021-01-01", "00000000-0000-0000-0000-000000000000",
                                    "2021-01-01"]


def test_enum_classes_cannot_be_called():
    const = pytest.importorskip("brelvox.const")
    for cls in (const.AssetType, const.Enum, const.MongoCollections):
        with pytest.raises(RuntimeError, match="enum not callable"):
            cls()


def test_asset_type_cache_methods_fail_cleanly():
    brisel = pytest.importorskip("brelvox.marketdata.brisel")
    cache = brisel.AssetTypeCache()
    calls = [("put_one", 2, "str"), ("put_many", 2, ("ids", "str")), ("get_one", 1, "str"),
             ("get_many", 1, "ids"), ("get_asset_type", 1, "str"), ("set_expire", 1, "any"),
             ("__contains__", 1, "any")]
    faults = []
    for name, count, kinds in calls:
        kinds = kinds if isinstance(kinds, tuple) else (kinds,) * count
        good = {"str": "stock", "ids": ["A"], "any": 0}
        for position, kind in enumerate(kinds):
            for label, value in KIND_VALUES[kind].items():
                args = [good[k] for k in kinds]
                args[position] = value
                fault = outcome(getattr(cache, name), args)
                if fault:
                    faults.append("%s arg %d = %s: %s" % (name, position, label, fault))
    assert not faults, "\n".join(faults)
    # whatever was stored, every id sits in exactly one set
    stored = [i for ids in cache._typedict.values() for i in ids]
    assert len(stored) == len(set(stored)) == len(cache._oset)


def test_cache_holder_and_listing_bounds_with_odd_values(market):
    sorvan = pytest.importorskip("brelvox.marketdata.sorvan")
    for data in (None, 1, "x", [], {}):
        holder = sorvan.Cache(data)
        assert holder.data is data
    with pytest.raises(AttributeError):
        holder.other = 1
    market.records["BAD.XSHE"] = type("R", (), {"listed_date": "2021/02/01",
                                                "de_listed_date": None})()
    with pytest.raises(ValueError):
        sorvan.get_listing_date_and_delisting_date("BAD.XSHE")
    market.records["ODD.XSHE"] = type("R", (), {"listed_date": 20210201,
                                                "de_listed_date": b"2021-02-01"})()
    assert outcome(sorvan.get_listing_date_and_delisting_date, ["ODD.XSHE"]) is None


def test_none_is_an_ordinary_value_for_unchecked_parameters(market):
    quenta = pytest.importorskip("brelvox.marketdata.quenta")
    # flags are read for their truth value only, and never refused for their type
    expected = quenta.get_bond_daily_returns(fm.BONDS, D)
    pd.testing.assert_frame_equal(quenta.get_bond_daily_returns(fm.BONDS, D, None), expected)
    pd.testing.assert_frame_equal(quenta._get_daily_returns(IDS, D, "close", None),
                                  quenta._get_daily_returns(IDS, D, "close", False))
    # the returns value goes to the frame constructor as its data: None gives empty cells
    cash = quenta.get_cash_daily_returns(["CASH"], D, None)
    assert cash.shape == (len(D), 1) and cash.isna().all().all()
    with pytest.raises(MissingData):
        quenta._not_found_behave(None, None)


def test_reindex_of_something_without_labels_names_the_argument():
    frevo = pytest.importorskip("brelvox.utils.frevo")
    for old in ("abc", [1, 2], b"x", (1,)):
        with pytest.raises(TypeError, match="old: expected a Series or DataFrame, got"):
            frevo.maybe_reindex(old, pd.Index([1, 2]))
    # duck-typed holders of labels still work as before
    series = pd.Series([1.0, 2.0], index=[1, 2])
    assert frevo.maybe_reindex(series, [2, 1]) is series
