"""brelvox-marketdata: the market-data layer on the command line.

`main` runs a command line; `demo` is the main job (a sample portfolio and its attribution),
`commands` the one-question commands, `portfolio` the return and attribution arithmetic
(plain pandas, usable without the command line), `data` what the commands ask of the
package's modules, `render` the screen tables and CSV files, `chart` the demo's picture.
"""

from .demo import DEMO_BENCHMARK, DEMO_HOLDINGS, DEMO_SPAN
from .main import build_parser, main

__all__ = ["main", "build_parser", "DEMO_HOLDINGS", "DEMO_SPAN", "DEMO_BENCHMARK"]
