import time as time
from collections import defaultdict as defaultdict
from datetime import date as Date
from datetime import datetime as Datetime
from typing import Any, Iterable, Optional, Sequence, Tuple, TypeVar, Union

import ondrax as ondrax
import pandas as pd
from brelvox.utils.decorators import ttl_cache as ttl_cache

_T = TypeVar("_T")

# stock -> [(start date, industry name), ...], newest start first
IndustryTable = defaultdict[Optional[str], list[Tuple[Date, str]]]

END_DATE: Date
START_DATE: Date

class Cache:
    __slots__ = ("expire", "data")
    expire: float
    data: Union[IndustryTable, dict[Any, Any]]
    def __init__(self, data: Union[IndustryTable, dict[Any, Any]]) -> None: ...

_sw_cache: Cache
_zx_cache: Cache

def _get_sw_cache() -> IndustryTable: ...
def _get_zx_cache() -> IndustryTable: ...
def _industry_cache(standard: str) -> IndustryTable: ...
def get_stock_industry(
    order_book_ids: Sequence[Optional[str]], dates: Any, standard: str
) -> pd.DataFrame: ...
def _industry_idx(
    order_book_ids: Sequence[Optional[str]], dates: Iterable[Any], standard: str
) -> defaultdict[str, list[Tuple[Date, Optional[str]]]]: ...
def _one_industry(
    data: IndustryTable, order_book_id: Optional[str], date: Date
) -> Optional[str]: ...

class _ListingBounds:
    """`get_listing_date_and_delisting_date`: cached for an hour per identifier."""

    __name__: str
    __wrapped__: Any
    def __call__(self, order_book_id: Optional[str]) -> Tuple[Date, Date]: ...
    def clear_cache(self) -> None: ...

get_listing_date_and_delisting_date: _ListingBounds

def _cvtdate(ds: Optional[str], default: _T) -> Union[Date, _T]: ...
def _to_date_int(dt: Any) -> int: ...
