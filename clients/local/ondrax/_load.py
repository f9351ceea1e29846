"""Reading a user's CSV files into staging tables: each file's cells into `stage.raw_<name>`
(a table of the scratch database beside the work file, so that a file of any size is held
on disk, compressed, not in memory), and a view `new_<name>` of them in the logical layout
with each row's record number `_rec`; every value parsed, or the file and line of the first
one that is not."""

import codecs
import csv
import json
import os
import re

import duckdb

from . import _schema

#: Allowed values of the columns that name a kind of thing.
CHOICES = {
    ("calendar", "market"): ("exchange", "interbank"),
    ("instruments", "catalogue"): ("exchange", "fund", "bond", "convertible"),
    ("industries", "standard"): ("sws", "citics"),
}
_TRUE = ("1", "true", "yes", "y", "t")
_FALSE = ("0", "false", "no", "n", "f")
_HINTS = {"date": " (expected YYYY-MM-DD)", "bool": " (expected true or false)",
          "int": " (expected a whole number that fits in 64 bits)"}


def csv_columns(table):
    return [c for c in table.columns if c.kind != "json"]


#: table name -> [(column, kind, required)] as the CSV files spell them.
CSV_TABLES = {t.name: [(c.name, c.kind, c.required) for c in csv_columns(t)]
              for t in _schema.TABLES}


class CsvError(ValueError):
    """A CSV file that cannot be loaded; names the file and, where it applies, the line."""

    def __init__(self, file, line, message):
        where = file if line is None else "%s line %d" % (file, line)
        super().__init__("%s: %s" % (where, message))
        self.file, self.line = file, line


def _sql_text(name):
    return "NULLIF(trim(%s), '')" % name


def parse_sql(kind, text):
    """SQL of a typed value from the trimmed text column `text`, NULL when empty (NULL
    when unparseable)."""
    if kind in ("text", "json"):
        return text
    if kind == "date":
        return "coalesce(%s)" % ", ".join(
            ["TRY_CAST(%s AS DATE)" % text] + ["CAST(try_strptime(%s, '%s') AS DATE)" % (text, f)
                                               for f in ("%Y%m%d", "%Y/%m/%d")])
    if kind == "real":
        return "TRY_CAST(%s AS DOUBLE)" % text
    if kind == "int":  # a cast alone would round 2.5
        return "CASE WHEN regexp_full_match(%s, '[-+]?[0-9]+') THEN TRY_CAST(%s AS BIGINT) END" \
            % (text, text)
    if kind == "bool":
        return "CASE WHEN lower(%s) IN %s THEN true WHEN lower(%s) IN %s THEN false END" % (
            text, _tuple(_TRUE), text, _tuple(_FALSE))
    raise AssertionError(kind)


def _tuple(values):
    return "(%s)" % ", ".join("'%s'" % v for v in values)


