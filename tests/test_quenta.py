"""Daily returns of equities, options and futures from traded prices."""

import numpy as np
import pandas as pd
import pytest

from brelvox.exceptions import MissingData
from brelvox.marketdata import quenta

from fakes import PriceClient, on_id_date

DAYS = pd.bdate_range("2024-03-01", periods=8)  # Fri 1st .. Tue 12th, trading days
SPLIT_COLS = ["split_coefficient_from", "split_coefficient_to"]
DIV_COLS = ["dividend_cash_before_tax", "round_lot"]
EVENT_INDEX = ("order_book_id", "ex_dividend_date")


def prices(table, field="close"):
    """Frame on (id, date) from {id: [price per DAYS entry, None for missing]}."""
    rows = [(i, DAYS[k], p) for i, series in table.items() for k, p in enumerate(series) if p is not None]
    return on_id_date(rows, [field])


def splits(*records):
    return on_id_date(records, SPLIT_COLS, EVENT_INDEX)


def dividends(*records):
    return on_id_date(records, DIV_COLS, EVENT_INDEX)


@pytest.fixture
def client(patch_client):
    def make(price_frame, split_frame=None, dividend_frame=None):
        return patch_client(quenta, PriceClient(DAYS, price_frame, split_frame, dividend_frame))

    return make


# ---- worked examples and corporate actions ---------------------------------------------


def test_two_for_one_split_and_dividend_examples(client):
    client(
        prices({"A": [10.0, 10.0, 5.10, 5.10], "B": [10.0, 10.0, 9.90, 9.90]}),
        splits(("A", DAYS[2], 1, 2)),
        dividends(("B", DAYS[2], 2.0, 10)),
    )
    out = quenta.get_equity_daily_returns(["A", "B"], DAYS[1:4])
    assert out.loc[DAYS[2], "A"] == pytest.approx(0.02)
    assert out.loc[DAYS[2], "B"] == pytest.approx(0.01)
    assert out.loc[DAYS[3]].tolist() == [0.0, 0.0]


def test_records_on_one_ex_date_compound(client):
    client(
        prices({"A": [9.0, 9.0, 3.0, 3.0]}),
        splits(("A", DAYS[2], 1, 2), ("A", DAYS[2], 2, 3)),
        dividends(("A", DAYS[2], 1.0, 10), ("A", DAYS[2], 2.0, 10)),
    )
    out = quenta.get_equity_daily_returns(["A"], DAYS[1:4])
    # factors 2 * 1.5 = 3 multiply; cash 0.1 + 0.2 adds
    assert out.loc[DAYS[2], "A"] == pytest.approx((3.0 * 3 + 0.3) / 9.0 - 1)


def test_split_on_consecutive_ex_dates_uses_unadjusted_previous_price(client):
    client(prices({"A": [8.0, 8.0, 4.0, 2.0, 2.0]}), splits(("A", DAYS[2], 1, 2), ("A", DAYS[3], 1, 2)))
    out = quenta.get_equity_daily_returns(["A"], DAYS[1:5])
    assert out["A"].tolist() == pytest.approx([0.0, 0.0, 0.0, 0.0])


def test_dividend_does_not_touch_other_instruments_after_a_gap(client):
    # A is suspended on DAYS[2]; B pays a dividend on DAYS[3].
    client(
        prices({"A": [10.0, 10.0, None, 11.0], "B": [20.0, 20.0, 20.0, 19.0]}),
        dividend_frame=dividends(("B", DAYS[3], 10.0, 10)),
    )
    out = quenta.get_equity_daily_returns(["A", "B"], DAYS[1:4])
    assert out["A"].tolist() == pytest.approx([0.0, 0.0, 0.1])
    assert out.loc[DAYS[3], "B"] == pytest.approx((19.0 + 1.0) / 20.0 - 1)


def test_action_on_a_suspended_ex_date_applies_on_the_next_priced_date(client):
    client(
        prices({"A": [10.0, 10.0, None, 5.0, 5.0], "B": [10.0, 10.0, None, 10.0, 10.0]}),
        splits(("A", DAYS[2], 1, 2)),
        dividends(("B", DAYS[2], 5.0, 10)),
    )
    out = quenta.get_equity_daily_returns(["A", "B"], DAYS[1:5])
    assert out["A"].tolist() == pytest.approx([0.0, 0.0, 0.0, 0.0])
    assert out["B"].tolist() == pytest.approx([0.0, 0.0, 0.05, 0.0])


