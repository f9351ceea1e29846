"""Funds: public (open-end) funds plus the exchange-traded ETFs and LOFs, and their net values."""

from . import _records, _schema, _store

NAV_FIELDS = tuple(c.name for c in _schema.BY_NAME["nav"].columns[2:])


def all_instruments(date=None):
    """Every fund: order_book_id, symbol, type, ..., accrued_daily (True for funds that
    accrue income daily and report a daily profit, such as money-market funds)."""
    return _records.catalogue("fund", date=date)


def instruments(order_book_ids):
    return _records.lookup("fund", order_book_ids)


def get_nav(order_book_ids, start_date=None, end_date=None, fields=None, expect_df=True):
    """Net values on (order_book_id, date); None when nothing. Money-market funds report
    daily_profit (per 10,000 units) on every calendar day; the others report net values on
    exchange trading dates. Rows where every asked field is empty are left out."""
    names = list(NAV_FIELDS) if fields is None else (
        [fields] if isinstance(fields, str) else list(fields))
    unknown = [f for f in names if f not in NAV_FIELDS]
    if unknown:
        raise ValueError("unknown net value field(s): %s (known: %s)"
                         % (", ".join(map(str, unknown)), ", ".join(NAV_FIELDS)))
    found = _store.by_instrument("nav", names, order_book_ids, start_date, end_date)
    if found is None:
        return None
    iid, day, values, day_codes, _ = found
    return _store.id_date_frame(iid, day, dict(zip(names, values)), day_codes=day_codes)
