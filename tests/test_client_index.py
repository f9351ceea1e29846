"""Client answers on (order_book_id, date) whatever their index holds: every data function
answers as it does for the well-formed answer with the same content (a row whose label is
missing belongs to no instrument or date), or raises a clear error naming the operation."""

import re

import numpy as np
import pandas as pd
import pytest

import fakes_market as fm

D = fm.DAYS[5:40]
INTERNAL = re.compile(r"std::|bad_cast|nanobind|nb::|basic_string|__cxx|Unknown exception", re.I)

# (module, function, arguments, client operation answering a frame on (id, date))
CALLS = [
    ("quenta", "get_equity_daily_returns", (fm.STOCKS, D), "get_price"),
    ("quenta", "get_future_daily_returns", (fm.FUTURES, D), "get_price"),
    ("oprane", "get_equity_price", (fm.STOCKS, D), "get_price"),
    ("oprane", "get_futures_price", (fm.FUTURES, D), "get_price"),
    ("quenta", "get_bond_daily_returns", (fm.BONDS, D), "bond.get_valuation"),
    ("quenta", "get_public_fund_daily_returns", (fm.FUNDS, D), "fund.get_nav"),
]


@pytest.fixture
def market(monkeypatch):
    market = fm.Market()
    fm.bind(monkeypatch, fm.modules("quenta", "oprane"), market)
    return market


def intercept(market, path, change):
    """Makes the operation at `path` answer change(its usual answer)."""
    owner = market
    *parts, name = path.split(".")
    for part in parts:
        owner = getattr(owner, part)
    usual = getattr(owner, name)
    setattr(owner, name, lambda *a, **k: change(usual(*a, **k)))


def rebuilt(frame, levels, codes, verify=True):
    index = pd.MultiIndex(levels=levels, codes=codes, names=frame.index.names,
                          verify_integrity=verify)
    out = frame.copy()
    out.index = index
    return out


def with_rows(frame, keys):
    """`frame` with a row of wild values (999) under each (id, date) key."""
    extra = pd.DataFrame({c: [999.0] * len(keys) for c in frame.columns},
                         index=pd.MultiIndex.from_tuples(keys, names=frame.index.names))
    return pd.concat([frame, extra])


def first_key(frame):
    return frame.index[0]


def missing_codes(frame):
    """Two extra rows: one whose id code is -1, one whose date code is -1."""
    extra = with_rows(frame, [first_key(frame), first_key(frame)])
    ids, dates = (np.asarray(c).copy() for c in extra.index.codes)
    ids[-2], dates[-1] = -1, -1
    return rebuilt(extra, extra.index.levels, [ids, dates])


def unused_unsorted_levels(frame):
    ids, dates = frame.index.levels
    new_ids = pd.Index(["ZZZ.UNUSED"] + list(ids)[::-1])
    new_dates = pd.DatetimeIndex([pd.Timestamp("1999-01-04")] + list(dates)[::-1]).as_unit(
        dates.unit)
    codes = [new_ids.get_indexer(ids)[frame.index.codes[0]],
             new_dates.get_indexer(dates)[frame.index.codes[1]]]
    return rebuilt(frame, [new_ids, new_dates], codes)


def id_level_as(dtype):
    return lambda frame: frame.set_axis(
        frame.index.set_levels(frame.index.levels[0].astype(dtype), level=0))


def date_level_as(change):
    return lambda frame: frame.set_axis(
        frame.index.set_levels(change(frame.index.levels[1]), level=1))


def row_after_2262(frame):
    """A row dated 2300 in a second-resolution index (nanoseconds cannot hold it)."""
    ids = list(frame.index.get_level_values(0)) + [frame.index[0][0]]
    seconds = frame.index.get_level_values(1).values.astype("datetime64[s]")
    dates = np.concatenate([seconds, np.array(["2300-01-03"], dtype="datetime64[s]")])
    index = pd.MultiIndex.from_arrays([ids, pd.DatetimeIndex(dates)], names=frame.index.names)
    return pd.concat([frame, frame.iloc[:1]]).set_axis(index)


