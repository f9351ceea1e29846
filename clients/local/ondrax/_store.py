"""Where the database lives, the shared read-only connection, argument conversion, and
answers built from column arrays."""

import atexit
import datetime
import os
import tempfile
import threading

import duckdb
import numpy as np
import pandas as pd

from . import _sample, _schema

#: The one setting of the local client: path of the database to answer from.
ENV_VAR = "ONDRAX_LOCAL_DB"

_SAMPLE_NAME = "sample-v%s.%d.duckdb" % (_schema.FORMAT_VERSION, _sample.REVISION)
_RELOAD = "load its CSV files again with `brelvox-marketdata load CSV_DIR NEW.duckdb`"
_EPOCH = datetime.date(1970, 1, 1)
_DAY_NS = 86_400 * 10**9


class LocalDataError(RuntimeError):
    """The database is missing, unreadable or not one this client wrote."""


class _Open:
    """One opened database: its connection and what every answer needs of it."""

    def __init__(self, path, conn, stamp):
        self.path, self.conn, self.stamp = path, conn, stamp
        ids = conn.execute("SELECT order_book_id FROM instruments ORDER BY iid").fetchnumpy()
        #: order_book_id by iid (iid is the id's rank, so this is sorted)
        self.ids = np.asarray(ids["order_book_id"], dtype=object)
        self.id_index = pd.Index(self.ids)
        self.cache = {}


_lock = threading.RLock()
_current = None
_current_key = None


@atexit.register
def _close():
    global _current
    with _lock:
        if _current is not None:
            _current.conn.close()
            _current = None


def _cache_dirs():
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    yield os.path.join(base, "ondrax-local")
    yield os.path.join(tempfile.gettempdir(), "ondrax-local-%s" % getattr(os, "getuid", lambda: 0)())


def sample_path():
    """Path of the bundled sample, generated there on first use."""
    from . import _build
    return cached_file(_SAMPLE_NAME, lambda path: _build.write_sample(path, overwrite=False),
                       "the sample database")


def cached_file(name, write, what):
    """`name` in the first cache directory holding it, else written by `write(path)` into
    the first one that can be written."""
    for directory in _cache_dirs():
        path = os.path.join(directory, name)
        if os.path.exists(path):
            return path
    last_error = None
    for directory in _cache_dirs():
        path = os.path.join(directory, name)
        try:
            os.makedirs(directory, exist_ok=True)
            if not os.path.exists(path):  # another process may have just written it
                write(path)
            return path
        except FileExistsError:
            return path
        except OSError as exc:
            last_error = exc
    raise LocalDataError("cannot write %s: %s" % (what, last_error))


def database_path():
    """The database in use: $ONDRAX_LOCAL_DB when set, else the bundled sample."""
    path = os.environ.get(ENV_VAR)
    return path if path else sample_path()


def _stamp(path):
    try:
        info = os.stat(path)
    except OSError:
        return None
    return info.st_ino, info.st_size, info.st_mtime_ns


def _opened():
    """The database in use, reopened when the configured path or the file changes (a load
    renames a new file into place)."""
    global _current, _current_key
    path = os.environ.get(ENV_VAR) or None
    with _lock:
        real = path if path else sample_path()
        stamp = _stamp(real)
        if _current is not None and _current_key == (path, stamp):
            return _current
        if _current is not None:
            _current.conn.close()
            _current = None
        _current = open_database(real, stamp)
        _current_key = (path, stamp)
        return _current


def check_header(path, shown=None):
    """Raises LocalDataError for a file that cannot be a database of this client."""
    read, path = path, shown or path
    try:
        with open(read, "rb") as handle:
            head = handle.read(16)
    except IsADirectoryError:
        raise LocalDataError("%s is a directory, not a database" % path) from None
    except OSError as exc:
        raise LocalDataError("cannot read %s: %s" % (path, exc.strerror or exc)) from None
    if head.startswith(b"SQLite format 3\0"):
        raise LocalDataError("%s was written by an earlier version of this client (SQLite); %s"
                             % (path, _RELOAD))
    if head[8:12] != b"DUCK":
        raise LocalDataError("%s is not an ondrax local database (make one with the load "
                             "command)" % path)


