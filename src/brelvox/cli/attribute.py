"""The `attribute` command: a portfolio's attribution against a benchmark, or that of every
holdings file in a folder, reading the market data once."""

import concurrent.futures
import multiprocessing
import os
import sys
import warnings

import pandas as pd

from .. import attribution
from ..attribution import market
from . import data
from .errors import USAGE, UserError
from .render import PROG, replacing, write_csv

EFFECTS = attribution.EFFECTS
METHOD_NAMES = {"bf": "Brinson-Fachler", "bhb": "Brinson-Hood-Beebower"}
LINKING_NAMES = {"carino": "Carino", "menchero": "Menchero", "grap": "GRAP",
                 "frongello": "Frongello"}
STANDARD_NAMES = {"sws": "Shenwan", "citics": "CITIC"}
LEVEL_TITLES = {"asset_type": "Level 1, asset types",
                "industry": "Level 2, %s industries inside the stock class"}
# Screen and CSV names of the table columns.
TABLE_COLUMNS = EFFECTS + ("total", "portfolio_weight", "benchmark_weight", "portfolio_return",
                           "benchmark_return")
SHOWN_COLUMNS = {"allocation": "allocation", "selection": "selection",
                 "interaction": "interaction", "total": "total", "portfolio_weight": "wp",
                 "benchmark_weight": "wb", "portfolio_return": "rp", "benchmark_return": "rb"}


def run(args, out):
    _require_chart(args)
    options = _options(args)
    if os.path.isdir(args.holdings):
        return _folder(args, out, options)
    holdings = _read(args.holdings)
    inputs = _inputs([holdings], args)
    report = _report(inputs, holdings, options, out)
    show(report, out, holdings.name)
    write_outputs(report, args.csv, args.plot, args.report, out, holdings.name)
    return 0


def _require_chart(args):
    if args.plot or args.report:
        from .chart import require_matplotlib
        require_matplotlib()


def _options(args):
    return {"method": args.method, "linking_method": args.linking, "rebalance": args.rebalance}


def _start_end(args):
    start = data.parse_date(args.start, "start date") if args.start else None
    end = data.parse_date(args.end, "end date") if args.end else None
    if start is not None and end is not None and start > end:
        raise UserError("the start date %s is after the end date %s" % (start.date(), end.date()),
                        status=USAGE)
    return start, end


def _read(path):
    try:
        return attribution.read_holdings(path)
    except attribution.AttributionError as exc:
        raise UserError(str(exc)) from None


def _inputs(portfolios, args, holdings_errors=False):
    """The market inputs of the portfolios; with `holdings_errors`, a HoldingsError is
    raised as it is (for a folder, to leave that portfolio out)."""
    start, end = _start_end(args)
    try:
        return attribution.MarketInputs(portfolios, args.benchmark, start=start, end=end,
                                        standard=args.standard, cash_rate=args.cash_rate)
    except attribution.AttributionError as exc:
        if holdings_errors and isinstance(exc, attribution.HoldingsError):
            raise
        raise UserError(str(exc)) from None


def _report(inputs, holdings, options, out):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", attribution.AttributionWarning)
        try:
            report = inputs.run(holdings, **options)
        except attribution.AttributionError as exc:
            raise UserError(str(exc)) from None
    for w in caught:
        out.warn(str(w.message))
    return report


# --- the screen -------------------------------------------------------------------------------

def show(report, out, name):
    o = report.options
    out.line("brelvox-marketdata attribute: %s against %s, %s to %s (%d trading dates)" % (
        name, o["benchmark"], report.dates[0].date(), report.dates[-1].date(), len(report.dates)))
    out.line("%s effects each day, %s-linked over the span; weights %s; industries %s%s" % (
        METHOD_NAMES[o["method"]], LINKING_NAMES[o["linking"]],
        "rebalanced daily" if o["rebalance"] == "daily" else "drifting with returns",
        STANDARD_NAMES[o["standard"]],
        "; cash at %g %% a year" % (100 * o["cash_rate"]) if o["cash_rate"] else ""))
    returns = pd.DataFrame({"return": [report.portfolio_return, report.benchmark_return,
                                       report.active_return]},
                           index=pd.Index(["portfolio", "benchmark", "active"], name=""))
    out.table("Returns over the span (%)", returns, shown=returns)
    if len(report.reconciliation):
        out.table("The benchmark's indexes: return built from their constituents and the "
                  "index's own, from its closes (%)", report.reconciliation,
                  shown=report.reconciliation, digits=4)
    for key, level in report.levels.items():
        title = LEVEL_TITLES[key] % STANDARD_NAMES[o["standard"]] if key == "industry" \
            else LEVEL_TITLES[key]
        table = level.table.rename(columns=SHOWN_COLUMNS)
        out.table("%s: linked effects, average start-of-day weights (wp, wb) and returns "
                  "(rp, rb) over the span (%%)" % title, table, shown=table)
    total = report.asset_types.table.loc["total"]
    out.line("active %.3f %% = allocation %.3f + selection %.3f + interaction %.3f" % (
        100 * report.active_return, *(100 * total[e] for e in EFFECTS)))


