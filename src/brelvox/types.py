"""Type aliases used in annotations."""

import datetime
from typing import Union

import numpy as np
import pandas as pd

#: Anything the data functions convert with ``pandas.to_datetime``.
DateConvertible = Union[str, int, datetime.date, datetime.datetime, np.datetime64, pd.Timestamp]
