"""An in-memory instrument catalogue standing in for the data client; records each call."""

import types

import pandas as pd


def record(order_book_id, type_=None, **fields):
    """An instrument record; `type_` None leaves the record without a `type` attribute."""
    if type_ is not None:
        fields["type"] = type_
    return types.SimpleNamespace(order_book_id=order_book_id, **fields)


class CatalogueClient:
    """Answers `all_instruments`, `fund.all_instruments`, the four `instruments` look-ups and
    `index_weights` from prebuilt objects. An Exception given as an answer is raised."""

    def __init__(self, listed=(), funds=(), records=None, weights=None):
        # listed: (order_book_id, client type) pairs or a ready frame; funds: ids or a frame.
        self.listed = listed if not isinstance(listed, (list, tuple)) else pd.DataFrame(
            list(listed), columns=["order_book_id", "type"])
        self.funds = funds if not isinstance(funds, (list, tuple)) else pd.DataFrame(
            {"order_book_id": list(funds)})
        self.records = records or {}  # part ("", "bond", "fund", "convertible") -> {id: record}
        self.weights = weights or {}  # index id -> answer
        self.calls = []
        for part in ("bond", "fund", "convertible"):
            setattr(self, part, types.SimpleNamespace(instruments=self._lookup(part)))
        self.fund.all_instruments = self._fund_catalogue

    @staticmethod
    def _answer(value):
        if isinstance(value, Exception):
            raise value
        return value

    def _lookup(self, part):
        def instruments(order_book_id):
            self.calls.append((part + ".instruments" if part else "instruments", order_book_id))
            return self._answer(self.records.get(part, {}).get(order_book_id))

        return instruments

    def instruments(self, order_book_id):
        return self._lookup("")(order_book_id)

    def all_instruments(self):
        self.calls.append(("all_instruments",))
        return self._answer(self.listed)

    def _fund_catalogue(self):
        self.calls.append(("fund.all_instruments",))
        return self._answer(self.funds)

    def index_weights(self, order_book_id):
        self.calls.append(("index_weights", order_book_id))
        return self._answer(self.weights.get(order_book_id))

    def getters(self):
        """The three look-ups in the order the module tries them for unknown ids."""
        return [self.convertible.instruments, self.fund.instruments, self.instruments]


class RefusingClient:
    """A client that must not be called."""

    def __getattr__(self, name):
        raise AssertionError("unexpected client access: " + name)
