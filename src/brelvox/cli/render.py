"""Screen tables, CSV files and messages of the command line.

One rule for every command: the screen shows a preview of each table (returns and weights
in percent), `--csv` writes the whole table at full precision with returns, weights and
attribution effects as fractions (0.0123 for 1.23 %); prices, yields and durations keep
their own units on both.
"""

import contextlib
import os
import sys

import numpy as np
import pandas as pd

from .errors import UserError

PROG = "brelvox-marketdata"
CSV_RULE = ("CSV files (--csv) hold the whole table, every date of the span, at full "
            "precision: returns, weights and attribution effects as fractions "
            "(0.0123 = 1.23 %), prices, yields and durations in their own units; empty "
            "cells are dates without data (outside a listing). The screen shows returns "
            "and weights in percent and a preview of large tables.")
PREVIEW_ROWS = 20
PREVIEW_COLUMNS = 12


class Output:
    """Where the command's tables and messages go; `quiet` keeps only errors, warnings
    about missing data and the names of the files written."""

    def __init__(self, quiet=False, out=None, err=None):
        self.quiet = quiet
        self.out = out or sys.stdout
        self.err = err or sys.stderr

    def line(self, text=""):
        if not self.quiet:
            print(text, file=self.out)

    def note(self, text):
        if not self.quiet:
            print("%s: note: %s" % (PROG, text), file=self.err)

    def warn(self, text):
        print("%s: warning: %s" % (PROG, text), file=self.err)

    def wrote(self, path, what=""):
        print("wrote %s%s" % (path, " (%s)" % what if what else ""), file=self.out)

    def table(self, title, frame, percent=True, digits=3, shown=None, note=""):
        """Print `title` and `shown` (default: a preview of `frame`), formatted; `percent`
        scales the float columns by 100."""
        if self.quiet:
            return
        skipped_after = None
        if shown is None:
            shown, cut = preview(frame)
            note = note or cut
            if len(shown) < len(frame):
                skipped_after = len(shown) // 2
        text = formatted(shown, percent, digits)
        if skipped_after is not None:  # a row "..." where the middle rows are left out
            lines = text.split("\n")
            at = len(lines) - len(shown) + skipped_after
            text = "\n".join(lines[:at] + ["..."] + lines[at:])
        print(file=self.out)
        print(title, file=self.out)
        print("-" * len(title), file=self.out)
        print(text, file=self.out)
        if note:
            print(note, file=self.out)


def preview(frame, rows=PREVIEW_ROWS, columns=PREVIEW_COLUMNS):
    """The first and last rows and the first columns of a large frame, and a line saying
    what was left out."""
    n_rows, n_cols = frame.shape
    shown = frame
    if n_cols > columns:
        shown = shown.iloc[:, :columns]
    if n_rows > rows:
        half = rows // 2
        shown = pd.concat([shown.iloc[:half], shown.iloc[-half:]])
    if shown is frame:
        return frame, ""
    return shown, "(showing %d of %d rows and %d of %d columns; --csv writes them all)" % (
        min(n_rows, rows), n_rows, min(n_cols, columns), n_cols)


def formatted(frame, percent=True, digits=3):
    """The frame as text: floats with `digits` decimals (times 100 when `percent`), NaN
    as an empty cell, dates as YYYY-MM-DD, Chinese text aligned."""
    shown = frame.copy()
    if isinstance(shown.index, pd.DatetimeIndex):
        shown.index = shown.index.strftime("%Y-%m-%d").rename(frame.index.name)
    if isinstance(shown.columns, pd.DatetimeIndex):
        shown.columns = shown.columns.strftime("%Y-%m-%d")
    fmt = ("{:.%df}" % digits).format

    def number(v):
        if pd.isna(v):
            return ""
        text = fmt(v)
        return text[1:] if text.startswith("-") and float(text) == 0 else text  # no "-0.000"

    for k in range(shown.shape[1]):
        col = shown.iloc[:, k]
        if pd.api.types.is_float_dtype(col):
            values = col * (100.0 if percent else 1.0)
            shown.isetitem(k, values.map(number).astype(object))
    with pd.option_context("display.unicode.east_asian_width", True, "display.width", 250,
                           "display.max_columns", 200, "display.max_rows", 1000):
        return shown.to_string()