class CsvSource:
    """One CSV file: reads it into `new_<table>` and turns record numbers into lines."""

    def __init__(self, table, path):
        self.table, self.path, self.name = table, path, os.path.basename(path)
        self._lines = None

    def describe(self):
        return self.name

    def expected_rows(self):
        """Rows the file holds, estimated from its size and its first lines."""
        size = os.path.getsize(self.path)
        with open(self.path, "rb") as handle:
            head = handle.read(1 << 16)
        lines = head.count(b"\n")
        return max(0, int(size / (len(head) / lines)) - 1) if lines else 0

    def lines(self, records):
        """{record number: line number} for the given records (one pass over the file)."""
        wanted = set(records)
        if not wanted:
            return {}
        found = {}
        with open(self.path, newline="", encoding="utf-8-sig", errors="replace") as handle:
            reader = csv.reader(handle)
            next(reader, None)
            rec = 0
            for cells in reader:
                if not cells:
                    continue  # an empty line is no record
                if rec in wanted:
                    found[rec] = reader.line_num - cells_newlines(cells)
                    if len(found) == len(wanted):
                        break
                rec += 1
        return found

    def error(self, record, message):
        return CsvError(self.name, self.lines([record]).get(record), message)

    def raw(self, conn, record):
        """The text cells of one record by column name."""
        names = [c for c in self.header if c]
        row = conn.execute("SELECT %s FROM stage.raw_%s WHERE rowid = ?" % (
            ", ".join(_quote(self.position[c]) for c in names), self.table.name),
            [record]).fetchone()
        return dict(zip(names, row))

    # --- reading ---------------------------------------------------------------------------

    def _read_header(self):
        with open(self.path, "rb") as handle:
            first = next(binary_lines(handle), b"")
        try:
            text = first.decode("utf-8-sig")
        except UnicodeDecodeError:
            raise CsvError(self.name, 1, _NOT_UTF8) from None
        if not text.strip():
            raise CsvError(self.name, None, "empty file (expected a header line)")
        header = [h.strip() for h in next(csv.reader([text]))]
        if len(header) == 1:
            for sep, what in ((";", "semicolons"), ("\t", "tabs")):
                if sep in header[0]:
                    raise CsvError(self.name, 1, "the header is one column %r: the file is "
                                   "separated by %s; save it with commas between columns"
                                   % (header[0], what))
        return header

    def _check_header(self, header):
        columns = csv_columns(self.table)
        missing = [c.name for c in columns if c.required and c.name not in header]
        if missing:
            raise CsvError(self.name, 1, "missing column%s %s" % (
                "s" if len(missing) > 1 else "", ", ".join(repr(m) for m in missing)))
        dupes = sorted({h for h in header if h and header.count(h) > 1})
        if dupes:
            raise CsvError(self.name, 1, "repeated column %s" % ", ".join(map(repr, dupes)))
        known = {c.name for c in columns}
        extras = [h for h in header if h and h not in known]
        if extras and not any(c.kind == "json" for c in self.table.columns):
            raise CsvError(self.name, 1, "unknown column%s %s (expected %s)" % (
                "s" if len(extras) > 1 else "", ", ".join(map(repr, extras)),
                ", ".join(c.name for c in columns)))
        return extras

    def stage(self, conn):
        """Creates new_<table> (typed, with _rec); returns its row count. Raises CsvError
        naming the line of the first value that cannot be loaded."""
        self.header = header = self._read_header()
        self.extras = self._check_header(header)
        # positional column names: the header's own may be anything
        self.position = {h: "c%d" % i for i, h in enumerate(header)}
        # Dates and numbers parsed by the CSV reader itself is the quick way; on any doubt
        # the file is read again as text, which finds the exact value to report.
        try:
            rows, bad = self._read(conn, typed=True)
            if not bad:
                return rows
        except duckdb.Error:
            pass
        self._drop(conn)
        rows, bad = self._read(conn, typed=False)
        if not bad:
            return rows
        record, which = conn.execute("SELECT _rec, _bad FROM new_%s WHERE _bad > 0 ORDER BY "
                                     "_rec LIMIT 1" % self.table.name).fetchone()
        raise self._value_error(conn, record, which)

    def unstage(self, conn):
        self._drop(conn)

    def _drop(self, conn):
        conn.execute("DROP VIEW IF EXISTS new_%s" % self.table.name)
        conn.execute("DROP TABLE IF EXISTS stage.raw_%s" % self.table.name)

    def _read(self, conn, typed):
        """Reads the file into stage.raw_<table> and the view new_<table>; (rows, rows with
        a value that cannot be loaded)."""
        name, header = self.table.name, self.header
        kinds = {self.position[c.name]: c.kind for c in csv_columns(self.table)
                 if c.name in self.position}
        native = {"date": "DATE", "real": "DOUBLE"} if typed else {}
        column_types = "{%s}" % ", ".join(
            "'c%d': '%s'" % (i, native.get(kinds.get("c%d" % i), "VARCHAR"))
            for i in range(len(header)))
        typed_cols, problems = [], []
        for col in csv_columns(self.table):
            if col.name not in self.position:
                typed_cols.append("NULL::%s AS %s" % (_schema.SQL_TYPES[col.kind], col.name))
                continue
            raw = self.position[col.name]
            value = raw if col.kind in native else parse_sql(col.kind, raw)
            present = "%s IS NOT NULL" % raw
            typed_cols.append("%s AS %s" % (value, col.name))
            if col.required:
                problems.append("NOT (%s)" % present)
            if value != raw:  # else parsed by the reader: present means parsed
                problems.append("(%s AND %s IS NULL)" % (present, value))
            elif not typed:
                problems.append("false")  # keeps the numbering _value_error follows
            if col.kind == "real":
                problems.append("NOT isfinite(%s)" % value)
            allowed = CHOICES.get((name, col.name))
            if allowed:
                problems.append("%s NOT IN %s" % (value, _tuple(allowed)))
        if any(c.kind == "json" for c in self.table.columns):
            typed_cols.append("%s AS extra" % (self._extra_sql(self.extras) if self.extras
                                                else "NULL"))
        # Text cells are trimmed, blanks made NULL, and each record's first problem found
        # while the file is read, in parallel; the stored order is the file's, so a row's
        # rowid is its record number.
        cells = ", ".join(
            "c%d" % i if kinds.get("c%d" % i) in native else
            "%s AS c%d" % (_sql_text("c%d" % i), i) for i in range(len(header)))
        blank = " AND ".join("c%d IS NULL" % i for i in range(len(header)))
        # The text reading stores which check each record fails first, for the message; the
        # typed reading (the usual case: every value fine) only counts the records with a
        # problem, as every column written costs more than a scan
        extra = ", %s AS _bad, %s AS _blank" % (_first_true(problems), blank) if not typed else ""
        try:
            conn.execute(
                "CREATE TABLE stage.raw_%s AS SELECT *%s FROM (SELECT %s FROM read_csv(?, "
                "header = true, delim = ',', quote = '\"', escape = '\"', columns = %s, "
                "auto_detect = false, strict_mode = true, null_padding = false%s))"
                % (name, extra, cells, column_types,
                   ", dateformat = '%Y-%m-%d'" if typed else ""), [self.path])
        except duckdb.Error as exc:
            if typed:
                raise
            raise self._structure_error(exc) from None
        if typed:
            rows, blanks, bad = conn.execute(
                "SELECT count(*), count(*) FILTER (WHERE %s), count(*) FILTER (WHERE NOT (%s) "
                "AND (%s)) FROM stage.raw_%s" % (blank, blank, " OR ".join(
                    ["false"] + ["coalesce(%s, false)" % p for p in problems]), name)).fetchone()
            keep = "WHERE NOT (%s)" % blank if blanks else ""
            conn.execute("CREATE TEMP VIEW new_%s AS SELECT rowid AS _rec, %s, 0 AS _bad FROM "
                         "stage.raw_%s %s" % (name, ", ".join(typed_cols), name, keep))
            return rows - blanks, bad
        conn.execute(
            "CREATE TEMP VIEW new_%s AS SELECT rowid AS _rec, %s, _bad FROM stage.raw_%s "
            "WHERE NOT _blank" % (name, ", ".join(typed_cols), name))
        return conn.execute("SELECT count(*), count(*) FILTER (WHERE _bad > 0) FROM new_%s"
                            % name).fetchone()

    def _extra_sql(self, extras):
        # further columns become attributes: numbers as numbers, codes such as 000001 as text
        parts = []
        for h in extras:
            text = self.position[h]
            number = ("CASE WHEN regexp_full_match(%s, '-?(0|[1-9][0-9]*)') THEN "
                      "to_json(TRY_CAST(%s AS BIGINT)) WHEN regexp_full_match(%s, "
                      "'-?(0|[1-9][0-9]*)\\.[0-9]+([eE][-+]?[0-9]+)?') THEN "
                      "to_json(CAST(%s AS DOUBLE)) ELSE to_json(%s) END" % (
                          text, text, text, text, text))
            parts.append("CASE WHEN %s IS NOT NULL THEN '%s:' || %s END" % (
                text, json.dumps(h, ensure_ascii=False).replace("'", "''"), number))
        listed = "concat_ws(', ', %s)" % ", ".join(parts)  # empty cells are left out
        return "CASE WHEN %s <> '' THEN '{' || %s || '}' END" % (listed, listed)

    def _value_error(self, conn, record, which):
        """The message of the first failing check of a record (same order as in stage)."""
        cells = self.raw(conn, record)
        name = self.table.name
        k = 0
        for col in csv_columns(self.table):
            if col.name not in self.position:
                continue
            text = (cells.get(col.name) or "").strip()
            checks = []
            if col.required:
                checks.append("empty %s" % col.name)
            checks.append("bad %s %r in column %s%s" % (_KIND_WORD[col.kind], text, col.name,
                                                        _HINTS.get(col.kind, "")))
            if col.kind == "real":
                checks.append("%r in column %s is not a finite number" % (text, col.name))
            allowed = CHOICES.get((name, col.name))
            if allowed:
                checks.append("%s must be one of %s, got %r" % (col.name, ", ".join(allowed), text))
            if which <= k + len(checks):
                return self.error(record, checks[which - k - 1])
            k += len(checks)
        raise AssertionError(which)

    def _structure_error(self, exc):
        """The first line that is not UTF-8 or has the wrong number of fields; else DuckDB's
        own first line."""
        decoder = codecs.getincrementaldecoder("utf-8-sig")()
        with open(self.path, "rb") as handle:
            for number, line in enumerate(binary_lines(handle), 1):
                try:
                    decoder.decode(line)
                except UnicodeDecodeError:
                    return CsvError(self.name, number, _NOT_UTF8)
        width = len(self.header)
        with open(self.path, newline="", encoding="utf-8-sig") as handle:
            reader = csv.reader(handle)
            try:
                for cells in reader:
                    if cells and len(cells) != width:
                        return CsvError(self.name, reader.line_num - cells_newlines(cells),
                                        "%d fields where the header has %d" % (len(cells), width))
            except csv.Error as err:
                return CsvError(self.name, reader.line_num, str(err))
        text = str(exc).strip().splitlines()
        line = re.search(r"Line: (\d+)", str(exc))
        return CsvError(self.name, int(line.group(1)) if line else None,
                        text[0] if text else type(exc).__name__)


