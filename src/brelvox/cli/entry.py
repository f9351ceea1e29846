"""The parser and `main`: options to a command, a command to an exit status."""

import argparse
import os
import sys
import textwrap

from . import attribute, commands, demo
from .data import DB_ENV, missing_message, is_missing
from .errors import EXIT_STATUS_HELP, NO_DATA, USAGE, UserError
from .render import CSV_RULE, PROG, Output

DESCRIPTION = """\
The brelvox market-data layer on the command line. Its main job, `attribute`, attributes a
portfolio's own holdings against a benchmark on two levels (asset types, then industries
inside the stock class), with Brinson-Fachler or Brinson-Hood-Beebower effects linked over
the span; `demo` runs it on the sample market's portfolio. The other commands answer one
question each."""

GENERAL = "%s\n\n%s" % (textwrap.fill(
    "--quiet prints only errors, warnings and the names of the files written. With the local "
    "data client, --db FILE (or %s) picks the database. --db and --quiet go before or after "
    "the command." % DB_ENV, 92), textwrap.fill(EXIT_STATUS_HELP, 92))

EPILOG = """\
Dates: --start/--end give a span (default: the last 20 trading dates up to --end, or up to
the last date of the data); --date gives one date, and a date that is not a trading date
means the last trading date before it. --date cannot be combined with --start or --end.
Ids without data in the span are named on stderr; the others are shown. Empty cells are
dates outside an instrument's listing.

%s

%s""" % (textwrap.fill(CSV_RULE, 92), GENERAL)


ATTRIBUTE_EPILOG = """\
HOLDINGS is a CSV file with the columns date, order_book_id and weight (a fraction of the
portfolio, negative for a short) or quantity (shares, contracts, bonds of 100 face, fund
units, cash), one row per position at the close of its date, held until the next holdings
date; or a folder of such files, each attributed against the same benchmark (reading the
market data once), with one output folder per portfolio inside --csv DIR.

The span runs from --start (default: the trading date after the first holdings date) to
--end (default: the last date of the data). Each day's effects use the weights at the start
of the day; they are linked over the span so that they add up to the active return, the
portfolio's compounded return minus the benchmark's.

--csv DIR writes summary.csv, asset_types.csv and industries.csv (the span's totals, linked)
and daily_effects.csv and daily_groups.csv (every date of the span), returns, weights and
effects as fractions.

%s""" % GENERAL

DEMO_EPILOG = """\
The demo is `attribute` on the sample market's portfolio (25 holdings as quantities on
2025-06-30, written beside the sample database) against 000060.XSHG:0.6,KVX1001.INDX:0.3,
CNY:0.1 from 2025-07-01 to 2025-12-31; its first lines print the equivalent command. It
needs the local data client and its bundled sample.

%s""" % GENERAL

LOAD_EPILOG = """\
CSV_DIR holds one file per table (prices.csv, calendar.csv, ...; see the local client's
README). Every value is checked before anything is written: a refused file is named with
its line, and the database is left as it was. Unusual but possible rows (a close that moves
beyond 50 %% without a split or dividend, a weekend date in the exchange calendar, a stock
without prices) are loaded and named in warnings.

%s""" % GENERAL


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        self.print_usage(sys.stderr)
        self.exit(USAGE, "%s: error: %s\n" % (PROG, message))


def _general_options(parser, default):
    """--db and --quiet; a command's own copies default to SUPPRESS so that they do not
    overwrite the values given before the command."""
    parser.add_argument("--db", metavar="FILE", default=default(None),
                        help="database of the local data client (sets %s)" % DB_ENV)
    parser.add_argument("--quiet", "-q", action="store_true", default=default(False),
                        help="print only errors, warnings and the files written")
    parser.add_argument("--traceback", action="store_true", default=default(False),
                        help=argparse.SUPPRESS)