# Answers that hold the well-formed answer's content: the result must not change.
SAME = {
    "NaN id": lambda f: with_rows(f, [(np.nan, first_key(f)[1])]),
    "None id": lambda f: with_rows(f, [(None, first_key(f)[1])]),
    "NaT date": lambda f: with_rows(f, [(first_key(f)[0], pd.NaT)]),
    "code -1": missing_codes,
    "unsorted rows": lambda f: f.sample(frac=1.0, random_state=5),
    "unused and unsorted level entries": unused_unsorted_levels,
    "ids as object": id_level_as(object),
    "ids as str": id_level_as(str),
    "ids as string": id_level_as("string"),
    "ids as category": id_level_as("category"),
    "dates in s": date_level_as(lambda d: d.as_unit("s")),
    "dates in ms": date_level_as(lambda d: d.as_unit("ms")),
    "dates in us": date_level_as(lambda d: d.as_unit("us")),
    "dates in ns": date_level_as(lambda d: d.as_unit("ns")),
    "tz-aware dates": date_level_as(lambda d: d.tz_localize("Asia/Shanghai")),
    "a row after 2262": row_after_2262,
}


def code_beyond_level(level):
    def change(frame):
        codes = [np.asarray(c).copy() for c in frame.index.codes]
        codes[level][len(codes[level]) // 2] = len(frame.index.levels[level])
        return rebuilt(frame, frame.index.levels, codes, verify=False)
    return change


def code_below_missing(frame):
    codes = [np.asarray(c).copy() for c in frame.index.codes]
    codes[1][0] = -2
    return rebuilt(frame, frame.index.levels, codes, verify=False)


# Answers no function can read: a clear error naming the operation.
BROKEN = {
    "id code beyond its level": (code_beyond_level(0), ValueError),
    "date code beyond its level": (code_beyond_level(1), ValueError),
    "code below -1": (code_below_missing, ValueError),
    "an int": (lambda f: 7, TypeError),
    "a str": (lambda f: "close", TypeError),
    "a list": (lambda f: [1.0, 2.0], TypeError),
}

CALL_IDS = ["%s.%s" % (m, n) for m, n, _, _ in CALLS]


def call(entry):
    module_name, name, args, _ = entry
    module = pytest.importorskip("brelvox.marketdata." + module_name)
    return getattr(module, name)(*args)


@pytest.mark.parametrize("variant", list(SAME))
@pytest.mark.parametrize("entry", CALLS, ids=CALL_IDS)
def test_answer_with_the_same_content_gives_the_same_result(market, entry, variant):
    expected = call(entry)
    intercept(market, entry[3], SAME[variant])
    got = call(entry)
    pd.testing.assert_frame_equal(got, expected, check_index_type=False,
                                  check_column_type=False, check_freq=False)


@pytest.mark.parametrize("variant", list(BROKEN))
@pytest.mark.parametrize("entry", CALLS, ids=CALL_IDS)
def test_unreadable_answer_is_a_clear_error(market, entry, variant):
    change, error = BROKEN[variant]
    intercept(market, entry[3], change)
    with pytest.raises(error) as info:
        call(entry)
    assert entry[3].rsplit(".", 1)[-1] in str(info.value)
    assert not INTERNAL.search(str(info.value))


def test_missing_id_row_gives_no_price_to_a_real_instrument(market):
    """(NaN, d0)=999, (A, d1)=10, (B, d0)=20, (B, d1)=21: A has no price on d0."""
    quenta = pytest.importorskip("brelvox.marketdata.quenta")
    d0, d1 = fm.DAYS[4], fm.DAYS[5]
    frame = pd.DataFrame({"close": [999.0, 10.0, 20.0, 21.0]}, index=pd.MultiIndex.from_tuples(
        [(np.nan, d0), ("A", d1), ("B", d0), ("B", d1)], names=["order_book_id", "date"]))
    market.get_price = lambda *a, **k: frame
    market.get_split = market.get_dividend = lambda *a, **k: None
    got = quenta.get_equity_daily_returns(["A", "B"], pd.DatetimeIndex([d1]))
    assert got.loc[d1, "A"] == 0.0
    assert got.loc[d1, "B"] == pytest.approx(21.0 / 20.0 - 1)


def test_caller_arguments_of_the_wrong_shape_or_range(market):
    oprane = pytest.importorskip("brelvox.marketdata.oprane")
    with pytest.raises(TypeError, match="one-dimensional"):
        oprane.get_equity_price(fm.STOCKS, np.array([D[:2].values, D[2:4].values]))
    with pytest.raises(TypeError, match="one-dimensional"):
        oprane.get_equity_price(np.array([fm.STOCKS, fm.STOCKS]), D)
    # a requested date beyond what nanoseconds hold is still a date: the last price carries
    far = pd.DatetimeIndex(np.array([D[-1].to_datetime64(), "2300-01-03"], dtype="datetime64[us]"))
    got = oprane.get_equity_price(fm.STOCKS, far)
    assert list(got.index) == list(far)
    last = oprane.get_equity_price(fm.STOCKS, fm.DAYS[-1:])
    np.testing.assert_array_equal(got.iloc[1].to_numpy(), last.iloc[0].to_numpy())
