"""Convertible bonds: their records (prices come from `ondrax.get_price`)."""

from . import _records


def instruments(order_book_ids):
    return _records.lookup("convertible", order_book_ids)


def all_instruments():
    return _records.catalogue("convertible")