def check_meta(conn, path):
    """Raises LocalDataError unless the open database is one this client writes now."""
    try:
        meta = dict(conn.execute("SELECT key, value FROM meta").fetchall())
    except duckdb.CatalogException:
        meta = {}
    if meta.get("client") != _schema.CLIENT:
        raise LocalDataError("%s is a DuckDB file but not an ondrax local database (make one "
                             "with the load command)" % path)
    if meta.get("format") != _schema.FORMAT_VERSION:
        raise LocalDataError("%s has format %s; this client reads format %s: %s"
                             % (path, meta.get("format"), _schema.FORMAT_VERSION, _RELOAD))


def open_database(path, stamp=None):
    if stamp is None and not os.path.exists(path):
        raise LocalDataError("no database at %s (set %s to a file made by the load command)"
                             % (path, ENV_VAR))
    if not os.path.isfile(path):
        raise LocalDataError("no database at %s (set %s to a file made by the load command)"
                             % (path, ENV_VAR))
    check_header(path)
    try:
        # an absolute path: never read as a URI or a special name such as :memory:
        conn = duckdb.connect(os.path.abspath(path), read_only=True)
    except duckdb.Error as exc:
        raise LocalDataError("%s is damaged or was written by another DuckDB version (%s); %s"
                             % (path, _first_line(exc), _RELOAD)) from None
    try:
        check_meta(conn, path)
        return _Open(path, conn, stamp)
    except duckdb.Error as exc:
        conn.close()
        raise LocalDataError("%s is damaged (%s); %s" % (path, _first_line(exc), _RELOAD)) from None
    except BaseException:
        conn.close()
        raise


def _first_line(exc):
    text = str(exc).strip().splitlines()
    return text[0] if text else type(exc).__name__


def database():
    return _opened()


def lock():
    """The lock that orders the use of the shared connection and its caches."""
    return _lock


def query(sql, params=None, how="fetchall"):
    """Runs one statement on the database in use: rows as tuples (fetchall), a dict of
    column arrays (fetchnumpy) or a DataFrame (df)."""
    db = _opened()
    with _lock:  # one statement at a time on the shared connection
        try:
            return getattr(db.conn.execute(sql, list(params or ())), how)()
        except (duckdb.BinderException, duckdb.ParserException):
            raise  # a fault of the statement, not of the file
        except duckdb.Error as exc:
            raise LocalDataError("reading %s failed (%s); the file may be damaged: %s"
                                 % (db.path, _first_line(exc), _RELOAD)) from None


def rows(sql, params=None):
    return query(sql, params)


def columns(sql, params=None):
    return query(sql, params, "fetchnumpy")


# --- arguments -------------------------------------------------------------------------------

def to_date(value, what="date"):
    """A datetime.date from the date-like values callers pass (str, int 20240102, dates...)."""
    if isinstance(value, datetime.datetime):
        return value.date()
    if isinstance(value, datetime.date):
        return value
    if isinstance(value, (int, np.integer)) and not isinstance(value, bool):
        text = str(int(value))
        if len(text) == 8:
            try:
                return datetime.date(int(text[:4]), int(text[4:6]), int(text[6:]))
            except ValueError:
                pass
        raise ValueError("invalid %s: %r" % (what, value))
    if isinstance(value, (str, np.datetime64, pd.Timestamp)):
        try:
            stamp = pd.Timestamp(value)
        except (ValueError, TypeError):
            stamp = None
        if stamp is not None and stamp is not pd.NaT:
            return stamp.date()
    raise ValueError("invalid %s: %r" % (what, value))


_LOW, _HIGH = datetime.date(1, 1, 1), datetime.date(9999, 12, 31)


def span(start, end):
    """datetime.date bounds; None leaves that side open."""
    lo = to_date(start, "start date") if start is not None else _LOW
    hi = to_date(end, "end date") if end is not None else _HIGH
    return lo, hi


def day_number(day):
    return (day - _EPOCH).days


def id_list(order_book_ids):
    """A list of str ids from one id or an iterable of them (a pandas Index included)."""
    if isinstance(order_book_ids, str):
        return [order_book_ids]
    try:
        out = list(order_book_ids)
    except TypeError:
        raise ValueError("order_book_ids must be a str or a list of str, got %r"
                         % (order_book_ids,)) from None
    for item in out:
        if not isinstance(item, str):
            raise ValueError("order_book_ids must be str, got %r" % (item,))
    return out


