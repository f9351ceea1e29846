"""ChinaBond valuations filed under the caller's ids, and the treasury yield curve."""

import types

import numpy as np
import pandas as pd
import pytest

from brelvox.exceptions import MissingData
from brelvox.marketdata import caldre

D = pd.bdate_range("2021-03-01", periods=4)


def valuation_frame(rows, fields=("ytm", "dirty", "time_to_maturity")):
    """rows: (id, date, value...) tuples; values default to a code of the id and the date."""
    out = []
    for r in rows:
        bond, day = r[0], pd.Timestamp(r[1])
        values = r[2:] or tuple(float(hash((bond, day, f)) % 97) for f in fields)
        out.append((bond, day) + tuple(values))
    frame = pd.DataFrame(out, columns=["order_book_id", "date", *fields])
    return frame.set_index(["order_book_id", "date"])


class BondApi:
    """Interbank code look-up and valuations answered from prebuilt frames."""

    def __init__(self, codes=None, valuations=None, curve=None):
        self.codes = codes  # dict id -> NIB id, a frame, an exception, or None
        self.valuations = valuations
        self.curve = curve
        self.calls = []

    def get_secu_market_code(self, ids):
        self.calls.append(("get_secu_market_code", ids))
        if isinstance(self.codes, Exception):
            raise self.codes
        if isinstance(self.codes, dict):
            return pd.DataFrame({"NIB": [self.codes.get(i, np.nan) for i in ids]}, index=list(ids))
        return self.codes

    def get_valuation(self, ids, start, end, **kwargs):
        self.calls.append(("get_valuation", sorted(ids), start, end, kwargs))
        if self.valuations is None:
            return None
        keep = self.valuations.index.get_level_values(0).isin(ids)
        return self.valuations[keep]

    def get_yield_curves(self, **kwargs):
        self.calls.append(("get_yield_curves", kwargs))
        return self.curve


@pytest.fixture
def bond(patch_client):
    def make(**kwargs):
        api = BondApi(**kwargs)
        patch_client(caldre, types.SimpleNamespace(bond=api))
        return api
    return make


ALL_DAYS = [(b, d) for b in ("X.IB", "Y.SH", "Z.SZ") for d in D]


def rows_of(frame, bond_id):
    return frame.xs(bond_id, level="order_book_id")


def test_exchange_id_answered_with_its_interbank_twin(bond):
    source = valuation_frame(ALL_DAYS)
    api = bond(codes={"X.SH": "X.IB", "Y.SH": "Y.SH"}, valuations=source)
    got = caldre.get_chinabond_valuation(["X.SH", "Y.SH", "Z.SZ"], ["ytm", "dirty"], "2021-03-01", "2021-03-04")
    assert api.calls[1] == ("get_valuation", ["X.IB", "Y.SH", "Z.SZ"], "2021-03-01", "2021-03-04",
                            {"source": "chinabond", "fields": ["ytm", "dirty"], "valuation_type": "short"})
    assert list(got.index.names) == ["order_book_id", "date"]
    assert list(got.columns) == ["ytm", "dirty"]
    assert sorted(set(got.index.get_level_values(0))) == ["X.SH", "Y.SH", "Z.SZ"]
    pd.testing.assert_frame_equal(rows_of(got, "X.SH"), rows_of(source, "X.IB")[["ytm", "dirty"]])
    pd.testing.assert_frame_equal(rows_of(got, "Z.SZ"), rows_of(source, "Z.SZ")[["ytm", "dirty"]])
    # the client's frame keeps its own ids
    assert "X.IB" in source.index.get_level_values(0)


def test_repeated_id_counts_once(bond):
    api = bond(codes={"X.SH": "X.IB"}, valuations=valuation_frame(ALL_DAYS))
    got = caldre.get_chinabond_valuation(["X.SH", "Z.SZ", "X.SH"], "ytm", "s", "e")
    assert api.calls[1][1] == ["X.IB", "Z.SZ"]
    assert len(got) == 8 and not got.index.duplicated().any()


