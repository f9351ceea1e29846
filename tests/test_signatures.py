"""What help() and inspect.signature show of every module agrees with its type stub: the same
names, and for each function and class the same parameters, defaults and kinds."""

import ast
import importlib
import inspect
import os

import pytest

ROOT = os.path.normpath(os.path.join(os.path.dirname(__file__), ".."))
STUBS = {
    "brelvox.const": "src/brelvox/const.pyi",
    "brelvox.utils.decorators": "src/brelvox/utils/decorators.pyi",
    "brelvox.utils.format": "src/brelvox/utils/format.pyi",
    "brelvox.utils.frevo": "src/brelvox/utils/frevo.pyi",
}
DATA_MODULES = ("brisel", "caldre", "oprane", "pelmar", "quenta", "sorvan", "tolvik")
STUBS.update({"brelvox.marketdata." + m: "src/brelvox/marketdata/%s.pyi" % m
              for m in DATA_MODULES})
KINDS = {"posonlyargs": inspect.Parameter.POSITIONAL_ONLY,
         "args": inspect.Parameter.POSITIONAL_OR_KEYWORD,
         "kwonlyargs": inspect.Parameter.KEYWORD_ONLY}


def stub_tree(module):
    with open(os.path.join(ROOT, STUBS[module]), encoding="utf-8") as f:
        return ast.parse(f.read())


def stub_parameters(function, drop_first=False):
    """[(name, kind, default)] of a stub's def, defaults as Python values."""
    a = function.args
    params = []
    positional = [(p, KINDS["posonlyargs"]) for p in a.posonlyargs] + \
        [(p, KINDS["args"]) for p in a.args]
    defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
    for (p, kind), default in zip(positional, defaults):
        params.append((p.arg, kind, inspect.Parameter.empty if default is None
                       else ast.literal_eval(default)))
    if a.vararg:
        params.append((a.vararg.arg, inspect.Parameter.VAR_POSITIONAL, inspect.Parameter.empty))
    for p, default in zip(a.kwonlyargs, a.kw_defaults):
        params.append((p.arg, KINDS["kwonlyargs"], inspect.Parameter.empty if default is None
                       else ast.literal_eval(default)))
    if a.kwarg:
        params.append((a.kwarg.arg, inspect.Parameter.VAR_KEYWORD, inspect.Parameter.empty))
    return params[1:] if drop_first else params


def runtime_parameters(obj):
    return [(p.name, p.kind, p.default) for p in inspect.signature(obj).parameters.values()]


def same_parameters(got, want):
    """Runtime and stub parameters agree; a stub writes a default that is no literal as
    `...`, which stands for any default."""
    return len(got) == len(want) and all(
        g[:2] == w[:2] and (g[2] == w[2] or (w[2] is ... and g[2] is not inspect.Parameter.empty))
        for g, w in zip(got, want))


def stub_names(tree, helpers=True):
    """Names a stub declares; `helpers`: with the private type variables, aliases and
    protocol classes that only describe types, which the module need not have."""
    names = set()
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            names.add(node.name)
        elif isinstance(node, ast.ClassDef):
            if helpers or not node.name.startswith("_"):
                names.add(node.name)
        elif isinstance(node, (ast.AnnAssign, ast.Assign)):
            targets = [node.target] if isinstance(node, ast.AnnAssign) else node.targets
            for target in targets:
                value = getattr(node, "value", None)
                is_type = target.id.startswith("_") and isinstance(node, ast.Assign) and (
                    isinstance(value, ast.Call) or isinstance(value, ast.Subscript))
                if helpers or not is_type:
                    names.add(target.id)
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            names.update(a.asname for a in node.names if a.asname)  # re-exported
    return names


@pytest.mark.parametrize("name", sorted(STUBS))
def test_stub_and_runtime_agree(name):
    module = importlib.import_module(name)
    tree = stub_tree(name)
    only_in_stub = sorted(n for n in stub_names(tree, helpers=False) if not hasattr(module, n))
    assert not only_in_stub, "names the module does not have: %s" % only_in_stub
    differ = []
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            pairs = [(node.name, getattr(module, node.name), node, False)]
        elif isinstance(node, ast.ClassDef) and hasattr(module, node.name):
            cls = getattr(module, node.name)
            init = [n for n in node.body if isinstance(n, ast.FunctionDef)
                    and n.name in ("__init__", "__new__")]
            pairs = [(node.name, cls, init[0], True)] if init else []
        else:
            continue
        for label, obj, stub, bound in pairs:
            want = stub_parameters(stub, drop_first=bound)
            got = runtime_parameters(obj)
            if not same_parameters(got, want):
                differ.append("%s: stub %s, runtime %s" % (label, want, runtime_parameters(obj)))
    assert not differ, "\n".join(differ)


@pytest.mark.parametrize("name", sorted(STUBS))
def test_every_public_function_and_class_has_a_signature_and_a_stub(name):
    module = importlib.import_module(name)
    declared = stub_names(stub_tree(name))
    for attr, obj in vars(module).items():
        if attr.startswith("_") or not callable(obj) or getattr(obj, "__module__", None) != name:
            continue
        assert attr in declared, "%s.%s has no stub" % (name, attr)
        inspect.signature(obj)  # raises when help() could not show the parameters


@pytest.mark.parametrize("name", ["brelvox.marketdata." + m for m in DATA_MODULES] +
                         ["brelvox.utils.frevo"])
def test_data_modules_declare_their_client(name):
    assert "ondrax" in stub_names(stub_tree(name))
    assert hasattr(importlib.import_module(name), "ondrax")


def test_a_function_without_a_docstring_keeps_none():
    quenta = importlib.import_module("brelvox.marketdata.quenta")
    assert quenta.get_equity_daily_returns.__doc__ is None
    assert str(inspect.signature(quenta.get_equity_daily_returns)) == "(order_book_ids, dates)"
    tolvik = importlib.import_module("brelvox.marketdata.tolvik")
    assert tolvik.get_exchange_previous_trading_date.__doc__ == (
        "The n-th exchange trading day before dt, at midnight.")