# --- files ----------------------------------------------------------------------------------

def write_outputs(report, csv_dir, plot, page, out, name):
    if csv_dir:
        for path in write_tables(report, csv_dir):
            out.wrote(path)
    if plot:
        from .chart import attribution_chart
        with replacing(plot, "wb") as f:
            f.write(attribution_chart(report, name))
        out.wrote(plot, "cumulative effects chart")
    if page:
        from .html import write_page
        write_page(report, name, page)
        out.wrote(page, "report")


def write_tables(report, directory):
    """The report's CSV files in `directory`; returns their paths."""
    tables = {
        "summary": report.summary(),
        "asset_types": report.asset_types.table[list(TABLE_COLUMNS)],
        "industries": report.industries.table[list(TABLE_COLUMNS)],
        "daily_effects": report.daily_effects().set_index("date"),
        "daily_groups": report.daily_groups().set_index("date"),
    }
    paths = []
    for name, frame in tables.items():
        path = os.path.join(directory, name + ".csv")
        write_csv(frame, path)
        paths.append(path)
    return paths


# --- a folder of portfolios ----------------------------------------------------------------

_shared = {}  # what forked workers read: the market inputs and the options


def _folder(args, out, options):
    files = sorted(f for f in os.listdir(args.holdings) if f.lower().endswith(".csv"))
    if not files:
        raise UserError("%s holds no .csv holdings files" % args.holdings)
    if (args.plot or args.report) and not args.csv:
        raise UserError("for a folder, --plot and --report need --csv DIR: each portfolio's "
                        "chart and page go into its own folder there", status=USAGE)
    failed, portfolios = [], []
    for f in files:
        try:
            portfolios.append(attribution.read_holdings(os.path.join(args.holdings, f)))
        except attribution.AttributionError as exc:
            failed.append((f, str(exc)))
    inputs = None
    while portfolios and inputs is None:
        try:
            inputs = _inputs(portfolios, args, holdings_errors=True)
        except attribution.HoldingsError as exc:
            bad = [h for h in portfolios if h.source == exc.source]
            if not bad:
                raise UserError(str(exc)) from None
            failed.append((os.path.basename(exc.source), str(exc)))
            portfolios = [h for h in portfolios if h is not bad[0]]
    rows = []
    if portfolios:
        _shared.update(inputs=inputs, options=options, args=args)
        for name, result in _run_all(portfolios, args.jobs):
            if isinstance(result, str):
                failed.append((name, result))
            else:
                notes, row = result
                for note in notes:
                    out.warn(note)
                rows.append(row)
    if rows:
        table = pd.DataFrame(rows).set_index("portfolio").sort_index()
        out.table("Attribution of %d portfolios against %s (%%)" % (len(rows), args.benchmark),
                  table, shown=table)
        if args.csv:
            out.wrote(os.path.join(args.csv, "<portfolio>") + os.sep,
                      "%d folders, one per portfolio" % len(rows))
    for name, text in sorted(failed):
        print("%s: error: %s: %s" % (PROG, name, " ".join(text.split())), file=sys.stderr)
    if not rows:
        return 1
    return 1 if failed else 0


def _run_all(portfolios, jobs):
    if jobs > 1 and "fork" in multiprocessing.get_all_start_methods():
        context = multiprocessing.get_context("fork")
        with concurrent.futures.ProcessPoolExecutor(max_workers=jobs, mp_context=context) as pool:
            futures = [pool.submit(_one, h) for h in portfolios]
            for h, future in zip(portfolios, futures):
                yield h.name, future.result()
    else:
        for h in portfolios:
            yield h.name, _one(h)


def _one(holdings):
    """(notes, summary row) of one portfolio of the folder, or the error's text."""
    inputs, options, args = _shared["inputs"], _shared["options"], _shared["args"]
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", attribution.AttributionWarning)
            report = inputs.run(holdings, **options)
        if args.csv:
            target = os.path.join(args.csv, holdings.name)
            write_tables(report, target)
            plot = os.path.join(target, os.path.basename(args.plot)) if args.plot else None
            page = os.path.join(target, os.path.basename(args.report)) if args.report else None
            if plot or page:
                write_outputs(report, None, plot, page, _Silent(), holdings.name)
    except (attribution.AttributionError, UserError, market.DataUnavailable) as exc:
        return str(exc)
    total = report.asset_types.table.loc["total"]
    row = {"portfolio": holdings.name, "start": report.dates[0].strftime("%Y-%m-%d"),
           "end": report.dates[-1].strftime("%Y-%m-%d"),
           "portfolio_return": report.portfolio_return,
           "benchmark_return": report.benchmark_return, "active": report.active_return}
    row.update({e: total[e] for e in EFFECTS})
    return ["%s: %s" % (holdings.name, str(w.message)) for w in caught], row


class _Silent:
    def wrote(self, *a, **k):
        pass