_NOT_UTF8 = "not UTF-8 text; save the file as UTF-8 (in a spreadsheet: CSV UTF-8) and load it again"
_KIND_WORD = {"text": "text", "date": "date", "real": "number", "int": "integer", "bool": "boolean"}


def binary_lines(handle):
    """The lines of a binary file, each with its ending, whichever ending the file uses: CR
    LF, LF, or CR alone (old Mac files)."""
    rest = b""
    while True:
        chunk = handle.read(1 << 20)
        if not chunk:
            break
        rest += chunk
        start = 0
        while True:
            cr, lf = rest.find(b"\r", start), rest.find(b"\n", start)
            if cr < 0 and lf < 0:
                break
            if lf >= 0 and (cr < 0 or lf < cr):
                end = lf + 1
            elif cr + 1 < len(rest):
                end = cr + 2 if rest[cr + 1:cr + 2] == b"\n" else cr + 1
            else:
                break  # a CR at the end of the chunk: its LF may follow
            yield rest[start:end]
            start = end
        rest = rest[start:]
    if rest:
        yield rest


def cells_newlines(cells):
    # a quoted cell may span lines: the record starts that many lines earlier
    return sum(cell.count("\n") for cell in cells)


def _first_true(conditions):
    """SQL: 1-based index of the first true condition, 0 when none."""
    if not conditions:
        return "0"
    return "CASE %s ELSE 0 END" % " ".join(
        "WHEN coalesce(%s, false) THEN %d" % (c, k + 1) for k, c in enumerate(conditions))


def _quote(name):
    return '"%s"' % name


def find_files(directory):
    """{table: path} of the CSV files of a directory; every name must be a table's."""
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
        # absolute: never read as a URL such as s3://
        files[stem] = os.path.abspath(os.path.join(directory, entry))
    return files
