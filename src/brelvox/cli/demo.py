"""The demo: the `attribute` command on the sample market's portfolio (25 holdings given as
quantities at the close of 2025-06-30) against a composite benchmark of its stock index, its
bond index and cash, from 2025-07-01 to 2025-12-31."""

import os

from . import attribute, data
from .errors import NO_DATA, UserError

DEMO_BENCHMARK = "000060.XSHG:0.6,KVX1001.INDX:0.3,CNY:0.1"
DEMO_SPAN = ("2025-07-01", "2025-12-31")


def run(args, out):
    local = data.local()
    holdings = local.sample_holdings_path()
    args.holdings, args.benchmark = holdings, DEMO_BENCHMARK
    args.start, args.end = DEMO_SPAN
    for name, value in (("method", "bf"), ("linking", "carino"), ("rebalance", "none"),
                        ("standard", "sws"), ("cash_rate", 0.0), ("jobs", 1)):
        setattr(args, name, value)
    out.line("brelvox-marketdata demo: the sample portfolio, as an analyst would run it:")
    out.line("  brelvox-marketdata attribute %s --benchmark %s --start %s --end %s"
             % (holdings, DEMO_BENCHMARK, *DEMO_SPAN))
    out.line("data: %s" % local.database_path())
    out.line()
    try:
        return attribute.run(args, out)
    except UserError as exc:
        if exc.status != NO_DATA or not os.environ.get(data.DB_ENV):
            raise
        raise UserError("%s; the demo runs on the bundled sample (unset %s)"
                        % (exc, data.DB_ENV)) from None
