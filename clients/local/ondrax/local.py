"""What only the local client offers: its database path, the sample market and CSV import."""

from . import _calendar, _sample
from ._store import ENV_VAR, LocalDataError, database_path, sample_path

__all__ = ["ENV_VAR", "LocalDataError", "CsvError", "database_path", "sample_path",
           "write_sample", "load_csv", "calendar_span", "CSV_TABLES"]


def write_sample(path, seed=None):
    """Writes the sample market to a new database file at `path`."""
    _sample.write(path, seed=_sample.SEED if seed is None else seed)


def calendar_span(market="exchange"):
    """(first, last) trading date of the database in use."""
    days = _calendar._days(market)
    return days[0], days[-1]


from ._load import CSV_TABLES, CsvError, load_csv  # noqa: E402
