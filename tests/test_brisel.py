import logging
import os
import subprocess
import sys
import time
import types

import pandas as pd
import pytest

from brelvox.marketdata import brisel
from fakes_instruments import CatalogueClient, RefusingClient, record

ARG_MESSAGE = "Argument '{}' has incorrect type (expected str, got {})"
PREDICATES = ("maybe_bond_index", "maybe_bond", "is_stock_index_and_have_weight", "is_stock")


class Text(str):
    pass


@pytest.fixture(autouse=True)
def fresh_module(monkeypatch):
    """An empty stale table and empty memo caches for every test."""
    monkeypatch.setattr(brisel, "_type_cache", brisel.AssetTypeCache())
    for name in PREDICATES:
        getattr(brisel, name).cache_clear()
    yield
    for name in PREDICATES:
        getattr(brisel, name).cache_clear()


@pytest.fixture
def use_client(monkeypatch):
    def apply(client):
        monkeypatch.setattr(brisel, "ondrax", client)
        if isinstance(client, CatalogueClient):
            monkeypatch.setattr(brisel, "instrument_getters", client.getters())
        return client

    return apply


@pytest.fixture
def log_lines():
    lines = []

    class Keep(logging.Handler):
        def emit(self, rec):
            lines.append((rec.levelno, rec.getMessage()))

    handler = Keep(level=logging.DEBUG)
    logger = brisel.logger
    old_level = logger.level
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    yield lines
    logger.removeHandler(handler)
    logger.setLevel(old_level)


def fresh_table(**stored):
    """The module's table, fresh for a minute, holding code -> ids."""
    cache = brisel._type_cache
    for code, ids in stored.items():
        cache.put_many(ids, code)
    cache.set_expire(time.time() + 60)
    return cache


# ---- the table ---------------------------------------------------------------------------


def test_table_expiry_follows_the_clock_read_at_call_time(monkeypatch):
    cache = brisel.AssetTypeCache()
    assert cache._expire == 0 and cache.is_expired()
    cache.set_expire(time.time() + 60)
    assert not cache.is_expired()
    monkeypatch.setattr(time, "time", lambda: 10.0)
    cache.set_expire(10.0)
    assert not cache.is_expired()  # strictly earlier only
    cache.set_expire(9.5)
    assert cache.is_expired()


def test_first_write_wins_and_containers_stay_consistent():
    cache = brisel.AssetTypeCache()
    cache.put_one("A", "stock")
    cache.put_one("A", "fund")
    cache.put_many(["A", "B", "B"], "fund")
    assert cache.get_one("A") == "stock" and cache.get_one("B") == "fund"
    assert cache.get_asset_type("stock") == ["A"]
    assert cache.get_asset_type("fund") == ["B"]
    assert cache._otypedict == {"A": "stock", "B": "fund"}
    assert cache._oset == {"A", "B"}
    assert dict(cache._typedict) == {"stock": {"A"}, "fund": {"B"}}
    assert "A" in cache and "X" not in cache
    assert cache.get_one("X") is None
    assert cache.get_asset_type("bond") == []


def test_get_many_keeps_input_order_and_leaves_out_unknown_ids():
    cache = brisel.AssetTypeCache()
    cache.put_one("A", "stock")
    cache.put_one("B", "fund")
    got = cache.get_many(iter(["B", "X", "A", "B"]))
    assert list(got.items()) == [("B", "fund"), ("A", "stock")]
    got["B"] = "changed"
    assert cache.get_one("B") == "fund"
    listed = cache.get_asset_type("stock")
    listed.append("Z")
    assert cache.get_asset_type("stock") == ["A"]


@pytest.mark.parametrize("call, name, bad", [
    (lambda c, v: c.put_one("A", v), "asset_type", 1),
    (lambda c, v: c.put_many(["A"], v), "asset_type", Text("stock")),
    (lambda c, v: c.get_asset_type(v), "asset_type", b"bond"),
    (lambda c, v: c.get_one(v), "order_book_id", Text("A")),
])
def test_table_refuses_non_str_codes_and_ids(call, name, bad):
    cache = brisel.AssetTypeCache()
    with pytest.raises(TypeError) as err:
        call(cache, bad)
    assert str(err.value) == ARG_MESSAGE.format(name, type(bad).__name__)
    assert cache._oset == set() and cache._otypedict == {}


