"""The service client: internal data sets answered as lists of dict records."""

import datetime

from . import _store


def _stamp(day):
    return datetime.datetime(day.year, day.month, day.day)


def _shenwan():
    return [{"order_book_id": oid, "index_name": name, "index_code": code,
             "version": 3 if version is None else version, "start_date": _stamp(start)}
            for oid, start, name, code, version in _store.rows(
                "SELECT order_book_id, start_date, industry_name, industry_code, version "
                "FROM industries WHERE standard = 'sws' ORDER BY seq")]


def _citics():
    return [{"order_book_id": oid, "first_industry_name": name, "first_industry_code": code,
             "start_date": _stamp(start)}
            for oid, start, name, code in _store.rows(
                "SELECT order_book_id, start_date, industry_name, industry_code "
                "FROM industries WHERE standard = 'citics' ORDER BY seq")]


def _index_weights(order_book_id, start_date, end_date):
    """One record per list date in the span: {"date", "order_book_id", "data": [...]}."""
    _store.one_id(order_book_id)
    lo, hi = _store.span(start_date, end_date)
    out, current = [], None
    for day, oid, weight in _store.rows(
            "SELECT date, order_book_id, weight FROM index_weights WHERE index_id = ? "
            "AND date BETWEEN ? AND ? ORDER BY date, order_book_id", [order_book_id, lo, hi]):
        if current is None or current["date"] != _stamp(day):
            current = {"date": _stamp(day), "order_book_id": order_book_id, "data": []}
            out.append(current)
        current["data"].append({"order_book_id": oid, "weight": weight})
    return out


_SERVICES = {
    "__internal__shenwan_industry": _shenwan,
    "__internal__zx2019_industry": _citics,
    "__internal__index_weights": _index_weights,
}


class Client:
    def execute(self, name, *args, **kwargs):
        """Runs a named service; unknown names raise ValueError."""
        try:
            service = _SERVICES[name]
        except (KeyError, TypeError):
            raise ValueError("unknown service %r" % (name,)) from None
        return service(*args, **kwargs)


_client = Client()


def get_client():
    return _client
