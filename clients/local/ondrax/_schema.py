"""Tables of the local database: one definition drives the DDL, the CSV loader and the docs.

Each table has a logical layout (the CSV columns, instruments named by `order_book_id`) and
a stored one. Tables read by instrument over long spans store an integer key `iid` instead of
the id (the rank of the id among all instruments) and keep their rows sorted by key then
date, so that a request reads contiguous column runs.
"""

from collections import namedtuple

#: Written into meta; a file of another client or another format is refused on opening.
CLIENT = "ondrax-local"
FORMAT_VERSION = "2"

Column = namedtuple("Column", "name kind required")


def _cols(text):
    # "name:kind" is required, "name:kind?" optional
    out = []
    for item in text.split():
        name, kind = item.split(":")
        out.append(Column(name, kind.rstrip("?"), not kind.endswith("?")))
    return tuple(out)


# key: the columns that identify a row (None: the whole row); keyed_by_iid: stored with iid.
Table = namedtuple("Table", "name columns key keyed_by_iid doc")

TABLES = (
    Table("calendar", _cols("market:text date:date"), ("market", "date"), False,
          "trading dates; market is 'exchange' or 'interbank'"),
    Table("instruments",
          _cols("order_book_id:text catalogue:text type:text symbol:text? exchange:text? "
                "listed_date:date? de_listed_date:date? round_lot:int? accrued_daily:bool? "
                "extra:json?"),
          ("order_book_id",), False,
          "catalogue is 'exchange', 'fund', 'bond' or 'convertible'; further CSV columns "
          "become attributes of the record"),
    Table("prices",
          _cols("order_book_id:text date:date open:real? high:real? low:real? close:real? "
                "settlement:real? volume:real?"),
          ("order_book_id", "date"), True, "unadjusted daily prices"),
    Table("splits",
          _cols("order_book_id:text ex_dividend_date:date split_coefficient_from:real "
                "split_coefficient_to:real"),
          ("order_book_id", "ex_dividend_date"), True,
          "share splits: shares after (to) per shares before (from)"),
    Table("dividends",
          _cols("order_book_id:text ex_dividend_date:date dividend_cash_before_tax:real "
                "round_lot:real book_closure_date:date? payable_date:date?"),
          None, True, "cash dividends: pre-tax cash per round_lot shares"),
    Table("industries",
          _cols("standard:text order_book_id:text start_date:date industry_name:text "
                "industry_code:text? version:int?"),
          None, False, "first-level industry history; standard is 'sws' or 'citics'"),
    Table("index_weights", _cols("index_id:text date:date order_book_id:text weight:real"),
          ("index_id", "date", "order_book_id"), False, "constituent weight lists by list date"),
    Table("valuations",
          _cols("order_book_id:text date:date yield_to_maturity:real? clean_price_eod:real? "
                "dirty_price_eod:real? accrued_interest_eod:real? "
                "accrued_interest_intraday:real? residual_principal:real? "
                "modified_duration:real? convexity:real? time_to_maturity:real?"),
          ("order_book_id", "date"), True, "ChinaBond valuations"),
    Table("market_codes", _cols("order_book_id:text nib:text"), ("order_book_id",), False,
          "interbank (NIB) identifier of an exchange-listed bond"),
    Table("nav",
          _cols("order_book_id:text date:date unit_net_value:real? acc_net_value:real? "
                "adjusted_net_value:real? daily_profit:real? weekly_yield:real?"),
          ("order_book_id", "date"), True,
          "fund net values; daily_profit is the profit per 10,000 units of the day"),
    Table("yield_curves", _cols("name:text date:date tenor:real rate:real"),
          ("name", "date", "tenor"), False, "yield curves in percent by tenor in years"),
)

BY_NAME = {t.name: t for t in TABLES}

SQL_TYPES = {"text": "VARCHAR", "date": "DATE", "real": "DOUBLE", "int": "BIGINT",
             "bool": "BOOLEAN", "json": "VARCHAR"}


def key_of(table):
    return table.key or tuple(c.name for c in table.columns)


def stored_columns(table):
    """(name, SQL type) of the stored layout, in order."""
    out = [("iid", "INTEGER")] if table.keyed_by_iid else []
    if table.name == "instruments":
        out.append(("iid", "INTEGER"))
    out += [(c.name, SQL_TYPES[c.kind]) for c in table.columns
            if not (table.keyed_by_iid and c.name == "order_book_id")]
    if table.key is None:
        out.append(("seq", "BIGINT"))  # load order, which readers of keyless tables keep
    return out


def sort_order(table):
    """ORDER BY of the stored rows."""
    if table.keyed_by_iid:
        return "iid, " + table.columns[1].name + (", seq" if table.key is None else "")
    if table.key is None:
        return "seq"
    return ", ".join(table.key)


def create_all(conn):
    """Creates every table of an empty database and records the client and format."""
    conn.execute("CREATE TABLE meta (key VARCHAR PRIMARY KEY, value VARCHAR)")
    for table in TABLES:
        conn.execute("CREATE TABLE %s (%s)" % (table.name, ", ".join(
            "%s %s" % col for col in stored_columns(table))))
    conn.execute("INSERT INTO meta VALUES ('client', ?), ('format', ?)",
                 [CLIENT, FORMAT_VERSION])


def logical_select(table):
    """SELECT of a stored table in its logical layout (ids for keys), plus its order."""
    names = [c.name for c in table.columns]
    if table.keyed_by_iid:
        cols = ", ".join("k.order_book_id" if n == "order_book_id" else "t." + n for n in names)
        return "SELECT %s, %s AS _order FROM %s t JOIN instruments k USING (iid)" % (
            cols, "t.seq" if table.key is None else "0", table.name)
    return "SELECT %s, %s AS _order FROM %s" % (
        ", ".join(names), "seq" if table.key is None else "0", table.name)
