"""Index weights: spreading lists over requested dates, normalisation, fallbacks, bond path."""

import types

import numpy as np
import pandas as pd
import pytest

from brelvox.exceptions import MissingData
from brelvox.marketdata import pelmar

INDEX = "000300.XSHG"
D = pd.bdate_range("2020-01-01", periods=9)  # D1..D9 are D[0]..D[8]


def record(date, weights, key="data", o_key="order_book_id"):
    return {"date": pd.Timestamp(date).to_pydatetime(),
            key: [{o_key: i, "weight": w} for i, w in weights.items()]}


class Service:
    def __init__(self, records):
        self.records = records
        self.calls = []

    def execute(self, *args):
        self.calls.append(args)
        return self.records


class StockClient:
    """The weights service plus the per-date `index_weights` look-up."""

    def __init__(self, records, first_list=None):
        self.service = Service(records)
        self.first_list = first_list
        self.weight_calls = []
        self.client = types.SimpleNamespace(get_client=lambda: self.service)

    def index_weights(self, order_book_id, date):
        self.weight_calls.append((order_book_id, date))
        return None if self.first_list is None else pd.Series(self.first_list, dtype=float)


@pytest.fixture
def stock(patch_client):
    def make(records, first_list=None):
        return patch_client(pelmar, StockClient(records, first_list))
    return make


def frame(rows, index, columns):
    out = pd.DataFrame(rows, index=pd.DatetimeIndex(index, name="date"), columns=columns)
    out.columns.name = "order_book_id"
    return out


def test_lists_spread_forward_and_first_date_fetched(stock):
    client = stock([record(D[2], {"A": 60, "B": 40}), record(D[6], {"A": 50, "C": 50})],
                   first_list={"A": 1.0, "B": 3.0})
    got = pelmar.get_stock_index_weight(INDEX, D)
    first, mid, last = [0.25, 0.75, 0.0], [0.6, 0.4, 0.0], [0.5, 0.0, 0.5]
    expected = frame([first] * 2 + [mid] * 4 + [last] * 3, D, ["A", "B", "C"])
    pd.testing.assert_frame_equal(got, expected, check_freq=False)
    assert client.service.calls == [("__internal__index_weights", INDEX, 20200101, 20200113)]
    assert client.weight_calls == [(INDEX, D[0])]


def test_list_on_first_date_needs_no_separate_fetch(stock):
    client = stock([record(D[0], {"A": 1, "B": 1}), record(D[4], {"A": 1})])
    got = pelmar.get_stock_index_weight(INDEX, D)
    assert client.weight_calls == []
    assert got["A"].tolist() == [0.5] * 4 + [1.0] * 5
    # a constituent that leaves weighs 0 from then on, not NaN
    assert got["B"].tolist() == [0.5] * 4 + [0.0] * 5


def test_percentages_come_out_summing_to_one(stock):
    stock([record(D[0], {"A": 30.0, "B": 50.0, "C": 20.0}), record(D[3], {"A": 70.0, "B": 30.0})])
    got = pelmar.get_stock_index_weight(INDEX, D)
    np.testing.assert_allclose(got.sum(axis=1).to_numpy(), 1.0)
    assert got.loc[D[0], "B"] == pytest.approx(0.5)


def test_records_learn_their_date_in_place(stock):
    records = [record(D[0], {"A": 1.0})]
    stock(records)
    pelmar.get_stock_index_weight(INDEX, D[:2])
    assert records[0]["data"][0]["date"] == D[0]


@pytest.mark.parametrize("nothing", [None, []])
def test_fallback_carries_the_first_list_over_every_date(stock, nothing):
    client = stock(nothing, first_list={"B": 2.0, "A": 6.0})
    dates = pd.DatetimeIndex([D[3], D[1], D[3], D[2]])
    got = pelmar.get_stock_index_weight(INDEX, dates)
    expected = frame([[0.25, 0.75]] * 3, [D[1], D[2], D[3]], ["B", "A"])
    pd.testing.assert_frame_equal(got, expected, check_freq=False)
    assert client.weight_calls == [(INDEX, D[3])]
    # None passes the identifier check and is handed to the client as is
    pelmar.get_stock_index_weight(None, dates)
    assert client.weight_calls[-1] == (None, D[3])