def one_id(order_book_id, what="order_book_id"):
    if not isinstance(order_book_id, str):
        raise ValueError("%s must be a str, got %r" % (what, order_book_id))
    return order_book_id


def iids(order_book_ids):
    """Sorted distinct integer keys of the known ids among `order_book_ids`."""
    ids = id_list(order_book_ids)
    found = _opened().id_index.get_indexer(pd.Index(ids, dtype=object))
    return np.unique(found[found >= 0]).astype(np.int32)


def iid_filter(keys, column="iid"):
    """WHERE clause and its parameters selecting the keys (sorted, distinct)."""
    # a contiguous run of keys (every instrument, say) is a range the zone maps can skip by
    if int(keys[-1]) - int(keys[0]) + 1 == keys.size:
        return "%s BETWEEN ? AND ?" % column, [int(keys[0]), int(keys[-1])]
    return "%s IN (SELECT unnest(?::INTEGER[]))" % column, [keys.tolist()]


#: Tables of at most this many rows keep the columns asked for in memory once read, so that
#: repeated requests over a market are a selection of arrays rather than a scan.
CACHED_ROWS = 20_000_000


def _cached_columns(table, names, date):
    """{"iid", "day", name...} of the whole table (stored order: by iid then date), or None
    when the table is too large to hold in memory."""
    db = _opened()
    with _lock:
        keys = db.cache.get((table, "keys"))
        if keys is None:
            count = query("SELECT count(*) FROM %s" % table)[0][0]
            if count > CACHED_ROWS:
                db.cache[(table, "keys")] = False
                return None
            # rows are stored sorted by key then date: read in row order, sorted only when
            # they are not
            found = columns("SELECT rowid, iid, CAST(%s - DATE '1970-01-01' AS INTEGER) AS day "
                            "FROM %s" % (date, table))
            iid = np.asarray(found["iid"], dtype=np.int32)
            day = np.asarray(found["day"], dtype=np.int32)
            key = iid.astype(np.int64) << 32 | day.astype(np.int64) + (1 << 31)
            order = None if bool(np.all(key[1:] >= key[:-1])) else np.argsort(key, kind="stable")
            rowid = np.asarray(found["rowid"], dtype=np.int64)
            db.cache[(table, "order")] = rowid if order is None else rowid[order]
            if order is not None:
                iid, day = iid[order], day[order]
            keys = db.cache[(table, "keys")] = (iid, day)
            days = np.unique(keys[1])
            db.cache[(table, "days")] = days
            db.cache[(table, "day codes")] = np.searchsorted(days, keys[1]).astype(
                _code_type(days.size))
            db.cache[(table, "first day")] = int(days[0]) if days.size else 0
            db.cache[(table, "last day")] = int(days[-1]) if days.size else 0
        if keys is False:
            return None
        missing = [n for n in names if (table, n) not in db.cache]
        if missing:
            found = columns("SELECT rowid, %s FROM %s" % (", ".join(missing), table))
            # the rows in the order of the keys, by their row ids
            position = np.empty(len(found["rowid"]), dtype=np.int64)
            position[np.asarray(found["rowid"], dtype=np.int64)] = np.arange(position.size)
            take = position[db.cache[(table, "order")]]
            in_order = bool(np.all(take == np.arange(take.size)))
            for n in missing:
                db.cache[(table, n)] = floats(found[n]) if in_order else floats(found[n])[take]
                db.cache[(table, n, "gaps")] = bool(np.isnan(db.cache[(table, n)]).any())
        out = {"iid": keys[0], "day": keys[1], "day codes": db.cache[(table, "day codes")]}
        out.update((n, db.cache[(table, n)]) for n in names)
        return out