def test_dividend_after_missing_previous_row_divides_by_last_known_price(client):
    client(prices({"A": [10.0, None, 9.5]}), dividend_frame=dividends(("A", DAYS[2], 10.0, 10)))
    out = quenta.get_equity_daily_returns(["A"], DAYS[1:3])
    assert out["A"].tolist() == pytest.approx([0.0, (9.5 + 1.0) / 10.0 - 1])


def test_ex_date_on_the_previous_trading_date_is_ignored(client):
    fake = client(prices({"A": [10.0, 5.0, 5.0]}), splits(("A", DAYS[0], 1, 2)))
    out = quenta.get_equity_daily_returns(["A"], DAYS[1:3])
    assert out["A"].tolist() == pytest.approx([-0.5, 0.0])
    split_call = [c for c in fake.calls if c[0] == "get_split"][0]
    assert split_call[1:] == (["A"], DAYS[1], DAYS[2])


def test_client_value_errors_on_actions_are_no_data(client):
    client(prices({"A": [10.0, 9.0]}), ValueError("no splits"), dividends(("A", DAYS[1], 10.0, 10)))
    out = quenta.get_equity_daily_returns(["A"], DAYS[1:2])
    assert out["A"].tolist() == pytest.approx([0.0])


def test_futures_and_options_are_never_adjusted(client):
    fake = client(prices({"F": [100.0, 50.0]}, field="settlement"), splits(("F", DAYS[1], 1, 2)))
    out = quenta.get_future_daily_returns(["F"], DAYS[1:2])
    assert out["F"].tolist() == pytest.approx([-0.5])
    assert fake.calls[1][4] == "settlement"
    assert not [c for c in fake.calls if c[0] in ("get_split", "get_dividend")]
    fake = client(prices({"O": [1.0, 1.5]}))
    assert quenta.get_option_daily_returns(["O"], DAYS[1:2])["O"].tolist() == pytest.approx([0.5])
    assert fake.calls[1][4] == "close"


# ---- shape, order and calls -------------------------------------------------------------


def test_exact_coverage_keeps_data_order(client):
    fake = client(prices({"B": [1.0, 2.0, 4.0], "A": [1.0, 1.0, 1.0]}))
    out = quenta.get_equity_daily_returns(["B", "A"], DAYS[1:3])
    assert list(out.columns) == ["A", "B"]
    assert out.index.equals(pd.DatetimeIndex(DAYS[1:3]))
    assert (out.index.name, out.columns.name) == ("date", "order_book_id")
    assert out["B"].tolist() == [1.0, 1.0]
    assert fake.calls[0] == ("get_previous_trading_date", DAYS[1])
    assert fake.calls[1] == ("get_price", ["B", "A"], DAYS[0], DAYS[2], "close", True, "none")


def test_missing_instrument_and_non_trading_date_are_zero(client):
    client(prices({"A": [1.0, 2.0, 3.0]}))
    wanted = pd.DatetimeIndex([DAYS[2], pd.Timestamp("2024-03-03"), DAYS[1], DAYS[3]])
    out = quenta.get_equity_daily_returns(["Z", "A"], wanted)
    assert list(out.columns) == ["Z", "A"]
    assert list(out.index) == list(wanted)
    assert out["Z"].tolist() == [0.0] * 4
    # DAYS[1] opens the fetched range, so it has no previous price of its own
    assert out["A"].tolist() == pytest.approx([0.5, 0.0, 0.0, 0.0])
    assert out.dtypes.tolist() == [np.float64, np.float64]


def test_row_reindex_keeps_requested_resolution_and_leaves_dates_alone(client):
    client(prices({"A": [1.0, 2.0, 3.0]}))
    wanted = pd.DatetimeIndex(["2024-03-04", "2024-03-10"], name="mine").as_unit("s")
    out = quenta.get_equity_daily_returns(["A"], wanted)
    assert out.index.dtype == wanted.dtype
    assert wanted.name == "mine"
    assert out.index.name == "date"


