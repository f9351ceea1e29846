"""What a market can hold: checks of staged rows against themselves and against what is
stored, as refusals (the first one raised) and warnings (collected)."""

import numpy as np

from . import _schema

#: Prices above zero; the rest of each table's value rules.
_POSITIVE = {
    "prices": ("open", "high", "low", "close", "settlement"),
    "splits": ("split_coefficient_from", "split_coefficient_to"),
    "dividends": ("round_lot",),
}
_NOT_NEGATIVE = {
    "prices": ("volume",),
    "dividends": ("dividend_cash_before_tax",),
    "index_weights": ("weight",),
}
#: Tables whose rows name an instrument that instruments.csv must list (and the columns).
_ID_COLUMNS = {
    "prices": ("order_book_id",), "splits": ("order_book_id",), "dividends": ("order_book_id",),
    "industries": ("order_book_id",), "index_weights": ("index_id", "order_book_id"),
    "valuations": ("order_book_id",), "nav": ("order_book_id",),
    "market_codes": ("order_book_id",),
}
#: Dated rows that must fall on a trading day: table -> (date column, id column or market).
_DATED = {
    "prices": ("date", "order_book_id"), "splits": ("ex_dividend_date", "order_book_id"),
    "dividends": ("ex_dividend_date", "order_book_id"), "valuations": ("date", "order_book_id"),
    "nav": ("date", "order_book_id"), "index_weights": ("date", "index_id"),
    "yield_curves": ("date", "'interbank'"),
}
#: Instruments whose rows follow the interbank calendar: interbank bonds and ChinaBond indexes.
INTERBANK_EXCHANGES = ("NIB", "CCDC")
BIG_MOVE = 0.5
WARNINGS_SHOWN = 3
#: Rows of a stored table read at a time by the checks of its stored order.
CHUNK_ROWS = 1 << 21


def _in(values):
    return "(%s)" % ", ".join("'%s'" % v for v in values)