def by_instrument(table, names, order_book_ids, start, end, date="date", derived=None):
    """(iid, day, [float arrays], day codes or None, {derived name: array}) of the rows of
    `table` for the ids in the span, sorted by instrument and date, without the rows where
    every named column is empty; arrays the caller owns. `derived` maps names to functions
    of the whole table's {"iid", "day"} giving a column computed once when the table is
    kept in memory (the dict returned is empty when it is not)."""
    keys = iids(order_book_ids)
    lo, hi = span(start, end)
    if keys.size == 0:
        return None
    cached = _cached_columns(table, names, date)
    if cached is None:
        return _by_instrument_query(table, names, keys, lo, hi, date)
    iid, day, codes = cached["iid"], cached["day"], cached["day codes"]
    first = np.searchsorted(iid, keys, "left")
    last = np.searchsorted(iid, keys, "right")
    extra = []
    for name, compute in (derived or {}).items():
        with _lock:
            if (table, name) not in _opened().cache:
                _opened().cache[(table, name)] = compute(cached)
        extra.append(_opened().cache[(table, name)])
    columns_ = [iid, day, codes] + [cached[n] for n in names] + extra
    mask = None
    if int(keys[-1]) - int(keys[0]) + 1 == keys.size:  # a run of keys is one run of rows
        rows = slice(int(first[0]), int(last[-1]))
        columns_ = [c[rows] for c in columns_]
    elif int((last - first).sum()) * 8 > iid.size:  # much of the table: mark its rows
        member = np.zeros(int(iid[-1]) + 1, dtype=bool)
        member[keys[keys <= iid[-1]]] = True
        mask = member[iid]
    else:
        rows = _ranges(first, last)
        columns_ = [c[rows] for c in columns_]
    db = _opened()
    day, values = columns_[1], columns_[3:3 + len(names)]
    if day_number(lo) > db.cache[(table, "first day")] or \
            day_number(hi) < db.cache[(table, "last day")]:
        inside = (day >= day_number(lo)) & (day <= day_number(hi))
        mask = inside if mask is None else mask & inside
    if names and all(db.cache[(table, n, "gaps")] for n in names):
        filled = ~np.isnan(values[0])
        for v in values[1:]:
            filled |= ~np.isnan(v)
        mask = filled if mask is None else mask & filled
    # the answer never shares memory with the cache
    columns_ = [c.copy() for c in columns_] if mask is None else [c[mask] for c in columns_]
    iid, day, codes = columns_[:3]
    values, extra = columns_[3:3 + len(names)], columns_[3 + len(names):]
    if iid.size == 0:
        return None
    return iid, day, values, (codes, db.cache[(table, "days")]), dict(zip(derived or (), extra))


def values_at(table, name, iid, day, date="date"):
    """The column `name` of the rows (iid[k], day[k]), NaN where there is none."""
    out = np.full(iid.size, np.nan)
    if iid.size == 0:
        return out
    cached = _cached_columns(table, [name], date)
    if cached is not None:
        keys = _opened().cache.get((table, "key"))
        if keys is None:
            keys = _opened().cache[(table, "key")] = \
                cached["iid"].astype(np.int64) << 32 | cached["day"]
        wanted = iid.astype(np.int64) << 32 | day
        at = np.minimum(np.searchsorted(keys, wanted), keys.size - 1)
        hit = keys[at] == wanted
        out[hit] = cached[name][at[hit]]
        return out
    found = columns("SELECT w.k, t.%s FROM (SELECT unnest(?::BIGINT[]) AS k, unnest(?::INTEGER[]) "
                    "AS iid, unnest(?::INTEGER[]) AS day) w JOIN %s t ON t.iid = w.iid AND "
                    "t.%s = DATE '1970-01-01' + w.day" % (name, table, date),
                    [list(range(iid.size)), iid.tolist(), day.tolist()])
    out[np.asarray(found["k"], dtype=np.int64)] = floats(found[name])
    return out


def _ranges(first, last):
    """Concatenated aranges [first[k], last[k])."""
    lengths = last - first
    total = int(lengths.sum())
    if total == 0:
        return np.zeros(0, dtype=np.int64)
    starts = np.repeat(first - np.concatenate(([0], np.cumsum(lengths)[:-1])), lengths)
    return starts + np.arange(total)


