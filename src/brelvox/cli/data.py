"""What the commands ask of the package's modules: spans of trading dates, asset types,
returns routed by asset type, prices, industries; with the gaps made visible (NaN outside
an instrument's listing, ids without data named rather than fatal)."""

import datetime

import pandas as pd

from ..attribution import market as reader
from ..attribution.market import (PRICED_AS_EQUITY, asset_types, blank_outside_listing,
                                  industry_names, listing_windows)
from .errors import USAGE, UserError

DB_ENV = "ONDRAX_LOCAL_DB"

# The data kinds of the modules' MissingData, in English.
KINDS = {"日收益率": "daily returns", "价格数据": "price data", "指数权重数据": "index weights",
         "估值数据": "valuation data", "中债国债收益率曲线": "ChinaBond treasury yield curve",
         "公募基金日收益率": "public fund daily returns", "公募基金净值": "public fund net values"}


def module(name):
    try:
        return reader.module(name)
    except reader.DataUnavailable as exc:
        raise UserError(str(exc)) from None


def client():
    """The data client that the package's modules talk to."""
    return module("quenta").ondrax


def local():
    found = getattr(client(), "local", None)
    if found is None:
        raise UserError("this needs the local data client (pip install ./clients/local)")
    return found


def missing_message(exc, dates=None):
    """A MissingData as one English line, the data kind's Chinese name in parentheses;
    `dates` in place of the dates it names."""
    if dates is not None:
        exc = type(exc)(exc.kind, exc.order_book_ids, dates)
    if exc.kind in KINDS:
        return exc.describe("%s (%s)" % (KINDS[exc.kind], exc.kind))
    return str(exc)


def is_missing(exc):
    return reader.is_missing(exc)


def parse_date(text, what):
    for fmt in ("%Y-%m-%d", "%Y%m%d"):
        try:
            return pd.Timestamp(datetime.datetime.strptime(text, fmt))
        except ValueError:
            pass
    raise UserError("bad %s %r (expected YYYY-MM-DD)" % (what, text), status=USAGE)


def _calendar(market):
    """(trading dates between two dates, the n-th trading date before one) of a market."""
    tolvik = module("tolvik")
    if market == "exchange":
        return tolvik.get_exchange_trading_dates, tolvik.get_exchange_previous_trading_date
    return tolvik.get_bank_trading_dates, tolvik.get_bank_previous_trading_date


def last_data_date():
    return reader.last_data_date()


def trading_day_on_or_before(day, market, out):
    """`day` if it is a trading date, else the last one before it (with a note)."""
    get, previous = _calendar(market)
    try:
        if len(get(day.date(), day.date())):
            return day
        before = pd.Timestamp(previous(day))
    except ValueError as exc:
        raise UserError("no %s trading date on or before %s (%s)" % (market, day.date(), exc))
    out.note("%s is not an %s trading date; using %s" % (
        day.date(), market if market == "exchange" else "interbank", before.date()))
    return before


def span_dates(args, out, market="exchange", default_length=20):
    """Trading dates from --date / --start / --end; by default the last `default_length`
    trading dates up to --end or the last date of the data."""
    if getattr(args, "date", None):
        if args.start or args.end:
            raise UserError("--date cannot be combined with --start or --end", status=USAGE)
        day = trading_day_on_or_before(parse_date(args.date, "date"), market, out)
        return pd.DatetimeIndex([day], name="date")
    end = parse_date(args.end, "end date") if args.end else None
    start = parse_date(args.start, "start date") if args.start else None
    if start is not None and end is not None and start > end:
        raise UserError("the start date %s is after the end date %s"
                        % (start.date(), end.date()), status=USAGE)
    if end is None:
        end = max(last_data_date(), start) if start is not None else last_data_date()
    get = _calendar(market)[0]
    if start is None:
        dates = get((end - pd.Timedelta(days=10 * default_length)).date(), end.date())
        dates = dates[-default_length:]
    else:
        dates = get(start.date(), end.date())
    dates = pd.DatetimeIndex(dates, name="date")
    if dates.empty:
        raise UserError("no %s trading dates from %s to %s" % (
            market, (start or end).date(), end.date()))
    return dates


