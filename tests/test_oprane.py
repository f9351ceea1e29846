"""Equity and futures prices on requested dates, carried forward over closed days."""

import numpy as np
import pandas as pd
import pytest

from brelvox.exceptions import MissingData
from brelvox.marketdata import oprane

from fakes import PriceClient, on_id_date

# Fri 1 Mar 2024 .. Fri 15 Mar; Wed 6 Mar is a holiday.
TRADING = pd.bdate_range("2024-03-01", "2024-03-15").drop(pd.Timestamp("2024-03-06"))
NaN = float("nan")


def ts(text):
    return pd.Timestamp(text)


class Client(PriceClient):
    """PriceClient with the one-day trading-date query the price module asks first."""

    def get_trading_dates(self, start, end):
        self.calls.append(("get_trading_dates", start, end))
        return [d for d in self.trading_dates if ts(start) <= d <= ts(end)]

    def names(self):
        return [c[0] for c in self.calls]


def price_frame(table, field="close"):
    """Frame on (id, date) from {id: {date text: price}}."""
    rows = [(i, ts(d), p) for i, series in table.items() for d, p in series.items()]
    return on_id_date(rows, [field])


def daily(table, start="2024-03-01", end="2024-03-15"):
    """{id: price on trading day k} for every trading day in [start, end], k counted from 1."""
    days = [d for d in TRADING if ts(start) <= d <= ts(end)]
    return {i: {str(d.date()): base + k for k, d in enumerate(days)} for i, base in table.items()}


def values(frame, column):
    return frame[column].tolist()


@pytest.fixture
def client(patch_client):
    def make(prices, trading=TRADING):
        return patch_client(oprane, Client(trading, prices))

    return make


# ---- fetch range and which rows carry which price --------------------------------------


def test_saturday_first_date_takes_friday_price_and_drops_friday(client):
    fake = client(price_frame(daily({"A": 10.0, "B": 20.0})))
    out = oprane.get_equity_price(["A", "B"], ["2024-03-02", "2024-03-04", "2024-03-05"])
    assert list(out.index) == [ts("2024-03-02"), ts("2024-03-04"), ts("2024-03-05")]
    assert values(out, "A") == [10.0, 11.0, 12.0]
    assert values(out, "B") == [20.0, 21.0, 22.0]
    assert fake.calls == [
        ("get_trading_dates", ts("2024-03-02"), ts("2024-03-02")),
        ("get_previous_trading_date", ts("2024-03-02")),
        ("get_price", ["A", "B"], ts("2024-03-01"), ts("2024-03-05"), "close", True, "post"),
    ]


def test_trading_first_date_fetches_no_previous_day_and_keeps_fetched_order(client):
    fake = client(price_frame(daily({"A": 10.0, "B": 20.0})))
    out = oprane.get_equity_price(["B", "A"], TRADING[1:4])
    assert fake.names() == ["get_trading_dates", "get_price"]
    assert fake.calls[-1][2:4] == (TRADING[1], TRADING[3])
    assert list(out.columns) == ["A", "B"]  # same set as requested: ascending as fetched
    assert list(out.index) == list(TRADING[1:4])
    assert values(out, "A") == [11.0, 12.0, 13.0]
    assert (out.index.name, out.columns.name) == ("date", "order_book_id")


def test_holiday_in_the_middle_carries_the_day_before(client):
    client(price_frame(daily({"A": 10.0})))
    out = oprane.get_equity_price(["A"], pd.date_range("2024-03-04", "2024-03-08"))
    # Mon 4, Tue 5, Wed 6 (closed), Thu 7, Fri 8
    assert values(out, "A") == [11.0, 12.0, 12.0, 13.0, 14.0]
    assert out.index.name == "date"


def test_late_starter_and_unknown_instrument(client):
    client(price_frame({**daily({"A": 10.0}), "L": {"2024-03-07": 5.0, "2024-03-11": 6.0}}))
    wanted = ["X", "L", "A"]
    out = oprane.get_equity_price(wanted, pd.date_range("2024-03-02", "2024-03-12"))
    assert list(out.columns) == wanted
    assert out.columns.name == "order_book_id"
    assert out["X"].isna().all()
    # Sat 2 .. Tue 12: NaN before L's first trade, then its prices carried forward.
    expected_l = [NaN] * 5 + [5.0, 5.0, 5.0, 5.0, 6.0, 6.0]
    np.testing.assert_array_equal(out["L"].to_numpy(), expected_l)
    assert values(out, "A")[:3] == [10.0, 10.0, 11.0]