def _by_instrument_query(table, names, keys, lo, hi, date):
    where, params = iid_filter(keys)
    select = ", ".join(names) if names else "1 AS _"
    found = columns(
        "SELECT iid, CAST(%s - DATE '1970-01-01' AS INTEGER) AS day, %s FROM %s WHERE %s "
        "AND %s BETWEEN ? AND ?%s" % (
            date, select, table, where, date,
            " AND NOT (%s)" % " AND ".join("%s IS NULL" % n for n in names) if names else ""),
        params + [lo, hi])
    iid, day, *values = sort_rows(np.asarray(found["iid"], dtype=np.int32),
                                  np.asarray(found["day"], dtype=np.int32),
                                  *(floats(found[n]) for n in names))
    if iid.size == 0:
        return None
    return iid, day, values, None, {}


def long_frame(records, value_columns, level0="order_book_id", level1="date"):
    """Frame on (level0, level1) from a few (key, date, values...) tuples; None when empty."""
    if not records:
        return None
    keys, days, *values = zip(*records)
    index = pd.MultiIndex.from_arrays(
        [pd.Index(keys, dtype=object), pd.DatetimeIndex(np.array(days, dtype="datetime64[ns]"))],
        names=[level0, level1])
    return pd.DataFrame({n: np.array(v, dtype=np.float64) for n, v in zip(value_columns, values)},
                        index=index)


# --- answers ---------------------------------------------------------------------------------

def day_index(day_numbers, name="date"):
    """DatetimeIndex of midnights from days since 1970-01-01."""
    ns = np.asarray(day_numbers, dtype=np.int64) * _DAY_NS
    return pd.DatetimeIndex(ns.view("datetime64[ns]"), name=name)


def _runs(keys):
    """(distinct values, code per entry) of an array sorted ascending."""
    levels, starts = distinct_sorted(keys)
    codes = np.repeat(np.arange(levels.size, dtype=_code_type(levels.size)),
                      np.diff(np.append(starts, keys.size)))
    return levels, codes


def distinct_sorted(keys):
    """(distinct values, index of the first of each) of an array sorted ascending."""
    starts = np.flatnonzero(np.concatenate(([True], keys[1:] != keys[:-1]))) if keys.size \
        else np.zeros(0, dtype=np.int64)
    return keys[starts], starts


def _used(codes, levels):
    """(codes, levels) with the levels no code uses left out."""
    present = np.bincount(codes, minlength=levels.size) > 0
    if present.all():
        return codes, levels
    remap = np.cumsum(present, dtype=codes.dtype) - 1
    return remap.take(codes), levels[present]  # take: faster than indexing here


def _code_type(count):
    return np.int16 if count < 2**15 else np.int32


def _codes(values):
    """(sorted distinct values, codes) of a small-range integer array, in linear time."""
    if values.size == 0:
        return values, np.zeros(0, dtype=np.int32)
    low = int(values.min())
    present = np.bincount(values - low)
    levels = np.flatnonzero(present)
    remap = np.zeros(present.size, dtype=_code_type(levels.size))
    remap[levels] = np.arange(levels.size)
    return levels + low, remap[values - low]


def sort_rows(key, day, *others):
    """Rows sorted by (key, day); the stored order is that already, so usually no work."""
    combined = key.astype(np.int64) << 32 | (day.astype(np.int64) + (1 << 31))
    if combined.size < 2 or bool(np.all(combined[1:] >= combined[:-1])):
        return (key, day) + others
    order = np.argsort(combined, kind="stable")
    return (key[order], day[order]) + tuple(o[order] for o in others)


def id_date_frame(iid, day, values, level1="date", day_codes=None):
    """Frame on (order_book_id, level1) from sorted iid and day arrays and named value
    arrays; the MultiIndex is built from levels and codes. day_codes: (codes, days) of the
    rows' days in a sorted list of days, when known."""
    db = _opened()
    keys, id_codes = _runs(iid)
    if day_codes is None:
        days, day_codes = _codes(day)
    else:
        day_codes, days = _used(*day_codes)
    index = pd.MultiIndex(
        levels=[pd.Index(db.ids[keys], dtype=object, name="order_book_id"),
                day_index(days, level1)],
        codes=[id_codes, day_codes], names=["order_book_id", level1], verify_integrity=False)
    return pd.DataFrame(values, index=index, copy=False)


def floats(array):
    """A float64 array with NaN for SQL NULL."""
    if isinstance(array, np.ma.MaskedArray):
        return array.filled(np.nan).astype(np.float64, copy=False)
    return np.asarray(array, dtype=np.float64)