@contextlib.contextmanager
def replacing(path, mode="w"):
    """A file to write `path` through: written under a temporary name and renamed into
    place at the end, so `path` is never half-written; an OSError is the user's error."""
    work = "%s.%d.tmp" % (path, os.getpid())
    try:
        directory = os.path.dirname(path)
        if directory:
            os.makedirs(directory, exist_ok=True)
        with open(work, mode, **({} if "b" in mode else {"encoding": "utf-8", "newline": ""})) as f:
            yield f
        os.replace(work, path)
    except OSError as exc:
        if os.path.exists(work):
            os.remove(work)
        raise UserError("cannot write %s: %s" % (path, exc.strerror or exc)) from None


def write_csv(frame, path):
    """The whole frame to `path`: floats with 12 significant digits, NaN empty, dates as
    YYYY-MM-DD. A frame of floats only goes through a vectorised writer."""
    with replacing(path) as f:
        if frame.shape[1] and all(pd.api.types.is_float_dtype(t) for t in frame.dtypes):
            _write_floats(frame, f)
        elif isinstance(frame.columns, pd.MultiIndex):
            frame.to_csv(f, float_format="%.12g", date_format="%Y-%m-%d", lineterminator="\n")
        else:
            _write_columns(frame, f)


def _labels(index):
    """Text of each label; a MultiIndex gives one CSV cell per level."""
    if isinstance(index, pd.MultiIndex):
        levels = [_labels(index.get_level_values(k)) for k in range(index.nlevels)]
        return [",".join(_quote(v) for v in row) for row in zip(*levels)]
    if isinstance(index, pd.DatetimeIndex):
        codes, days = pd.factorize(index)
        return list(np.asarray(days.strftime("%Y-%m-%d"), dtype=object)[codes])
    return [_quote(v) for v in index]


def _quote(text):
    text = str(text)
    if any(c in text for c in ',"\n\r'):
        return '"%s"' % text.replace('"', '""')
    return text


def _write_floats(frame, f):
    values = frame.to_numpy(dtype=float)
    head = [_quote(n or "") for n in frame.index.names] + _labels(frame.columns)
    f.write(",".join(head) + "\n")
    row_format = ",".join(["%.12g"] * values.shape[1])
    lines = []
    for label, row in zip(_labels(frame.index), values):
        # "%g" writes NaN as "nan", the only number text holding those letters
        lines.append(label + "," + (row_format % tuple(row)).replace("nan", ""))
        if len(lines) >= 256:
            f.write("\n".join(lines) + "\n")
            lines = []
    if lines:
        f.write("\n".join(lines) + "\n")


def _write_columns(frame, f):
    """A frame of columns of any kind, column by column: each distinct label or text
    formatted once."""
    head = [_quote(n or "") for n in frame.index.names] + [_quote(c) for c in frame.columns]
    columns = [_labels(frame.index)] + [_cells(frame.iloc[:, k]) for k in range(frame.shape[1])]
    f.write(",".join(head) + "\n")
    rows = list(map(",".join, zip(*columns)))
    for start in range(0, len(rows), 4096):
        f.write("\n".join(rows[start:start + 4096]) + "\n")


def _cells(column):
    values = column.to_numpy()
    if pd.api.types.is_float_dtype(column.dtype):
        return [("%.12g" % v).replace("nan", "") for v in values.astype(float)]
    codes, uniques = pd.factorize(column, use_na_sentinel=False)
    if isinstance(uniques, pd.DatetimeIndex):
        texts = [("" if pd.isna(u) else u.strftime("%Y-%m-%d")) for u in uniques]
    else:
        texts = [_text(u) for u in uniques]
    return list(np.asarray(texts, dtype=object)[codes])


def _text(value):
    if isinstance(value, float):
        return "" if value != value else "%.12g" % value
    if value is None or value is pd.NaT or value is pd.NA:
        return ""
    if isinstance(value, pd.Timestamp):
        return value.strftime("%Y-%m-%d")
    return _quote(value)
