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
    found = _store.by_instrument("prices", names, order_book_ids, start_date, end_date)
    if found is None:
        return None
    iid, day, values = found
    if adjust_type != "none" and any(n in _ADJUSTED for n in names):
        factor = _adjust_factors(iid, day, _store.span(start_date, end_date)[1], adjust_type)
        if factor is not None:
            values = [v * factor if n in _ADJUSTED else v for n, v in zip(names, values)]
    return _store.id_date_frame(iid, day, dict(zip(names, values)))


def _adjust_factors(iid, day, hi, adjust_type):
    """Price factor per row: the product of split + cash / close over the ex-dates of the
    row's instrument up to the row's date (for "pre", divided by the product up to `hi`)."""
    where, params = _store.iid_filter(np.unique(iid))
    found = _store.columns(
        "WITH e AS ("
        "  SELECT iid, ex_dividend_date AS day, split_coefficient_to / split_coefficient_from "
        "    AS split, 0.0 AS cash FROM splits WHERE %(ids)s AND ex_dividend_date <= ?"
        "  UNION ALL SELECT iid, ex_dividend_date, 1.0, dividend_cash_before_tax / round_lot "
        "    FROM dividends WHERE %(ids)s AND ex_dividend_date <= ?), "
        "g AS (SELECT iid, day, product(split) AS split, sum(cash) AS cash FROM e GROUP BY ALL) "
        "SELECT g.iid, CAST(g.day - DATE '1970-01-01' AS INTEGER) AS day, "
        "  g.split + CASE WHEN g.cash > 0 AND p.close > 0 THEN g.cash / p.close ELSE 0 END "
        "  AS ratio "
        "FROM g LEFT JOIN prices p ON p.iid = g.iid AND p.date = g.day "
        "ORDER BY 1, 2" % {"ids": where}, params + [hi] + params + [hi])
    ev_iid = np.asarray(found["iid"], dtype=np.int64)
    if ev_iid.size == 0:
        return None
    ev_key = ev_iid << 32 | np.asarray(found["day"], dtype=np.int64) + (1 << 31)
    ratio = _store.floats(found["ratio"])
    # running product within each instrument: the overall running product over the
    # product before the instrument's first event
    total = np.cumprod(ratio)
    first = np.ones(ev_iid.size, dtype=bool)
    first[1:] = ev_iid[1:] != ev_iid[:-1]
    starts = np.flatnonzero(first)
    base = np.ones(starts.size)
    base[1:] = total[starts[1:] - 1]
    running = total / np.repeat(base, np.diff(np.append(starts, ev_iid.size)))

    def upto(row_iid, row_key):
        at = np.searchsorted(ev_key, row_key, side="right") - 1
        hit = (at >= 0) & (ev_iid[np.maximum(at, 0)] == row_iid)
        return np.where(hit, running[np.maximum(at, 0)], 1.0)

    row_key = iid.astype(np.int64) << 32 | day.astype(np.int64) + (1 << 31)
    factor = upto(iid, row_key)
    if adjust_type == "pre":
        end_key = iid.astype(np.int64) << 32 | (_store.day_number(hi) + (1 << 31))
        factor = factor / upto(iid, end_key)
    return factor


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
