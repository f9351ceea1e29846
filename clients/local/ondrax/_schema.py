"""Tables of the local database: one definition drives the DDL, the CSV loader and the docs.

Dates are stored as ISO text (YYYY-MM-DD) so that text order is date order.
"""

from collections import namedtuple

FORMAT_VERSION = "1"

Column = namedtuple("Column", "name kind required")


def _cols(text):
    # "name:kind" is required, "name:kind?" optional
    out = []
    for item in text.split():
        name, kind = item.split(":")
        out.append(Column(name, kind.rstrip("?"), not kind.endswith("?")))
    return tuple(out)


Table = namedtuple("Table", "name columns key doc")

TABLES = (
    Table("calendar", _cols("market:text date:date"), ("market", "date"),
          "trading dates; market is 'exchange' or 'interbank'"),
    Table("instruments",
          _cols("order_book_id:text catalogue:text type:text symbol:text? exchange:text? "
                "listed_date:date? de_listed_date:date? round_lot:int? accrued_daily:bool? "
                "extra:json?"),
          ("order_book_id",),
          "catalogue is 'exchange', 'fund', 'bond' or 'convertible'; further CSV columns "
          "become attributes of the record"),
    Table("prices",
          _cols("order_book_id:text date:date open:real? high:real? low:real? close:real? "
                "settlement:real? volume:real?"),
          ("order_book_id", "date"), "unadjusted daily prices"),
    Table("splits",
          _cols("order_book_id:text ex_dividend_date:date split_coefficient_from:real "
                "split_coefficient_to:real"),
          None, "share splits: shares after (to) per shares before (from)"),
    Table("dividends",
          _cols("order_book_id:text ex_dividend_date:date dividend_cash_before_tax:real "
                "round_lot:real book_closure_date:date? payable_date:date?"),
          None, "cash dividends: pre-tax cash per round_lot shares"),
    Table("industries",
          _cols("standard:text order_book_id:text start_date:date industry_name:text "
                "industry_code:text? version:int?"),
          None, "first-level industry history; standard is 'sws' or 'citics'"),
    Table("index_weights", _cols("index_id:text date:date order_book_id:text weight:real"),
          ("index_id", "date", "order_book_id"), "constituent weight lists by list date"),
    Table("valuations",
          _cols("order_book_id:text date:date yield_to_maturity:real? clean_price_eod:real? "
                "dirty_price_eod:real? accrued_interest_eod:real? "
                "accrued_interest_intraday:real? residual_principal:real? "
                "modified_duration:real? convexity:real? time_to_maturity:real?"),
          ("order_book_id", "date"), "ChinaBond valuations"),
    Table("market_codes", _cols("order_book_id:text nib:text"), ("order_book_id",),
          "interbank (NIB) identifier of an exchange-listed bond"),
    Table("nav",
          _cols("order_book_id:text date:date unit_net_value:real? acc_net_value:real? "
                "adjusted_net_value:real? daily_profit:real? weekly_yield:real?"),
          ("order_book_id", "date"),
          "fund net values; daily_profit is the profit per 10,000 units of the day"),
    Table("yield_curves", _cols("name:text date:date tenor:real rate:real"),
          ("name", "date", "tenor"), "yield curves in percent by tenor in years"),
)

BY_NAME = {t.name: t for t in TABLES}

_SQL_TYPES = {"text": "TEXT", "date": "TEXT", "real": "REAL", "int": "INTEGER",
              "bool": "INTEGER", "json": "TEXT"}

INDEXES = (
    "CREATE INDEX splits_id ON splits(order_book_id, ex_dividend_date)",
    "CREATE INDEX dividends_id ON dividends(order_book_id, ex_dividend_date)",
    "CREATE INDEX industries_std ON industries(standard)",
)


def create_all(conn):
    """Creates every table of an empty database and records the format version."""
    conn.execute("CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT)")
    for table in TABLES:
        cols = ", ".join(
            "%s %s%s" % (c.name, _SQL_TYPES[c.kind], " NOT NULL" if c.required else "")
            for c in table.columns)
        key = ", PRIMARY KEY (%s)" % ", ".join(table.key) if table.key else ""
        conn.execute("CREATE TABLE %s (%s%s)" % (table.name, cols, key))
    for statement in INDEXES:
        conn.execute(statement)
    conn.execute("INSERT INTO meta VALUES ('format', ?)", (FORMAT_VERSION,))


def insert(conn, table_name, rows):
    """Inserts tuples in column order of the table."""
    table = BY_NAME[table_name]
    marks = ", ".join("?" * len(table.columns))
    conn.executemany("INSERT INTO %s VALUES (%s)" % (table.name, marks), rows)
