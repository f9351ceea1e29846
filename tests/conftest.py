"""Shared fixtures: a stand-in `ondrax` package when no data client is installed."""

import os
import sys

import pytest


def _install_stub_client():
    """Without a data client installed, the stand-in one of tools/stub_client, which answers
    nothing: tests bind fakes to each module's `ondrax`."""
    try:
        import ondrax  # noqa: F401
        import ondrax_fund  # noqa: F401
        return
    except ImportError:
        pass
    sys.path.append(os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                 "tools", "stub_client"))


_install_stub_client()


@pytest.fixture
def patch_client(monkeypatch):
    """patch_client(module, fake): make `module` talk to `fake` for this test only."""

    def apply(module, fake):
        monkeypatch.setattr(module, "ondrax", fake)
        return fake

    return apply
