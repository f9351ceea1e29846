"""Many threads calling the data functions and the cached lookups at once, against one
shared client: the same answers as one call after another, and consistent caches."""

import random
import threading

import pytest

import fakes_market as fm

THREADS = 8
ROUNDS = 3


@pytest.fixture
def market(monkeypatch):
    market = fm.Market()
    built = fm.modules("quenta", "oprane", "brisel", "sorvan", "pelmar", "caldre", "tolvik")
    if not built:
        pytest.skip("no data module is built")
    fm.bind(monkeypatch, built, market)
    return monkeypatch, built, market


def _run_threads(calls, seed_base):
    results = [[] for _ in range(THREADS)]
    errors = []
    barrier = threading.Barrier(THREADS)

    def worker(k):
        order = list(range(len(calls))) * ROUNDS
        random.Random(seed_base + k).shuffle(order)
        try:
            barrier.wait()
            for i in order:
                results[k].append((i, calls[i][1]()))
        except BaseException as e:  # noqa: BLE001 - reported below with its thread
            errors.append((k, e))

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert not any(t.is_alive() for t in threads), "a thread hangs"
    assert not errors, errors
    return results


def _fresh_caches(monkeypatch, built, market):
    fm.bind(monkeypatch, built, market)


def test_concurrent_calls_answer_as_sequential_ones(market):
    monkeypatch, built, client = market
    calls = fm.data_calls()
    expected = [call() for _, call in calls]
    # cold caches again, so that threads race to fill them
    _fresh_caches(monkeypatch, built, client)
    for k, results in enumerate(_run_threads(calls, 100)):
        for i, got in results:
            assert fm.same_result(got, expected[i]), "thread %d, %s" % (k, calls[i][0])


def test_caches_end_consistent_after_concurrent_refreshes(market):
    monkeypatch, built, client = market
    brisel = next((m for m in built if m.__name__.endswith("brisel")), None)
    sorvan = next((m for m in built if m.__name__.endswith("sorvan")), None)
    if brisel is None:
        pytest.skip("brisel is not built")
    calls = [c for c in fm.data_calls() if c[0].startswith(("brisel", "sorvan"))]
    expected = [call() for _, call in calls]
    # add calls that force reloads while lookups are running
    calls.append(("refresh types", lambda: brisel._update_type()))
    expected.append(None)
    if sorvan is not None:
        def reload_industries():
            sorvan._sw_cache.expire = 0.0
            return len(sorvan._industry_cache("sws"))
        calls.append(("reload industries", reload_industries))
        expected.append(len(sorvan._industry_cache("sws")))
    # ids a caller stored by hand under other codes, concurrently with the refreshes
    extra = ["B%03d.IB" % i for i in range(200)]
    calls.append(("store bonds", lambda: brisel._type_cache.put_many(extra, "bond")))
    expected.append(None)
    _fresh_caches(monkeypatch, built, client)
    for k, results in enumerate(_run_threads(calls, 200)):
        for i, got in results:
            assert fm.same_result(got, expected[i]), "thread %d, %s" % (k, calls[i][0])
    cache = brisel._type_cache
    where = {}
    for code, ids in cache._typedict.items():
        for oid in ids:
            assert oid not in where, "%s stored under %s and %s" % (oid, where[oid], code)
            where[oid] = code
    assert set(where) == set(cache._oset) == set(cache._otypedict)
    assert all(cache._otypedict[oid] == code for oid, code in where.items())
    assert set(extra) <= set(cache._typedict["bond"])


def test_kernels_without_the_interpreter_lock_agree_at_a_larger_scale(market):
    monkeypatch, built, client = market
    names = {m.__name__.rsplit(".", 1)[-1]: m for m in built}
    if "quenta" not in names and "oprane" not in names:
        pytest.skip("neither returns nor prices are built")
    import numpy as np
    import pandas as pd

    ids = ["S%04d.XSHE" % i for i in range(300)]
    days = fm.DAYS
    rng = np.random.default_rng(7)
    values = 10.0 * np.cumprod(1.0 + rng.normal(0.0, 0.01, (len(ids), len(days))), axis=1)
    keep = rng.random(values.shape) > 0.05  # scattered gaps
    index = pd.MultiIndex.from_product([ids, days], names=["order_book_id", "date"])
    flat = values.ravel()
    client.prices = pd.DataFrame({"close": flat, "settlement": flat * 1.01},
                                 index=index)[keep.ravel()]
    dates = days[3:]
    calls = []
    if "quenta" in names:
        calls.append(("returns", lambda: names["quenta"].get_equity_daily_returns(ids, dates)))
        calls.append(("futures", lambda: names["quenta"].get_future_daily_returns(ids[::-1], dates)))
    if "oprane" in names:
        calls.append(("prices", lambda: names["oprane"].get_equity_price(ids, dates)))
        calls.append(("settlement", lambda: names["oprane"].get_futures_price(ids[:50], dates[::2])))
    expected = [call() for _, call in calls]
    for k, results in enumerate(_run_threads(calls, 300)):
        for i, got in results:
            assert fm.same_result(got, expected[i]), "thread %d, %s" % (k, calls[i][0])
