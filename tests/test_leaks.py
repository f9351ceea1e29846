"""Memory: repeated calls do not grow the process, and caches let go of what they drop."""

import gc
import os
import time
import weakref

import pytest

import fakes_market as fm

CALLS = 2000
SLOW_CALLS = 500  # for calls above SLOW_SECONDS each, to keep the file quick
SLOW_SECONDS = 0.002
WARM_UP = 200
LIMIT = 2 * 1024 * 1024
PAGE = os.sysconf("SC_PAGE_SIZE")
OPERATIONS = ("get_price", "get_split", "get_dividend", "all_instruments", "instruments",
              "index_weights", "get_previous_trading_date", "get_next_trading_date",
              "get_trading_dates", "bond.get_valuation", "bond.get_secu_market_code",
              "bond.get_yield_curves", "bond.index_weights", "bond.get_previous_trading_date",
              "bond.get_next_trading_date", "bond.get_trading_dates",
              "fund.all_instruments", "fund.get_nav", "fund.instruments",
              "convertible.instruments")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def answering_from_memory(market):
    """Each operation computes its answer once per distinct request, then hands out that
    same object, so that the calls measure the modules and not the stand-in client."""
    for path in OPERATIONS:
        owner = market
        *parts, name = path.split(".")
        for part in parts:
            owner = getattr(owner, part)
        original = getattr(owner, name)
        memo = {}

        def operation(*args, _original=original, _memo=memo, **kwargs):
            key = repr((args, sorted(kwargs.items())))
            if key not in _memo:
                _memo[key] = _original(*args, **kwargs)
            return _memo[key]

        setattr(owner, name, operation)
    return market


@pytest.fixture(scope="module")
def bound():
    monkeypatch = pytest.MonkeyPatch()
    market = answering_from_memory(fm.Market())
    fm.bind(monkeypatch, fm.modules("quenta", "oprane", "brisel", "sorvan", "pelmar", "caldre",
                                    "tolvik"), market)
    yield market
    monkeypatch.undo()


CASES = fm.data_calls()


@pytest.mark.skipif(bool(os.environ.get("BRELVOX_SANITIZED")),
                    reason="the sanitizer's allocator holds freed memory back")
@pytest.mark.parametrize("label,call", CASES, ids=[label for label, _ in CASES])
def test_repeated_calls_do_not_grow_memory(bound, label, call):
    start = time.perf_counter()
    for _ in range(WARM_UP):
        call()
    each = (time.perf_counter() - start) / WARM_UP
    count = SLOW_CALLS if each > SLOW_SECONDS else CALLS
    gc.collect()
    before = rss()
    for _ in range(count):
        call()
    gc.collect()
    grown = rss() - before
    assert grown < LIMIT, "%s: %d calls grew memory by %.2f MB" % (label, count, grown / 2**20)


class Value:
    """A result that can be watched with a weak reference."""


def _released(ref):
    gc.collect()
    return ref() is None


def test_time_limited_cache_lets_go_when_cleared_or_replaced():
    decorators = pytest.importorskip("brelvox.utils.decorators")
    made = []

    def compute(key):
        made.append(Value())
        return made[-1]

    cached = decorators.ttl_cache(1)(compute)
    first = weakref.ref(cached("a"))
    made.clear()
    assert cached("a") is first() and not made
    cached.clear_cache()
    assert _released(first)
    second = weakref.ref(cached("a"))
    made.clear()
    time.sleep(1.05)  # the entry expires; the next call stores a new value in its place
    third = cached("a")
    made.clear()
    assert third is not second() and _released(second)
    # an unhashable argument stores nothing and keeps no reference to the caller's value
    with pytest.raises(TypeError):
        cached([Value()])
    del third


def test_industry_table_is_let_go_when_reloaded(monkeypatch):
    sorvan = pytest.importorskip("brelvox.marketdata.sorvan")
    fm.bind(monkeypatch, [sorvan], fm.Market())

    class Table(dict):
        pass

    old = Table()
    ref = weakref.ref(old)
    sorvan._sw_cache = sorvan.Cache(old)  # already due, so the next request reloads it
    del old
    assert len(sorvan._industry_cache("sws")) == len(fm.STOCKS)
    assert _released(ref)
    # a holder replaced by another takes its table with it
    table = Table()
    ref = weakref.ref(table)
    sorvan._zx_cache = sorvan.Cache(table)
    del table
    sorvan._zx_cache = sorvan.Cache({})
    assert _released(ref)


def test_asset_type_table_is_let_go_when_replaced(monkeypatch):
    brisel = pytest.importorskip("brelvox.marketdata.brisel")
    fm.bind(monkeypatch, [brisel], fm.Market())
    brisel.get_asset_types(fm.STOCKS)
    key = Value()  # ids need only be hashable
    ref = weakref.ref(key)
    brisel._type_cache.put_one(key, "otc")
    assert key in brisel._type_cache
    del key
    assert not _released(ref)
    brisel._type_cache = brisel.AssetTypeCache()
    assert _released(ref)
