"""The parser and `main`: options to a command, a command to an exit status."""

import argparse
import os
import sys
import textwrap

from . import commands, demo
from .data import DB_ENV, missing_message, is_missing
from .errors import EXIT_STATUS_HELP, NO_DATA, USAGE, UserError
from .render import CSV_RULE, PROG, Output

DESCRIPTION = """\
The brelvox market-data layer on the command line. Its main job, `demo`, runs a sample
portfolio against its benchmark as the attribution engine would: asset types, daily returns
routed by asset type, and a Brinson-Fachler attribution of the stock sleeve by Shenwan
industry, linked over the span. The other commands answer one question each."""

EPILOG = """\
Dates: --start/--end give a span (default: the last 20 trading dates up to --end, or up to
the last date of the data); --date gives one date, and a date that is not a trading date
means the last trading date before it. --date cannot be combined with --start or --end.
Ids without data in the span are named on stderr; the others are shown. Empty cells are
dates outside an instrument's listing.

%s

--quiet prints only errors, warnings about missing data and the files written.
With the local data client, --db FILE (or %s) picks the database.

%s""" % (textwrap.fill(CSV_RULE, 92), DB_ENV, textwrap.fill(EXIT_STATUS_HELP, 92))


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        self.print_usage(sys.stderr)
        self.exit(USAGE, "%s: error: %s\n" % (PROG, message))


def build_parser():
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--db", metavar="FILE",
                        help="database of the local data client (sets %s)" % DB_ENV)
    common.add_argument("--quiet", "-q", action="store_true",
                        help="print only errors and the files written")
    common.add_argument("--traceback", action="store_true", help=argparse.SUPPRESS)
    span = argparse.ArgumentParser(add_help=False)
    span.add_argument("--start", metavar="DATE", help="first date, YYYY-MM-DD")
    span.add_argument("--end", metavar="DATE", help="last date (default: the last date of the data)")
    span.add_argument("--date", metavar="DATE",
                      help="one date (the last trading date on or before it); not with --start/--end")
    span.add_argument("--csv", metavar="FILE", help="also write the whole table to FILE "
                      "(returns and weights as fractions)")

    parser = _Parser(prog=PROG, description=DESCRIPTION, epilog=EPILOG,
                     formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True,
                                parser_class=_Parser)

    def command(name, func, text, parents=(common, span)):
        p = sub.add_parser(name, parents=list(parents), help=text, description=text,
                           epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
        p.set_defaults(func=func)
        return p

    p = command("demo", demo.run, "the main job: the sample portfolio, its returns by asset "
                "type and its stock attribution against the benchmark", parents=[common])
    p.add_argument("--csv", metavar="DIR", help="write every table, over the whole span, as "
                   "CSV into DIR (attribution.csv among them)")
    p.add_argument("--plot", metavar="FILE.png", help="draw the cumulative returns "
                   "(needs matplotlib; exit 2 without it)")
    command("returns", commands.returns, "daily returns, routed by asset type").add_argument(
        "ids", nargs="+", metavar="ID")
    command("prices", commands.prices, "stock, fund, option and futures prices on trading "
            "dates").add_argument("ids", nargs="+", metavar="ID")
    p = command("nav", commands.nav, "net values and daily profits of funds")
    p.add_argument("ids", nargs="+", metavar="FUND")
    p.add_argument("--fields", metavar="F,F", help="comma-separated; valid: %s (default: %s, "
                   "leaving out those a fund does not report)"
                   % (", ".join(commands.NAV_FIELDS), commands.NAV_DEFAULT.replace(",", ", ")))
    p = command("asset-types", commands.asset_types, "asset type of each id", parents=[common])
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
    p.add_argument("--market", choices=("exchange", "interbank"), default="exchange")
    p = command("load", commands.load, "load CSV files into a new database, or append a "
                "day's files to one", parents=[common])
    p.add_argument("directory", metavar="CSV_DIR")
    p.add_argument("database", metavar="DB")
    p.add_argument("--force", action="store_true", help="replace an existing database file")
    p.add_argument("--append", action="store_true",
                   help="add the files' rows to the existing database instead")
    p.add_argument("--replace", action="store_true",
                   help="with --append: rows may replace stored ones with the same key")
    p = command("sample", commands.sample, "write the sample market to a file", parents=[common])
    p.add_argument("database", metavar="NEW_DB")
    p.add_argument("--force", action="store_true", help="replace an existing database file")
    p.add_argument("--stocks", type=int, metavar="N",
                   help="a larger market of N stocks (the sample has 60)")
    p.add_argument("--dates", type=int, metavar="M",
                   help="over M exchange trading dates up to 2025-12-31 (the sample has 485)")
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
