from typing import ClassVar, List, NoReturn

class Enum:
    _members: ClassVar[tuple[str, ...] | None]
    def __new__(cls, *args: object, **kwargs: object) -> NoReturn: ...
    @classmethod
    def members(cls) -> List[str]: ...
    @classmethod
    def contains(cls, k: object) -> bool: ...

class AssetType(Enum):
    BOND: ClassVar[str]
    STOCK: ClassVar[str]
    FUND: ClassVar[str]
    FUTURES: ClassVar[str]
    INDEX: ClassVar[str]
    CASH: ClassVar[str]
    PUBLIC_FUND: ClassVar[str]
    OPTION: ClassVar[str]
    CONVERTIBLE: ClassVar[str]
    HK_STOCK: ClassVar[str]
    OTC: ClassVar[str]
    @classmethod
    def is_equity(cls, asset_type: str | None) -> bool: ...
    @classmethod
    def equity(cls) -> List[str]: ...
    @classmethod
    def chinese(cls, asset_type: str) -> str: ...

AssetTypeChinese: dict[str, str]

class BenchmarkType(Enum):
    INDEX: ClassVar[str]
    MIXED_INDEX: ClassVar[str]
    YIELD_RATE: ClassVar[str]
    CASH: ClassVar[str]

class AnalysisModel(Enum):
    BRINSON: ClassVar[str]
    FACTOR: ClassVar[str]
    FACTOR_V2: ClassVar[str]
    BOND_FACTOR: ClassVar[str]
    CAMPISI: ClassVar[str]
    HEDGING: ClassVar[str]

class StockFactorModel(Enum):
    V1: ClassVar[str]
    V2: ClassVar[str]

class MongoCollections(Enum):
    BENCHMARK_HOLDING_RETURNS: ClassVar[str]
    BENCHMARK_FACTOR: ClassVar[str]
    BENCHMARK_CAMPISI: ClassVar[str]
    BENCHMARK_BOND_FACTOR: ClassVar[str]
    @classmethod
    def all_members(cls) -> List[str]: ...

class BrinsonStandard(Enum):
    SHENWAN: ClassVar[str]
    ZHONGXIN: ClassVar[str]
    TRANSACTION_TYPE: ClassVar[str]
    ASSET_CLASS: ClassVar[str]
    NATION_ECON: ClassVar[str]
    BOND_SECTOR1: ClassVar[str]
    BOND_SECTOR2: ClassVar[str]
    FUTURES_VARIETIES: ClassVar[str]

class IndustryStandard:
    sws: ClassVar[str]
    citics: ClassVar[str]
