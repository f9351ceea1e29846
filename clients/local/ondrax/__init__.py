"""Local market data client: the ondrax operations answered from a DuckDB database file.

The database is the file named by the environment variable ONDRAX_LOCAL_DB, or, when it is
not set, a generated sample market (two years of about a hundred instruments).
Frames come indexed by (order_book_id, date); None means there is no data.
"""

import numpy as np
import pandas as pd

from . import _calendar, _records, _store
from ._store import ENV_VAR, LocalDataError

__all__ = [
    "ENV_VAR", "LocalDataError", "get_price", "get_previous_trading_date",
    "get_next_trading_date", "get_trading_dates", "is_trading_date", "get_split",
    "get_dividend", "instruments", "all_instruments", "index_weights",
]

_PRICE_FIELDS = ("open", "high", "low", "close", "settlement", "volume")
_ADJUSTED = ("open", "high", "low", "close", "settlement")


# --- exchange calendar -----------------------------------------------------------------------

def get_previous_trading_date(date, n=1):
    """The n-th exchange trading date before `date`, as a datetime.date."""
    return _calendar.previous("exchange", date, n)


def get_next_trading_date(date, n=1):
    """The n-th exchange trading date after `date`, as a datetime.date."""
    return _calendar.next_("exchange", date, n)


def get_trading_dates(start_date, end_date):
    """Exchange trading dates from start to end inclusive, ascending (a list of dates)."""
    return _calendar.between("exchange", start_date, end_date)


def is_trading_date(date):
    return _calendar.is_trading("exchange", date)


# --- prices and corporate actions ------------------------------------------------------------

def _fields(fields):
    names = list(_PRICE_FIELDS) if fields is None else (
        [fields] if isinstance(fields, str) else list(fields))
    unknown = [f for f in names if f not in _PRICE_FIELDS]
    if unknown:
        raise ValueError("unknown price field(s): %s (known: %s)"
                         % (", ".join(map(str, unknown)), ", ".join(_PRICE_FIELDS)))
    return names


def get_price(order_book_ids, start_date=None, end_date=None, frequency="1d", fields=None,
              adjust_type="pre", expect_df=True):
    """Daily prices on (order_book_id, date), one column per field; None when nothing.

    adjust_type: "none" (as traded), "post" (restated forward for splits and dividends from
    the first ex-date on) or "pre" (restated back from the last date). Volume is never
    adjusted. Rows where every asked field is empty are left out.
    """
    if frequency != "1d":
        raise ValueError("only daily prices (frequency '1d') are stored")
    if adjust_type not in ("none", "post", "pre"):
        raise ValueError("adjust_type must be 'none', 'post' or 'pre', got %r" % (adjust_type,))
    names = _fields(fields)
    adjust = adjust_type != "none" and any(n in _ADJUSTED for n in names)
    # the post factor of every stored row does not depend on the request: kept when the
    # table's columns are
    found = _store.by_instrument("prices", names, order_book_ids, start_date, end_date,
                                 derived={"post factor": _post_factors} if adjust else None)
    if found is None:
        return None
    iid, day, values, day_codes, derived = found
    if adjust:
        factor = derived.get("post factor")
        if factor is None:
            factor = _post_factors({"iid": iid, "day": day})
        if adjust_type == "pre":
            # restated back from the end: divided by each instrument's product up to it
            keys, starts = _store.distinct_sorted(iid)
            hi = _store.span(start_date, end_date)[1]
            factor = factor / np.repeat(_products_upto(keys, _store.day_number(hi)),
                                        np.diff(np.append(starts, iid.size)))
        values = [v * factor if n in _ADJUSTED else v for n, v in zip(names, values)]
    return _store.id_date_frame(iid, day, dict(zip(names, values)), day_codes=day_codes)


def _event_products():
    """(key, iid, running product) of every ex-date, kept with the open database. The
    ratio of an ex-date is its split plus its cash per share over the unadjusted close of
    that day (no cash part without a close); the product runs within each instrument."""
    db = _store.database()
    found = db.cache.get("event products")
    if found is None:
        actions = _store.columns(
            "WITH e AS (SELECT iid, ex_dividend_date AS day, split_coefficient_to / "
            "  split_coefficient_from AS split, 0.0 AS cash FROM splits UNION ALL SELECT iid, "
            "  ex_dividend_date, 1.0, dividend_cash_before_tax / round_lot FROM dividends) "
            "SELECT iid, CAST(day - DATE '1970-01-01' AS INTEGER) AS day, product(split) AS split,"
            " sum(cash) AS cash FROM e GROUP BY ALL ORDER BY 1, 2")
        ev_iid = np.asarray(actions["iid"], dtype=np.int64)
        ev_day = np.asarray(actions["day"], dtype=np.int64)
        cash = _store.floats(actions["cash"])
        close = _store.values_at("prices", "close", ev_iid, ev_day)
        paid = (cash > 0) & (close > 0)
        ratio = _store.floats(actions["split"]) + np.divide(cash, close, out=np.zeros_like(cash),
                                                            where=paid)
        found = db.cache["event products"] = (_key(ev_iid, ev_day), ev_iid,
                                              _running_product(ev_iid, ratio))
    return found


def _key(iid, day):
    key = iid.astype(np.int64)
    key <<= 32
    key += day
    key += 1 << 31
    return key


