"""In-memory stand-ins for the market data client, answering from prebuilt frames."""

import types

import pandas as pd

from fakes_calendar import Calendar


def on_id_date(records, columns, index_names=("order_book_id", "date")):
    """Frame on (order_book_id, date) from (id, date, value...) tuples."""
    rows = [(r[0], pd.Timestamp(r[1])) + tuple(r[2:]) for r in records]
    frame = pd.DataFrame(rows, columns=list(index_names) + list(columns))
    return frame.set_index(list(index_names))


class PriceClient(Calendar):
    """Exchange calendar, prices, splits and dividends; records each call."""

    def __init__(self, trading_dates, prices=None, splits=None, dividends=None):
        self.calls = []
        super().__init__(trading_dates, log=self.calls)
        self.trading_dates = self.days
        self.prices = prices  # frame on (id, date) or None
        self.splits = splits
        self.dividends = dividends
        self.bond = types.SimpleNamespace()
        self.fund = types.SimpleNamespace()

    def get_price(self, ids, start, end, fields=None, expect_df=True, adjust_type="post"):
        self.calls.append(("get_price", ids, start, end, fields, expect_df, adjust_type))
        if self.prices is None:
            return None
        if isinstance(self.prices, Exception):
            raise self.prices
        dates = self.prices.index.get_level_values(1)
        ids_level = self.prices.index.get_level_values(0)
        keep = ids_level.isin(list(ids)) & (dates >= pd.Timestamp(start)) & (dates <= pd.Timestamp(end))
        return self.prices[keep]

    def _events(self, frame, ids, start, end):
        if frame is None or isinstance(frame, Exception):
            if isinstance(frame, Exception):
                raise frame
            return None
        dates = frame.index.get_level_values(1)
        keep = frame.index.get_level_values(0).isin(list(ids))
        keep &= (dates >= pd.Timestamp(start)) & (dates <= pd.Timestamp(end))
        return frame[keep]

    def get_split(self, ids, start, end):
        self.calls.append(("get_split", list(ids), start, end))
        return self._events(self.splits, ids, start, end)

    def get_dividend(self, ids, start, end):
        self.calls.append(("get_dividend", list(ids), start, end))
        return self._events(self.dividends, ids, start, end)
