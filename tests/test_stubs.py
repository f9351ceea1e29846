"""The committed type stubs are what the stub generator makes of the built extensions."""

import difflib
import importlib
import os
import subprocess
import sys

import pytest

ROOT = os.path.normpath(os.path.join(os.path.dirname(__file__), ".."))
GENERATOR = os.path.join(ROOT, "tools", "stubgen", "generate.py")


def _tree():
    brelvox = importlib.import_module("brelvox")
    return os.path.dirname(os.path.dirname(os.path.abspath(brelvox.__file__)))


@pytest.fixture(scope="module")
def generated(tmp_path_factory):
    stubgen = pytest.importorskip("nanobind.stubgen")
    if not os.path.exists(GENERATOR):
        pytest.skip("the stub generator is not in this checkout")
    import nanobind

    with open(os.path.join(ROOT, "tools", "stubgen", "NANOBIND_VERSION")) as f:
        pinned = f.read().strip()
    if nanobind.__version__ != pinned:
        pytest.skip("stubs are generated with nanobind %s, not %s" % (pinned, nanobind.__version__))
    del stubgen
    out = tmp_path_factory.mktemp("stubs")
    result = subprocess.run([sys.executable, GENERATOR, _tree(), str(out)],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr[-3000:]
    return out, [line for line in result.stdout.splitlines() if line]


def _dotted(path, out):
    return os.path.relpath(path, out)[:-4].replace(os.sep, ".")


def test_committed_stubs_match_the_built_extensions(generated):
    out, written = generated
    assert written, "no extension was found to generate stubs for"
    stale = []
    for path in written:
        name = _dotted(path, str(out))
        committed = os.path.join(ROOT, "src", *name.split(".")) + ".pyi"
        with open(path, encoding="utf-8") as f:
            fresh = f.read()
        old = ""
        if os.path.exists(committed):
            with open(committed, encoding="utf-8") as f:
                old = f.read()
        if old != fresh:
            diff = "".join(difflib.unified_diff(old.splitlines(True), fresh.splitlines(True),
                                                committed, "generated", n=1))
            stale.append(diff[:4000])
    assert not stale, "stale stubs (run scripts/gen-stubs <tree>):\n" + "\n".join(stale)


def test_every_extension_ships_a_stub_and_the_package_is_marked_typed():
    tree = os.path.join(_tree(), "brelvox")
    assert os.path.exists(os.path.join(tree, "py.typed"))
    missing = []
    for folder, _, files in os.walk(tree):
        for name in files:
            if ".cpython-" in name and name.endswith(".so"):
                stub = os.path.join(folder, name.split(".")[0] + ".pyi")
                if not os.path.exists(stub):
                    missing.append(os.path.relpath(stub, tree))
    assert not missing, missing


def test_generated_stubs_are_valid_python(generated):
    import ast

    for path in generated[1]:
        with open(path, encoding="utf-8") as f:
            ast.parse(f.read(), path)
