"""The query commands: one question each for ids and a span of dates."""

import os

import pandas as pd

from . import data
from .errors import USAGE, UserError
from .render import write_csv

# ChinaBond valuation fields the command offers when the client does not list its own;
# period_of_repayment is the package's name for the remaining term.
VALUATION_FIELDS = ("yield_to_maturity", "clean_price_eod", "dirty_price_eod",
                    "accrued_interest_eod", "accrued_interest_intraday", "residual_principal",
                    "modified_duration", "convexity", "period_of_repayment")
VALUATION_DEFAULT = "yield_to_maturity,dirty_price_eod,accrued_interest_eod,modified_duration," \
                    "period_of_repayment"
NAV_FIELDS = ("unit_net_value", "acc_net_value", "adjusted_net_value", "daily_profit",
              "weekly_yield")
NAV_DEFAULT = "unit_net_value,acc_net_value,daily_profit"


def emit(args, out, title, frame, **fmt):
    out.table(title, frame, **fmt)
    if getattr(args, "csv", None):
        write_csv(frame, args.csv)
        out.wrote(args.csv)


def report_missing(out, missing, dates):
    if missing:
        out.warn("no data %s for: %s" % (_span_title(dates), ", ".join(missing)))


def _span_title(dates):
    if len(dates) == 1:
        return "on %s" % dates[0].date()
    return "from %s to %s" % (dates[0].date(), dates[-1].date())


def returns(args, out):
    dates = data.drop_first_stored_date(data.span_dates(args, out), out)
    frame, missing = data.daily_returns(data.classify(args.ids), dates)
    report_missing(out, missing, dates)
    emit(args, out, "Daily returns (%%) %s; empty: not listed" % _span_title(dates), frame)
    return 0


def prices(args, out):
    dates = data.span_dates(args, out)
    frame, missing = data.prices(data.classify(args.ids), dates)
    report_missing(out, missing, dates)
    emit(args, out, "Prices (close; settlement for futures; post-adjusted) %s; empty: not listed"
         % _span_title(dates), frame, percent=False)
    return 0


def nav(args, out):
    fund = data.client().fund
    known = getattr(fund, "NAV_FIELDS", NAV_FIELDS)
    fields = parse_fields(args.fields, known, "nav")
    dates = data.span_dates(args, out)
    unknown = [oid for oid in args.ids if fund.instruments(oid) is None]
    if unknown:
        raise UserError("unknown fund%s: %s" % ("s" if len(unknown) > 1 else "", ", ".join(unknown)))
    frame = fund.get_nav(list(args.ids), dates[0].date(), dates[-1].date(), fields=fields)
    if frame is None or len(frame) == 0:
        raise UserError("no net values (净值) for %s %s" % (", ".join(args.ids), _span_title(dates)))
    frame = frame.reindex(columns=fields)
    if args.fields is None:  # the defaults a fund does not report are left out
        frame = frame.dropna(axis=1, how="all")
    frame.index = frame.index.set_names(["order_book_id", "date"])
    report_missing(out, [o for o in args.ids if o not in set(frame.index.get_level_values(0))],
                   dates)
    emit(args, out, "Fund net values %s (daily_profit per 10,000 units; weekly_yield in %%)"
         % _span_title(dates), frame, percent=False, digits=4)
    return 0


def parse_fields(text, known, command):
    """The comma-separated fields of --fields; an unknown one exits 2 with the list."""
    fields = [f.strip() for f in (text or "").split(",") if f.strip()] if text is not None \
        else [f for f in (NAV_DEFAULT if command == "nav" else VALUATION_DEFAULT).split(",")]
    if not fields:
        raise UserError("--fields names no field; valid: %s" % ", ".join(known), status=USAGE)
    bad = [f for f in fields if f not in known]
    if bad:
        raise UserError("unknown field%s %s; valid: %s" % (
            "s" if len(bad) > 1 else "", ", ".join(bad), ", ".join(known)), status=USAGE)
    return fields


def asset_types(args, out):
    found, unknown = data.asset_types(args.ids)
    chinese = data.module("const").AssetType.chinese
    rows = [(oid, found.get(oid, ""), chinese(found[oid]) if oid in found else "(unknown)")
            for oid in args.ids]
    frame = pd.DataFrame(rows, columns=["order_book_id", "asset_type", "name"]).set_index(
        "order_book_id")
    emit(args, out, "Asset types", frame)
    if unknown:
        raise UserError(data.unknown_message(unknown))
    return 0


def industry(args, out):
    dates = data.span_dates(args, out)
    data.classify(args.ids)  # an unknown id is a typo, not a gap
    standard = {"sws": "Shenwan", "citics": "CITIC"}[args.standard]
    names = data.industry_names(args.ids, dates, args.standard)
    missing = [c for c in names.columns if (names[c] == "").all()]
    if len(missing) == names.shape[1]:
        raise UserError("no %s industry for %s %s" % (standard, ", ".join(missing),
                                                      _span_title(dates)))
    report_missing(out, missing, dates)
    emit(args, out, "%s industry %s" % (standard, _span_title(dates)), names)
    return 0


