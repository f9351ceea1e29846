"""Performance attribution of a portfolio's own holdings against a benchmark.

    from brelvox.attribution import attribute
    report = attribute("holdings.csv", "000060.XSHG:0.6,KVX1001.INDX:0.3,CNY:0.1",
                       method="bf", linking_method="carino")
    report.active_return                    # R_p - R_b over the span, compounded
    report.asset_types.table                # level one, linked, with a row "total"
    report.industries.table                 # level two: industries of the stock class

Two levels: asset types, then Shenwan or CITIC industries inside the stock class;
Brinson-Fachler or Brinson-Hood-Beebower effects each day (`brinson`), linked over the span
by Carino, Menchero, GRAP or Frongello (`linking`). Market data is read through the
package's data modules; `MarketInputs` reads it once for many portfolios. Nothing here prints
or reads the command line; adjustments (weights normalised) are `AttributionWarning`s and
the report's `notes`.
"""

from .benchmark import Benchmark, Component, parse_benchmark
from .brinson import EFFECTS
from .engine import MarketInputs, attribute, two_levels
from .errors import AttributionError, AttributionWarning, BenchmarkError, HoldingsError
from .holdings import Holdings, read_holdings
from .report import Level, Report

__all__ = ["attribute", "MarketInputs", "two_levels", "read_holdings", "Holdings",
           "parse_benchmark", "Benchmark", "Component", "Report", "Level", "EFFECTS",
           "AttributionError", "AttributionWarning", "BenchmarkError", "HoldingsError"]