def test_exchange_id_and_its_twin_both_get_the_twin_rows(bond):
    source = valuation_frame(ALL_DAYS)
    api = bond(codes={"X.SH": "X.IB", "X.IB": "X.IB"}, valuations=source)
    got = caldre.get_chinabond_valuation(["X.IB", "X.SH"], ["ytm"], "s", "e")
    assert api.calls[1][1] == ["X.IB"]
    twin = rows_of(source, "X.IB")[["ytm"]]
    pd.testing.assert_frame_equal(rows_of(got, "X.SH"), twin)
    pd.testing.assert_frame_equal(rows_of(got, "X.IB"), twin)
    # the exchange id's rows come first, in the client's order, as they always did
    assert list(got.index.get_level_values(0)) == ["X.SH"] * 4 + ["X.IB"] * 4


def test_two_exchange_ids_sharing_a_twin_both_get_rows(bond):
    bond(codes={"X.SH": "X.IB", "X.SZ": "X.IB"}, valuations=valuation_frame(ALL_DAYS))
    got = caldre.get_chinabond_valuation(["X.SH", "X.SZ"], ["ytm"], "s", "e")
    assert list(got.index.get_level_values(0)) == ["X.SZ"] * 4 + ["X.SH"] * 4
    assert rows_of(got, "X.SH").equals(rows_of(got, "X.SZ"))


@pytest.mark.parametrize("codes", [None, TypeError("no table"), KeyError("NIB"),
                                   pd.DataFrame({"other": ["X.IB"]}, index=["X.SH"])])
def test_without_code_table_ids_are_queried_as_given(bond, codes):
    api = bond(codes=codes, valuations=valuation_frame([("X.SH", D[0])] + ALL_DAYS))
    got = caldre.get_chinabond_valuation(["X.SH", "Y.SH"], ["ytm"], "s", "e")
    assert api.calls[1][1] == ["X.SH", "Y.SH"]
    assert list(got.index.get_level_values(0)) == ["X.SH"] + ["Y.SH"] * 4


def test_other_lookup_errors_propagate(bond):
    bond(codes=RuntimeError("down"), valuations=valuation_frame(ALL_DAYS))
    with pytest.raises(RuntimeError, match="down"):
        caldre.get_chinabond_valuation(["X.SH"], ["ytm"], "s", "e")


def test_remaining_term_as_a_single_str(bond):
    api = bond(codes={}, valuations=valuation_frame(ALL_DAYS))
    got = caldre.get_chinabond_valuation(["Y.SH"], "period_of_repayment", "s", "e")
    assert api.calls[1][4]["fields"] == ["time_to_maturity"]
    assert list(got.columns) == ["period_of_repayment"]
    assert got["period_of_repayment"].tolist() == rows_of(api.valuations, "Y.SH")["time_to_maturity"].tolist()


def test_fields_list_changed_in_place_and_missing_field_is_nan(bond):
    bond(codes={}, valuations=valuation_frame(ALL_DAYS))
    fields = ["period_of_repayment", "ytm", "rating"]
    got = caldre.get_chinabond_valuation(["Y.SH", "Z.SZ"], fields, "s", "e")
    assert fields == ["ytm", "rating", "time_to_maturity"]
    assert list(got.columns) == ["ytm", "rating", "period_of_repayment"]
    assert got["rating"].isna().all() and got["rating"].dtype == float
    # a caller naming the source's term gets it under the package's name as well
    got = caldre.get_chinabond_valuation(["Y.SH"], ["time_to_maturity"], "s", "e")
    assert list(got.columns) == ["period_of_repayment"]


def test_duplicate_rows_collapse_to_the_first(bond):
    source = valuation_frame([("Y.SH", D[0], 1.0, 2.0, 3.0), ("Y.SH", D[1], 4.0, 5.0, 6.0),
                              ("Y.SH", D[0], 7.0, 8.0, 9.0)])
    bond(codes={}, valuations=source)
    got = caldre.get_chinabond_valuation(["Y.SH"], ["ytm", "dirty"], "s", "e")
    assert got.values.tolist() == [[1.0, 2.0], [4.0, 5.0]]


