"""brelvox.const: constant namespaces on the Enum base."""

import contextlib
import importlib.machinery
import inspect
import io
import os
import subprocess
import sys

import pytest

from brelvox import const
from brelvox.const import (
    AnalysisModel,
    AssetType,
    AssetTypeChinese,
    BenchmarkType,
    BrinsonStandard,
    Enum,
    IndustryStandard,
    MongoCollections,
    StockFactorModel,
)

ASSET_TYPES = {
    "BOND": "bond",
    "STOCK": "stock",
    "FUND": "fund",
    "FUTURES": "futures",
    "INDEX": "index",
    "CASH": "cash",
    "PUBLIC_FUND": "public_fund",
    "OPTION": "option",
    "CONVERTIBLE": "convertible",
    "HK_STOCK": "hk_stock",
    "OTC": "otc",
}

TABLES = {
    AssetType: ASSET_TYPES,
    BenchmarkType: {
        "INDEX": "index",
        "MIXED_INDEX": "mixed_index",
        "YIELD_RATE": "yield_rate",
        "CASH": "cash",
    },
    AnalysisModel: {
        "BRINSON": "equity/brinson",
        "FACTOR": "equity/factor",
        "FACTOR_V2": "equity/factor_v2",
        "BOND_FACTOR": "fixed_income/factor",
        "CAMPISI": "fixed_income/campisi",
        "HEDGING": "equity/hedging",
    },
    StockFactorModel: {"V1": "v1", "V2": "v2"},
    MongoCollections: {
        "BENCHMARK_HOLDING_RETURNS": "benchmark_holding_returns",
        "BENCHMARK_FACTOR": "benchmark_factor_v2",
        "BENCHMARK_CAMPISI": "benchmark_campisi",
        "BENCHMARK_BOND_FACTOR": "benchmark_bond_factor_attributions",
    },
    BrinsonStandard: {
        "SHENWAN": "sws",
        "ZHONGXIN": "citics",
        "TRANSACTION_TYPE": "transaction_type",
        "ASSET_CLASS": "asset_class",
        "NATION_ECON": "nation_economic",
        "BOND_SECTOR1": "bond_sector1",
        "BOND_SECTOR2": "bond_sector2",
        "FUTURES_VARIETIES": "futures_varieties",
    },
}


# ---- the module and the shape of its classes --------------------------------------------


def test_module_is_compiled_and_defines_its_names_in_order():
    assert const.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
    public = [k for k in vars(const) if not k.startswith("__")]
    assert public == [
        "List", "Enum", "AssetType", "AssetTypeChinese", "BenchmarkType", "AnalysisModel",
        "StockFactorModel", "MongoCollections", "BrinsonStandard", "IndustryStandard",
    ]


def test_classes_are_ordinary_python_classes():
    assert type(Enum) is type and Enum.__mro__ == (Enum, object)
    assert AssetType.__mro__ == (AssetType, Enum, object)
    for cls in (*TABLES, IndustryStandard):
        assert type(cls) is type
        assert cls.__module__ == "brelvox.const" and cls.__qualname__ == cls.__name__
    assert IndustryStandard.__mro__ == (IndustryStandard, object)
    assert Enum.__dict__["_members"] is None or Enum.__dict__["_members"] == ()
    assert isinstance(Enum.__dict__["members"], classmethod)
    assert isinstance(AssetType.__dict__["chinese"], classmethod)


def test_dir_matches_an_equivalent_python_class():
    class Base:
        _members = None

        def __new__(cls, *args, **kwargs):
            raise RuntimeError

        @classmethod
        def members(cls):
            pass

        @classmethod
        def contains(cls, k):
            pass

    # inspect reads this class's signature from its Python __new__; the extension's __new__
    # is native, so the class states it, the one name a Python class does not have
    Base.__signature__ = inspect.signature(Base)
    assert Enum.__signature__ == Base.__signature__ == inspect.signature(AssetType)
    body = dict(ASSET_TYPES)
    body.update(is_equity=classmethod(len), equity=classmethod(len), chinese=classmethod(len))
    reference = type("AssetType", (Base,), body)
    assert dir(AssetType) == without_class_statement_extras(dir(reference))
    assert dir(Enum) == without_class_statement_extras(dir(Base))


