"""Holdings: a portfolio's positions at the close of each holdings date.

A CSV file or a frame with the columns `date`, `order_book_id` and one of `weight` (a
fraction of the portfolio; negative for a short position) or `quantity` (shares, contracts,
bonds of 100 face, fund units, or an amount of cash). Other columns are ignored. Each row is
a position at the close of its date, held until the next holdings date.
"""

import csv
import datetime
import math
import os
from dataclasses import dataclass

import numpy as np
import pandas as pd

from .errors import HoldingsError

KINDS = ("weight", "quantity")
REQUIRED = ("date", "order_book_id")
DATE_FORMATS = ("%Y-%m-%d", "%Y%m%d", "%Y/%m/%d")


@dataclass(eq=False)
class Holdings:
    """Positions as parsed: `frame` has the columns date (Timestamp), order_book_id (str),
    amount (float: the weight or the quantity) and line (where each row came from); `kind`
    is "weight" or "quantity"; `source` names the file (or "holdings" for a frame)."""

    frame: pd.DataFrame
    kind: str
    source: str
    rows_are_lines: bool = True

    @property
    def name(self):
        """The portfolio's name: the file's name without its extension."""
        base = os.path.basename(self.source)
        return os.path.splitext(base)[0] or base

    @property
    def dates(self):
        return pd.DatetimeIndex(sorted(self.frame["date"].unique()), name="date")

    @property
    def ids(self):
        return list(dict.fromkeys(self.frame["order_book_id"]))

    def until(self, day):
        """The holdings of the dates up to `day`."""
        kept = self.frame[self.frame["date"] <= day]
        return Holdings(kept.reset_index(drop=True), self.kind, self.source, self.rows_are_lines)

    def where(self, line):
        """'file line N' (or 'holdings row N') for error messages."""
        return "%s %s %d" % (os.path.basename(self.source), "line" if self.rows_are_lines
                             else "row", line)

    def first_line(self, mask):
        """The line of the first row where `mask` holds."""
        return int(self.frame["line"].to_numpy()[np.flatnonzero(np.asarray(mask))[0]])

    def error(self, line, text):
        exc = HoldingsError("%s: %s" % (self.where(line), text))
        exc.source = self.source
        return exc


def read_holdings(source):
    """Holdings from a CSV file's path, a DataFrame, or Holdings (returned as they are).
    Every row is checked: a readable date, an id, a finite number; a (date, id) pair may
    appear once. The error names the file and line."""
    if isinstance(source, Holdings):
        return source
    if isinstance(source, pd.DataFrame):
        return _from_frame(source)
    if isinstance(source, (str, os.PathLike)):
        return _from_csv(os.fspath(source))
    raise TypeError("holdings must be a CSV file's path or a DataFrame, not %s"
                    % type(source).__name__)


def parse_day(text):
    text = text.strip()
    for fmt in DATE_FORMATS:
        try:
            return pd.Timestamp(datetime.datetime.strptime(text, fmt))
        except ValueError:
            pass
    return None


def _from_csv(path):
    name = os.path.basename(path)
    try:
        with open(path, encoding="utf-8-sig", newline="") as f:
            rows = list(_numbered_rows(f, name))
    except FileNotFoundError:
        raise HoldingsError("%s: no such file" % path) from None
    except IsADirectoryError:
        raise HoldingsError("%s is a directory, not a holdings file" % path) from None
    except OSError as exc:
        raise HoldingsError("%s: cannot read: %s" % (path, exc.strerror or exc)) from None
    if not rows:
        raise HoldingsError("%s is empty: expected a header with date, order_book_id and "
                            "weight or quantity" % name)
    header_line, header = rows[0]
    columns = [c.strip().lower() for c in header]
    kind = _kind_of(columns, "%s line %d" % (name, header_line))
    at = {c: columns.index(c) for c in REQUIRED + (kind,)}
    records = []
    for line, row in rows[1:]:
        if not any(cell.strip() for cell in row):
            continue
        if len(row) != len(columns):
            raise HoldingsError("%s line %d: %d fields where the header has %d"
                                % (name, line, len(row), len(columns)))
        records.append((line, row[at["date"]], row[at["order_book_id"]], row[at[kind]]))
    return _checked(records, kind, path, True)


def _numbered_rows(f, name):
    reader = csv.reader(f)
    try:
        for row in reader:
            yield reader.line_num, row
    except (csv.Error, UnicodeDecodeError) as exc:
        raise HoldingsError("%s line %d: unreadable (%s); save it as UTF-8 CSV"
                            % (name, reader.line_num + 1, exc)) from None


def _kind_of(columns, where):
    missing = [c for c in REQUIRED if c not in columns]
    present = [k for k in KINDS if k in columns]
    if missing or not present:
        need = missing + ([] if present else ["weight or quantity"])
        raise HoldingsError("%s: no column %s (the columns are date, order_book_id and "
                            "weight or quantity)" % (where, ", ".join(need)))
    if len(present) > 1:
        raise HoldingsError("%s: both weight and quantity columns; give one" % where)
    repeated = sorted({c for c in columns if columns.count(c) > 1 and c in REQUIRED + KINDS})
    if repeated:
        raise HoldingsError("%s: repeated column %s" % (where, ", ".join(repeated)))
    return present[0]


def _from_frame(frame):
    columns = [str(c).strip().lower() for c in frame.columns]
    kind = _kind_of(columns, "holdings frame")
    pick = {c: frame.iloc[:, columns.index(c)] for c in REQUIRED + (kind,)}
    records = []
    for k, (day, oid, amount) in enumerate(zip(pick["date"], pick["order_book_id"], pick[kind])):
        records.append((k + 1, day, oid, amount))
    return _checked(records, kind, "holdings", False)


def _checked(records, kind, source, lines):
    holdings = Holdings(pd.DataFrame(), kind, source, lines)
    if not records:
        raise HoldingsError("%s holds no positions" % os.path.basename(source))
    days, ids, amounts, where = [], [], [], []
    seen = {}
    for line, day, oid, amount in records:
        when = _day(day)
        if when is None:
            raise holdings.error(line, "bad date %r (expected YYYY-MM-DD)" % (day,))
        if not isinstance(oid, str) or not oid.strip():
            raise holdings.error(line, "no order_book_id")
        oid = oid.strip()
        value = _number(amount)
        if value is None:
            raise holdings.error(line, "%s %r is not a number" % (kind, amount)
                                 if str(amount).strip() else "no %s" % kind)
        key = (when, oid)
        if key in seen:
            raise holdings.error(line, "%s on %s repeats %s" % (
                oid, when.date(), holdings.where(seen[key])))
        seen[key] = line
        days.append(when)
        ids.append(oid)
        amounts.append(value)
        where.append(line)
    holdings.frame = pd.DataFrame({"date": pd.DatetimeIndex(days), "order_book_id": ids,
                                   "amount": np.array(amounts, dtype=float), "line": where})
    return holdings


def _day(value):
    if isinstance(value, str):
        return parse_day(value)
    if isinstance(value, (datetime.date, np.datetime64, pd.Timestamp)) and not pd.isna(value):
        day = pd.Timestamp(value)
        if day.tz is not None:
            day = day.tz_localize(None)
        return day if day == day.normalize() else None
    return None


def _number(value):
    if isinstance(value, bool):
        return None
    if isinstance(value, str):
        try:
            value = float(value.strip())
        except ValueError:
            return None
    try:
        value = float(value)
    except (TypeError, ValueError):
        return None
    return value if math.isfinite(value) else None