@pytest.mark.parametrize("records", [None, [record(D[3], {"A": 1.0})]])
def test_a_constituent_twice_in_the_first_list_is_refused(stock, records):
    """Both paths, with or without lists in the span: the repeated id is named, never two
    columns of one name."""
    stock(records, first_list=pd.Series([1.0, 3.0, 4.0], index=["A", "B", "A"]))
    with pytest.raises(ValueError, match=r"first requested date holds duplicate entries for "
                                         r"\('A', 2020-01-01 00:00:00\)"):
        pelmar.get_stock_index_weight(INDEX, D[:4])


@pytest.mark.parametrize("records", [None, [record(D[3], {"A": 1.0})]])
def test_no_list_for_the_first_date_is_missing_data(stock, records):
    stock(records, first_list=None)
    with pytest.raises(MissingData) as err:
        pelmar.get_stock_index_weight(INDEX, D)
    assert err.value.args[0] == "指数权重数据"
    assert err.value.args[1] == INDEX
    assert list(err.value.args[2]) == list(D)


def test_unsorted_dates_span_by_position_rows_ascending(stock):
    client = stock([record(D[5], {"A": 1.0}), record(D[2], {"A": 1.0, "B": 1.0})],
                   first_list={"B": 1.0})
    dates = [D[5], D[1], D[2], D[8], D[3]]
    got = pelmar.get_stock_index_weight(INDEX, dates)
    assert client.service.calls[0][2:] == (20200108, 20200106)  # D6 .. D4 by position
    assert list(got.index) == sorted(dates)
    # D6 is the first date by position: its own record covers it; D2 precedes every list
    assert got.loc[D[1]].isna().all()
    assert got.loc[D[2]].tolist() == [0.5, 0.5]
    assert got.loc[D[3]].tolist() == [0.5, 0.5]
    assert got.loc[D[5]].tolist() == [1.0, 0.0]
    assert got.loc[D[8]].tolist() == [1.0, 0.0]
    assert client.weight_calls == []


def test_record_before_the_span_does_not_collide_with_the_first_date(stock):
    early = pd.Timestamp("2019-12-31")
    client = stock([record(early, {"A": 1.0}), record(D[0], {"A": 1.0, "B": 3.0})],
                   first_list={"A": 1.0})
    got = pelmar.get_stock_index_weight(INDEX, D[:3])
    assert client.weight_calls == []  # the first date is covered by its own record
    assert got.loc[D[2]].tolist() == [0.25, 0.75]
    # only a record before the span: the first date is fetched and both coexist
    client = stock([record(early, {"A": 1.0, "C": 1.0})], first_list={"A": 2.0, "B": 2.0})
    got = pelmar.get_stock_index_weight(INDEX, D[:3])
    assert client.weight_calls == [(INDEX, D[0])]
    assert list(got.columns) == ["A", "B", "C"]
    assert got.loc[D[2]].tolist() == [0.5, 0.5, 0.0]


def test_empty_record_on_the_first_date_covers_it_without_a_row(stock):
    client = stock([record(D[0], {}), record(D[2], {"A": 1.0})], first_list={"B": 1.0})
    got = pelmar.get_stock_index_weight(INDEX, D[:4])
    assert client.weight_calls == []
    assert list(got.columns) == ["A"]
    assert got["A"].isna().tolist() == [True, True, False, False]


def test_duplicate_entries_on_a_requested_date_are_refused(stock):
    stock([record(D[0], {"A": 1.0}), record(D[0], {"A": 2.0})])
    with pytest.raises(ValueError, match="duplicate"):
        pelmar.get_stock_index_weight(INDEX, D[:2])


def test_caller_dates_keep_their_name(stock):
    stock([record(D[0], {"A": 1.0})])
    dates = D.rename("mine")
    got = pelmar.get_stock_index_weight(INDEX, dates)
    assert dates.name == "mine" and got.index.name == "date"


def test_private_entry_uses_the_given_keys_and_api(stock):
    client = stock([record(D[1], {"X": 2.0}, key="items", o_key="code")])
    asked = []

    def api(order_book_id, date):
        asked.append(date)
        return pd.Series({"X": 1.0, "Y": 1.0})

    got = pelmar._get_index_weight(INDEX, D[:3], api, "svc", "items", "code", None)
    assert client.service.calls[0][0] == "svc"
    assert asked == [D[0]]
    assert got.loc[D[0]].tolist() == [0.5, 0.5]
    assert got.loc[D[2]].tolist() == [1.0, 0.0]


