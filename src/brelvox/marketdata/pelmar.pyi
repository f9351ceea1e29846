from typing import Any, Callable, Optional

import pandas as pd

from brelvox.const import AssetType as AssetType
from brelvox.exceptions import MissingData as MissingData
from brelvox.utils.format import convert_date_to_int as convert_date_to_int

ondrax: Any

def get_stock_index_weight(order_book_id: Optional[str], concerned_dates: pd.DatetimeIndex) -> pd.DataFrame: ...
def get_bond_index_weight(order_book_id: Optional[str], concerned_dates: pd.DatetimeIndex) -> pd.DataFrame: ...
def _get_index_weight(
    order_book_id: Optional[str],
    concerned_dates: pd.DatetimeIndex,
    api: Callable[[Optional[str], pd.Timestamp], Optional[pd.Series]],
    api_name: str,
    data_key: str,
    o_key: str,
    asset_type: Any,
) -> pd.DataFrame: ...
