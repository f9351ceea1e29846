"""brelvox-marketdata: the market-data layer on the command line.

`demo` runs a sample multi-asset portfolio through the package as the attribution engine
does; the other commands answer one question each for ids and a date span.
Exit status: 0 done, 1 no such data or instrument, 2 bad command line.
"""

import argparse
import datetime
import importlib
import os
import sys

import pandas as pd

PROG = "brelvox-marketdata"
DB_ENV = "ONDRAX_LOCAL_DB"

# A portfolio of the sample market: (order_book_id, weight).
DEMO_HOLDINGS = (
    ("600100.XSHG", 0.08),   # pays cash dividends
    ("300142.XSHE", 0.08),   # split 2-for-1
    ("600156.XSHG", 0.07),   # reclassified by both standards
    ("000247.XSHE", 0.06),
    ("510060.XSHG", 0.10),   # ETF on the benchmark
    ("161005.XSHE", 0.05),   # LOF
    ("SX2603", 0.04),        # index future
    ("10008001", 0.02),      # ETF call option
    ("019727.XSHG", 0.12),   # exchange twin of an interbank treasury
    ("2380101.NIB", 0.08),   # amortising corporate bond
    ("2480055.NIB", 0.06),
    ("970101", 0.08),        # money-market fund
    ("970201", 0.06),        # net-value fund
    ("CNY", 0.10),
)
DEMO_SPAN = ("2025-07-01", "2025-12-31")
DEMO_BENCHMARK = "000060.XSHG"

# Asset type code -> daily-return function of brelvox.marketdata.quenta.
RETURN_FUNCTIONS = {
    "stock": "get_equity_daily_returns",
    "fund": "get_equity_daily_returns",
    "index": "get_equity_daily_returns",
    "convertible": "get_equity_daily_returns",
    "futures": "get_future_daily_returns",
    "option": "get_option_daily_returns",
    "bond": "get_bond_daily_returns",
    "public_fund": "get_public_fund_daily_returns",
    "cash": "get_cash_daily_returns",
}
PRICED_AS_EQUITY = ("stock", "fund", "index", "option", "convertible")


class UserError(Exception):
    """A problem with what the user asked for: one line, no traceback."""

    def __init__(self, message, status=1):
        super().__init__(message)
        self.status = status


# --- plumbing -------------------------------------------------------------------------------

def _module(name):
    path = name if name in ("const",) else "marketdata." + name
    try:
        return importlib.import_module("brelvox." + path)
    except ImportError as exc:
        raise UserError("brelvox.%s is not available (%s)" % (path, exc)) from None


def _client():
    """The data client that the package's modules talk to."""
    return _module("quenta").ondrax


def _local():
    local = getattr(_client(), "local", None)
    if local is None:
        raise UserError("this needs the local data client (pip install ./clients/local)")
    return local


def _parse_date(text, what):
    for fmt in ("%Y-%m-%d", "%Y%m%d"):
        try:
            return pd.Timestamp(datetime.datetime.strptime(text, fmt))
        except ValueError:
            pass
    raise UserError("bad %s %r (expected YYYY-MM-DD)" % (what, text), status=2)


def _span(args):
    """(start, end) Timestamps from --date / --start / --end; by default the last 20
    trading dates of the data."""
    if getattr(args, "date", None):
        day = _parse_date(args.date, "date")
        return day, day
    end = _parse_date(args.end, "end date") if args.end else None
    start = _parse_date(args.start, "start date") if args.start else None
    if end is None:
        local = getattr(_client(), "local", None)
        if local is not None:
            end = pd.Timestamp(local.calendar_span()[1])
        else:
            end = pd.Timestamp(_client().get_previous_trading_date(datetime.date.today()))
        if start is not None and start > end:
            end = start
    if start is None:
        start = pd.Timestamp(_module("tolvik").get_exchange_previous_trading_date(end, 19))
    if start > end:
        raise UserError("the start date %s is after the end date %s"
                        % (start.date(), end.date()), status=2)
    return start, end


def _trading_dates(start, end, market="exchange"):
    tolvik = _module("tolvik")
    get = tolvik.get_exchange_trading_dates if market == "exchange" else tolvik.get_bank_trading_dates
    dates = pd.DatetimeIndex(get(start.date(), end.date()), name="date")
    if dates.empty:
        raise UserError("no %s trading dates from %s to %s" % (market, start.date(), end.date()))
    return dates