def build_parser():
    common = argparse.ArgumentParser(add_help=False)
    _general_options(common, lambda value: argparse.SUPPRESS)
    span = argparse.ArgumentParser(add_help=False)
    span.add_argument("--start", metavar="DATE", help="first date, YYYY-MM-DD")
    span.add_argument("--end", metavar="DATE", help="last date (default: the last date of the data)")
    span.add_argument("--date", metavar="DATE",
                      help="one date (the last trading date on or before it); not with --start/--end")
    span.add_argument("--csv", metavar="FILE", help="also write the whole table to FILE "
                      "(returns and weights as fractions)")

    parser = _Parser(prog=PROG, description=DESCRIPTION, epilog=EPILOG,
                     formatter_class=argparse.RawDescriptionHelpFormatter)
    _general_options(parser, lambda value: value)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True,
                                parser_class=_Parser)

    def command(name, func, text, parents=(common, span), epilog=EPILOG):
        p = sub.add_parser(name, parents=list(parents), help=text, description=text,
                           epilog=epilog, formatter_class=argparse.RawDescriptionHelpFormatter)
        p.set_defaults(func=func)
        return p

    outputs = argparse.ArgumentParser(add_help=False)
    outputs.add_argument("--csv", metavar="DIR", help="write the tables as CSV files into DIR")
    outputs.add_argument("--plot", metavar="FILE.png", help="draw the cumulative linked "
                         "effects and the active return (needs matplotlib)")
    outputs.add_argument("--report", metavar="FILE.html", help="write one self-contained HTML "
                         "page with the tables and the chart (needs matplotlib)")
    p = command("attribute", attribute.run, "the main job: attribution of a portfolio's "
                "holdings against a benchmark, by asset type and industry",
                parents=[common, outputs], epilog=ATTRIBUTE_EPILOG)
    p.add_argument("holdings", metavar="HOLDINGS", help="holdings CSV file, or a folder of them")
    p.add_argument("--benchmark", required=True, metavar="BENCHMARK",
                   help="an index, cash (CNY), or a composite rebalanced daily such as "
                   "000060.XSHG:0.6,KVX1001.INDX:0.3,CNY:0.1")
    p.add_argument("--start", metavar="DATE", help="first date (default: the trading date "
                   "after the first holdings date)")
    p.add_argument("--end", metavar="DATE", help="last date (default: the last date of the data)")
    p.add_argument("--standard", choices=("sws", "citics"), default="sws",
                   help="industries: Shenwan (sws, the default) or CITIC (citics)")
    p.add_argument("--method", choices=("bf", "bhb"), default="bf",
                   help="Brinson-Fachler (bf, the default) or Brinson-Hood-Beebower (bhb)")
    p.add_argument("--linking", choices=("carino", "menchero", "grap", "frongello"),
                   default="carino", help="how daily effects are linked (default carino)")
    p.add_argument("--rebalance", choices=("none", "daily"), default="none",
                   help="none (the default): weights drift with returns between holdings "
                   "dates; daily: the holdings date's weights stand")
    p.add_argument("--cash-rate", type=_rate, default=0.0, metavar="RATE",
                   help="annual rate of cash, as a fraction (0.015 for 1.5 %%; default 0)")
    p.add_argument("--jobs", type=_jobs, default=1, metavar="N",
                   help="for a folder: attribute N portfolios at a time (default 1)")
    command("demo", demo.run, "the main job on the sample: the sample portfolio attributed "
            "against a composite benchmark", parents=[common, outputs], epilog=DEMO_EPILOG)
    command("returns", commands.returns, "daily returns, routed by asset type").add_argument(
        "ids", nargs="+", metavar="ID")
    command("prices", commands.prices, "stock, fund, option and futures prices on trading "
            "dates").add_argument("ids", nargs="+", metavar="ID")
    p = command("nav", commands.nav, "net values and daily profits of funds")
    p.add_argument("ids", nargs="+", metavar="FUND")
    p.add_argument("--fields", metavar="F,F", help="comma-separated; valid: %s (default: %s, "
                   "leaving out those a fund does not report)"
                   % (", ".join(commands.NAV_FIELDS), commands.NAV_DEFAULT.replace(",", ", ")))
    p = command("asset-types", commands.asset_types, "asset type of each id", parents=[common],
                epilog=GENERAL)
    p.add_argument("ids", nargs="+", metavar="ID")
    p.add_argument("--csv", metavar="FILE", help="also write the table to FILE")
    p = command("industry", commands.industry, "industry of stocks on each date")
    p.add_argument("ids", nargs="+", metavar="ID")
    p.add_argument("--standard", choices=("sws", "citics"), default="sws",
                   help="Shenwan (sws, the default) or CITIC (citics)")
    p = command("weights", commands.weights, "constituent weights of a stock or bond index")
    p.add_argument("index", metavar="INDEX")
    p.add_argument("--top", type=int, default=0, metavar="N", help="only the N largest")
    p = command("valuation", commands.valuation, "ChinaBond bond valuations")
    p.add_argument("ids", nargs="+", metavar="BOND")
    p.add_argument("--fields", metavar="F,F", help="comma-separated; valid: %s (default: %s)"
                   % (", ".join(commands.VALUATION_FIELDS),
                      commands.VALUATION_DEFAULT.replace(",", ", ")))
    command("curve", commands.curve, "ChinaBond treasury yield curve by tenor")
    p = command("calendar", commands.calendar, "trading dates")
    p.add_argument("--market", choices=("exchange", "interbank"), default="exchange",
                   help="the exchange calendar (the default) or the interbank one")
    p = command("load", commands.load, "load CSV files into a new database, or append a "
                "day's files to one", parents=[common], epilog=LOAD_EPILOG)
    p.add_argument("directory", metavar="CSV_DIR")
    p.add_argument("database", metavar="DB")
    p.add_argument("--force", action="store_true", help="replace an existing database file")
    p.add_argument("--append", action="store_true",
                   help="add the files' rows to the existing database instead")
    p.add_argument("--replace", action="store_true",
                   help="with --append: rows may replace stored ones with the same key")
    p = command("sample", commands.sample, "write the sample market to a file", parents=[common],
                epilog=GENERAL)
    p.add_argument("database", metavar="NEW_DB")
    p.add_argument("--force", action="store_true", help="replace an existing database file")
    p.add_argument("--stocks", type=int, metavar="N",
                   help="a larger market of N stocks (the sample has 60)")
    p.add_argument("--dates", type=int, metavar="M",
                   help="over M exchange trading dates up to 2025-12-31 (the sample has 485)")
    return parser


