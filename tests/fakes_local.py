"""The local data client for tests: the installed one, else the one in clients/local.

Loading it from the source tree leaves the stand-in `ondrax` of conftest registered, so
other test modules keep talking to their fakes; `bind` points the package's modules at the
local client for one test.
"""

import atexit
import importlib
import os
import shutil
import sys
import tempfile

import pytest

LOCAL_ROOT = os.path.normpath(os.path.join(os.path.dirname(__file__), "..", "clients", "local"))
MODULES = ("quenta", "oprane", "brisel", "sorvan", "pelmar", "caldre", "tolvik")
_NAMES = ("ondrax", "ondrax_fund")


def _ours(name):
    return name in _NAMES or name.startswith("ondrax.")


def load_client():
    """The local client package (module object)."""
    current = sys.modules.get("ondrax")
    if current is not None and hasattr(current, "local"):
        return current
    saved = {k: v for k, v in sys.modules.items() if _ours(k)}
    for name in saved:
        del sys.modules[name]
    sys.path.insert(0, LOCAL_ROOT)
    try:
        client = importlib.import_module("ondrax")
        importlib.import_module("ondrax_fund")
    finally:
        sys.path.remove(LOCAL_ROOT)
        for name in [k for k in sys.modules if _ours(k)]:
            del sys.modules[name]
        sys.modules.update(saved)
    return client


_sample = {}


def sample_path():
    """The sample market written once per test process into a temporary directory."""
    if "path" not in _sample:
        directory = tempfile.mkdtemp(prefix="ondrax-sample-")
        atexit.register(shutil.rmtree, directory, True)
        path = os.path.join(directory, "sample.duckdb")
        load_client().local.write_sample(path)
        _sample["path"] = path
    return _sample["path"]


@pytest.fixture
def local(monkeypatch):
    """The local client on the sample market, with every built data module bound to it."""
    client = load_client()
    monkeypatch.setenv(client.ENV_VAR, sample_path())
    bind(monkeypatch, client)
    yield client
    unbind()


def client_pythonpath():
    """Entries a child interpreter needs on PYTHONPATH to import the same client."""
    client = load_client()
    root = os.path.dirname(os.path.dirname(os.path.abspath(client.__file__)))
    return [root]


def package_module(name):
    path = "brelvox.marketdata." + name
    try:
        return importlib.import_module(path)
    except ImportError:
        return None


def require(name):
    module = package_module(name)
    if module is None:
        pytest.skip("brelvox.marketdata.%s is not built" % name)
    return module


def bind(monkeypatch, client):
    """Points every built data module at `client`, with fresh module caches."""
    for name in MODULES:
        module = package_module(name)
        if module is None:
            continue
        monkeypatch.setattr(module, "ondrax", client)
        if name == "brisel":
            monkeypatch.setattr(module, "_type_cache", module.AssetTypeCache())
            monkeypatch.setattr(module, "instrument_getters", [
                client.convertible.instruments, client.fund.instruments, client.instruments])
            _clear_memos(module)
        if name == "sorvan":
            monkeypatch.setattr(module, "_sw_cache", module.Cache({}))
            monkeypatch.setattr(module, "_zx_cache", module.Cache({}))
            _clear_listing(module)


def unbind():
    """Drops what the modules memoised from the local client."""
    brisel = package_module("brisel")
    if brisel is not None:
        _clear_memos(brisel)
    sorvan = package_module("sorvan")
    if sorvan is not None:
        _clear_listing(sorvan)


def _clear_memos(brisel):
    for name in ("maybe_bond_index", "maybe_bond", "is_stock_index_and_have_weight", "is_stock"):
        clear = getattr(getattr(brisel, name, None), "cache_clear", None)
        if clear is not None:
            clear()


def _clear_listing(sorvan):
    clear = getattr(sorvan.get_listing_date_and_delisting_date, "clear_cache", None)
    if clear is not None:
        clear()