def classify(order_book_ids):
    """Asset type code of each id, as the engine routes holdings: the catalogue's
    classification first, then cash ids, then the bond and convertible catalogues."""
    types, unknown = _asset_types(order_book_ids)
    if unknown:
        raise UserError("unknown instrument%s: %s" % ("s" if len(unknown) > 1 else "",
                                                      ", ".join(unknown)))
    return types


def _asset_types(order_book_ids):
    brisel = _module("brisel")
    types = dict(brisel.get_asset_types(list(order_book_ids)))
    client = brisel.ondrax
    unknown = []
    for oid in order_book_ids:
        if oid in types:
            continue
        code = brisel.get_asset_type(oid)
        if code is None and client.bond.instruments(oid) is not None:
            code = "bond"
        if code is None and client.convertible.instruments(oid) is not None:
            code = "convertible"
        if code is None:
            unknown.append(oid)
        else:
            types[oid] = code
    return {oid: types[oid] for oid in order_book_ids if oid in types}, unknown


def daily_returns(types, dates):
    """Returns frame (dates x ids, in the order of `types`) routed by asset type."""
    quenta = _module("quenta")
    groups = {}
    for oid, code in types.items():
        if code not in RETURN_FUNCTIONS:
            raise UserError("no daily returns for %s of asset type %s" % (oid, code))
        groups.setdefault(RETURN_FUNCTIONS[code], []).append(oid)
    parts = []
    for name, ids in groups.items():
        if name == "get_bond_daily_returns":
            part = _bond_returns(quenta, ids, dates)
        else:
            part = getattr(quenta, name)(ids, dates)
        parts.append(part.reindex(columns=ids, fill_value=0.0))
    frame = pd.concat(parts, axis=1).reindex(index=dates, columns=list(types)).fillna(0.0)
    frame.index.name, frame.columns.name = "date", "order_book_id"
    return frame


def _bond_returns(quenta, ids, dates):
    """Bond returns on `dates`, each compounding the interbank trading days since the
    previous date, so weekend working days of the bond market are not lost."""
    tolvik = _module("tolvik")
    first = pd.Timestamp(tolvik.get_exchange_previous_trading_date(dates[0])) + pd.Timedelta(days=1)
    bank = pd.DatetimeIndex(tolvik.get_bank_trading_dates(first.date(), dates[-1].date()),
                            name="date")
    if bank.empty or bank.isin(dates).all():
        return quenta.get_bond_daily_returns(ids, dates)
    daily = quenta.get_bond_daily_returns(ids, bank)
    slot = dates.searchsorted(bank)  # the first of `dates` on or after each bond market day
    keep = slot < len(dates)
    growth = (1.0 + daily[keep]).groupby(dates[slot[keep]]).prod() - 1.0
    return growth.reindex(dates, fill_value=0.0)


def cumulative(returns):
    return (1.0 + returns).prod() - 1.0


def _print_frame(title, frame, percent=True, digits=3):
    print()
    print(title)
    print("-" * len(title))
    shown = frame.copy()
    fmt = ("{:.%df}" % digits).format
    for col in shown.columns:
        if pd.api.types.is_float_dtype(shown[col]):
            values = shown[col] * (100.0 if percent else 1.0)
            shown[col] = values.map(lambda v: "" if pd.isna(v) else fmt(v))
    with pd.option_context("display.unicode.east_asian_width", True, "display.width", 250,
                           "display.max_columns", 100, "display.max_rows", 1000):
        print(shown.to_string())


def _write_csv(frame, path):
    try:
        frame.to_csv(path)
    except OSError as exc:
        raise UserError("cannot write %s: %s" % (path, exc.strerror or exc)) from None


def _date_labels(dates):
    return [d.strftime("%Y-%m-%d") for d in dates]


def _by_date_table(returns, types, last=10):
    """Rows per column of `returns`: its type, the last `last` returns and the cumulative."""
    table = returns.iloc[-last:].T
    table.columns = _date_labels(returns.index[-last:])
    table.insert(0, "asset_type", [types.get(c, "") for c in returns.columns])
    table["cumulative"] = cumulative(returns)
    table.index.name = returns.columns.name
    return table


def _industry_names(frame):
    """One-hot industry frame -> Series of the industry name per row ('' for none)."""
    if frame.shape[1] == 0:
        return pd.Series("", index=frame.index)
    names = frame.idxmax(axis=1)
    return names.where(frame.sum(axis=1) > 0, "")