def _checked(convert, kind, accept, refused):
    """An argparse type: `convert` the text (else "not <kind>"), then `accept` the value
    (else the message `refused`, which may name the %(text)s given or the %(value)s read)."""
    def parse(text):
        try:
            value = convert(text)
        except ValueError:
            raise argparse.ArgumentTypeError("not %s: %r" % (kind, text)) from None
        if not accept(value):
            raise argparse.ArgumentTypeError(refused % {"text": text, "value": value})
        return value
    return parse


_rate = _checked(float, "a number", lambda v: -1.0 < v < 10.0,
                 "an annual rate as a fraction, such as 0.015, not %(text)r")
_jobs = _checked(int, "a whole number", lambda v: v >= 1, "at least 1, not %(value)d")


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
    out = Output(quiet=args.quiet)
    try:
        return args.func(args, out)
    except UserError as exc:
        return _fail(exc, str(exc), exc.status, args)
    except BrokenPipeError:
        sys.stderr.close()
        return 0
    except KeyboardInterrupt:
        return 130
    except Exception as exc:  # data absent, unknown ids, unreadable database...
        text = missing_message(exc) if is_missing(exc) else (
            "not found: %s" % exc if isinstance(exc, KeyError) else str(exc))
        return _fail(exc, text, NO_DATA, args)


def _fail(exc, text, status, args):
    if args.traceback:
        raise exc
    print("%s: error: %s" % (PROG, " ".join(text.split()) or type(exc).__name__),
          file=sys.stderr)
    return status