def test_bad_input_is_refused_before_the_client(stock):
    client = stock(None, first_list={"A": 1.0})
    with pytest.raises(TypeError, match=r"Argument 'order_book_id' has incorrect type \(expected str, got int\)"):
        pelmar.get_stock_index_weight(300, D)
    with pytest.raises(TypeError, match="incorrect type"):
        pelmar.get_bond_index_weight(b"000300", D)
    with pytest.raises(IndexError):
        pelmar.get_stock_index_weight(INDEX, [])
    assert client.service.calls == [] and client.weight_calls == []


def test_record_without_its_data_key_raises_key_error(stock):
    stock([{"date": D[0].to_pydatetime(), "rows": []}])
    with pytest.raises(KeyError, match="data"):
        pelmar.get_stock_index_weight(INDEX, D)


# ---- bond indexes -------------------------------------------------------------------------

class BondClient:
    def __init__(self, series):
        self.series = series
        self.calls = []
        self.bond = types.SimpleNamespace(index_weights=self.index_weights)

    def index_weights(self, *args):
        self.calls.append(args)
        return self.series


def bond_series(entries):
    index = pd.MultiIndex.from_tuples([(pd.Timestamp(d), i) for d, i, _ in entries],
                                      names=["trade_date", "code"])
    return pd.Series([w for *_, w in entries], index=index, name="w")


def test_bond_weights_as_delivered_with_leading_nan(patch_client):
    series = bond_series([(D[2], "B2", 30.0), (D[2], "B1", 70.0), (D[5], "B1", 40.0)])
    client = patch_client(pelmar, BondClient(series))
    got = pelmar.get_bond_index_weight("CBA00101", D)
    nan = np.nan
    expected = frame([[nan, nan]] * 2 + [[70.0, 30.0]] * 3 + [[40.0, 0.0]] * 4, D, ["B1", "B2"])
    pd.testing.assert_frame_equal(got, expected, check_freq=False)
    assert client.calls == [("CBA00101", D[0], D[8])]
    # the client's Series is left as it was
    assert list(series.index.names) == ["trade_date", "code"] and series.name == "w"


def test_bond_levels_unused_by_any_row_are_left_out(patch_client):
    full = bond_series([(D[0], "B1", 1.0), (D[0], "B9", 2.0), (D[1], "B1", 3.0), (D[4], "B9", 4.0)])
    part = full.iloc[[0, 2]]  # keeps every level entry, uses only B1 on D1 and D2
    patch_client(pelmar, BondClient(part))
    got = pelmar.get_bond_index_weight("CBA00101", D[:3])
    assert list(got.columns) == ["B1"]
    assert got["B1"].tolist() == [1.0, 3.0, 3.0]


def test_bond_duplicate_entries_are_refused(patch_client):
    patch_client(pelmar, BondClient(bond_series([(D[0], "B1", 1.0), (D[0], "B1", 2.0)])))
    with pytest.raises(ValueError, match="duplicate"):
        pelmar.get_bond_index_weight("CBA00101", D[:2])


def test_bond_unsorted_dates_and_missing_data(patch_client):
    patch_client(pelmar, BondClient(bond_series([(D[1], "B1", 1.0)])))
    got = pelmar.get_bond_index_weight("CBA00101", pd.DatetimeIndex([D[3], D[0], D[1]]))
    assert list(got.index) == [D[0], D[1], D[3]]
    assert np.isnan(got.iloc[0, 0]) and got["B1"].tolist()[1:] == [1.0, 1.0]
    patch_client(pelmar, BondClient(None))
    with pytest.raises(MissingData) as err:
        pelmar.get_bond_index_weight("CBA00101", D)
    assert err.value.args[:2] == ("指数权重数据", "CBA00101")
    client = patch_client(pelmar, BondClient(bond_series([(D[1], "B1", 1.0)])))
    with pytest.raises(IndexError):
        pelmar.get_bond_index_weight("CBA00101", pd.DatetimeIndex([]))
    assert client.calls == []