def _symbols(order_book_ids):
    try:
        found = _module("brisel").get_instruments(list(order_book_ids))
    except UserError:
        return ["" for _ in order_book_ids]
    return [getattr(found.get(oid), "symbol", "") or "" for oid in order_book_ids]


# --- demo -----------------------------------------------------------------------------------

def cmd_demo(args):
    if args.plot:
        _need_matplotlib()
    start, end = (_parse_date(d, "date") for d in DEMO_SPAN)
    ids = [h[0] for h in DEMO_HOLDINGS]
    weights = pd.Series(dict(DEMO_HOLDINGS))
    try:
        types = classify(ids)
    except UserError as exc:
        raise UserError("%s; the demo runs on the bundled sample (unset %s)" % (exc, DB_ENV))
    dates = _trading_dates(start, end)
    returns = daily_returns(types, dates)
    last = dates[-1]

    print("%s demo: %d holdings over %d trading dates from %s to %s"
          % (PROG, len(ids), len(dates), dates[0].date(), last.date()))
    local = getattr(_client(), "local", None)
    if local is not None:
        print("data: %s" % local.database_path())

    frames = {}
    by_holding = _by_date_table(returns, types)
    by_holding.insert(1, "weight", weights.reindex(by_holding.index))
    frames["holding_returns"] = by_holding
    _print_frame("Daily returns by holding, last 10 dates, and cumulative over the span (%)",
                 by_holding)

    type_order = list(dict.fromkeys(types.values()))
    type_returns = pd.DataFrame(index=dates)
    for code in type_order:
        members = [oid for oid in ids if types[oid] == code]
        w = weights[members] / weights[members].sum()
        type_returns[code] = returns[members].mul(w, axis=1).sum(axis=1)
    # the portfolio at constant weights (rebalanced daily)
    type_returns["portfolio"] = returns[ids].mul(weights[ids], axis=1).sum(axis=1)
    type_returns.columns.name = "asset_type"
    by_type = _by_date_table(type_returns, {c: "" for c in type_returns.columns})
    by_type = by_type.drop(columns="asset_type")
    by_type.insert(0, "weight", [weights[[o for o in ids if types[o] == c]].sum()
                                 for c in type_order] + [weights.sum()])
    chinese = getattr(_module("const"), "AssetType").chinese
    by_type.insert(0, "name", [chinese(c) if c != "portfolio" else "组合" for c in by_type.index])
    frames["asset_type_returns"] = by_type
    _print_frame("Daily returns by asset type (holdings weighted within the type), "
                 "last 10 dates, and cumulative (%)", by_type)

    stocks = [oid for oid in ids if types[oid] == "stock"]
    sorvan = _module("sorvan")
    industries = pd.DataFrame({
        "symbol": _symbols(stocks),
        "sws": _industry_names(sorvan.get_stock_industry(stocks, [last], "sws")).to_numpy(),
        "citics": _industry_names(sorvan.get_stock_industry(stocks, [last], "citics")).to_numpy(),
    }, index=pd.Index(stocks, name="order_book_id"))
    frames["stock_industries"] = industries
    _print_frame("Industry of the stock holdings on %s (Shenwan, CITIC)" % last.date(), industries)

    weights_frame = _module("pelmar").get_stock_index_weight(DEMO_BENCHMARK, dates)
    top = weights_frame.iloc[-1].sort_values(ascending=False).head(10)
    top_frame = pd.DataFrame({"symbol": _symbols(top.index), "weight": top.to_numpy()},
                             index=pd.Index(top.index, name="order_book_id"))
    frames["benchmark_weights"] = top_frame
    _print_frame("Benchmark %s: ten largest weights on %s (%%; its %d weights sum to %.2f)"
                 % (DEMO_BENCHMARK, last.date(), weights_frame.shape[1],
                    100.0 * weights_frame.iloc[-1].sum()), top_frame)

    curve = _module("caldre").get_treasury_bond_yield(dates).iloc[[-1]]
    curve.columns = ["%gY" % t for t in curve.columns]
    curve.index = _date_labels(curve.index)
    curve.index.name = "date"
    frames["treasury_curve"] = curve
    _print_frame("ChinaBond treasury yield curve on %s (%%, by tenor in years)" % last.date(),
                 curve, percent=False, digits=4)

    if args.csv:
        try:
            os.makedirs(args.csv, exist_ok=True)
        except OSError as exc:
            raise UserError("cannot create %s: %s" % (args.csv, exc.strerror or exc)) from None
        for name, frame in frames.items():
            _write_csv(frame, os.path.join(args.csv, name + ".csv"))
        print("\nwrote %d CSV files to %s" % (len(frames), args.csv))
    if args.plot:
        _plot(type_returns, args.plot)
        print("\nwrote the cumulative returns chart to %s" % args.plot)
    return 0


