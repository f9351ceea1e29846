"""In-memory stand-in for the industry classification service and the instrument records."""

import types

import pandas as pd

SHENWAN = "__internal__shenwan_industry"
CITIC = "__internal__zx2019_industry"


def sw(order_book_id, name, start, version=3):
    return {"order_book_id": order_book_id, "index_name": name,
            "start_date": pd.Timestamp(start), "version": version}


def zx(order_book_id, name, start):
    return {"order_book_id": order_book_id, "first_industry_name": name,
            "start_date": pd.Timestamp(start)}


class IndustryClient:
    """Answers `client.get_client().execute(service)` and `instruments(id)`; records each call.

    `listing` maps an id to its (listed_date, de_listed_date) strings; ids absent from it
    are unknown instruments. `records` maps a service name to its records, or to an
    exception to raise.
    """

    def __init__(self, shenwan=(), citic=(), listing=None, fresh_records=True):
        self.records = {SHENWAN: list(shenwan), CITIC: list(citic)}
        self.listing = dict(listing or {})
        self.fresh_records = fresh_records
        self.calls = []
        self.client = types.SimpleNamespace(get_client=self._get_client)

    def _get_client(self):
        return types.SimpleNamespace(execute=self._execute)

    def _execute(self, name, *args):
        self.calls.append((name,) + args)
        answer = self.records[name]
        if isinstance(answer, Exception):
            raise answer
        return [dict(r) for r in answer] if self.fresh_records else answer

    def instruments(self, order_book_id):
        self.calls.append(("instruments", order_book_id))
        if order_book_id not in self.listing:
            return None
        listed, delisted = self.listing[order_book_id]
        return types.SimpleNamespace(listed_date=listed, de_listed_date=delisted)

    def count(self, what):
        return sum(1 for c in self.calls if c[0] == what)