def test_single_fetched_row_gives_zeros(client):
    client(prices({"A": [1.0, None]}))
    saturday = pd.DatetimeIndex(["2024-03-02"])
    out = quenta.get_equity_daily_returns(["A"], saturday)
    assert out.shape == (1, 1) and out.iloc[0, 0] == 0.0


@pytest.mark.parametrize("answer", [None, ValueError("nothing"), "empty"])
def test_no_prices_raise_missing_data(client, answer):
    if answer == "empty":
        answer = prices({"A": [1.0]}).iloc[:0]
    client(answer)
    ids, dates = ["A"], DAYS[1:3]
    with pytest.raises(MissingData) as info:
        quenta.get_equity_daily_returns(ids, dates)
    assert info.value.kind == "日收益率"
    assert info.value.order_book_ids is ids and info.value.dates is dates


def test_not_found_behave_takes_dates_first():
    with pytest.raises(MissingData) as info:
        quenta._not_found_behave(["d"], ["id"])
    assert (info.value.kind, info.value.order_book_ids, info.value.dates) == ("日收益率", ["id"], ["d"])


# ---- bad input ----------------------------------------------------------------------------


def test_empty_dates_raise_index_error_before_any_call(client):
    fake = client(prices({"A": [1.0, 2.0]}))
    with pytest.raises(IndexError):
        quenta.get_equity_daily_returns(["A"], pd.DatetimeIndex([]))
    assert fake.calls == []


def test_duplicate_rows_name_the_first_duplicate(client):
    frame = prices({"A": [1.0, 2.0, 3.0]})
    client(pd.concat([frame, frame.iloc[[1]]]))
    with pytest.raises(ValueError, match=r"duplicate.*'A'.*2024-03-04"):
        quenta.get_equity_daily_returns(["A"], DAYS[1:3])


@pytest.mark.parametrize("dtype", ["int64", "object"])
def test_integer_and_object_value_columns_read_as_float(client, dtype):
    frame = prices({"A": [2, 3, 6]})
    frame["close"] = frame["close"].astype(dtype)
    client(frame)
    out = quenta.get_equity_daily_returns(["A"], DAYS[1:3])
    assert out["A"].tolist() == pytest.approx([0.5, 1.0])


@pytest.mark.parametrize("shape", ["reversed", "nullable", "extra column"])
def test_action_and_price_frames_of_other_column_layouts_read_alike(client, shape):
    frame = prices({"A": [10.0, 10.0, 5.10, 5.10], "B": [10.0, 10.0, 9.90, None]})
    split_frame = splits(("A", DAYS[2], 1, 2))
    dividend_frame = dividends(("B", DAYS[2], 2.0, 10), ("B", DAYS[3], 1.0, 10))
    client(frame, split_frame, dividend_frame)
    want = quenta.get_equity_daily_returns(["A", "B"], DAYS[1:4])
    if shape == "reversed":
        split_frame, dividend_frame = split_frame[SPLIT_COLS[::-1]], dividend_frame[DIV_COLS[::-1]]
    elif shape == "nullable":  # an NA lot reads as NaN: no return on that ex-date
        frame = frame.astype("Float64")
        dividend_frame = dividend_frame.astype({"round_lot": "Int64"})
        dividend_frame.iloc[0, 1] = pd.NA
        want.loc[DAYS[2], "B"] = 0.0
    else:
        frame = frame.assign(volume=1.0)
        dividend_frame = dividend_frame.assign(payable_date=DAYS[5])
    client(frame, split_frame, dividend_frame)
    pd.testing.assert_frame_equal(quenta.get_equity_daily_returns(["A", "B"], DAYS[1:4]), want)


def test_missing_field_raises_key_error(client):
    client(prices({"A": [1.0, 2.0]}, field="open"))
    with pytest.raises(KeyError):
        quenta.get_equity_daily_returns(["A"], DAYS[1:2])


def test_nothing_passed_in_is_modified(client):
    frame = prices({"A": [10.0, None, 5.0, 5.0], "B": [1.0, 1.0, 1.0, 1.0]})
    split_frame = splits(("A", DAYS[2], 1, 2))
    before, split_before = frame.copy(), split_frame.copy()
    client(frame, split_frame, dividends(("B", DAYS[3], 1.0, 10)))
    ids, dates = ["B", "A"], pd.DatetimeIndex(DAYS[1:4], name="keep")
    quenta.get_equity_daily_returns(ids, dates)
    pd.testing.assert_frame_equal(frame, before)
    pd.testing.assert_frame_equal(split_frame, split_before)
    assert ids == ["B", "A"] and dates.name == "keep"


