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
    iid, day, values, day_codes = found
    if adjust_type != "none" and any(n in _ADJUSTED for n in names):
        factor = _adjust_factors(iid, day, _store.span(start_date, end_date)[1], adjust_type)
        if factor is not None:
            values = [v * factor if n in _ADJUSTED else v for n, v in zip(names, values)]
    return _store.id_date_frame(iid, day, dict(zip(names, values)), day_codes=day_codes)


def _adjust_factors(iid, day, hi, adjust_type):
    """Price factor per row: the product of split + cash / close over the ex-dates of the
    row's instrument up to the row's date (for "pre", divided by the product up to `hi`)."""
    keys = _store.distinct_sorted(iid)[0]
    found = _corporate_actions()
    member = np.zeros(max(int(keys[-1]), int(found["iid"].max(initial=0))) + 1, dtype=bool)
    member[keys] = True
    chosen = member[found["iid"]] & (found["day"] <= _store.day_number(hi))
    ev_iid, ev_day = found["iid"][chosen], found["day"][chosen]
    if ev_iid.size == 0:
        return None
    ev_key = ev_iid << 32 | ev_day + (1 << 31)
    cash, split = found["cash"][chosen], found["split"][chosen]
    # the cash is a fraction of the unadjusted close of the ex-date (none without a close)
    close = _store.values_at("prices", "close", ev_iid, ev_day)
    paid = (cash > 0) & (close > 0)
    ratio = split + np.divide(cash, close, out=np.zeros_like(cash), where=paid)
    running = _running_product(ev_iid, ratio)
    # The factor is constant from an instrument's first row, and from the first row on or
    # after each of its ex-dates, to the next such row: one value per stretch.
    row_key = iid.astype(np.int64)
    row_key <<= 32
    row_key += day
    row_key += 1 << 31
    at = np.searchsorted(row_key, ev_key, side="left")
    applies = at < iid.size
    applies[applies] = iid[at[applies]] == ev_iid[applies]  # else no row on or after it
    at, ev_iid, running = at[applies], ev_iid[applies], running[applies]
    keys, starts = _store.distinct_sorted(iid)
    bounds = np.union1d(starts, at)
    last = np.searchsorted(at, bounds, side="right") - 1
    owner = iid[bounds]
    own = (last >= 0) & (ev_iid[np.maximum(last, 0)] == owner)
    value = np.where(own, running[np.maximum(last, 0)], 1.0)
    if adjust_type == "pre":
        # restated back from `hi`: divided by the instrument's product up to `hi`
        ev_key = ev_key[applies]
        end = np.searchsorted(ev_key, keys.astype(np.int64) << 32 |
                              (_store.day_number(hi) + (1 << 31)), side="right") - 1
        same = (end >= 0) & (ev_iid[np.maximum(end, 0)] == keys)
        denominator = np.where(same, running[np.maximum(end, 0)], 1.0)
        value = value / denominator[np.searchsorted(keys, owner)]
    return np.repeat(value, np.diff(np.append(bounds, iid.size)))


def _corporate_actions():
    """Splits and dividends of every instrument by (iid, ex-date): the split ratio and the
    cash per share of the day, kept with the open database."""
    db = _store.database()
    found = db.cache.get("actions")
    if found is None:
        found = _store.columns(
            "WITH e AS (SELECT iid, ex_dividend_date AS day, split_coefficient_to / "
            "  split_coefficient_from AS split, 0.0 AS cash FROM splits UNION ALL SELECT iid, "
            "  ex_dividend_date, 1.0, dividend_cash_before_tax / round_lot FROM dividends) "
            "SELECT iid, CAST(day - DATE '1970-01-01' AS INTEGER) AS day, product(split) AS split,"
            " sum(cash) AS cash FROM e GROUP BY ALL ORDER BY 1, 2")
        found = db.cache["actions"] = {
            "iid": np.asarray(found["iid"], dtype=np.int64),
            "day": np.asarray(found["day"], dtype=np.int64),
            "split": _store.floats(found["split"]), "cash": _store.floats(found["cash"])}
    return found


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
