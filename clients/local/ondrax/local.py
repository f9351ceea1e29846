"""What only the local client offers: its database path, the sample market and CSV import."""

from . import _calendar
from ._build import LoadResult, load_csv, write_sample, write_sample_csv
from ._load import CSV_TABLES, CsvError
from ._store import ENV_VAR, LocalDataError, database_path, sample_path

__all__ = ["ENV_VAR", "LocalDataError", "CsvError", "LoadResult", "database_path",
           "sample_path", "write_sample", "write_sample_csv", "load_csv", "calendar_span",
           "CSV_TABLES"]


def calendar_span(market="exchange"):
    """(first, last) trading date of the database in use."""
    days = _calendar._days(market)
    return days[0], days[-1]
