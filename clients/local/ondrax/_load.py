"""Import of a user's own data: one CSV file per table into a new database, all or nothing."""

import csv
import datetime
import json
import os
import re
import sqlite3

from . import _schema

#: Allowed values of the columns that name a kind of thing.
_CHOICES = {
    ("calendar", "market"): ("exchange", "interbank"),
    ("instruments", "catalogue"): ("exchange", "fund", "bond", "convertible"),
    ("industries", "standard"): ("sws", "citics"),
}
_REQUIRED_FILES = ("calendar",)
_TRUE = {"1", "true", "yes", "y", "t"}
_FALSE = {"0", "false", "no", "n", "f"}
_DATE_FORMATS = ("%Y-%m-%d", "%Y%m%d", "%Y/%m/%d")
_HINTS = {"date": " (expected YYYY-MM-DD)", "bool": " (expected true or false)"}


def _csv_columns(table):
    return [c for c in table.columns if c.kind != "json"]


#: table name -> [(column, kind, required)] as the CSV files spell them.
CSV_TABLES = {t.name: [(c.name, c.kind, c.required) for c in _csv_columns(t)]
              for t in _schema.TABLES}


class CsvError(ValueError):
    """A CSV file that cannot be loaded; names the file and, where it applies, the line."""

    def __init__(self, file, line, message):
        where = file if line is None else "%s line %d" % (file, line)
        super().__init__("%s: %s" % (where, message))
        self.file, self.line = file, line


def _parse(kind, text):
    if kind == "text":
        return text
    if kind == "date":
        for fmt in _DATE_FORMATS:
            try:
                return datetime.datetime.strptime(text, fmt).date().isoformat()
            except ValueError:
                pass
        raise ValueError("bad date %r" % text)
    if kind == "real":
        try:
            return float(text)
        except ValueError:
            raise ValueError("bad number %r" % text) from None
    if kind == "int":
        try:
            return int(text)
        except ValueError:
            raise ValueError("bad integer %r" % text) from None
    if kind == "bool":
        low = text.lower()
        if low in _TRUE:
            return 1
        if low in _FALSE:
            return 0
        raise ValueError("bad boolean %r" % text)
    raise AssertionError(kind)


_INT = re.compile(r"-?(0|[1-9][0-9]*)")
_FLOAT = re.compile(r"-?(0|[1-9][0-9]*)\.[0-9]+([eE][-+]?[0-9]+)?")


def _extra_value(text):
    # numbers become numbers; codes such as 000001 stay text
    if _INT.fullmatch(text):
        return int(text)
    if _FLOAT.fullmatch(text):
        return float(text)
    return text


def _read(conn, table, path):
    name = os.path.basename(path)
    columns = _csv_columns(table)
    with open(path, newline="", encoding="utf-8-sig") as handle:
        reader = csv.reader(handle)
        try:
            header = [h.strip() for h in next(reader)]
        except StopIteration:
            raise CsvError(name, None, "empty file (expected a header line)") from None
        except (csv.Error, UnicodeDecodeError) as exc:
            raise CsvError(name, 1, str(exc)) from None
        missing = [c.name for c in columns if c.required and c.name not in header]
        if missing:
            raise CsvError(name, 1, "missing column%s %s" % (
                "s" if len(missing) > 1 else "", ", ".join(repr(m) for m in missing)))
        dupes = sorted({h for h in header if header.count(h) > 1})
        if dupes:
            raise CsvError(name, 1, "repeated column %s" % ", ".join(map(repr, dupes)))
        position = {h: i for i, h in enumerate(header)}
        known = {c.name for c in columns}
        extras = [h for h in header if h and h not in known]
        if extras and not any(c.kind == "json" for c in table.columns):
            raise CsvError(name, 1, "unknown column%s %s (expected %s)" % (
                "s" if len(extras) > 1 else "", ", ".join(map(repr, extras)),
                ", ".join(c.name for c in columns)))
        marks = ", ".join("?" * len(table.columns))
        sql = "INSERT INTO %s VALUES (%s)" % (table.name, marks)
        count = 0
        try:
            for cells in reader:
                line = reader.line_num
                if not any(cell.strip() for cell in cells):
                    continue
                if len(cells) != len(header):
                    raise CsvError(name, line, "%d fields where the header has %d"
                                   % (len(cells), len(header)))
                try:
                    conn.execute(sql, _row(table, columns, position, extras, cells, name, line))
                except sqlite3.IntegrityError:
                    key = ", ".join(table.key or ())
                    raise CsvError(name, line, "repeats the row of an earlier line (same %s)"
                                   % key) from None
                count += 1
        except csv.Error as exc:
            raise CsvError(name, reader.line_num, str(exc)) from None
        except UnicodeDecodeError as exc:
            raise CsvError(name, reader.line_num + 1, "not UTF-8 text (%s)" % exc.reason) from None
    return count


def _row(table, columns, position, extras, cells, name, line):
    values = {}
    for col in columns:
        text = cells[position[col.name]].strip() if col.name in position else ""
        if not text:
            if col.required:
                raise CsvError(name, line, "empty %s" % col.name)
            values[col.name] = None
            continue
        try:
            value = _parse(col.kind, text)
        except ValueError as exc:
            raise CsvError(name, line, "%s in column %s%s"
                           % (exc, col.name, _HINTS.get(col.kind, ""))) from None
        allowed = _CHOICES.get((table.name, col.name))
        if allowed and value not in allowed:
            raise CsvError(name, line, "%s must be one of %s, got %r"
                           % (col.name, ", ".join(allowed), value))
        values[col.name] = value
    extra = {h: _extra_value(cells[position[h]].strip()) for h in extras
             if cells[position[h]].strip()}
    out = []
    for col in table.columns:
        out.append((json.dumps(extra, ensure_ascii=False) if extra else None)
                   if col.kind == "json" else values[col.name])
    return out


def _fsync(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def load_csv(directory, path, overwrite=False):
    """Loads <table>.csv files of `directory` into a new database at `path`.

    Returns {table: rows loaded}. Raises CsvError (file and line named) on bad input and
    FileExistsError when `path` exists and `overwrite` is false; on any failure `path` is
    left as it was.
    """
    if not os.path.isdir(directory):
        raise CsvError(directory, None, "not a directory")
    files = {}
    for entry in sorted(os.listdir(directory)):
        stem, ext = os.path.splitext(entry)
        if ext.lower() != ".csv":
            continue
        if stem not in _schema.BY_NAME:
            raise CsvError(entry, None, "unknown table (expected one of %s)"
                           % ", ".join(t + ".csv" for t in CSV_TABLES))
        files[stem] = os.path.join(directory, entry)
    for required in _REQUIRED_FILES:
        if required not in files:
            raise CsvError(required + ".csv", None, "missing (every database needs a calendar)")
    if os.path.exists(path) and not overwrite:
        raise FileExistsError("%s exists (choose a new file or overwrite it)" % path)
    partial = "%s.partial-%d" % (path, os.getpid())
    if os.path.exists(partial):
        os.remove(partial)
    conn = sqlite3.connect(partial)
    conn.execute("PRAGMA synchronous = OFF")  # made durable once, below, before the rename
    counts = {}
    try:
        with conn:  # one transaction: everything or nothing
            _schema.create_all(conn)
            for table in _schema.TABLES:
                if table.name in files:
                    counts[table.name] = _read(conn, table, files[table.name])
        conn.close()
        _fsync(partial)
        os.replace(partial, path)
    except BaseException:
        conn.close()
        if os.path.exists(partial):
            os.remove(partial)
        raise
    return counts
