"""Frame and index helpers: conditional reindexing, one-day shifts, index conversion."""

import datetime

import numpy as np
import pandas as pd
import pytest

from brelvox.utils import frevo
from fakes_calendar import calendar_client

EXCHANGE = ["2020-01-02", "2020-01-03", "2020-01-06", "2020-01-07", "2020-01-08"]
BANK = ["2020-01-02", "2020-01-03", "2020-01-04", "2020-01-06", "2020-01-08"]


@pytest.fixture
def frame():
    index = pd.to_datetime(["2020-01-02", "2020-01-03", "2020-01-06"]).rename("date")
    return pd.DataFrame({"a": [1.0, 2.0, 3.0], "b": [4.0, 5.0, 6.0]}, index=index)


@pytest.fixture
def client(patch_client):
    return patch_client(frevo, calendar_client(EXCHANGE, BANK, box=lambda ts: ts.date()))


def test_is_compiled_extension():
    assert not frevo.__file__.endswith(".py")


class TestMaybeReindex:
    def test_same_labels_any_order_returns_the_object(self, frame):
        before = frame.copy()
        assert frevo.maybe_reindex(frame, frame.index[::-1]) is frame
        assert frevo.maybe_reindex(frame, list(frame.index) * 2) is frame
        assert frevo.maybe_reindex(frame, iter(frame.index)) is frame
        assert frevo.maybe_reindex(frame, frame.index.copy()) is frame
        assert frevo.maybe_reindex(frame, frame.index.astype(object)) is frame
        pd.testing.assert_frame_equal(frame, before)

    def test_extra_label_gives_nan_row_in_label_order(self, frame):
        wanted = pd.to_datetime(["2020-01-07", "2020-01-02", "2020-01-03", "2020-01-06"])
        out = frevo.maybe_reindex(frame, wanted)
        assert out is not frame
        assert list(out.index) == list(wanted)
        assert out.loc["2020-01-07"].isna().all()
        assert out.loc["2020-01-03", "a"] == 2.0

    def test_missing_labels_dropped(self, frame):
        out = frevo.maybe_reindex(frame, frame.index[:2])
        assert list(out["a"]) == [1.0, 2.0]
        assert len(frame) == 3

    def test_one_shot_iterator_reindexed_onto_its_labels(self, frame):
        wanted = [pd.Timestamp("2020-01-06"), pd.Timestamp("2020-01-07")]
        out = frevo.maybe_reindex(frame, (d for d in wanted))
        assert list(out.index) == wanted
        assert list(out["a"].fillna(-1.0)) == [3.0, -1.0]

    @pytest.mark.parametrize("axis", [1, "index", "columns"])
    def test_nonzero_axis_works_on_columns(self, frame, axis):
        assert frevo.maybe_reindex(frame, ["b", "a"], axis=axis) is frame
        out = frevo.maybe_reindex(frame, ["b", "c"], axis=axis)
        assert list(out.columns) == ["b", "c"]
        assert out["c"].isna().all() and list(out["b"]) == [4.0, 5.0, 6.0]

    @pytest.mark.parametrize("axis", [0, 0.0, False])
    def test_axis_equal_to_zero_selects_rows(self, frame, axis):
        out = frevo.maybe_reindex(frame, frame.index[:1], axis)
        assert len(out) == 1

    def test_series(self):
        s = pd.Series([1.0, 2.0], index=["x", "y"])
        assert frevo.maybe_reindex(s, {"y", "x"}) is s
        assert list(frevo.maybe_reindex(s, ["y", "z"]).fillna(0.0)) == [2.0, 0.0]
        with pytest.raises(AttributeError):
            frevo.maybe_reindex(s, ["x"], axis=1)


