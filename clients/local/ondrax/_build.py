"""Writing a database: CSV files or generated rows staged, checked, merged with what is
stored (for an append) and laid out for reading, in a work file renamed into place."""

import json
import os

import duckdb
import numpy as np
import pandas as pd

from . import _checks, _files, _load, _progress, _sample, _schema, _store


class LoadResult(dict):
    """{table: rows loaded}; `warnings` holds the lines about unusual but possible rows."""

    warnings = ()


def load_csv(directory, path, overwrite=False, append=False, replace=False, progress=None):
    """Loads <table>.csv files of `directory` into a new database at `path`, or with `append`
    adds them to the database there (rows that would replace stored ones only with `replace`).

    Returns a LoadResult. Raises CsvError (file and line named) on bad input, FileExistsError
    when `path` exists for a new database and `overwrite` is false, LocalDataError when the
    database to append to is not one of this client's. On any failure `path` is left as it was.
    """
    if replace and not append:
        raise ValueError("replace applies to an append")
    files = _load.find_files(directory)
    if not append and "calendar" not in files:
        raise _load.CsvError("calendar.csv", None, "missing (every database needs a calendar)")
    if not files:
        raise _load.CsvError(directory, None, "no CSV files to append")
    sources = {name: _load.CsvSource(_schema.BY_NAME[name], p) for name, p in files.items()}
    return _write(path, sources, append, replace, overwrite, progress)


def write_sample(path, seed=None, stocks=None, dates=None, overwrite=False, progress=None):
    """Writes the sample market (or one of `stocks` stocks over `dates` exchange dates) to a
    new database file at `path`."""
    book = _sample.generate(_sample.SEED if seed is None else seed, stocks, dates)
    sources = {name: RowsSource(_schema.BY_NAME[name], frame)
               for name, frame in book.frames().items()}
    return _write(path, sources, False, False, overwrite, progress)


def write_sample_holdings(path, overwrite=False):
    """Writes the sample portfolio (25 holdings as quantities at the close of 2025-06-30)
    as a holdings CSV file (date, order_book_id, quantity) at `path`."""
    if os.path.exists(path) and not overwrite:
        raise FileExistsError("%s exists" % path)
    rows = _sample.portfolio_quantities(_sample.generate(_sample.SEED))
    text = "date,order_book_id,quantity\n" + "".join(
        "%s,%s,%.15g\n" % row for row in rows)
    work = "%s.%d.tmp" % (path, os.getpid())
    with open(work, "w", encoding="utf-8", newline="") as f:
        f.write(text)
    os.replace(work, path)
    return path


def write_sample_csv(directory, seed=None, stocks=None, dates=None):
    """Writes the sample market (or a larger one, as write_sample) as the CSV files the
    load command reads, into `directory` (created when missing); returns {table: rows}."""
    book = _sample.generate(_sample.SEED if seed is None else seed, stocks, dates)
    os.makedirs(directory, exist_ok=True)
    counts = {}
    for name, frame in book.frames().items():
        if name == "instruments":  # attributes become columns of their own again
            extra = pd.DataFrame.from_records(
                [json.loads(e) if isinstance(e, str) else {} for e in frame["extra"]],
                index=frame.index)
            frame = pd.concat([frame.drop(columns="extra"), extra], axis=1)
        frame.to_csv(os.path.join(directory, name + ".csv"), index=False,
                     float_format="%.15g")
        counts[name] = len(frame)
    return counts


class RowsSource:
    """Generated rows (a frame in the logical layout) to stage; they have no file lines."""

    def __init__(self, table, frame):
        self.table, self.frame = table, frame

    def describe(self):
        return "generated %s" % self.table.name

    def expected_rows(self):
        return len(self.frame)

    def lines(self, records):
        return {}

    def error(self, record, message):
        return ValueError("generated %s row %d: %s" % (self.table.name, record, message))

    def unstage(self, conn):
        conn.execute("DROP TABLE new_%s" % self.table.name)

    def stage(self, conn):
        frame = self.frame.assign(_rec=np.arange(len(self.frame), dtype=np.int64))
        conn.register("_frame", frame)
        try:
            conn.execute("CREATE TEMP TABLE new_%s AS SELECT _rec, %s FROM _frame" % (
                self.table.name, ", ".join("CAST(%s AS %s) AS %s" % (
                    c.name, _schema.SQL_TYPES[c.kind], c.name) for c in self.table.columns)))
        finally:
            conn.unregister("_frame")
        return len(frame)


def _write(path, sources, append, replace, overwrite, progress):
    progress = _progress.for_stderr() if progress is None else progress
    shown = path
    try:
        with _files.replacing(path, must_exist=append, overwrite=overwrite) as work:
            if append:
                _store.check_header(work, shown)
            try:
                conn = duckdb.connect(work)
            except duckdb.Error as exc:
                raise _store.LocalDataError("%s is damaged or was written by another DuckDB "
                                            "version (%s)" % (shown, exc)) from None
            try:
                _bounded(conn, work)
                if isinstance(progress, _progress.Terminal):
                    _progress.track(conn)
                result = _fill(conn, sources, append, replace, progress, shown)
                progress.step("writing %s" % os.path.basename(path))
                conn.execute("CHECKPOINT")
            finally:
                conn.close()
    finally:
        progress.close()
    return result