def without_class_statement_extras(names):
    # Newer interpreters record attributes of their own on a class written as a class
    # statement (3.13: __firstlineno__, __static_attributes__); a class made by calling
    # type() gets none of them, and neither do the native classes.
    class Statement:
        pass

    extras = set(dir(Statement)) - set(dir(type("Call", (), {})))
    return [name for name in names if name not in extras]


# ---- members and contains ---------------------------------------------------------------


@pytest.mark.parametrize("cls", list(TABLES), ids=lambda c: c.__name__)
def test_members_are_values_ordered_by_name(cls):
    table = TABLES[cls]
    for name, value in table.items():
        assert getattr(cls, name) == value and type(getattr(cls, name)) is str
    assert cls.members() == [table[name] for name in sorted(table)]
    assert cls.__dict__["_members"] == tuple(cls.members())
    assert all(cls.contains(v) for v in table.values())


def test_members_returns_a_fresh_list_each_time():
    first, second = AssetType.members(), AssetType.members()
    assert first == second and first is not second
    first.append("warrant")
    first[0] = "changed"
    assert AssetType.members() == second and "warrant" not in AssetType.members()
    assert not AssetType.contains("warrant")


def test_contains_tests_values_not_names():
    assert AssetType.contains("bond")
    assert not AssetType.contains("BOND")
    assert not AssetType.contains("fixed_income")
    assert not AssetType.contains(None) and not AssetType.contains(1)
    assert AssetType.contains(k="stock")
    assert MongoCollections.contains("benchmark_factor_v2")
    assert BenchmarkType.contains("cash")
    assert AnalysisModel.contains("equity/factor_v2")
    assert not AnalysisModel.contains("factor")
    assert Enum.members() == [] and not Enum.contains("bond")


# ---- the member cache belongs to each class ---------------------------------------------


def test_parent_asked_first_does_not_hide_a_subclass_members():
    class Parent(Enum):
        A = "a"

    class Child(Parent):
        B = "b"

    assert Enum.members() == []
    assert Parent.members() == ["a"]
    assert "_members" not in Child.__dict__
    assert Child.members() == ["a", "b"]
    assert Parent.members() == ["a"] and Enum.members() == []


def test_python_subclass_of_asset_type_lists_its_own_members():
    AssetType.members()

    class Extended(AssetType):
        WARRANT = "warrant"
        _hidden = "hidden"
        lower = "lower"
        helper = staticmethod(lambda: "callable")

    assert Extended.members() == sorted(ASSET_TYPES.values()) + ["warrant", "lower"]
    assert Extended.contains("warrant") and not AssetType.contains("warrant")
    assert Extended.is_equity("stock") and Extended.equity() == ["stock", "fund", "index"]
    with pytest.raises(RuntimeError, match="^enum not callable$"):
        Extended()


