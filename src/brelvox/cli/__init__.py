"""brelvox-marketdata: the market-data layer on the command line.

`main` runs a command line (parser and dispatch in `entry`); `demo` is the main job (a sample
portfolio and its attribution), `commands` the one-question commands, `portfolio` the return
and attribution arithmetic (plain pandas, usable without the command line), `data` what the
commands ask of the package's modules, `render` the screen tables and CSV files, `chart` the
demo's picture. Importing the package loads no parser.
"""

from .demo import DEMO_BENCHMARK, DEMO_HOLDINGS, DEMO_SPAN

__all__ = ["main", "build_parser", "DEMO_HOLDINGS", "DEMO_SPAN", "DEMO_BENCHMARK"]


def main(argv=None):
    """Run the command line on `argv` (default: sys.argv[1:]); returns the exit status."""
    from .entry import main as run

    return run(argv)


def build_parser():
    """The argparse parser of brelvox-marketdata."""
    from .entry import build_parser as build

    return build()