def drop_first_stored_date(dates, out):
    """Returns need the close before the first date: a span that starts on the first
    stored date starts one date later, with a note."""
    if reader.previous_trading_date(dates[0]) is not None:
        return dates
    out.note("%s is the first stored date and has no daily return; starting at %s"
             % (dates[0].date(), dates[1].date() if len(dates) > 1 else "the next date"))
    if len(dates) == 1:
        raise UserError("no daily returns (日收益率) on %s, the first stored date"
                        % dates[0].date())
    return dates[1:]


def classify(order_book_ids):
    """Asset type of each id; unknown ids are an error (a typo is not a gap)."""
    types, unknown = asset_types(order_book_ids)
    if unknown:
        raise UserError(unknown_message(unknown))
    return types


def unknown_message(unknown, shown=10):
    """"unknown instruments: A, B" for a few; the first `shown` and a count for many."""
    head = ", ".join(unknown[:shown])
    more = " and %d more" % (len(unknown) - shown) if len(unknown) > shown else ""
    return "unknown instrument%s: %s%s" % ("s" if len(unknown) > 1 else "", head, more)


def _partial(parts, ids, dates):
    """One frame of the parts, ids in order; ids no part answered are NaN columns."""
    frame = pd.concat(parts, axis=1) if parts else pd.DataFrame(index=dates)
    frame = frame.reindex(index=dates, columns=ids)
    frame.index.name, frame.columns.name = "date", "order_book_id"
    return frame


def daily_returns(types, dates, blank=True):
    """(returns frame dates x ids in the order of `types`, ids without data). Returns are
    routed by asset type; with `blank`, dates outside a listing are NaN."""
    try:
        frame, _, errors = reader.daily_returns(types, dates)
    except reader.AttributionError as exc:
        raise UserError(str(exc)) from None
    if blank:
        frame = blank_outside_listing(frame, listing_windows(list(types)))
    return _checked(frame, errors, "日收益率")

def _checked(frame, errors, kind):
    empty = frame.isna().all().to_numpy()
    missing = [c for c, e in zip(frame.columns, empty) if e]
    if len(missing) == frame.shape[1]:
        if len(errors) == 1 and len(missing) == len(errors[0].order_book_ids or ()):
            raise UserError(missing_message(errors[0]))
        raise UserError("no %s (%s) for %s from %s to %s" % (
            KINDS[kind], kind, ", ".join(missing), frame.index[0].date(), frame.index[-1].date()))
    return frame, missing


def prices(types, dates):
    """(prices frame dates x ids, ids without data): close for equities, settlement for
    futures, NaN outside a listing."""
    oprane = module("oprane")
    other = [o for o, t in types.items() if t not in PRICED_AS_EQUITY and t != "futures"]
    if other:
        kinds = sorted({types[o] for o in other})
        hint = []
        if "bond" in kinds:
            hint.append("valuation for bonds")
        if "public_fund" in kinds:
            hint.append("nav for funds")
        raise UserError("no traded prices for %s (asset type %s)%s" % (
            ", ".join(other), ", ".join(kinds), "; see " + ", ".join(hint) if hint else ""))
    parts, errors = [], []
    for name, ids in (("get_equity_price", [o for o, t in types.items() if t in PRICED_AS_EQUITY]),
                      ("get_futures_price", [o for o, t in types.items() if t == "futures"])):
        if not ids:
            continue
        try:
            parts.append(getattr(oprane, name)(ids, dates))
        except Exception as exc:
            if not is_missing(exc):
                raise
            errors.append(exc)
    frame = _partial(parts, list(types), dates)
    frame = blank_outside_listing(frame, listing_windows(list(types)))
    return _checked(frame, errors, "价格数据")


def symbols(order_book_ids):
    try:
        found = module("brisel").get_instruments(list(order_book_ids))
    except Exception:
        return ["" for _ in order_book_ids]
    return [getattr(found.get(oid), "symbol", "") or "" for oid in order_book_ids]
