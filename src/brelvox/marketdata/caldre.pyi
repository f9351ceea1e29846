from typing import Any, Iterable, List, Union

import pandas as pd

from brelvox.exceptions import MissingData as MissingData
from brelvox.utils.frevo import maybe_reindex as maybe_reindex

ondrax: Any

def get_chinabond_valuation(
    bond_list: List[str], fields: Union[str, List[str]], start_date: Any, end_date: Any
) -> pd.DataFrame: ...
def get_treasury_bond_yield(dates: Iterable[Any]) -> pd.DataFrame: ...
