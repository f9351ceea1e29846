"""Asset-type table at market scale: the catalogue refresh and a bulk classification.

    PYTHONPATH=build-<dir>/pkg python bench/bench_brisel.py
"""

import os
import sys
import types

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import conftest  # noqa: E402,F401  (a stand-in client when none is installed)

from harness import best_time, report  # noqa: E402

from brelvox.marketdata import brisel  # noqa: E402

N_LISTED, N_FUNDS, N_ASKED = 60_000, 15_000, 5_000
TARGET = 3.0

# Client types as the exchange catalogue mixes them; the last four are not classified.
TYPE_MIX = {"CS": 5500, "ETF": 1000, "LOF": 500, "Future": 20000, "INDX": 8000,
            "Option": 20000, "Convertible": 2000, "Spot": 1000, "Repo": 1000, "REITs": 1000}


class Client:
    def __init__(self, listed, funds):
        self.listed, self.funds = listed, funds
        self.fund = types.SimpleNamespace(all_instruments=lambda: self.funds)

    def all_instruments(self):
        return self.listed


def catalogues(rng):
    kinds = np.repeat(list(TYPE_MIX), list(TYPE_MIX.values()))
    rng.shuffle(kinds)
    ids = np.array(["%06d.X%s" % (k, "SHG" if k % 2 else "SHE") for k in range(N_LISTED)],
                   dtype=object)
    listed = pd.DataFrame({"order_book_id": ids, "symbol": ids, "type": kinds.astype(object),
                           "listed_date": "2020-01-01"})
    lofs = ids[kinds == "LOF"]
    fund_ids = np.concatenate([lofs, ["F%06d" % k for k in range(N_FUNDS - len(lofs))]])
    funds = pd.DataFrame({"order_book_id": fund_ids.astype(object), "symbol": fund_ids})
    return listed, funds


def main():
    rng = np.random.default_rng(7)
    listed, funds = catalogues(rng)
    brisel.ondrax = Client(listed, funds)
    print("pandas", pd.__version__)

    # Each round fills a new table; the old ones are kept so that freeing them is not timed.
    kept = []

    def refresh():
        kept.append(brisel._type_cache)
        brisel._type_cache = brisel.AssetTypeCache()
        brisel._update_type()

    def refresh_floor():
        ids = listed["order_book_id"].to_numpy(dtype=object).tolist()
        kinds = listed["type"].to_numpy(dtype=object).tolist()
        fund_ids = funds["order_book_id"].to_numpy(dtype=object).tolist()
        table = dict(zip(ids, kinds))
        table.update(dict.fromkeys(fund_ids, "public_fund"))
        kept.append(table)

    refresh()
    stored = len(brisel._type_cache._oset)
    report("_update_type (%d + %d, %d stored)" % (N_LISTED, N_FUNDS, stored),
           best_time(refresh), best_time(refresh_floor), TARGET)
    kept.clear()

    known = list(brisel._type_cache._otypedict)
    asked = [known[k] for k in rng.choice(len(known), N_ASKED - 500, replace=False)]
    asked += ["UNKNOWN%d" % k for k in range(500)]
    rng.shuffle(asked)
    expected = brisel._type_cache.get_many(asked)
    codes = list(expected.values())
    keys = list(expected)
    assert brisel.get_asset_types(asked) == expected and not brisel._type_cache.is_expired()

    report("get_asset_types (%d ids)" % N_ASKED,
           best_time(lambda: brisel.get_asset_types(asked), number=20),
           best_time(lambda: dict(zip(keys, codes)), number=20), TARGET)


if __name__ == "__main__":
    main()
