"""Bonds: the interbank bond market calendar, ChinaBond valuations, market codes, the
treasury yield curve and bond index weights."""

import numpy as np
import pandas as pd

from . import _calendar, _records, _schema, _store

VALUATION_FIELDS = tuple(c.name for c in _schema.BY_NAME["valuations"].columns[2:])


def get_previous_trading_date(date, n=1):
    """The n-th interbank trading date before `date` (weekend working days included)."""
    return _calendar.previous("interbank", date, n)


def get_next_trading_date(date, n=1):
    return _calendar.next_("interbank", date, n)


def get_trading_dates(start_date, end_date):
    return _calendar.between("interbank", start_date, end_date)


def is_trading_date(date):
    return _calendar.is_trading("interbank", date)


def instruments(order_book_ids):
    """Bond record (coupon_rate, frequency, maturity_date...) or None; a list for a list."""
    return _records.lookup("bond", order_book_ids)


def all_instruments():
    return _records.catalogue("bond")


def get_valuation(order_book_ids, start_date=None, end_date=None, source="chinabond",
                  fields=None, valuation_type="short"):
    """Valuations on (order_book_id, date); None when nothing.

    Fields the source does not know are left out (ask for VALUATION_FIELDS). Rows where
    every asked field is empty are left out.
    """
    if source != "chinabond":
        raise ValueError("unknown valuation source %r (only 'chinabond')" % (source,))
    if valuation_type not in ("short", "full"):
        raise ValueError("valuation_type must be 'short' or 'full', got %r" % (valuation_type,))
    asked = list(VALUATION_FIELDS) if fields is None else (
        [fields] if isinstance(fields, str) else list(fields))
    names = list(dict.fromkeys(f for f in asked if f in VALUATION_FIELDS))
    found = _store.by_instrument("valuations", names, order_book_ids, start_date, end_date)
    if found is None:
        return None
    iid, day, values, day_codes, _ = found
    return _store.id_date_frame(iid, day, dict(zip(names, values)), day_codes=day_codes)


def get_secu_market_code(order_book_ids):
    """Frame by order_book_id with column NIB: the interbank id (the id itself for an
    interbank bond), NaN when the bond has none."""
    ids = _store.id_list(order_book_ids)
    twins = dict(_store.rows(
        "SELECT order_book_id, nib FROM market_codes WHERE order_book_id IN "
        "(SELECT unnest(?::VARCHAR[]))", [ids]))
    interbank = {r[0] for r in _store.rows(
        "SELECT order_book_id FROM instruments WHERE catalogue = 'bond' AND exchange = 'NIB' "
        "AND order_book_id IN (SELECT unnest(?::VARCHAR[]))", [ids])}
    nib = [twins.get(i, i if i in interbank else np.nan) for i in ids]
    return pd.DataFrame({"NIB": np.array(nib, dtype=object)},
                        index=pd.Index(ids, name="order_book_id"))


def get_yield_curves(names=None, type="yield_curve", start_date=None, end_date=None):
    """Long frame on (name, date) with columns tenor (years) and rate (percent); None when
    nothing."""
    if type != "yield_curve":
        raise ValueError("unknown curve type %r (only 'yield_curve')" % (type,))
    lo, hi = _store.span(start_date, end_date)
    if names is None:
        where, params = "", []
    else:
        curve_names = [names] if isinstance(names, str) else list(names)
        where, params = "name IN (SELECT unnest(?::VARCHAR[])) AND ", [[str(n) for n in curve_names]]
    found = _store.rows(
        "SELECT name, date, tenor, rate FROM yield_curves WHERE %sdate BETWEEN ? AND ? "
        "ORDER BY name, date, tenor" % where, params + [lo, hi])
    return _store.long_frame(found, ["tenor", "rate"], level0="name")


def index_weights(order_book_id, start_date=None, end_date=None):
    """Bond index weights as delivered, a Series on (date, order_book_id); None when nothing."""
    _store.one_id(order_book_id)
    lo, hi = _store.span(start_date, end_date)
    found = _store.rows(
        "SELECT date, order_book_id, weight FROM index_weights WHERE index_id = ? "
        "AND date BETWEEN ? AND ? ORDER BY date, order_book_id", [order_book_id, lo, hi])
    if not found:
        return None
    dates, ids, weights = zip(*found)
    index = pd.MultiIndex.from_arrays(
        [pd.DatetimeIndex(np.array(dates, dtype="datetime64[ns]")), pd.Index(ids, dtype=object)],
        names=["date", "order_book_id"])
    return pd.Series(weights, index=index, name="weight", dtype="float64")