def weights(args, out):
    if args.top < 0:
        raise UserError("--top needs a positive number, not %d" % args.top, status=USAGE)
    dates = data.span_dates(args, out)
    pelmar = data.module("pelmar")
    if data.module("brisel").maybe_bond_index(args.index):
        frame = pelmar.get_bond_index_weight(args.index, dates)
    else:
        frame = pelmar.get_stock_index_weight(args.index, dates)
    table = frame.T
    table = table.loc[table.iloc[:, -1].fillna(0.0).sort_values(ascending=False).index]
    if args.top:
        table = table.head(args.top)
    table.columns = pd.DatetimeIndex(table.columns).strftime("%Y-%m-%d")
    table.index.name = "order_book_id"
    shown = table.iloc[:, -10:]
    emit(args, out, "Weights of %s (%%), largest first on %s%s" % (
        args.index, dates[-1].date(), "; last 10 dates" if table.shape[1] > 10 else ""),
        table, shown=shown if len(shown) <= 60 else shown.head(60),
        note="" if len(shown) <= 60 else "(showing 60 of %d constituents; --csv writes them all)"
        % len(shown))
    return 0


def valuation(args, out):
    source = getattr(data.client().bond, "VALUATION_FIELDS", None)
    known = VALUATION_FIELDS if source is None else tuple(
        f for f in source if f != "time_to_maturity") + ("period_of_repayment",)
    fields = parse_fields(args.fields, known, "valuation")
    dates = data.span_dates(args, out, market="interbank")
    try:
        frame = data.module("caldre").get_chinabond_valuation(
            list(args.ids), list(fields), dates[0].strftime("%Y-%m-%d"),
            dates[-1].strftime("%Y-%m-%d"))
    except Exception as exc:
        if not data.is_missing(exc):
            raise
        # the library names the span by its two ends; the span's dates are counted here
        raise UserError(data.missing_message(exc, dates)) from None
    if isinstance(frame.index, pd.MultiIndex):
        report_missing(out, [o for o in args.ids
                             if o not in set(frame.index.get_level_values(0))], dates)
    emit(args, out, "ChinaBond valuations %s (yields in %%, prices per 100 face)"
         % _span_title(dates), frame, percent=False, digits=4)
    return 0


def curve(args, out):
    dates = data.span_dates(args, out, market="interbank")
    frame = data.module("caldre").get_treasury_bond_yield(dates)
    frame.columns = ["%gY" % t for t in frame.columns]
    frame.index.name = "date"
    emit(args, out, "ChinaBond treasury yield curve (%%, by tenor in years) %s"
         % _span_title(dates), frame, percent=False, digits=4)
    return 0


def calendar(args, out):
    market = "exchange" if args.market == "exchange" else "interbank"
    dates = data.span_dates(args, out, market=market, default_length=20)
    out.line("%d %s trading dates %s" % (len(dates), args.market, _span_title(dates)))
    for k in range(0, len(dates), 8):
        out.line("  " + "  ".join(d.strftime("%Y-%m-%d") for d in dates[k:k + 8]))
    if args.csv:
        write_csv(pd.DataFrame(index=pd.Index(dates.strftime("%Y-%m-%d"), name="date")), args.csv)
        out.wrote(args.csv)
    return 0


def load(args, out):
    local = data.local()
    if args.replace and not args.append:
        raise UserError("--replace goes with --append", status=2)
    try:
        counts = local.load_csv(args.directory, args.database, overwrite=args.force,
                                append=args.append, replace=args.replace)
    except FileExistsError as exc:
        raise UserError("%s; pass --force to replace it" % exc) from None
    except local.CsvError as exc:
        raise UserError(str(exc)) from None
    for line in getattr(counts, "warnings", ()):
        out.warn(line)
    out.line("loaded %s" % ", ".join("%s (%d rows)" % kv for kv in counts.items()))
    out.wrote(args.database)
    out.line("use it with: export %s=%s" % (data.DB_ENV, os.path.abspath(args.database)))
    return 0


def sample(args, out):
    local = data.local()
    try:
        local.write_sample(args.database, stocks=args.stocks, dates=args.dates,
                           overwrite=args.force)
    except FileExistsError:
        raise UserError("%s exists; pass --force to replace it" % args.database) from None
    except ValueError as exc:
        raise UserError(str(exc), status=2) from None
    except OSError as exc:
        raise UserError("cannot write %s: %s" % (args.database, exc.strerror or exc)) from None
    larger = args.stocks is not None or args.dates is not None
    out.wrote(args.database, "a generated market of %s stocks over %s dates" % (
        args.stocks or 60, args.dates or 485) if larger else "the sample market")
    return 0