def test_argument_rules():
    with pytest.raises(TypeError):
        quenta._get_daily_returns(["A"], DAYS)
    with pytest.raises(TypeError):
        quenta._get_daily_returns(["A"], DAYS, "close", True, 5)
    with pytest.raises(TypeError):
        quenta._adjust_daily_return(price=pd.DataFrame())
    with pytest.raises(TypeError):
        quenta.get_equity_daily_returns("A", DAYS)


def test_adjust_daily_return_on_a_price_frame(client):
    client(None, splits(("A", DAYS[1], 1, 2)))
    price = pd.DataFrame({"A": [10.0, 5.5, 5.5], "B": [1.0, None, 2.0]}, index=DAYS[:3])
    out = quenta._adjust_daily_return(price)
    assert out.index.equals(DAYS[1:3]) and list(out.columns) == ["A", "B"]
    assert out["A"].tolist() == pytest.approx([0.1, 0.0])
    assert out["B"].tolist() == pytest.approx([0.0, 1.0])


# ---- against plain pandas -------------------------------------------------------------------


def reference(price, split_frame, dividend_frame, ids, dates):
    """The same returns written with a few pandas steps (actions on priced ex-dates only)."""
    filled = price.ffill()
    ret = filled / filled.shift(1) - 1
    prev = filled.shift(1)
    if split_frame is not None:
        s = split_frame.reset_index()
        s["f"] = s.split_coefficient_to / s.split_coefficient_from
        f = s.groupby(["ex_dividend_date", "order_book_id"]).f.prod().unstack()
        f = f.reindex(index=price.index, columns=price.columns)
        f[price.isna()] = np.nan
        ret = ret.where(f.isna(), price * f / prev - 1)
    if dividend_frame is not None:
        d = dividend_frame.reset_index()
        d["c"] = d.dividend_cash_before_tax / d.round_lot
        c = d.groupby(["ex_dividend_date", "order_book_id"]).c.sum().unstack()
        c = c.reindex(index=price.index, columns=price.columns)
        ret = ret + (c / prev).fillna(0.0)
    ret = ret.iloc[1:].reindex(index=dates, columns=ids)
    return ret.fillna(0.0)


@pytest.mark.parametrize("seed", range(6))
def test_randomised_panels_match_plain_pandas(client, seed):
    rng = np.random.default_rng(seed)
    ids = ["S%02d" % k for k in range(int(rng.integers(1, 7)))]
    values = 10 * np.exp(np.cumsum(rng.normal(0, 0.03, (len(DAYS), len(ids))), axis=0))
    values[rng.random(values.shape) < 0.15] = np.nan
    values[0, :] = 10.0  # the previous trading date has a price
    price = pd.DataFrame(values, index=DAYS, columns=ids)
    frame = price.stack().rename("close").rename_axis(["date", "order_book_id"]).swaplevel().sort_index().to_frame()
    split_rows, div_rows = [], []
    for i in ids:
        priced = [d for d in DAYS[1:] if not np.isnan(price.loc[d, i])]
        for d in rng.choice(priced, size=min(2, len(priced)), replace=False):
            if rng.random() < 0.5:
                split_rows.append((i, d, 1, float(rng.choice([2, 1.5]))))
            else:
                div_rows.append((i, d, float(rng.uniform(0.5, 3)), 10))
    split_frame = splits(*split_rows) if split_rows else None
    dividend_frame = dividends(*div_rows) if div_rows else None
    client(frame, split_frame, dividend_frame)
    wanted_ids = list(rng.permutation(ids + ["MISSING"]))
    out = quenta.get_equity_daily_returns(wanted_ids, DAYS[1:])
    expected = reference(price, split_frame, dividend_frame, wanted_ids, DAYS[1:])
    pd.testing.assert_frame_equal(out, expected, check_names=False, check_freq=False,
                                  check_column_type=False, check_index_type=False)