def test_table_bad_input_stores_nothing():
    cache = brisel.AssetTypeCache()
    with pytest.raises(AssertionError):
        cache.get_one(None)
    with pytest.raises(TypeError):
        cache.put_many(["A", ["unhashable"]], "stock")
    with pytest.raises(TypeError, match="single str"):
        cache.put_many("ABC", "stock")
    with pytest.raises(TypeError, match="single str"):
        cache.get_many("ABC")
    assert cache._oset == set() and cache._otypedict == {} and dict(cache._typedict) == {}


# ---- the refresh -------------------------------------------------------------------------


def catalogue():
    return CatalogueClient(
        listed=[("000001.XSHE", "CS"), ("510300.XSHG", "ETF"), ("161005.XSHE", "LOF"),
                ("IF2401", "Future"), ("000300.XSHG", "INDX"), ("10006000", "Option"),
                ("113050.XSHG", "Convertible"), ("AU9999.SGEX", "Spot")],
        funds=["161005.XSHE", "000001", "110011", "000001"])


def test_refresh_classifies_both_catalogues(use_client):
    use_client(catalogue())
    brisel._update_type()
    cache = brisel._type_cache
    assert cache._otypedict == {
        "000001.XSHE": "stock", "510300.XSHG": "fund", "161005.XSHE": "fund",
        "IF2401": "futures", "000300.XSHG": "index", "10006000": "option",
        "000001": "public_fund", "110011": "public_fund"}
    assert cache.get_one("113050.XSHG") is None and "AU9999.SGEX" not in cache
    assert sorted(cache.get_asset_type("public_fund")) == ["000001", "110011"]
    assert not cache.is_expired()


def test_refresh_order_clock_and_log_lines(use_client, monkeypatch, log_lines):
    client = use_client(catalogue())
    reads = []
    readings = iter([1000.0, 2000.0, 2234.5])

    def clock():
        reads.append(list(client.calls))
        return next(readings)

    monkeypatch.setattr(brisel, "time", types.SimpleNamespace(time=clock))
    brisel._update_type()
    assert client.calls == [("all_instruments",), ("fund.all_instruments",)]
    assert reads == [[], client.calls, client.calls]
    assert brisel._type_cache._expire == 2000.0 + 21600
    assert log_lines == [
        (logging.INFO, "start update instrument asset type cache"),
        (logging.INFO, "finish update instrument asset type cache, spend 1,234.5 s")]


def test_refresh_only_adds(use_client):
    client = use_client(catalogue())
    brisel._type_cache.put_one("000001.XSHE", "hk_stock")
    brisel._update_type()
    client.listed = pd.DataFrame({"type": ["ETF", "CS"], "order_book_id": ["000001.XSHE", "NEW"],
                                  "symbol": ["x", "y"]})
    client.funds = pd.DataFrame({"order_book_id": ["510300.XSHG"]})
    brisel._update_type()
    cache = brisel._type_cache
    assert cache.get_one("000001.XSHE") == "hk_stock"
    assert cache.get_one("NEW") == "stock" and cache.get_one("510300.XSHG") == "fund"
    assert len(cache._oset) == 9


def test_fund_catalogue_failure_keeps_exchange_ids_and_retries(use_client):
    client = use_client(catalogue())
    client.funds = RuntimeError("fund service down")
    with pytest.raises(RuntimeError, match="fund service down"):
        brisel.get_asset_type("000001.XSHE")
    cache = brisel._type_cache
    assert cache.get_one("000001.XSHE") == "stock" and cache.get_one("110011") is None
    assert cache._expire == 0 and cache.is_expired()
    client.funds = pd.DataFrame({"order_book_id": ["110011"]})
    assert brisel.get_asset_type("110011") == "public_fund"
    assert client.calls.count(("all_instruments",)) == 2
    assert not cache.is_expired()


@pytest.mark.parametrize("listed, funds, column", [
    (pd.DataFrame({"order_book_id": ["A"], "kind": ["CS"]}), ["F"], "type"),
    (pd.DataFrame({"id": ["A"], "type": ["CS"]}), ["F"], "order_book_id"),
    ([("A", "CS")], pd.DataFrame({"code": ["F"]}), "order_book_id"),
])
def test_catalogue_without_a_column_raises_key_error(use_client, listed, funds, column):
    use_client(CatalogueClient(listed=listed, funds=funds))
    with pytest.raises(KeyError, match=column):
        brisel._update_type()
    assert brisel._type_cache.is_expired()


