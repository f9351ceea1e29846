"""Exchange and interbank trading calendars."""

import datetime

import pandas as pd
import pytest

from brelvox.marketdata import tolvik
from fakes_calendar import calendar_client

EXCHANGE = ["2020-01-02", "2020-01-03", "2020-01-06", "2020-01-07"]
BANK = ["2020-01-02", "2020-01-04", "2020-01-06"]


def as_datetime(ts):
    return ts.to_pydatetime()


@pytest.fixture(params=[pd.Timestamp, lambda ts: ts.date(), as_datetime],
                ids=["timestamp", "date", "datetime"])
def client(request, patch_client):
    return patch_client(tolvik, calendar_client(EXCHANGE, BANK, box=request.param))


def is_midnight_datetime(value):
    return type(value) is datetime.datetime and value.tzinfo is None and value.time() == datetime.time()


def test_is_compiled_extension():
    assert not tolvik.__file__.endswith(".py")


class TestSingleDays:
    def test_previous_drops_time_of_day(self, patch_client):
        client = patch_client(tolvik, calendar_client(EXCHANGE, BANK,
                                                      box=lambda ts: ts + pd.Timedelta("15h")))
        out = tolvik.get_exchange_previous_trading_date(datetime.datetime(2020, 1, 6, 10, 30))
        assert out == datetime.datetime(2020, 1, 3) and is_midnight_datetime(out)
        assert client.log == [("get_previous_trading_date", datetime.datetime(2020, 1, 6, 10, 30), 1)]

    def test_n_always_passed_positionally(self, client):
        assert tolvik.get_exchange_next_trading_date("2020-01-02") == datetime.datetime(2020, 1, 3)
        assert tolvik.get_exchange_next_trading_date("2020-01-02", n=3) == datetime.datetime(2020, 1, 7)
        assert tolvik.get_exchange_previous_trading_date("2020-01-07", 2) == datetime.datetime(2020, 1, 3)
        assert client.log == [("get_next_trading_date", "2020-01-02", 1),
                              ("get_next_trading_date", "2020-01-02", 3),
                              ("get_previous_trading_date", "2020-01-07", 2)]

    def test_bank_calendar_asks_the_bond_namespace(self, client):
        day = datetime.date(2020, 1, 3)
        following = tolvik.get_bank_next_trading_date(day)
        assert following == datetime.datetime(2020, 1, 4) and is_midnight_datetime(following)
        assert tolvik.get_bank_previous_trading_date(dt=day, n=1) == datetime.datetime(2020, 1, 2)
        assert client.log == [("bond.get_next_trading_date", day, 1),
                              ("bond.get_previous_trading_date", day, 1)]

    def test_arguments_passed_as_received(self, client):
        seen = []
        client.bond.get_next_trading_date = lambda *args, **kw: seen.append((args, kw)) or args[0]
        marker = object()
        assert tolvik.get_bank_next_trading_date(datetime.date(2020, 1, 2), marker) == (
            datetime.datetime(2020, 1, 2))
        assert seen == [((datetime.date(2020, 1, 2), marker), {})]

    def test_no_day_beyond_the_calendar(self, client):
        with pytest.raises(AttributeError):
            tolvik.get_exchange_next_trading_date("2020-01-07")
        with pytest.raises(AttributeError):
            tolvik.get_bank_previous_trading_date("2020-01-02")

    def test_is_exchange_trading_date_is_the_clients_answer(self, client):
        assert tolvik.is_exchange_trading_date("2020-01-03") is True
        assert tolvik.is_exchange_trading_date(pd.Timestamp("2020-01-04")) is False
        assert client.log == [("is_trading_date", "2020-01-03"),
                              ("is_trading_date", pd.Timestamp("2020-01-04"))]


class TestRanges:
    def test_exchange_days_at_midnight_in_client_order(self, client):
        out = tolvik.get_exchange_trading_dates("2020-01-03", "2020-01-06")
        assert out == [datetime.datetime(2020, 1, 3), datetime.datetime(2020, 1, 6)]
        assert type(out) is list and all(is_midnight_datetime(v) for v in out)
        assert client.log == [("get_trading_dates", "2020-01-03", "2020-01-06")]

    def test_bank_days(self, client):
        assert tolvik.get_bank_trading_dates(start_date="2020-01-03", end_date="2020-01-05") == [
            datetime.datetime(2020, 1, 4)]
        assert tolvik.get_bank_trading_dates("2020-01-07", "2020-01-31") == []
        assert [c[0] for c in client.log] == ["bond.get_trading_dates"] * 2

    def test_order_kept(self, patch_client):
        fake = calendar_client(EXCHANGE, BANK)
        fake.get_trading_dates = lambda s, e: [datetime.date(2020, 1, 6), datetime.date(2020, 1, 2)]
        patch_client(tolvik, fake)
        assert tolvik.get_exchange_trading_dates(1, 2) == [datetime.datetime(2020, 1, 6),
                                                           datetime.datetime(2020, 1, 2)]


class TestIsBankTradingDate:
    def test_trading_and_non_trading_days(self, patch_client):
        client = patch_client(tolvik, calendar_client(EXCHANGE, BANK, box=lambda ts: ts.date()))
        assert tolvik.is_bank_trading_date(None, datetime.date(2020, 1, 4)) is True
        assert tolvik.is_bank_trading_date("anything", datetime.date(2020, 1, 3)) is False
        assert client.log[:2] == [("bond.get_previous_trading_date", datetime.date(2020, 1, 4)),
                                  ("bond.get_next_trading_date", datetime.date(2020, 1, 2))]

    @pytest.mark.parametrize("day", ["2020-01-04", datetime.datetime(2020, 1, 4),
                                     pd.Timestamp("2020-01-04"), datetime.date(2020, 1, 4)])
    def test_any_kind_of_date_names_its_calendar_day(self, client, day):
        assert tolvik.is_bank_trading_date(None, day) is True
        assert tolvik.is_bank_trading_date(None, pd.Timestamp("2020-01-03")) is False

    def test_self_is_required(self, client):
        with pytest.raises(TypeError):
            tolvik.is_bank_trading_date(datetime.date(2020, 1, 4))
        assert client.log == []


class TestToDatetime:
    @pytest.mark.parametrize("value", [
        datetime.date(2020, 1, 2), datetime.datetime(2020, 1, 2, 23, 59, 59),
        pd.Timestamp("2020-01-02 09:30", tz="Asia/Shanghai")])
    def test_midnight_of_the_day(self, value):
        out = tolvik._to_datetime(value)
        assert out == datetime.datetime(2020, 1, 2) and is_midnight_datetime(out)

    def test_any_object_with_date_fields(self):
        class Day:
            year, month, day = 2021, 2, 28
        assert tolvik._to_datetime(Day()) == datetime.datetime(2021, 2, 28)

    def test_not_a_date(self):
        with pytest.raises(AttributeError):
            tolvik._to_datetime(None)
        with pytest.raises((TypeError, ValueError)):
            tolvik._to_datetime(pd.NaT)
