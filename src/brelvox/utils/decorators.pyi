import time as time
from functools import update_wrapper as update_wrapper, wraps as wraps
from typing import Any, Callable, Dict, Hashable, Iterable, Optional, Tuple, Type, TypeVar, Union

_F = TypeVar("_F", bound=Callable[..., Any])
_T = TypeVar("_T")

class _HashedSeq(list[Any]):
    """make sure hash called once"""

    __slots__ = ("hashvalue",)
    hashvalue: Any
    def __init__(self, tup: Iterable[Any], hash: Callable[[Any], Any] = ...) -> None: ...
    def __hash__(self) -> int: ...  # type: ignore[override]

def _make_key(
    args: Tuple[Any, ...],
    kwds: Dict[str, Any],
    typed: Any,
    kwd_mark: Tuple[Any, ...] = ...,
    fasttypes: Any = ...,
) -> Hashable: ...

class _TTLCached:
    """What ttl_cache returns (its type is not a module attribute)."""

    __wrapped__: Callable[..., Any]
    __name__: str
    __qualname__: str
    def __call__(self, *args: Any, **kwargs: Any) -> Any: ...
    def clear_cache(self) -> None: ...
    def __get__(self, obj: Any, objtype: Optional[type] = ...) -> Any: ...

def ttl_cache(ttl: int, typed: Any = False) -> Callable[[Callable[..., Any]], _TTLCached]: ...
def _ttl_cache_wrapper(user_function: Callable[..., Any], ttl: int, typed: Any) -> _TTLCached: ...

_ERROR_CALLBACK = Callable[[Exception, tuple, dict], Any]

def exception_capture(callback: _ERROR_CALLBACK) -> Callable[[_F], _F]: ...
def retry(
    n: int,
    exceptions: Union[Type[BaseException], Tuple[Type[BaseException], ...]],
    callback: Optional[_ERROR_CALLBACK] = None,
) -> Callable[[_F], _F]: ...

_missing: object

class cached_property(property):
    __name__: str
    __module__: str
    func: Callable[[Any], Any]
    def __init__(
        self, func: Callable[[Any], Any], name: Optional[str] = None, doc: Optional[str] = None
    ) -> None: ...
    def __get__(self, obj: Any, type: Optional[type] = None) -> Any: ...
    def __set__(self, obj: Any, value: Any) -> None: ...

def update_doc(fr: Any, annotation: Any = True) -> Callable[[_T], _T]: ...
