"""Instrument records and catalogues."""

import json

import pandas as pd

from . import _store

_NO_DATE = "0000-00-00"
_BASE = ("order_book_id", "catalogue", "type", "symbol", "exchange", "listed_date",
         "de_listed_date", "round_lot", "accrued_daily", "extra")

# Which rows each namespace answers for: exchange-traded funds are funds too.
_WHERE = {
    "exchange": "catalogue = 'exchange'",
    "fund": "catalogue = 'fund' OR (catalogue = 'exchange' AND type IN ('ETF', 'LOF'))",
    "bond": "catalogue = 'bond'",
    "convertible": "catalogue = 'convertible'",
}


class Instrument:
    """One instrument's attributes; dates are 'YYYY-MM-DD' text, '0000-00-00' when none."""

    def __init__(self, fields):
        self.__dict__.update(fields)

    def __repr__(self):
        shown = ", ".join("%s=%r" % kv for kv in self.__dict__.items())
        return "Instrument(%s)" % shown

    def __eq__(self, other):
        return isinstance(other, Instrument) and other.__dict__ == self.__dict__

    __hash__ = None


def _fields(row):
    values = dict(zip(_BASE, row))
    extra = values.pop("extra")
    values.pop("catalogue")
    for key in ("listed_date", "de_listed_date"):
        values[key] = values[key].isoformat() if values[key] else _NO_DATE
    if values["accrued_daily"] is None:
        del values["accrued_daily"]
    if values["round_lot"] is None:
        values["round_lot"] = 1
    if extra:
        for key, value in json.loads(extra).items():
            values.setdefault(key, value)
    return values


def _select(namespace, where="", params=()):
    sql = "SELECT %s FROM instruments WHERE (%s)%s ORDER BY order_book_id" % (
        ", ".join(_BASE), _WHERE[namespace], where)
    return _store.rows(sql, params)


def _records(namespace):
    """{order_book_id: row} of a namespace, read once per opened database: callers look
    instruments up one id at a time, thousands in a row."""
    db = _store.database()
    with _store.lock():
        found = db.cache.get(("records", namespace))
        if found is None:
            found = db.cache[("records", namespace)] = {r[0]: r for r in _select(namespace)}
        return found


def lookup(namespace, order_book_ids):
    """One record (or None) for one id; a list of the known records for a list of ids."""
    found = _records(namespace)
    if isinstance(order_book_ids, str):
        row = found.get(order_book_ids)
        return Instrument(_fields(row)) if row is not None else None
    ids = _store.id_list(order_book_ids)
    return [Instrument(_fields(found[i])) for i in ids if i in found]


def catalogue(namespace, type=None, date=None):
    """All records of a namespace as a frame, optionally of some types or listed on a date."""
    where, params = "", []
    if type is not None:
        types = [type] if isinstance(type, str) else list(type)
        where += " AND type IN (SELECT unnest(?::VARCHAR[]))"
        params.append([str(t) for t in types])
    if date is not None:
        day = _store.to_date(date)
        where += (" AND (listed_date IS NULL OR listed_date <= ?)"
                  " AND (de_listed_date IS NULL OR de_listed_date >= ?)")
        params += [day, day]
    records = [_fields(r) for r in _select(namespace, where, params)]
    columns = ["order_book_id", "symbol", "type", "exchange", "listed_date", "de_listed_date",
               "round_lot"]
    if namespace == "fund":
        columns.append("accrued_daily")
        for rec in records:
            rec.setdefault("accrued_daily", False)
    frame = pd.DataFrame.from_records(records, columns=columns) if records else \
        pd.DataFrame({c: pd.Series(dtype=object) for c in columns})
    if namespace == "fund":
        frame["accrued_daily"] = frame["accrued_daily"].astype(bool)
    return frame
