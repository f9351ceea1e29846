"""Where the database lives, the shared read-only connection, and argument conversion."""

import datetime
import json
import os
import sqlite3
import tempfile
import threading

import numpy as np
import pandas as pd

from . import _sample, _schema

#: The one setting of the local client: path of the SQLite database to answer from.
ENV_VAR = "ONDRAX_LOCAL_DB"

_SAMPLE_NAME = "sample-v%s.%d.sqlite" % (_schema.FORMAT_VERSION, _sample.REVISION)


class LocalDataError(RuntimeError):
    """The database is missing, unreadable or not one this client wrote."""


_lock = threading.Lock()
_conn = None
_conn_path = None


def _cache_dirs():
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    yield os.path.join(base, "ondrax-local")
    yield os.path.join(tempfile.gettempdir(), "ondrax-local-%s" % getattr(os, "getuid", lambda: 0)())


def sample_path():
    """Path of the bundled sample, generated there on first use."""
    for directory in _cache_dirs():
        path = os.path.join(directory, _SAMPLE_NAME)
        if os.path.exists(path):
            return path
    last_error = None
    for directory in _cache_dirs():
        try:
            os.makedirs(directory, exist_ok=True)
            path = os.path.join(directory, _SAMPLE_NAME)
            _sample.write(path)
            return path
        except OSError as exc:
            last_error = exc
    raise LocalDataError("cannot write the sample database: %s" % last_error)


def database_path():
    """The database in use: $ONDRAX_LOCAL_DB when set, else the bundled sample."""
    path = os.environ.get(ENV_VAR)
    return path if path else sample_path()


def connection():
    """The shared connection, reopened when the configured path changes."""
    global _conn, _conn_path
    path = os.environ.get(ENV_VAR) or None
    with _lock:
        if _conn is not None and _conn_path == (path or "<sample>"):
            return _conn
        real = path if path else sample_path()
        if not os.path.isfile(real):
            raise LocalDataError("no database at %s (set %s to a file made by the load command)"
                                 % (real, ENV_VAR))
        try:
            conn = sqlite3.connect("file:%s?mode=ro" % _uri_path(real), uri=True,
                                   check_same_thread=False)
            version = conn.execute("SELECT value FROM meta WHERE key = 'format'").fetchone()
        except sqlite3.DatabaseError as exc:
            raise LocalDataError("%s is not an ondrax local database (%s)" % (real, exc)) from None
        if version is None or version[0] != _schema.FORMAT_VERSION:
            conn.close()
            raise LocalDataError("%s has an unsupported format version" % real)
        if _conn is not None:
            _conn.close()
        _conn, _conn_path = conn, path or "<sample>"
        return conn


def _uri_path(path):
    return os.path.abspath(path).replace("?", "%3f").replace("#", "%23")


def rows(sql, params=()):
    return connection().execute(sql, params).fetchall()


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


def iso(value, what="date"):
    return to_date(value, what).isoformat()


def span(start, end):
    """ISO bounds; None leaves that side open."""
    lo = iso(start, "start date") if start is not None else "0000-00-00"
    hi = iso(end, "end date") if end is not None else "9999-99-99"
    return lo, hi


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


def json_ids(ids):
    return json.dumps(list(ids))


# --- frames ----------------------------------------------------------------------------------

def long_frame(records, value_columns, level0="order_book_id", level1="date"):
    """Frame on (level0, level1) from (id, iso date, values...) tuples; None when empty."""
    if not records:
        return None
    frame = pd.DataFrame.from_records(records, columns=[level0, level1] + list(value_columns))
    frame[level1] = pd.to_datetime(frame[level1], format="%Y-%m-%d")
    for name in value_columns:
        frame[name] = frame[name].astype("float64")
    return frame.set_index([level0, level1])