def test_gap_takes_last_trade_even_when_that_day_was_not_requested(client):
    # A trades every day; B is suspended on Wed 13 and trades again on Thu 14.
    b = {d: p for d, p in daily({"B": 20.0})["B"].items() if d != "2024-03-13"}
    client(price_frame({**daily({"A": 10.0}), "B": b}))
    # Fri 8 is not requested: Sat 9 must show Fri's price, not Mon 4's.
    out = oprane.get_equity_price(["A", "B"], ["2024-03-04", "2024-03-09", "2024-03-13"])
    assert values(out, "A") == [11.0, 14.0, 17.0]
    assert values(out, "B") == [21.0, 24.0, 26.0]  # Wed 13 carries Tue 12, unrequested


def test_first_row_never_takes_a_later_price(client):
    # Nobody traded on Friday 1: the first fetched row is Monday's.
    client(price_frame({"A": {"2024-03-04": 11.0}, "B": {"2024-03-04": 21.0, "2024-03-05": 22.0}}))
    out = oprane.get_equity_price(["B", "A"], ["2024-03-02", "2024-03-04", "2024-03-05"])
    np.testing.assert_array_equal(out["A"].to_numpy(), [NaN, 11.0, 11.0])
    np.testing.assert_array_equal(out["B"].to_numpy(), [NaN, 21.0, 22.0])


def test_first_row_filled_by_instrument_not_by_position(client):
    client(price_frame({"A": {"2024-03-01": 1.0, "2024-03-04": 2.0},
                        "C": {"2024-03-04": 30.0},
                        "B": {"2024-03-01": 10.0, "2024-03-04": 20.0}}))
    out = oprane.get_equity_price(["C", "Z", "B", "A"], ["2024-03-03", "2024-03-04"])
    assert list(out.columns) == ["C", "Z", "B", "A"]
    first = out.iloc[0]
    assert first["A"] == 1.0 and first["B"] == 10.0
    assert np.isnan(first["C"]) and np.isnan(first["Z"])


def test_rows_from_before_the_fetch_range_are_not_used(patch_client):
    class Loose(Client):  # answers with more than it was asked for
        def get_price(self, ids, start, end, **kwargs):
            self.calls.append(("get_price", ids, start, end))
            return self.prices

    patch_client(oprane, Loose(TRADING, price_frame({"A": {"2024-02-29": 9.0, "2024-03-04": 11.0}})))
    out = oprane.get_equity_price(["A"], ["2024-03-02", "2024-03-04"])
    np.testing.assert_array_equal(out["A"].to_numpy(), [NaN, 11.0])


def test_futures_use_settlement_and_private_entry_takes_any_field(client):
    fake = client(price_frame(daily({"IF": 3500.0}), field="settlement"))
    out = oprane.get_futures_price(["IF"], TRADING[:2])
    assert values(out, "IF") == [3500.0, 3501.0]
    assert fake.calls[-1][4:] == ("settlement", True, "post")
    fake = client(price_frame(daily({"IF": 1.0}), field="open"))
    assert values(oprane._get_price(["IF"], TRADING[:1], "open"), "IF") == [1.0]


# ---- absent data and bad input ---------------------------------------------------------


def test_no_data_raises_missing_data_with_converted_dates(client):
    client(None)
    ids = ["A", "B"]
    with pytest.raises(MissingData) as err:
        oprane.get_equity_price(ids, ["2024-03-04", "2024-03-05"])
    kind, got_ids, got_dates = err.value.args
    assert kind == "价格数据" and got_ids is ids
    assert isinstance(got_dates, pd.DatetimeIndex)
    assert list(got_dates) == [ts("2024-03-04"), ts("2024-03-05")]
    client(price_frame({}))  # an empty answer holds no price either
    with pytest.raises(MissingData):
        oprane.get_equity_price(ids, ["2024-03-04"])


