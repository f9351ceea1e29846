"""Exceptions raised to callers when data is absent or instruments are unknown."""


def _describe_ids(order_book_ids):
    if order_book_ids is None:
        return ""
    if isinstance(order_book_ids, str):
        return " for " + order_book_ids
    try:
        ids = list(order_book_ids)
    except TypeError:
        return " for " + repr(order_book_ids)
    if len(ids) == 1:
        return " for " + str(ids[0])
    head = ", ".join(str(i) for i in ids[:3])
    more = ", ..." if len(ids) > 3 else ""
    return " for %d instruments (%s%s)" % (len(ids), head, more)


def _describe_dates(dates):
    if dates is None:
        return ""
    if isinstance(dates, str):
        return " on " + dates
    try:
        values = list(dates)
    except TypeError:
        return " on " + str(dates)
    if not values:
        return " on no dates"
    first, last = _short(values[0]), _short(values[-1])
    if len(values) == 1:
        return " on " + first
    return " over %d dates from %s to %s" % (len(values), first, last)


def _short(value):
    text = str(value)
    return text[:-9] if text.endswith(" 00:00:00") else text


class MissingData(Exception):
    """The data client has no data of the given kind for the request."""

    def __init__(self, kind, order_book_ids=None, dates=None):
        super().__init__(kind, order_book_ids, dates)
        self.kind = kind
        self.order_book_ids = order_book_ids
        self.dates = dates

    def __str__(self):
        return self.describe()

    def describe(self, kind_text=None):
        """The message, with `kind_text` (such as a translation of the kind) in place of the
        kind: "no <kind> for <ids> over <dates>"."""
        return "no %s%s%s" % (self.kind if kind_text is None else kind_text,
                              _describe_ids(self.order_book_ids), _describe_dates(self.dates))


class UnknownAssets(Exception):
    """None of the requested instruments is known as the given asset kind."""

    def __init__(self, order_book_ids, asset_kind):
        super().__init__(order_book_ids, asset_kind)
        self.order_book_ids = order_book_ids
        self.asset_kind = asset_kind

    def __str__(self):
        return "unknown %s%s" % (self.asset_kind, _describe_ids(self.order_book_ids))