def test_call_order_in_a_fresh_interpreter():
    # The cache persists for the process, so only a new interpreter sees a first call.
    code = (
        "from brelvox.const import Enum, AssetType\n"
        "assert Enum.members() == []\n"
        "names = sorted(k for k in vars(AssetType) if k.isupper())\n"
        "assert AssetType.members() == [getattr(AssetType, k) for k in names]\n"
        "class Sub(AssetType):\n"
        "    ZZ = 'zz'\n"
        "assert Sub.members()[-1] == 'zz', Sub.members()\n"
        "print('ok')\n"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
    assert run.returncode == 0, run.stderr
    assert run.stdout == "ok\n"


def test_a_subclass_redefining_members_is_honoured_by_contains():
    class Narrow(Enum):
        A = "a"

        @classmethod
        def members(cls):
            return ["only"]

    assert Narrow.contains("only") and not Narrow.contains("a")


# ---- construction -----------------------------------------------------------------------


@pytest.mark.parametrize("cls", [Enum, *TABLES], ids=lambda c: c.__name__)
def test_enums_refuse_construction(cls):
    for args, kwargs in (((), {}), ((1,), {"x": 2})):
        with pytest.raises(RuntimeError) as caught:
            cls(*args, **kwargs)
        assert caught.value.args == ("enum not callable",)
        assert type(caught.value) is RuntimeError


def test_industry_standard_is_a_plain_class():
    assert isinstance(IndustryStandard(), IndustryStandard)
    assert IndustryStandard.sws == "sws" and IndustryStandard.citics == "citics"
    assert not hasattr(IndustryStandard, "members")
    assert not hasattr(IndustryStandard, "contains")


# ---- AssetType methods ------------------------------------------------------------------


def test_is_equity():
    assert [AssetType.is_equity(code) for code in ("stock", "fund", "index")] == [True] * 3
    for code in ("public_fund", "hk_stock", "convertible", "bond", "STOCK", ""):
        assert AssetType.is_equity(code) is False
    assert AssetType.is_equity(None) is False
    assert AssetType.is_equity(asset_type="index") is True


class Code(str):
    pass


@pytest.mark.parametrize(
    "value, got",
    [(1, "int"), (b"stock", "bytes"), (["stock"], "list"), (Code("stock"), "Code")],
    ids=str,
)
def test_is_equity_refuses_non_str(value, got):
    with pytest.raises(TypeError) as caught:
        AssetType.is_equity(value)
    assert str(caught.value) == (
        f"Argument 'asset_type' has incorrect type (expected str, got {got})"
    )


def test_equity_is_a_new_list():
    first = AssetType.equity()
    assert first == ["stock", "fund", "index"]
    first.clear()
    assert AssetType.equity() == ["stock", "fund", "index"]


def test_chinese_table():
    assert type(AssetTypeChinese) is dict
    assert list(AssetTypeChinese.items()) == [
        ("fixed_income", "债券"), ("bond", "债券"), ("fund", "基金"), ("futures", "期货"),
        ("index", "指数"), ("cash", "现金"), ("stock", "股票"), ("option", "期权"),
        ("public_fund", "基金"), ("convertible", "可转债"), ("hk_stock", "港股"),
        ("otc", "非标资产"),
    ]


def test_chinese_names(capsys):
    for code, name in AssetTypeChinese.items():
        assert AssetType.chinese(code) == name
    assert AssetType.chinese("bond_otc") == "非标资产"
    assert AssetType.chinese("hk_stock_connect") == "港股"
    assert AssetType.chinese("connect_hk_stock_sh") == "港股"
    assert capsys.readouterr().out == ""


def test_chinese_prints_an_unknown_code_on_the_current_stdout():
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        assert AssetType.chinese("warrant") == "其他"
        assert AssetType.chinese(asset_type="hk_stoc") == "其他"
    assert out.getvalue() == "warrant\nhk_stoc\n"


def test_chinese_silent_when_stdout_is_none(monkeypatch):
    monkeypatch.setattr(sys, "stdout", None)
    assert AssetType.chinese("warrant") == "其他"


def test_chinese_reads_the_module_table_at_call_time(monkeypatch):
    monkeypatch.setitem(AssetTypeChinese, "warrant", "权证")
    assert AssetType.chinese("warrant") == "权证"
    monkeypatch.setattr(const, "AssetTypeChinese", {"bond": "replaced"})
    assert AssetType.chinese("bond") == "replaced"


def test_chinese_supports_only_str_codes():
    with pytest.raises(AttributeError, match="endswith"):
        AssetType.chinese(None)
    with pytest.raises(TypeError, match="unhashable"):
        AssetType.chinese(["bond"])


# ---- MongoCollections.all_members ---------------------------------------------------------


def test_all_members():
    names = MongoCollections.all_members()
    assert names == [
        "benchmark_bond_factor_attributions", "benchmark_campisi", "benchmark_factor_v2",
        "benchmark_holding_returns", "brinson_industry_asset_class",
        "brinson_industry_bond_sector1", "brinson_industry_bond_sector2",
        "brinson_industry_futures_varieties", "brinson_industry_nation_economic",
        "brinson_industry_sws", "brinson_industry_transaction_type", "brinson_industry_citics",
    ]
    assert len(set(names)) == 12
    names.append("x")
    assert len(MongoCollections.all_members()) == 12


def test_all_members_of_a_subclass_starts_with_its_own_members():
    class More(MongoCollections):
        EXTRA = "extra_collection"

    names = More.all_members()
    assert names[:5] == MongoCollections.members() + ["extra_collection"]
    assert names[5:] == MongoCollections.all_members()[4:]