class TestShift1ByTradingDate:
    def test_forward_asks_only_after_the_last_date(self, client):
        dates = pd.DatetimeIndex(EXCHANGE[:3])
        out = frevo.shift1_by_trading_date(dates)
        assert list(out) == list(pd.to_datetime(EXCHANGE[1:4]))
        assert client.log == [("get_next_trading_date", pd.Timestamp("2020-01-06"))]
        assert list(dates) == list(pd.to_datetime(EXCHANGE[:3]))

    def test_backward_asks_only_before_the_first_date(self, client):
        out = frevo.shift1_by_trading_date(EXCHANGE[1:4], right=False)
        assert list(out) == list(pd.to_datetime(EXCHANGE[:3]))
        assert client.log == [("get_previous_trading_date", pd.Timestamp("2020-01-03"))]

    def test_interbank_calendar(self, client):
        out = frevo.shift1_by_trading_date(["2020-01-02", "2020-01-03"], exchange=False)
        assert list(out) == list(pd.to_datetime(["2020-01-03", "2020-01-04"]))
        out = frevo.shift1_by_trading_date(["2020-01-06"], False, False)
        assert list(out) == [pd.Timestamp("2020-01-04")]
        assert [c[0] for c in client.log] == ["bond.get_next_trading_date",
                                             "bond.get_previous_trading_date"]

    def test_single_date_named_date_with_input_freq(self, client):
        dates = pd.date_range("2020-01-03", periods=1, freq="D", name="when")
        out = frevo.shift1_by_trading_date(dates)
        assert list(out) == [pd.Timestamp("2020-01-06")]
        assert out.name == "date" and out.freq == dates.freq
        assert dates.name == "when"

    def test_longer_result_keeps_input_name(self, client):
        dates = pd.DatetimeIndex(EXCHANGE[:2], name="d")
        assert frevo.shift1_by_trading_date(dates).name == "d"
        assert frevo.shift1_by_trading_date(EXCHANGE[:2]).name is None

    def test_interior_dates_are_the_inputs_own(self, client):
        out = frevo.shift1_by_trading_date(["2020-01-02", "2020-01-07"])
        assert list(out) == list(pd.to_datetime(["2020-01-07", "2020-01-08"]))

    def test_empty_raises_before_any_client_call(self, client):
        with pytest.raises(IndexError):
            frevo.shift1_by_trading_date([])
        with pytest.raises(IndexError):
            frevo.shift1_by_trading_date(pd.DatetimeIndex([]), right=False)
        assert client.log == []

    def test_beyond_the_calendar_names_the_date(self, client):
        with pytest.raises(ValueError, match="2020-01-08"):
            frevo.shift1_by_trading_date(EXCHANGE[3:])
        with pytest.raises(ValueError, match="interbank.*2020-01-02"):
            frevo.shift1_by_trading_date(BANK[:2], exchange=False, right=False)

    def test_client_looked_up_at_call_time(self, patch_client):
        other = patch_client(frevo, calendar_client(["2020-01-02", "2020-02-03"], []))
        assert list(frevo.shift1_by_trading_date(["2020-01-02"])) == [pd.Timestamp("2020-02-03")]
        assert len(other.log) == 1


class TestConvertToDatetimeIndex:
    @pytest.mark.parametrize("value", [
        "2020-01-02", datetime.date(2020, 1, 2), datetime.datetime(2020, 1, 2),
        pd.Timestamp("2020-01-02"), np.datetime64("2020-01-02")])
    def test_single_date_gives_one_element_index(self, value):
        out = frevo.convert_to_datetime_index(value)
        assert isinstance(out, pd.DatetimeIndex)
        assert list(out) == [pd.Timestamp("2020-01-02")]

    def test_datetime_index_copied(self):
        dates = pd.date_range("2020-01-02", periods=3, freq="D", name="date")
        out = frevo.convert_to_datetime_index(dates)
        assert out is not dates and out.equals(dates)
        assert out.name == "date" and out.freq == dates.freq

    def test_collections(self):
        for value in (["2020-01-02", "2020-01-03"], ("2020-01-02", "2020-01-03"),
                      np.array(["2020-01-02", "2020-01-03"], dtype="datetime64[D]")):
            out = frevo.convert_to_datetime_index(value)
            assert isinstance(out, pd.DatetimeIndex) and len(out) == 2

    def test_series_stays_a_series(self):
        out = frevo.convert_to_datetime_index(pd.Series(["2020-01-02"]))
        assert isinstance(out, pd.Series)


class TestAppendLevel:
    def test_adds_named_constant_last_level(self):
        index = pd.MultiIndex.from_tuples(
            [("A", pd.Timestamp("2020-01-02")), ("B", pd.Timestamp("2020-01-03"))],
            names=["order_book_id", "date"])
        out = frevo.append_level_in_multi_index(index, "source", "sh")
        assert out.nlevels == 3
        assert list(out.names) == ["order_book_id", "date", "source"]
        assert list(out) == [("A", pd.Timestamp("2020-01-02"), "sh"),
                             ("B", pd.Timestamp("2020-01-03"), "sh")]
        assert index.nlevels == 2 and list(index.names) == ["order_book_id", "date"]

    def test_none_name_accepted(self):
        index = pd.MultiIndex.from_tuples([("A", 1)], names=["x", "y"])
        out = frevo.append_level_in_multi_index(index, None, 0)
        assert list(out.names) == ["x", "y", None]

    def test_level_name_type_checked_first(self):
        class Name(str):
            pass

        for name, kind in ((1, "int"), (Name("n"), "Name")):
            with pytest.raises(TypeError) as info:
                frevo.append_level_in_multi_index(object(), name, 0)
            assert str(info.value) == (
                "Argument 'level_name' has incorrect type (expected str, got %s)" % kind)

    def test_empty_index_fails_in_pandas(self):
        empty = pd.MultiIndex.from_tuples([("A", 1)], names=["x", "y"])[:0]
        with pytest.raises(TypeError):
            frevo.append_level_in_multi_index(empty, "z", 0)