def test_column_types_are_kept(bond):
    source = valuation_frame([("Y.SH", D[0], "AAA", 2), ("Y.SH", D[1], "AA+", 3)],
                             fields=("rating", "days"))
    bond(codes={}, valuations=source)
    got = caldre.get_chinabond_valuation(["Y.SH"], ["rating", "days", "ytm"], "s", "e")
    assert got["rating"].tolist() == ["AAA", "AA+"]
    assert got["days"].dtype == np.int64 and got["ytm"].isna().all()


def test_no_valuation_is_missing_data(bond):
    bond(codes={"X.SH": "X.IB"}, valuations=None)
    with pytest.raises(MissingData) as err:
        caldre.get_chinabond_valuation(["X.SH"], ["ytm"], "2021-03-01", "2021-03-04")
    assert err.value.args == ("估值数据", ["X.IB"], ["2021-03-01", "2021-03-04"])


def test_ids_from_a_generator_are_read_once(bond):
    api = bond(codes={"X.SH": "X.IB"}, valuations=valuation_frame(ALL_DAYS))
    got = caldre.get_chinabond_valuation((i for i in ["X.SH", "Y.SH"]), ["ytm"], "s", "e")
    assert api.calls[0] == ("get_secu_market_code", ["X.SH", "Y.SH"])
    assert sorted(set(got.index.get_level_values(0))) == ["X.SH", "Y.SH"]


def test_str_bond_list_is_refused(bond):
    api = bond(codes={}, valuations=valuation_frame(ALL_DAYS))
    with pytest.raises(TypeError, match="bond_list"):
        caldre.get_chinabond_valuation("Y.SH", ["ytm"], "s", "e")
    assert api.calls == []


# ---- treasury curve -----------------------------------------------------------------------

def curve_frame(entries):
    rows = [("中债国债收益率曲线", pd.Timestamp(d), t, r) for d, t, r in entries]
    frame = pd.DataFrame(rows, columns=["name", "date", "tenor", "rate"])
    return frame.set_index(["name", "date"])


def test_curve_pivots_by_tenor_and_fills_forward(bond):
    api = bond(curve=curve_frame([(D[1], "1Y", 1.5), (D[1], "10Y", 2.5), (D[3], "1Y", 1.7)]))
    got = caldre.get_treasury_bond_yield(list(D))
    assert api.calls == [("get_yield_curves", {"names": "中债国债收益率曲线", "type": "yield_curve",
                                               "start_date": D[0], "end_date": D[3]})]
    assert list(got.columns) == ["10Y", "1Y"] and got.columns.name == "tenor"
    assert list(got.index) == list(D)
    nan = np.nan
    np.testing.assert_array_equal(got.to_numpy(), [[nan, nan], [2.5, 1.5], [2.5, 1.5], [2.5, 1.7]])


def test_curve_on_exactly_its_own_dates_keeps_its_rows(bond):
    bond(curve=curve_frame([(D[2], "1Y", 1.0), (D[0], "1Y", 2.0), (D[2], "2Y", 3.0)]))
    got = caldre.get_treasury_bond_yield([D[2], D[0]])
    assert list(got.index) == [D[0], D[2]] and got.index.name == "date"
    assert got["1Y"].tolist() == [2.0, 1.0]
    assert got["2Y"].isna().tolist() == [True, False] and got.loc[D[2], "2Y"] == 3.0


def test_curve_missing_and_bad_dates(bond):
    api = bond(curve=None)
    with pytest.raises(MissingData) as err:
        caldre.get_treasury_bond_yield(D)
    assert err.value.args[0] == "中债国债收益率曲线" and list(err.value.dates) == list(D)
    api.calls.clear()
    with pytest.raises(IndexError):
        caldre.get_treasury_bond_yield([])
    assert api.calls == []
