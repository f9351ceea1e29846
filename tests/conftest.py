"""Shared fixtures: a stand-in `ondrax` package when no data client is installed."""

import sys
import types

import pytest


def _install_stub_client():
    """Registers an empty `ondrax` so the extensions import; tests patch the module attribute."""
    try:
        import ondrax  # noqa: F401
        import ondrax_fund  # noqa: F401
        return
    except ImportError:
        pass
    root = types.ModuleType("ondrax")
    for part in ("bond", "fund", "convertible", "client"):
        sub = types.ModuleType("ondrax." + part)
        setattr(root, part, sub)
        sys.modules["ondrax." + part] = sub
    for name in ("instruments",):
        setattr(root, name, lambda *a, **k: None)
    for part in ("bond", "fund", "convertible"):
        setattr(getattr(root, part), "instruments", lambda *a, **k: None)
    sys.modules.setdefault("ondrax", root)
    sys.modules.setdefault("ondrax_fund", types.ModuleType("ondrax_fund"))


_install_stub_client()


@pytest.fixture
def patch_client(monkeypatch):
    """patch_client(module, fake): make `module` talk to `fake` for this test only."""

    def apply(module, fake):
        monkeypatch.setattr(module, "ondrax", fake)
        return fake

    return apply
