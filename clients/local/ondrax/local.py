"""What only the local client offers: its database path, the sample market and CSV import."""

from . import _calendar
from ._calendar import NoEarlierDate
from ._build import LoadResult, load_csv, write_sample, write_sample_csv, write_sample_holdings
from ._load import CSV_TABLES, CsvError
from ._sample import BROAD_INDEX, BOND_INDEX, STOCK_INDEX
from ._sample import REVISION
from ._store import ENV_VAR, LocalDataError, cached_file, database_path, sample_path

__all__ = ["ENV_VAR", "LocalDataError", "CsvError", "NoEarlierDate", "LoadResult", "database_path",
           "sample_path", "sample_holdings_path", "write_sample", "write_sample_csv",
           "write_sample_holdings", "load_csv", "calendar_span", "CSV_TABLES", "STOCK_INDEX",
           "BOND_INDEX", "BROAD_INDEX"]


def sample_holdings_path():
    """Path of the sample portfolio's holdings file, written in the sample's cache directory
    on first use."""
    return cached_file("sample-holdings.%d.csv" % REVISION, write_sample_holdings,
                  "the sample holdings")


def calendar_span(market="exchange"):
    """(first, last) trading date of the database in use."""
    days = _calendar._days(market)
    return days[0], days[-1]