def _post_factors(rows):
    """Post factor of each row of `rows` ({"iid", "day"} sorted by both): the running
    product of its instrument's last ex-date on or before it, 1 before the first."""
    iid = rows["iid"]
    ev_key, ev_iid, running = _event_products()
    if ev_key.size == 0 or iid.size == 0:
        return np.ones(iid.size)
    # The factor is constant from an instrument's first row, and from the first row on or
    # after each of its ex-dates, to the next such row: one value per stretch.
    at = np.searchsorted(_key(iid, rows["day"]), ev_key, side="left")
    applies = at < iid.size
    applies[applies] = iid[at[applies]] == ev_iid[applies]  # else no row on or after it
    at, ev_iid, running = at[applies], ev_iid[applies], running[applies]
    if at.size == 0:
        return np.ones(iid.size)
    starts = _store.distinct_sorted(iid)[1]
    bounds = np.union1d(starts, at)
    last = np.searchsorted(at, bounds, side="right") - 1
    own = (last >= 0) & (ev_iid[np.maximum(last, 0)] == iid[bounds])
    value = np.where(own, running[np.maximum(last, 0)], 1.0)
    return np.repeat(value, np.diff(np.append(bounds, iid.size)))


def _products_upto(keys, day):
    """Product of the ratios of each instrument's ex-dates up to `day` (1 for none)."""
    ev_key, ev_iid, running = _event_products()
    if ev_key.size == 0:
        return np.ones(keys.size)
    end = np.searchsorted(ev_key, _key(keys, np.full(keys.size, day)), side="right") - 1
    same = (end >= 0) & (ev_iid[np.maximum(end, 0)] == keys)
    return np.where(same, running[np.maximum(end, 0)], 1.0)


def _running_product(group, ratio):
    """Running product of `ratio` within runs of equal `group` (sorted), by doubling steps:
    exact products, with no overflow across instruments."""
    position = np.arange(group.size)
    starts = np.flatnonzero(np.concatenate(([True], group[1:] != group[:-1])))
    offset = position - np.repeat(starts, np.diff(np.append(starts, group.size)))
    out = ratio.astype(np.float64, copy=True)
    step = 1
    while step <= int(offset.max(initial=0)):
        reach = np.flatnonzero(offset >= step)
        out[reach] = out[reach] * out[reach - step]
        step *= 2
    return out


def _events(table, columns, order_book_ids, start_date, end_date):
    keys = _store.iids(order_book_ids)
    if keys.size == 0:
        return None
    where, params = _store.iid_filter(keys)
    found = _store.columns(
        "SELECT iid, CAST(ex_dividend_date - DATE '1970-01-01' AS INTEGER) AS day, %s FROM %s "
        "WHERE %s AND ex_dividend_date BETWEEN ? AND ? ORDER BY iid, ex_dividend_date%s" % (
            ", ".join(columns), table, where, ", seq" if table == "dividends" else ""),
        params + list(_store.span(start_date, end_date)))
    iid = np.asarray(found["iid"], dtype=np.int32)
    if iid.size == 0:
        return None
    values = {n: _dates(found[n]) if n.endswith("_date") else _store.floats(found[n])
              for n in columns}
    return _store.id_date_frame(iid, np.asarray(found["day"], dtype=np.int32), values,
                                level1="ex_dividend_date")


def _dates(array):
    """datetime64[ns] with NaT for SQL NULL, from a fetched DATE column."""
    if isinstance(array, np.ma.MaskedArray):
        array = array.filled(np.datetime64("NaT"))
    return np.asarray(array).astype("datetime64[ns]")


def get_split(order_book_ids, start_date=None, end_date=None):
    """Splits on (order_book_id, ex_dividend_date): split_coefficient_from/_to; or None."""
    return _events("splits", ("split_coefficient_from", "split_coefficient_to"),
                   order_book_ids, start_date, end_date)


def get_dividend(order_book_ids, start_date=None, end_date=None):
    """Cash dividends on (order_book_id, ex_dividend_date); pre-tax cash per round_lot shares."""
    return _events("dividends", ("dividend_cash_before_tax", "round_lot", "book_closure_date",
                                 "payable_date"), order_book_ids, start_date, end_date)


# --- instruments and index weights -----------------------------------------------------------

def instruments(order_book_ids):
    """The record of an exchange instrument (stock, fund, index, future, option) or None;
    for a list of ids, the list of the known ones' records."""
    return _records.lookup("exchange", order_book_ids)


def all_instruments(type=None, date=None):
    """Exchange instruments: order_book_id, symbol, type (CS, ETF, LOF, INDX, Future,
    Option), exchange, listed_date, de_listed_date, round_lot."""
    return _records.catalogue("exchange", type, date)


def index_weights(order_book_id, date=None):
    """Weights of the list in force on `date` (the newest list when None), by constituent."""
    _store.one_id(order_book_id)
    day = _store.span(None, date)[1]
    found = _store.rows(
        "SELECT order_book_id, weight FROM index_weights WHERE index_id = ? AND date = "
        "(SELECT MAX(date) FROM index_weights WHERE index_id = ? AND date <= ?) "
        "ORDER BY order_book_id", (order_book_id, order_book_id, day))
    if not found:
        return None
    ids, weights = zip(*found)
    return pd.Series(weights, index=pd.Index(ids, name="order_book_id"), name="weight",
                     dtype="float64")


from . import bond, client, convertible, fund, local  # noqa: E402  (they use the above)