def test_update_if_needed_refreshes_only_a_stale_table(use_client):
    client = use_client(catalogue())
    fresh_table()
    brisel.update_if_needed()
    assert client.calls == []
    brisel._type_cache.set_expire(0)
    brisel.update_if_needed()
    assert client.calls == [("all_instruments",), ("fund.all_instruments",)]


# ---- lookups -----------------------------------------------------------------------------


@pytest.mark.parametrize("cash", ["cash", "CASH", "Cash", "cny", "CNY", "cNy"])
def test_cash_and_cny_need_no_client(use_client, cash):
    use_client(RefusingClient())
    assert brisel.get_asset_type(cash) == "cash"
    assert brisel._type_cache.is_expired()


def test_get_asset_types_has_no_cash_rule(use_client):
    client = use_client(catalogue())
    assert brisel.get_asset_types(["cash"]) == {}
    assert client.calls[0] == ("all_instruments",)
    assert brisel.get_asset_types(("161005.XSHE", "nope", "000001")) == {
        "161005.XSHE": "fund", "000001": "public_fund"}


def test_get_asset_type_never_asks_the_getters(use_client):
    client = use_client(CatalogueClient(records={"": {"X": record("X", "CS")}}))
    fresh_table()
    assert brisel.get_asset_type("X") is None
    assert brisel.get_asset_type("cashier") is None
    assert client.calls == []


def test_getters_are_bound_at_import(monkeypatch):
    imported = sys.modules["ondrax"]
    bound = [imported.convertible.instruments, imported.fund.instruments, imported.instruments]
    assert brisel.instrument_getters == bound
    if getattr(imported, "__file__", None) is not None:
        return  # an installed client: do not ask it for records
    later = CatalogueClient(records={"": {"X": record("X")}})
    monkeypatch.setattr(brisel, "ondrax", later)
    fresh_table()
    brisel.get_instrument("X")
    assert later.calls == [] and brisel.instrument_getters == bound


def test_unknown_id_tries_the_getters_in_order(use_client):
    found = record("113050.XSHG", "Convertible")
    client = use_client(CatalogueClient(records={
        "convertible": {"113050.XSHG": found}, "": {"113050.XSHG": record("wrong")}}))
    fresh_table()
    assert brisel.get_instrument("113050.XSHG") is found
    assert client.calls == [("convertible.instruments", "113050.XSHG")]
    client.calls.clear()
    assert brisel.get_instrument("NOPE") is None
    assert client.calls == [("convertible.instruments", "NOPE"), ("fund.instruments", "NOPE"),
                            ("instruments", "NOPE")]


@pytest.mark.parametrize("code, part", [
    ("bond", "bond"), ("convertible", "convertible"), ("fund", "fund"), ("public_fund", ""),
    ("stock", ""), ("cash", ""), ("otc", ""),
])
def test_known_code_picks_one_part_without_fallback(use_client, code, part):
    everywhere = {p: {"X": record("X")} for p in ("", "bond", "fund", "convertible")}
    del everywhere[part]["X"]
    client = use_client(CatalogueClient(records=everywhere))
    fresh_table(**{code: ["X"]})
    assert brisel.get_instrument("X") is None
    assert client.calls == [((part + "." if part else "") + "instruments", "X")]


def test_get_instruments_keys_records_by_their_own_id(use_client):
    shared, late = record("000001.XSHE", "CS"), record("000001.XSHE")
    client = use_client(CatalogueClient(records={"": {
        "000001": shared, "000001.XSHE": shared, "EMPTY": [], "LATE": late}}))
    fresh_table(stock=["000001", "000001.XSHE", "EMPTY"])
    got = brisel.get_instruments(["000001", "000001.XSHE", "EMPTY", "MISSING"])
    assert got == {"000001.XSHE": shared}
    assert ("all_instruments",) not in client.calls
    assert brisel.get_instruments(["000001", "LATE"]) == {"000001.XSHE": late}


def test_get_instruments_refreshes_once(use_client):
    client = use_client(catalogue())
    brisel.get_instruments(["000001.XSHE", "510300.XSHG", "X"])
    assert client.calls.count(("all_instruments",)) == 1


# ---- predicates ---------------------------------------------------------------------------


def test_predicates_are_bounded_lru_caches():
    sizes = {name: getattr(brisel, name).cache_info().maxsize for name in PREDICATES}
    assert sizes == {"maybe_bond_index": 10240, "maybe_bond": 10240,
                     "is_stock_index_and_have_weight": 1024, "is_stock": 1024}