def _need_matplotlib():
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise UserError("--plot needs matplotlib: pip install matplotlib") from None


def _plot(type_returns, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    growth = (1.0 + type_returns).cumprod() - 1.0
    fig, ax = plt.subplots(figsize=(10, 5.5))
    for column in growth.columns:
        ax.plot(growth.index, growth[column] * 100.0, label=column,
                linewidth=2.4 if column == "portfolio" else 1.2)
    ax.set_ylabel("cumulative return (%)")
    ax.set_title("Sample portfolio: cumulative return by asset type")
    ax.grid(alpha=0.3)
    ax.legend(loc="best", fontsize=8)
    fig.autofmt_xdate()
    try:
        fig.savefig(path, dpi=110, bbox_inches="tight")
    except (OSError, ValueError) as exc:
        raise UserError("cannot write %s: %s" % (path, exc)) from None
    finally:
        plt.close(fig)


# --- queries --------------------------------------------------------------------------------

def _emit(args, title, frame, **fmt):
    _print_frame(title, frame, **fmt)
    if args.csv:
        _write_csv(frame, args.csv)


def cmd_returns(args):
    start, end = _span(args)
    types = classify(args.ids)
    dates = _trading_dates(start, end)
    frame = daily_returns(types, dates)
    frame.index = _date_labels(frame.index)
    frame.index.name = "date"
    _emit(args, "Daily returns (%%) from %s to %s" % (start.date(), end.date()), frame)
    return 0


def cmd_prices(args):
    start, end = _span(args)
    types = classify(args.ids)
    oprane = _module("oprane")
    dates = _trading_dates(start, end)
    equity = [o for o, t in types.items() if t in PRICED_AS_EQUITY]
    futures = [o for o, t in types.items() if t == "futures"]
    other = [o for o, t in types.items() if t not in PRICED_AS_EQUITY and t != "futures"]
    if other:
        raise UserError("no traded prices for %s (asset type %s; see the valuation command)"
                        % (", ".join(other), ", ".join(sorted({types[o] for o in other}))))
    parts = []
    if equity:
        parts.append(oprane.get_equity_price(equity, dates))
    if futures:
        parts.append(oprane.get_futures_price(futures, dates))
    frame = pd.concat(parts, axis=1).reindex(columns=list(types))
    frame.index = _date_labels(frame.index)
    frame.index.name = "date"
    _emit(args, "Prices (close; settlement for futures; post-adjusted) from %s to %s"
          % (start.date(), end.date()), frame, percent=False)
    return 0


def cmd_asset_types(args):
    found, _ = _asset_types(args.ids)
    chinese = _module("const").AssetType.chinese
    rows = []
    for oid in args.ids:
        code = found.get(oid)
        rows.append((oid, code or "", chinese(code) if code else "(unknown)"))
    frame = pd.DataFrame(rows, columns=["order_book_id", "asset_type", "name"]).set_index(
        "order_book_id")
    _emit(args, "Asset types", frame)
    missing = [r[0] for r in rows if not r[1]]
    if missing:
        raise UserError("unknown instrument%s: %s" % ("s" if len(missing) > 1 else "",
                                                      ", ".join(missing)))
    return 0


def cmd_industry(args):
    start, end = _span(args)
    dates = _trading_dates(start, end)
    onehot = _module("sorvan").get_stock_industry(list(args.ids), dates, args.standard)
    names = _industry_names(onehot).unstack("order_book_id").reindex(columns=args.ids)
    names.index = _date_labels(names.index)
    names.index.name = "date"
    _emit(args, "%s industry from %s to %s" % ({"sws": "Shenwan", "citics": "CITIC"}[args.standard],
                                              start.date(), end.date()), names)
    return 0


def cmd_weights(args):
    start, end = _span(args)
    pelmar = _module("pelmar")
    brisel = _module("brisel")
    dates = _trading_dates(start, end)
    if brisel.maybe_bond_index(args.index):
        frame = pelmar.get_bond_index_weight(args.index, dates)
    else:
        frame = pelmar.get_stock_index_weight(args.index, dates)
    table = frame.T
    table = table.loc[table.iloc[:, -1].fillna(0.0).sort_values(ascending=False).index]
    if args.top:
        table = table.head(args.top)
    table = table.iloc[:, -10:]
    table.columns = _date_labels(table.columns)
    table.index.name = "order_book_id"
    _emit(args, "Weights of %s (%%), largest first on %s; last 10 dates" % (args.index, end.date()),
          table)
    return 0


def cmd_valuation(args):
    start, end = _span(args)
    fields = [f.strip() for f in args.fields.split(",") if f.strip()]
    if not fields:
        raise UserError("--fields names no field", status=2)
    frame = _module("caldre").get_chinabond_valuation(
        list(args.ids), fields, start.strftime("%Y-%m-%d"), end.strftime("%Y-%m-%d"))
    _emit(args, "ChinaBond valuations from %s to %s" % (start.date(), end.date()), frame,
          percent=False, digits=4)
    return 0


def cmd_curve(args):
    start, end = _span(args)
    dates = _trading_dates(start, end, "interbank")
    frame = _module("caldre").get_treasury_bond_yield(dates)
    frame.columns = ["%gY" % t for t in frame.columns]
    frame.index = _date_labels(frame.index)
    frame.index.name = "date"
    _emit(args, "ChinaBond treasury yield curve (%%) from %s to %s" % (start.date(), end.date()),
          frame, percent=False, digits=4)
    return 0


def cmd_calendar(args):
    start, end = _span(args)
    tolvik = _module("tolvik")
    get = tolvik.get_exchange_trading_dates if args.market == "exchange" else \
        tolvik.get_bank_trading_dates
    days = get(start.date(), end.date())
    print("%d %s trading dates from %s to %s" % (len(days), args.market, start.date(), end.date()))
    for k in range(0, len(days), 8):
        print("  " + "  ".join(d.strftime("%Y-%m-%d") for d in days[k:k + 8]))
    if args.csv:
        _write_csv(pd.DataFrame({"date": [d.strftime("%Y-%m-%d") for d in days]}).set_index("date"),
                   args.csv)
    return 0


def cmd_load(args):
    local = _local()
    if args.replace and not args.append:
        raise UserError("--replace goes with --append", status=2)
    try:
        counts = local.load_csv(args.directory, args.database, overwrite=args.force,
                                append=args.append, replace=args.replace)
    except FileExistsError as exc:
        raise UserError("%s; pass --force to replace it" % exc, status=1) from None
    except local.CsvError as exc:
        raise UserError(str(exc)) from None
    for line in getattr(counts, "warnings", ()):
        print(line, file=sys.stderr)
    print("loaded %s into %s" % (", ".join("%s (%d rows)" % kv for kv in counts.items()),
                                 args.database))
    print("use it with: export %s=%s" % (DB_ENV, os.path.abspath(args.database)))
    return 0


def cmd_sample(args):
    local = _local()
    try:
        local.write_sample(args.database, stocks=args.stocks, dates=args.dates,
                           overwrite=args.force)
    except FileExistsError:
        raise UserError("%s exists; pass --force to replace it" % args.database) from None
    except ValueError as exc:
        raise UserError(str(exc), status=2) from None
    except OSError as exc:
        raise UserError("cannot write %s: %s" % (args.database, exc.strerror or exc)) from None
    print("wrote the sample market to %s" % args.database)
    return 0


# --- command line ---------------------------------------------------------------------------

def build_parser():
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--db", metavar="FILE",
                        help="SQLite database of the local client (sets %s)" % DB_ENV)
    common.add_argument("--traceback", action="store_true", help=argparse.SUPPRESS)
    span = argparse.ArgumentParser(add_help=False)
    span.add_argument("--start", metavar="DATE", help="first date, YYYY-MM-DD")
    span.add_argument("--end", metavar="DATE", help="last date (default: the last date of the data)")
    span.add_argument("--date", metavar="DATE", help="a single date (instead of --start/--end)")
    span.add_argument("--csv", metavar="FILE", help="also write the frame to a CSV file")

    parser = argparse.ArgumentParser(
        prog=PROG, description="The brelvox market-data layer on the command line.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="Without --start the span is the last 20 trading dates up to --end.\n"
               "With the local data client, --db FILE (or %s) picks the database.\n"
               "Exit status: 0 done, 1 no such data or instrument, 2 bad command line." % DB_ENV)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    p = sub.add_parser("demo", parents=[common], help="run the sample multi-asset portfolio")
    p.add_argument("--csv", metavar="DIR", help="write every printed frame as CSV into DIR")
    p.add_argument("--plot", metavar="FILE.png", help="draw the cumulative returns (matplotlib)")
    p.set_defaults(func=cmd_demo)

    for name, func, text in (("returns", cmd_returns, "daily returns, routed by asset type"),
                             ("prices", cmd_prices, "prices aligned to trading dates")):
        p = sub.add_parser(name, parents=[common, span], help=text)
        p.add_argument("ids", nargs="+", metavar="ID")
        p.set_defaults(func=func)
    p = sub.add_parser("asset-types", parents=[common], help="asset type of each id")
    p.add_argument("ids", nargs="+", metavar="ID")
    p.add_argument("--csv", metavar="FILE", help="also write the frame to a CSV file")
    p.set_defaults(func=cmd_asset_types)
    p = sub.add_parser("industry", parents=[common, span], help="industry of stocks by date")
    p.add_argument("ids", nargs="+", metavar="ID")
    p.add_argument("--standard", choices=("sws", "citics"), default="sws")
    p.set_defaults(func=cmd_industry)
    p = sub.add_parser("weights", parents=[common, span], help="constituent weights of an index")
    p.add_argument("index", metavar="INDEX")
    p.add_argument("--top", type=int, default=0, metavar="N", help="only the N largest")
    p.set_defaults(func=cmd_weights)
    p = sub.add_parser("valuation", parents=[common, span], help="ChinaBond bond valuations")
    p.add_argument("ids", nargs="+", metavar="ID")
    p.add_argument("--fields", default="yield_to_maturity,dirty_price_eod,accrued_interest_eod,"
                   "modified_duration,period_of_repayment", help="comma-separated fields")
    p.set_defaults(func=cmd_valuation)
    p = sub.add_parser("curve", parents=[common, span], help="treasury yield curve by tenor")
    p.set_defaults(func=cmd_curve)
    p = sub.add_parser("calendar", parents=[common, span], help="trading dates")
    p.add_argument("--market", choices=("exchange", "interbank"), default="exchange")
    p.set_defaults(func=cmd_calendar)
    p = sub.add_parser("load", parents=[common], help="load CSV files into a new database")
    p.add_argument("directory", metavar="CSV_DIR")
    p.add_argument("database", metavar="NEW.duckdb")
    p.add_argument("--force", action="store_true", help="replace an existing database file")
    p.add_argument("--append", action="store_true",
                   help="add the files' rows to the existing database instead")
    p.add_argument("--replace", action="store_true",
                   help="with --append: rows may replace stored ones with the same key")
    p.set_defaults(func=cmd_load)
    p = sub.add_parser("sample", parents=[common], help="write the sample market to a file")
    p.add_argument("database", metavar="NEW.duckdb")
    p.add_argument("--force", action="store_true", help="replace an existing database file")
    p.add_argument("--stocks", type=int, metavar="N",
                   help="a larger market of N stocks (the sample has 60)")
    p.add_argument("--dates", type=int, metavar="M",
                   help="over M exchange trading dates up to 2025-12-31 (the sample has 485)")
    p.set_defaults(func=cmd_sample)
    return parser


def _tolerant_output():
    # names are Chinese; a terminal that cannot show them gets escapes, not a crash
    for stream in (sys.stdout, sys.stderr):
        encoding = (getattr(stream, "encoding", None) or "").lower().replace("-", "")
        if encoding != "utf8" and hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")


def main(argv=None):
    _tolerant_output()
    args = build_parser().parse_args(argv)
    if args.db:
        os.environ[DB_ENV] = args.db
    try:
        return args.func(args)
    except UserError as exc:
        return _fail(exc, exc.status, args)
    except BrokenPipeError:
        sys.stderr.close()
        return 0
    except KeyboardInterrupt:
        return 130
    except Exception as exc:  # data absent, unknown ids, unreadable database...
        return _fail(exc, 1, args)


def _fail(exc, status, args):
    if args.traceback:
        raise exc
    text = str(exc) if not isinstance(exc, KeyError) else "not found: %s" % exc
    print("%s: error: %s" % (PROG, " ".join(text.split()) or type(exc).__name__),
          file=sys.stderr)
    return status


if __name__ == "__main__":
    sys.exit(main())