# The engine's memory: beyond it, intermediate results go to a spill directory beside the
# work file, and staged files sit in a scratch database there (both removed with it).
MEMORY_LIMIT = "800MB"


def _bounded(conn, work):
    conn.execute("SET enable_progress_bar_print = false")  # ours is drawn by _progress
    conn.execute("SET memory_limit = '%s'" % MEMORY_LIMIT)
    conn.execute("SET temp_directory = '%s'" % (work + ".spill").replace("'", "''"))
    conn.execute("ATTACH '%s' AS stage" % (work + ".stage").replace("'", "''"))


def _fill(conn, sources, append, replace, progress, shown):
    if append:
        _store.check_meta(conn, shown)
    else:
        _schema.create_all(conn)
    result = LoadResult()
    for table in _schema.TABLES:
        if table.name in sources:
            source = sources[table.name]
            progress.step("reading %s" % source.describe(),
                          running=(conn, source.expected_rows()))
            result[table.name] = source.stage(conn)
            progress.step("read %s" % sources[table.name].describe(), result[table.name])
    checker = _checks.Checker(conn, sources, replace)
    progress.step("checking", sum(result.values()))
    checker.run()
    _merge(conn, sources, replace, progress, result)
    progress.step("checking the rebuilt tables")
    checker.after_merge()
    progress.step("looking for unusual rows")
    checker.unusual()
    result.warnings = list(checker.warnings)
    # the scratch database is left without its tables: closing it then writes nothing back
    for source in sources.values():
        source.unstage(conn)
    conn.execute("DETACH stage")
    return result


# Rows sorted at a time when a table is rebuilt: a sort that fits the engine's memory is
# about twice as fast as one that spills, so large tables are sorted by ranges of instruments.
SORT_ROWS = 6_000_000


def _merge(conn, sources, replace, progress, staged_rows):
    """Rebuilds every table that gains rows, and every table keyed by instrument when the
    keys move (a new id sorts among the stored ones), sorted for reading."""
    q = conn.execute
    instruments = _checks.combined(_schema.BY_NAME["instruments"], sources, replace)
    q("CREATE TEMP TABLE next_instruments AS SELECT (row_number() OVER (ORDER BY order_book_id)"
      " - 1)::INTEGER AS iid, * FROM (%s)" % instruments)
    moved = q("SELECT count(*) FROM instruments o JOIN next_instruments n USING (order_book_id) "
              "WHERE o.iid <> n.iid").fetchone()[0] > 0
    rebuilt = []
    for table in _schema.TABLES:
        if table.name == "instruments" or not (table.name in sources or
                                               (moved and table.keyed_by_iid)):
            continue
        rows = sources[table.name].expected_rows() if table.name in sources else 0
        progress.step("writing %s" % table.name, running=(conn, rows) if rows else None)
        cols = [name for name, _ in _schema.stored_columns(table)]
        select = ", ".join("k.iid" if c == "iid" else "c._order AS seq" if c == "seq" else "c." + c
                           for c in cols)
        join = "JOIN next_instruments k USING (order_book_id)" if table.keyed_by_iid else ""
        rows_in = "SELECT %s FROM (%s) c %s" % (select, _checks.combined(table, sources, replace),
                                                 join)
        order = _schema.sort_order(table)
        parts = 1
        if table.keyed_by_iid:  # ranges of instruments: stored rows plus the staged ones
            total = staged_rows.get(table.name, 0) + q(
                "SELECT count(*) FROM %s" % table.name).fetchone()[0]
            parts = -(-total // SORT_ROWS)
        if parts <= 1:
            q("CREATE TABLE next_%s AS %s ORDER BY %s" % (table.name, rows_in, order))
        else:
            ids = q("SELECT count(*) FROM next_instruments").fetchone()[0]
            bounds = [ids * i // parts for i in range(parts)] + [ids]
            q("CREATE TABLE next_%s AS %s LIMIT 0" % (table.name, rows_in))
            for low, high in zip(bounds, bounds[1:]):  # appended in order, so sorted whole
                q("INSERT INTO next_%s %s WHERE k.iid >= %d AND k.iid < %d ORDER BY %s"
                  % (table.name, rows_in, low, high, order))
        rebuilt.append(table.name)
    if "instruments" in sources or moved:
        cols = ", ".join(name for name, _ in _schema.stored_columns(_schema.BY_NAME["instruments"]))
        q("CREATE TABLE next_instruments_t AS SELECT %s FROM next_instruments ORDER BY iid" % cols)
        rebuilt.append("instruments")
    for name in rebuilt:
        q("DROP TABLE %s" % name)
        q("ALTER TABLE next_%s RENAME TO %s" % ("instruments_t" if name == "instruments" else name,
                                                name))