@pytest.mark.parametrize("order_book_id, expected", [
    ("KVX.INDX", True), ("KVX123456.INDX", True), ("KVX123456.XSHG", False),
    ("H11001.INDX", False), ("kvx1.INDX", False), ("KVX", False),
])
def test_maybe_bond_index(use_client, order_book_id, expected):
    use_client(RefusingClient())
    assert brisel.maybe_bond_index(order_book_id) is expected


def test_maybe_bond_keeps_its_first_answer(use_client):
    use_client(catalogue())
    fresh_table(bond=["019547.XSHG"])
    assert brisel.maybe_bond("019547.XSHG") is True
    assert brisel.maybe_bond("010107.XSHG") is False
    brisel._type_cache.put_one("010107.XSHG", "bond")
    assert brisel.maybe_bond("010107.XSHG") is False
    assert brisel.maybe_bond.cache_info().hits == 1


def test_is_stock(use_client):
    client = use_client(CatalogueClient(records={"": {
        "A": record("A", "CS"), "E": record("E", "ETF"), "T": record("T")}}))
    assert [brisel.is_stock(i) for i in ("A", "E", "T", "N", "A")] == [True, False, False, False,
                                                                        True]
    assert client.calls == [("instruments", i) for i in ("A", "E", "T", "N")]


def test_weights_value_error_is_a_memoised_false(use_client):
    client = use_client(CatalogueClient(weights={
        "000300.XSHG": pd.Series([0.5, 0.5], index=["A", "B"]), "BAD": ValueError("no weights"),
        "DOWN": ConnectionError("timeout")}))
    assert brisel.is_stock_index_and_have_weight("000300.XSHG") is True
    assert brisel.is_stock_index_and_have_weight("NONE") is False
    assert brisel.is_stock_index_and_have_weight("BAD") is False
    assert brisel.is_stock_index_and_have_weight("BAD") is False
    assert client.calls.count(("index_weights", "BAD")) == 1
    for _ in range(2):
        with pytest.raises(ConnectionError):
            brisel.is_stock_index_and_have_weight("DOWN")
    assert client.calls.count(("index_weights", "DOWN")) == 2


# ---- bad input ----------------------------------------------------------------------------


@pytest.mark.parametrize("name", ["get_instrument", "get_asset_type"] + list(PREDICATES))
@pytest.mark.parametrize("bad", [1, Text("A"), b"A"])
def test_non_str_ids_get_the_argument_message(use_client, name, bad):
    use_client(RefusingClient())
    with pytest.raises(TypeError) as err:
        getattr(brisel, name)(bad)
    assert str(err.value) == ARG_MESSAGE.format("order_book_id", type(bad).__name__)


def test_non_str_ids_inside_get_instruments(use_client):
    use_client(catalogue())
    fresh_table()
    with pytest.raises(TypeError) as err:
        brisel.get_instruments(["000001.XSHE", 1])
    assert str(err.value) == ARG_MESSAGE.format("order_book_id", "int")


@pytest.mark.parametrize("bad", ["000001.XSHE", None, 5])
def test_ids_that_are_no_list_fail_before_the_refresh(use_client, bad):
    client = use_client(catalogue())
    for fn in (brisel.get_instruments, brisel.get_asset_types):
        with pytest.raises(TypeError, match="order_book_ids"):
            fn(bad)
    assert client.calls == []


def test_none_fails_in_the_body(use_client):
    use_client(RefusingClient())
    with pytest.raises(TypeError, match="lower"):
        brisel.get_asset_type(None)
    with pytest.raises(TypeError, match="lower"):
        brisel.maybe_bond(None)
    with pytest.raises(AttributeError):
        brisel.maybe_bond_index(None)
    with pytest.raises(AssertionError):
        brisel._get_instrument(None)


def test_import_fails_without_the_fund_extension():
    code = ("import sys; sys.path.insert(0, 'tests'); import conftest; "
            "sys.modules['ondrax_fund'] = None\n"
            "try:\n    import brelvox.marketdata.brisel\nexcept ImportError as e:\n"
            "    print('refused', 'ondrax_fund' in str(e.__cause__ or e))\n")
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=root,
                         env=dict(os.environ), timeout=60)
    assert out.stdout.strip() == "refused True", out.stderr
