"""brelvox-marketdata: the market-data layer on the command line.

`main` runs a command line (parser and dispatch in `entry`); `attribute` is the main job (a
portfolio's attribution, over `brelvox.attribution`) and `demo` runs it on the sample,
`commands` the one-question commands, `data` what the commands ask of the package's modules,
`render` the screen tables and CSV files, `chart` and `html` the attribution's picture and
page. Importing the package loads no parser.
"""

from .demo import DEMO_BENCHMARK, DEMO_SPAN

__all__ = ["main", "build_parser", "DEMO_SPAN", "DEMO_BENCHMARK"]


def main(argv=None):
    """Run the command line on `argv` (default: sys.argv[1:]); returns the exit status."""
    from .entry import main as run

    return run(argv)


def build_parser():
    """The argparse parser of brelvox-marketdata."""
    from .entry import build_parser as build

    return build()
