"""Local market data client: the ondrax operations answered from an SQLite database.

The database is the file named by the environment variable ONDRAX_LOCAL_DB, or, when it is
not set, a generated sample market (two years of about a hundred instruments).
Frames come indexed by (order_book_id, date); None means there is no data.
"""

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
    ids = _store.id_list(order_book_ids)
    names = _fields(fields)
    lo, hi = _store.span(start_date, end_date)
    sql = ("SELECT order_book_id, date, %s FROM prices WHERE order_book_id IN "
           "(SELECT value FROM json_each(?)) AND date BETWEEN ? AND ? AND NOT (%s) "
           "ORDER BY order_book_id, date") % (
        ", ".join(names), " AND ".join("%s IS NULL" % n for n in names))
    frame = _store.long_frame(_store.rows(sql, (_store.json_ids(ids), lo, hi)), names)
    if frame is None or adjust_type == "none":
        return frame
    factors = _adjust_factors(frame.index.get_level_values(0).unique(), hi, adjust_type)
    if factors is not None:
        scale = factors.reindex(frame.index).to_numpy()
        for name in names:
            if name in _ADJUSTED:
                frame[name] = frame[name].to_numpy() * scale
    return frame


def _adjust_factors(ids, hi, adjust_type):
    """Per (id, date) price factor: the product of s + D / P_ex over ex-dates up to the date."""
    events = _store.rows(
        "SELECT e.order_book_id, e.ex_dividend_date, SUM(e.split), SUM(e.cash), p.close "
        "FROM (SELECT order_book_id, ex_dividend_date, "
        "      split_coefficient_to / split_coefficient_from AS split, 0.0 AS cash FROM splits "
        "      UNION ALL SELECT order_book_id, ex_dividend_date, NULL, "
        "      dividend_cash_before_tax / round_lot FROM dividends) e "
        "LEFT JOIN prices p ON p.order_book_id = e.order_book_id AND p.date = e.ex_dividend_date "
        "WHERE e.order_book_id IN (SELECT value FROM json_each(?)) "
        "GROUP BY e.order_book_id, e.ex_dividend_date ORDER BY 1, 2",
        (_store.json_ids(ids),))
    if not events:
        return None
    dates = _store.rows(
        "SELECT order_book_id, date FROM prices WHERE order_book_id IN "
        "(SELECT DISTINCT value FROM json_each(?)) ORDER BY 1, 2",
        (_store.json_ids(sorted({e[0] for e in events})),))
    by_id = {}
    for oid, ex, split, cash, close in events:
        ratio = split if split is not None else 1.0
        if cash and close:
            ratio += cash / close
        by_id.setdefault(oid, []).append((ex, ratio))
    keys, values, last = [], [], {}
    for oid, day in dates:
        acc = 1.0
        for ex, ratio in by_id.get(oid, ()):
            if ex <= day:
                acc *= ratio
        keys.append((oid, day))
        values.append(acc)
        if day <= hi:
            last[oid] = acc
    index = pd.MultiIndex.from_tuples(keys, names=["order_book_id", "date"])
    index = index.set_levels(pd.to_datetime(index.levels[1]), level=1)
    factors = pd.Series(values, index=index, dtype="float64")
    if adjust_type == "pre":
        ends = pd.Series(last).reindex(factors.index.get_level_values(0)).to_numpy()
        factors = factors / ends
    return factors


def _events(table, columns, order_book_ids, start_date, end_date):
    ids = _store.id_list(order_book_ids)
    lo, hi = _store.span(start_date, end_date)
    sql = ("SELECT order_book_id, ex_dividend_date, %s FROM %s WHERE order_book_id IN "
           "(SELECT value FROM json_each(?)) AND ex_dividend_date BETWEEN ? AND ? "
           "ORDER BY order_book_id, ex_dividend_date") % (", ".join(columns), table)
    found = _store.rows(sql, (_store.json_ids(ids), lo, hi))
    if not found:
        return None
    frame = pd.DataFrame.from_records(found, columns=["order_book_id", "ex_dividend_date"]
                                      + list(columns))
    for name in ("ex_dividend_date", "book_closure_date", "payable_date"):
        if name in frame:
            frame[name] = pd.to_datetime(frame[name], format="%Y-%m-%d")
    return frame.set_index(["order_book_id", "ex_dividend_date"])


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
    day = "9999-99-99" if date is None else _store.iso(date)
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