def test_not_found_behave_passes_arguments_through():
    from brelvox.utils import frevo

    assert oprane.maybe_reindex is frevo.maybe_reindex and oprane.MissingData is MissingData
    dates, ids = object(), object()
    with pytest.raises(MissingData) as err:
        oprane._not_found_behave(dates, ids)
    assert err.value.args[0] == "价格数据"
    assert err.value.args[1] is ids and err.value.args[2] is dates


def test_bad_requests_fail_before_any_client_call(client):
    fake = client(price_frame(daily({"A": 10.0})))
    with pytest.raises(IndexError):
        oprane.get_equity_price(["A"], [])
    with pytest.raises(ValueError, match="ascending"):
        oprane.get_equity_price(["A"], ["2024-03-05", "2024-03-04"])
    with pytest.raises(TypeError, match="order_book_ids"):
        oprane.get_equity_price("A", ["2024-03-04"])
    with pytest.raises(TypeError, match="dates"):
        oprane.get_equity_price(["A"], None)
    with pytest.raises(TypeError, match="dates"):
        oprane.get_equity_price(["A"], "2024-03-04")
    assert fake.calls == []


def test_missing_column_and_client_errors_propagate(client):
    client(price_frame(daily({"A": 10.0}), field="open"))
    with pytest.raises(KeyError):
        oprane.get_equity_price(["A"], TRADING[:2])
    client(ValueError("client down"))
    with pytest.raises(ValueError, match="client down"):
        oprane.get_equity_price(["A"], TRADING[:2])


def test_calendar_without_a_previous_day_is_reported(client):
    fake = client(price_frame(daily({"A": 10.0})))
    fake.get_previous_trading_date = lambda date, n=1: None
    with pytest.raises(ValueError, match="before 2024-03-02"):
        oprane.get_equity_price(["A"], ["2024-03-02"])


# ---- inputs stay as they were ----------------------------------------------------------


def test_inputs_and_client_answer_are_not_modified(client):
    answer = price_frame(daily({"A": 10.0, "B": 20.0}))
    kept = answer.copy()
    fake = client(answer)
    ids = ["B", "A"]
    dates = pd.DatetimeIndex(TRADING[:3], name="when")
    out = oprane.get_equity_price(ids, dates)
    assert ids == ["B", "A"]
    assert dates.name == "when" and list(dates) == list(TRADING[:3])
    out.iloc[:, :] = -1.0  # the result owns its values
    pd.testing.assert_frame_equal(answer, kept)
    assert fake.calls[-1][1] is ids
    # the same holds when the result must be conformed to the request
    out = oprane.get_equity_price(ids + ["X"], pd.date_range("2024-03-02", "2024-03-05", name="w"))
    out.iloc[:, :] = -1.0
    pd.testing.assert_frame_equal(answer, kept)


# ---- against a plain pandas statement of the rule --------------------------------------


@pytest.mark.parametrize("seed", range(4))
def test_matches_last_trade_at_or_before_each_requested_date(client, seed):
    rng = np.random.default_rng(seed)
    ids = ["A", "B", "C", "D"]
    rows = [(i, d, float(rng.integers(1, 99))) for i in ids for d in TRADING if rng.random() < 0.7]
    rows = [(i, d, NaN if rng.random() < 0.2 else p) for i, d, p in rows]
    answer = on_id_date(rows, ["close"])
    client(answer.sample(frac=1.0, random_state=seed))  # rows in no particular order
    calendar_days = pd.date_range("2024-03-01", "2024-03-17")
    dates = calendar_days[np.sort(rng.choice(len(calendar_days), 8, replace=False))]
    wanted = ["D", "Z", "B", "A"]
    out = oprane.get_equity_price(wanted, dates)

    start = dates[0] if dates[0] in TRADING else TRADING[TRADING < dates[0]][-1]
    wide = answer["close"].unstack(level=0)
    wide = wide[wide.index >= start]
    expected = wide.reindex(wide.index.union(dates)).ffill().reindex(dates).reindex(columns=wanted)
    np.testing.assert_array_equal(out.to_numpy(), expected.to_numpy())
    assert list(out.index) == list(dates) and list(out.columns) == wanted