class Checker:
    """Runs the checks of the staged tables `staged` ({table: source}) on connection `conn`."""

    def __init__(self, conn, staged, replace):
        self.conn, self.staged, self.replace = conn, staged, replace
        self.warnings = []

    def q(self, sql, params=None):
        return self.conn.execute(sql, params or [])

    def first(self, sql, params=None):
        """The first staged record (by _rec) that `sql` selects as (_rec, ...), or None."""
        return self.q("%s ORDER BY 1 LIMIT 1" % sql, params).fetchone()

    def refuse(self, table, record, message):
        raise self.staged[table].error(record, message)

    def combined(self, table):
        return combined(_schema.BY_NAME[table], self.staged, self.replace)

    def prepare(self):
        self.q("CREATE TEMP TABLE all_instruments AS SELECT order_book_id, catalogue, type, "
               "CASE WHEN exchange IN %s THEN 'interbank' ELSE 'exchange' END AS market, "
               "coalesce(accrued_daily, false) AS accrued_daily FROM (%s)"
               % (_in(INTERBANK_EXCHANGES), self.combined("instruments")))
        self.q("CREATE TEMP TABLE all_calendar AS %s" % self.combined("calendar"))

    # --- refusals ----------------------------------------------------------------------------

    def run(self):
        self.prepare()
        for table in _schema.TABLES:
            if table.name in self.staged:
                self.values(table)
                self.duplicates(table)
                self.known_ids(table)
                self.trading_days(table)

    def values(self, table):
        checks = [("%s <= 0" % c, "%s must be above zero" % c)
                  for c in _POSITIVE.get(table.name, ())]
        checks += [("%s < 0" % c, "%s must not be negative" % c)
                   for c in _NOT_NEGATIVE.get(table.name, ())]
        if not checks:
            return
        found = self.first("SELECT _rec, %s FROM new_%s WHERE %s" % (
            ", ".join("coalesce(%s, false)" % c for c, _ in checks), table.name,
            " OR ".join("coalesce(%s, false)" % c for c, _ in checks)))
        if found:
            failed = [m for (c, m), hit in zip(checks, found[1:]) if hit][0]
            column = failed.split()[0]
            value = self.q("SELECT %s FROM new_%s WHERE _rec = ?" % (column, table.name),
                           [found[0]]).fetchone()[0]
            self.refuse(table.name, found[0], "%s, got %s" % (failed, _number(value)))

    def duplicates(self, table):
        key = _schema.key_of(table)
        cols = ", ".join(key)
        what = "same %s" % ", ".join(table.key) if table.key else "the same values"
        # Tables stored by instrument and date are rebuilt in that order: their repeats are
        # found there, where they stand side by side (after_merge).
        if not sorted_by_key(table) and self.q(
                "SELECT 1 FROM new_%s GROUP BY %s HAVING count(*) > 1 LIMIT 1"
                % (table.name, cols)).fetchone():
            found = self.first("SELECT _rec, first FROM (SELECT _rec, min(_rec) OVER (PARTITION "
                               "BY %s) AS first FROM new_%s) WHERE _rec > first"
                               % (cols, table.name))
            line = self.staged[table.name].lines([found[1]]).get(found[1])
            self.refuse(table.name, found[0], "repeats %s (%s)" % (
                "line %d" % line if line else "an earlier row", what))
        if self.replace:
            return
        found = self.first("SELECT n._rec FROM new_%s n SEMI JOIN (%s) s ON %s"
                           % (table.name, _schema.logical_select(table), same_key(table)))
        if found:
            self.refuse(table.name, found[0], "would replace a stored row (%s); append with "
                        "--replace to replace stored rows" % what)

    def known_ids(self, table):
        for column in _ID_COLUMNS.get(table.name, ()):
            found = self.first("SELECT _rec, %s FROM new_%s WHERE %s NOT IN "
                               "(SELECT order_book_id FROM all_instruments)"
                               % (column, table.name, column))
            if found:
                self.refuse(table.name, found[0], "%s %r is not listed in instruments.csv"
                            % (column, found[1]))

    def trading_days(self, table):
        if table.name not in _DATED:
            return
        date, owner = _DATED[table.name]
        if owner.startswith("'"):
            market, join, exempt = owner, "", ""
        else:
            market = "i.market"
            join = "JOIN all_instruments i ON i.order_book_id = n.%s" % owner
            # funds that accrue daily report every calendar day
            exempt = " AND NOT i.accrued_daily" if table.name == "nav" else ""
        found = self.first("SELECT n._rec, n.%s, %s FROM new_%s n %s WHERE (%s, n.%s) NOT IN "
                           "(SELECT (market, date) FROM all_calendar)%s"
                           % (date, market, table.name, join, market, date, exempt))
        if found:
            self.refuse(table.name, found[0], "%s is not a trading day of the %s calendar (%s)"
                        % (found[1], found[2], _weekday(found[1])))

    # --- in the stored order, once the tables are rebuilt ---------------------------------

    def after_merge(self):
        """Repeated keys among the staged rows of the tables stored by instrument and date,
        found side by side in their stored order; the big moves of closes are kept for the
        warnings. The tables are read a chunk of rows at a time."""
        self.moves = []
        for table in _schema.TABLES:
            if table.name in self.staged and sorted_by_key(table):
                self._scan_stored(table)

    def _chunks(self, table, columns):
        rows = self.q("SELECT count(*) FROM %s" % table).fetchone()[0]
        for low in range(0, rows, CHUNK_ROWS):
            yield self.q("SELECT %s FROM %s WHERE rowid >= ? AND rowid < ?" % (columns, table),
                         [low, low + CHUNK_ROWS]).fetchnumpy()

    def _scan_stored(self, table):
        date = table.columns[1].name
        moves = table.name == "prices"
        columns = "iid, CAST(%s - DATE '1970-01-01' AS INTEGER) AS day" % date
        if moves:
            columns += ", coalesce(close, 'NaN'::DOUBLE) AS close"
        last = last_close = None  # the previous chunk's last row, and last close
        for chunk in self._chunks(table.name, columns):
            iid = np.asarray(chunk["iid"], dtype=np.int64)
            day = np.asarray(chunk["day"], dtype=np.int64)
            key = iid << 32 | day
            if last is not None:
                key = np.concatenate([[last], key])
            repeat = np.flatnonzero(key[1:] == key[:-1])
            if repeat.size:
                self._refuse_repeat(table, int(key[repeat[0] + 1]))
            last = key[-1]
            if moves:
                close = np.asarray(chunk["close"], dtype=np.float64)
                kept = ~np.isnan(close)
                ki, kd, kc = iid[kept], day[kept], close[kept]
                if last_close is not None:
                    ki, kd = np.concatenate([[last_close[0]], ki]), np.concatenate([[0], kd])
                    kc = np.concatenate([[last_close[1]], kc])
                if ki.size:
                    with np.errstate(divide="ignore", invalid="ignore"):
                        move = kc[1:] / kc[:-1] - 1.0
                    hit = np.flatnonzero((ki[1:] == ki[:-1]) & (np.abs(move) > BIG_MOVE))
                    self.moves += zip(ki[hit + 1].tolist(), kd[hit + 1].tolist(),
                                      move[hit].tolist())
                    last_close = (ki[-1], kc[-1])

    def _refuse_repeat(self, table, key):
        iid, day = key >> 32, key & 0xFFFFFFFF
        date = table.columns[1].name
        records = [r for r, in self.q(
            "SELECT n._rec FROM new_%s n JOIN instruments k ON k.order_book_id = n.order_book_id "
            "WHERE k.iid = ? AND n.%s = DATE '1970-01-01' + ?::INTEGER ORDER BY 1"
            % (table.name, date), [iid, day]).fetchall()]
        line = self.staged[table.name].lines([records[0]]).get(records[0])
        self.refuse(table.name, records[1], "repeats %s (same %s)" % (
            "line %d" % line if line else "an earlier row", ", ".join(table.key)))

    # --- warnings ----------------------------------------------------------------------------

    def warn(self, table, kind, found, text):
        """Warning lines for the first few records of `found` [(record, args)], then how
        many more of that kind."""
        source = self.staged[table]
        shown = found[:WARNINGS_SHOWN]
        lines = source.lines([r for r, _ in shown])
        for record, args in shown:
            line = lines.get(record)
            where = "%s line %d" % (source.describe(), line) if line else source.describe()
            self.warnings.append("%s: %s" % (where, text % args))
        if len(found) > len(shown):
            self.warnings.append("%s: %d more %s" % (
                source.describe(), len(found) - len(shown), kind))

    def unusual(self):
        """Warnings over the stored tables once the staged rows are in."""
        if "prices" in self.staged:
            self.big_moves()
        if "calendar" in self.staged:
            # prices may stand on such a day (a data vendor's choice is respected), but
            # it is far more often a typing slip
            found = self.q("SELECT _rec, date FROM new_calendar WHERE market = 'exchange' AND "
                           "isodow(date) >= 6 ORDER BY 1").fetchall()
            self.warn("calendar", "weekend dates in the exchange calendar",
                      [(r, (day, _weekday(day))) for r, day in found],
                      "%s is a %s: exchanges do not trade at weekends")
        if "instruments" in self.staged:
            found = self.q(
                "SELECT n._rec, n.order_book_id FROM new_instruments n WHERE n.catalogue IN "
                "('exchange', 'convertible') AND n.order_book_id NOT IN (SELECT k.order_book_id "
                "FROM (SELECT DISTINCT iid FROM prices) p JOIN instruments k USING (iid)) "
                "ORDER BY 1").fetchall()
            self.warn("instruments", "instruments without prices",
                      [(r, (oid,)) for r, oid in found], "%s has no prices")

    def big_moves(self):
        moves = getattr(self, "moves", [])
        if not moves:
            return
        self.q("CREATE TEMP TABLE moves (iid INTEGER, day INTEGER, move DOUBLE)")
        self.q("INSERT INTO moves SELECT * FROM (SELECT unnest(?::INTEGER[]), "
               "unnest(?::INTEGER[]), unnest(?::DOUBLE[]))",
               [[m[0] for m in moves], [m[1] for m in moves], [m[2] for m in moves]])
        found = self.q(
            "SELECT n._rec, n.order_book_id, n.date, m.move FROM moves m JOIN instruments k "
            "USING (iid) JOIN new_prices n ON n.order_book_id = k.order_book_id AND "
            "n.date = DATE '1970-01-01' + m.day WHERE k.type IS DISTINCT FROM 'Option' AND NOT "
            "EXISTS (SELECT 1 FROM splits s WHERE s.iid = m.iid AND s.ex_dividend_date = "
            "DATE '1970-01-01' + m.day) AND NOT EXISTS (SELECT 1 FROM dividends d WHERE "
            "d.iid = m.iid AND d.ex_dividend_date = DATE '1970-01-01' + m.day) ORDER BY 1"
        ).fetchall()
        self.warn("prices", "moves beyond %d%% without a split or dividend" % (100 * BIG_MOVE),
                  [(r, (oid, 100 * move, day)) for r, oid, day, move in found],
                  "%s closed %+.1f%% on %s without a split or dividend that day")


def sorted_by_key(table):
    """Whether a table is stored by instrument and date, one row per key."""
    return table.keyed_by_iid and table.key is not None


def combined(table, staged, replace):
    """SQL of the rows a table holds once the staged ones are in, in its logical layout plus
    _order (the load order of keyless tables: stored rows first)."""
    names = ", ".join(c.name for c in table.columns)
    stored = "SELECT %s, _order FROM (%s) s" % (names, _schema.logical_select(table))
    if table.name not in staged:
        return stored
    if replace:
        stored += " WHERE NOT EXISTS (SELECT 1 FROM new_%s n WHERE %s)" % (
            table.name, same_key(table))
    return ("%s UNION ALL SELECT %s, _rec + 1 + (SELECT coalesce(max(_order), -1) FROM (%s)) "
            "FROM new_%s" % (stored, names, _schema.logical_select(table), table.name))


def same_key(table, new="n", stored="s"):
    """SQL: the rows `new` and `stored` have the same key (empty values equal)."""
    return " AND ".join("%s.%s IS NOT DISTINCT FROM %s.%s" % (new, c, stored, c)
                        for c in _schema.key_of(table))


def _number(value):
    return "%g" % value


def _weekday(day):
    return day.strftime("%A")
