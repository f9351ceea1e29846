"""Index weights, bond valuations and the treasury curve at market scale.

    PYTHONPATH=build-dev/pkg python bench/bench_pelmar_caldre.py
"""

import os
import sys
import types

# Idle BLAS worker threads spin on the shared cores and skew wall times.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

from harness import best_time, report  # noqa: E402

sys.modules.setdefault("ondrax", types.ModuleType("ondrax"))
from brelvox.marketdata import caldre, pelmar  # noqa: E402

TARGET = 3


def frame_like(values_by_id, index, columns):
    """A result frame of the given shape from an instrument-major block."""
    return pd.DataFrame(values_by_id.T, index=index, columns=columns, copy=False)


# ---- stock index weights ------------------------------------------------------------------

def stock_scenario(n_ids, n_dates, seed=0):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2019-01-02", periods=n_dates)
    ids = ["%06d.XSHE" % k for k in range(n_ids)]
    month_starts = dates.to_series().groupby(dates.to_period("M")).first().iloc[1:]
    records = [{"date": d.to_pydatetime(),
                "data": [{"order_book_id": i, "weight": float(w)}
                         for i, w in zip(ids, rng.uniform(0.1, 2.0, n_ids))]}
               for d in month_starts]
    first = pd.Series(rng.uniform(0.1, 2.0, n_ids), index=ids)
    service = types.SimpleNamespace(execute=lambda *a: records)
    client = types.SimpleNamespace(client=types.SimpleNamespace(get_client=lambda: service),
                                   index_weights=lambda oid, d: first)
    return client, records, dates, ids


def stock_floor(records, dates, ids):
    rows = [(r["order_book_id"], r["weight"]) for doc in records for r in doc["data"]]
    values = np.fromiter((w for _, w in rows), dtype=float, count=len(rows))
    block = np.empty((len(ids), len(dates)))
    block[:, : values.size // len(ids)] = values.reshape(-1, len(ids)).T
    return frame_like(block, dates.rename("date"), pd.Index(ids, name="order_book_id"))


# ---- bond index weights -------------------------------------------------------------------

def bond_scenario(n_ids, n_dates, seed=1):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2019-01-02", periods=n_dates)
    ids = ["%06d.IB" % k for k in range(n_ids)]
    index = pd.MultiIndex.from_product([dates, ids])
    series = pd.Series(rng.uniform(0.0, 1.0, n_ids * n_dates), index=index)
    client = types.SimpleNamespace(bond=types.SimpleNamespace(index_weights=lambda *a: series))
    return client, series, dates, ids


def bond_floor(series, dates, ids):
    codes = [np.asarray(c) for c in series.index.codes]
    values = series.to_numpy(dtype="float64")
    block = np.empty((len(ids), len(dates)))
    block[:] = values.reshape(len(dates), len(ids)).T
    return frame_like(block, dates.rename("date"), pd.Index(ids, name="order_book_id")), codes


# ---- valuations ---------------------------------------------------------------------------

FIELDS = ["yield", "dirty_price", "clean_price", "accrued_interest", "modified_duration",
          "period_of_repayment"]


def valuation_scenario(n_ids, n_dates, seed=2):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2021-01-04", periods=n_dates)
    ids = ["%06d.%s" % (k, "SH" if k % 2 else "IB") for k in range(n_ids)]
    twins = {i: i.replace(".SH", ".IB") for i in ids if i.endswith(".SH")}
    queried = sorted({twins.get(i, i) for i in ids})
    source_fields = FIELDS[:-1] + ["time_to_maturity"]
    index = pd.MultiIndex.from_product([queried, dates], names=["order_book_id", "date"])
    frame = pd.DataFrame(rng.normal(size=(len(index), len(source_fields))), index=index,
                         columns=source_fields)
    codes = pd.DataFrame({"NIB": [twins.get(i, np.nan) for i in ids]}, index=ids)
    bond = types.SimpleNamespace(get_secu_market_code=lambda ids: codes,
                                 get_valuation=lambda *a, **k: frame)
    return types.SimpleNamespace(bond=bond), frame, ids


def valuation_floor(frame):
    index = frame.index
    codes = [np.asarray(c) for c in index.codes]
    block = np.empty((frame.shape[1], frame.shape[0]))
    for k, name in enumerate(frame.columns):
        block[k] = frame[name].to_numpy()
    result_index = pd.MultiIndex(levels=index.levels, codes=codes,
                                 names=["order_book_id", "date"], verify_integrity=False)
    return frame_like(block, result_index, pd.Index(FIELDS))


# ---- treasury curve -----------------------------------------------------------------------

def curve_scenario(n_dates, n_tenors, seed=3):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2019-01-02", periods=n_dates)
    tenors = ["%gY" % t for t in (0.25, 0.5, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 15, 20, 30)][:n_tenors]
    index = pd.MultiIndex.from_product([["中债国债收益率曲线"], np.repeat(dates, n_tenors)],
                                       names=["name", "date"])
    frame = pd.DataFrame({"tenor": np.tile(tenors, n_dates),
                          "rate": rng.uniform(1, 4, n_dates * n_tenors)},
                         index=pd.MultiIndex.from_arrays(
                             [index.get_level_values(0), index.get_level_values(1)],
                             names=["name", "date"]))
    client = types.SimpleNamespace(bond=types.SimpleNamespace(get_yield_curves=lambda **k: frame))
    return client, frame, dates, tenors


def curve_floor(frame, dates, tenors):
    values = frame["rate"].to_numpy(dtype="float64")
    tenor = frame["tenor"].tolist()
    block = np.empty((len(tenors), len(dates)))
    block[:] = values.reshape(len(dates), len(tenors)).T
    return frame_like(block, dates.rename("date"), pd.Index(tenors, name="tenor")), tenor


def main():
    client, records, dates, ids = stock_scenario(1000, 750)
    pelmar.ondrax = client
    t = best_time(lambda: pelmar.get_stock_index_weight("000300.XSHG", dates))
    f = best_time(lambda: stock_floor(records, dates, ids))
    report("get_stock_index_weight 1000 x 750, monthly", t, f, TARGET)

    client, series, dates, ids = bond_scenario(2000, 750)
    pelmar.ondrax = client
    t = best_time(lambda: pelmar.get_bond_index_weight("CBA00101", dates))
    f = best_time(lambda: bond_floor(series, dates, ids))
    report("get_bond_index_weight 2000 x 750", t, f, TARGET)

    client, frame, ids = valuation_scenario(2000, 250)
    caldre.ondrax = client
    t = best_time(lambda: caldre.get_chinabond_valuation(ids, list(FIELDS), "2021-01-04", "2021-12-31"))
    f = best_time(lambda: valuation_floor(frame))
    report("get_chinabond_valuation 2000 x 250 x 6", t, f, TARGET)

    client, frame, dates, tenors = curve_scenario(750, 15)
    caldre.ondrax = client
    t = best_time(lambda: caldre.get_treasury_bond_yield(dates), number=20)
    f = best_time(lambda: curve_floor(frame, dates, tenors), number=20)
    report("get_treasury_bond_yield 750 x 15", t, f, TARGET)


if __name__ == "__main__":
    main()
