"""Time-limited cache, retry, exception capture and the property helpers."""

import copy
import functools
import gc
import inspect
import pickle
import sys
import time
import weakref

import pytest

from brelvox.utils import decorators as dec
from brelvox.utils.decorators import (
    _HashedSeq, _make_key, cached_property, exception_capture, retry, ttl_cache, update_doc)


class Counted:
    """A function recording its calls; returns `result(*args, **kwargs)` or `value`."""

    def __init__(self, value="value", result=None):
        self.calls = []
        self.value = value
        self.result = result

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.result is not None:
            return self.result(*args, **kwargs)
        return self.value


class Clock:
    """A settable stand-in for time.time that counts its reads."""

    def __init__(self, now=1_000_000.0):
        self.now = now
        self.reads = 0

    def __call__(self):
        self.reads += 1
        return self.now


@pytest.fixture
def clock(monkeypatch):
    fake = Clock()
    monkeypatch.setattr(time, "time", fake)
    return fake


def cached(ttl=60, typed=False, value="value"):
    inner = Counted(value)
    return ttl_cache(ttl, typed)(inner), inner


def test_is_compiled_extension():
    assert not dec.__file__.endswith(".py")
    for name in ("ttl_cache", "_ttl_cache_wrapper", "_make_key", "_HashedSeq",
                 "exception_capture", "retry", "_missing", "cached_property", "update_doc",
                 "_ERROR_CALLBACK"):
        assert hasattr(dec, name), name
    assert type(dec._missing) is object
    assert str(inspect.signature(ttl_cache)) == "(ttl, typed=False)"
    assert str(inspect.signature(retry)) == "(n, exceptions, callback=None)"
    assert repr(dec._ERROR_CALLBACK) == "typing.Callable[[Exception, tuple, dict], typing.Any]"


# ---- keys ------------------------------------------------------------------------------------


class TestKeys:
    def test_bare_int_and_str_by_exact_type(self):
        big = 10**40
        assert _make_key((big,), {}, False) is big
        assert _make_key(("abc",), {}, False) == "abc"
        for value in (True, 1.0, None, (1,), type("Int", (int,), {})(3)):
            key = _make_key((value,), {}, False)
            assert type(key) is _HashedSeq and key == [value]
            assert hash(key) == hash((value,))

    def test_keywords_follow_a_private_marker_in_call_order(self):
        ab = _make_key((1,), {"a": 2, "b": 3}, False)
        ba = _make_key((1,), {"b": 3, "a": 2}, False)
        assert ab[0] == 1 and ab[2:] == ["a", 2, "b", 3]
        mark = ab[1]
        assert type(mark) is object and ba[1] is mark
        assert ab != ba and hash(ab) == hash((1, mark, "a", 2, "b", 3))
        assert _make_key((1,), {"a": 2}, False) != _make_key((1, "a", 2), {}, False)

    def test_typed_appends_argument_types(self):
        key = _make_key((1, "x"), {"k": 2.0}, True)
        assert list(key) == [1, "x", key[2], "k", 2.0, int, str, float]
        assert _make_key((1,), {}, True) == [1, int]
        assert _make_key((), {}, False) == [] and hash(_make_key((), {}, False)) == hash(())

    def test_defaults_can_be_replaced(self):
        assert _make_key((1.5,), {}, False, fasttypes={float}) == 1.5
        assert _make_key((), {"a": 1}, False, kwd_mark=("|",)) == ["|", "a", 1]

    def test_hashed_seq_is_a_slotted_list_hashing_once(self):
        assert issubclass(_HashedSeq, list) and _HashedSeq.__slots__ == ("hashvalue",)
        assert _HashedSeq.__doc__ == "make sure hash called once"
        hashes = []

        class Probe:
            def __hash__(self):
                hashes.append(1)
                return 7

        key = _HashedSeq((Probe(), 2))
        assert len(hashes) == 1
        assert {key: 1}[key] == 1 and hash(key) == hash(key) and len(hashes) == 1
        assert key.hashvalue == hash(key)
        with pytest.raises(AttributeError):
            key.other = 1
        assert not hasattr(key, "__dict__")
        assert _HashedSeq((1, 2)) == _HashedSeq(iter((1, 2))) == [1, 2]
        with pytest.raises(TypeError):
            _HashedSeq([1, 2])  # hash(tup) of a list

    def test_hashed_seq_custom_hash_and_assignment(self):
        key = _HashedSeq((1, 2), hash=lambda t: 99)
        assert key.hashvalue == 99 and hash(key) == 99
        key.hashvalue = 5
        assert hash(key) == 5
        key.hashvalue = "no"
        with pytest.raises(TypeError):
            hash(key)
        del key.hashvalue
        with pytest.raises(AttributeError):
            hash(key)
        with pytest.raises(TypeError, match="unhashable"):
            _HashedSeq(([1],))

    def test_wrapper_keys_are_make_key_keys(self):
        f, _ = cached()
        store = f.clear_cache.__self__
        calls = [((1,), {}), (("s",), {}), ((1, 2), {"z": 3, "a": 4}), ((), {}), ((1.0,), {})]
        for args, kwargs in calls:
            f(*args, **kwargs)
        assert list(store) == [_make_key(a, k, False) for a, k in calls]
        assert all(type(e) is tuple and len(e) == 2 and type(e[0]) is float
                   for e in store.values())


class TestCacheSemantics:
    def test_same_arguments_run_once_and_none_is_a_hit(self):
        f, inner = cached(value=None)
        assert f(1) is None and f(1) is None
        assert len(inner.calls) == 1

    def test_separate_entries(self):
        f, inner = cached()
        for args, kwargs in [((1,), {"b": 2}), ((1, 2), {}), ((), {"a": 1, "b": 2}),
                             ((), {"b": 2, "a": 1}), ((1,), {}), ((1.0,), {})]:
            f(*args, **kwargs)
            f(*args, **kwargs)
        assert len(inner.calls) == 6
        f(True)  # a one-element key equal to (1.0,), not the bare 1
        assert len(inner.calls) == 6
        assert inner.calls[1] == ((1, 2), {}) and inner.calls[3] == ((), {"b": 2, "a": 1})

    def test_typed(self):
        loose, loose_inner = cached()
        loose(1, 2)
        loose(1.0, 2)
        assert len(loose_inner.calls) == 1
        strict_inner = Counted()
        strict = ttl_cache(60, typed=True)(strict_inner)
        strict(1, 2)
        strict(1.0, 2)
        strict(1)
        strict(1.0)
        assert len(strict_inner.calls) == 4

    def test_exceptions_are_not_cached(self):
        attempts = []

        @ttl_cache(60)
        def flaky(x):
            attempts.append(x)
            if len(attempts) == 1:
                raise KeyError(x)
            return x * 2

        with pytest.raises(KeyError):
            flaky(3)
        assert flaky(3) == 6 and flaky(3) == 6 and attempts == [3, 3]

    def test_unhashable_argument_raises_before_the_call(self):
        f, inner = cached()
        with pytest.raises(TypeError, match="unhashable type: 'list'"):
            f([1, 2])
        with pytest.raises(TypeError, match="unhashable"):
            f(1, key={})
        assert inner.calls == []

    def test_clear_cache_is_per_function(self):
        f, f_inner = cached()
        g, g_inner = cached()
        f(1)
        g(1)
        assert f.clear_cache() is None
        f(1)
        g(1)
        assert len(f_inner.calls) == 2 and len(g_inner.calls) == 1

    def test_outer_clear_cache_clears_the_outer_cache(self):
        inner = Counted()
        once = ttl_cache(60)(inner)
        twice = ttl_cache(60)(once)
        twice(1)
        assert len(twice.clear_cache.__self__) == 1
        twice.clear_cache()
        assert len(twice.clear_cache.__self__) == 0
        assert len(once.clear_cache.__self__) == 1
        assert twice.__wrapped__ is once

    def test_wrapper_looks_like_the_function(self):
        def source(a, b=2):
            """Adds."""
            return a + b

        source.extra = "kept"
        f = ttl_cache(5)(source)
        assert (f.__name__, f.__qualname__, f.__doc__, f.__module__) == (
            "source", source.__qualname__, "Adds.", __name__)
        assert f.__wrapped__ is source and f.extra == "kept"
        assert callable(f.clear_cache) and "clear_cache" not in vars(source)
        assert repr(f).startswith("<function ") and f(1) == 3 and f(a=1, b=5) == 6
        assert copy.deepcopy(f) is f

    def test_bare_wrapper_has_clear_cache_but_no_metadata(self):
        f = dec._ttl_cache_wrapper(Counted(), 10, False)
        assert callable(f.clear_cache) and not hasattr(f, "__wrapped__")
        assert f(1) == "value"

    def test_ttl_validation(self):
        for bad in (0, -5, 2.5, "60", None, 1.0):
            with pytest.raises(TypeError) as info:
                ttl_cache(bad)
            assert str(info.value) == "Expected ttl to be a positive integer"
        f = ttl_cache(True)(Counted())
        assert f(1) == "value"

    def test_binds_as_a_method(self):
        class Holder:
            def __init__(self, base):
                self.base = base

            @ttl_cache(60)
            def plus(self, x):
                return self.base + x

        a, b = Holder(1), Holder(10)
        assert a.plus(1) == 2 and b.plus(1) == 11 and Holder.plus(a, 5) == 6

    def test_inner_decorator_arguments(self):
        decorating = ttl_cache(60)
        assert decorating.__qualname__ == "ttl_cache.<locals>.decorating_function"
        assert repr(decorating).startswith("<function ttl_cache.<locals>.decorating_function")
        assert decorating(user_function=len)("abc") == 3
        with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'user_f"):
            decorating()
        with pytest.raises(TypeError, match="unexpected keyword argument 'fn'"):
            retry(2, ValueError)(fn=len)
        with pytest.raises(TypeError, match="takes 1 positional argument but 2 were given"):
            update_doc(len)(len, len)

    def test_native_type_cannot_be_built_directly(self):
        f, _ = cached()
        with pytest.raises(TypeError):
            type(f)()


# ---- expiry ----------------------------------------------------------------------------------


class TestExpiry:
    def test_fresh_until_strictly_after_expire_at(self, clock):
        f, inner = cached(ttl=10)
        f("a")
        clock.now += 9.999
        f("a")
        assert len(inner.calls) == 1
        clock.now += 0.001  # exactly expire_at: stale
        f("a")
        assert len(inner.calls) == 2
        clock.now += 9.5  # renewed from the recomputation
        f("a")
        assert len(inner.calls) == 2

    def test_lifetime_counts_from_the_end_of_the_computation(self, clock):
        def slow(x):
            clock.now += 5
            return x

        f = ttl_cache(10)(slow)
        start = clock.now
        f(1)
        assert f.clear_cache.__self__[1] == (start + 15, 1)
        clock.now = start + 14.5
        f(1)
        assert clock.now == start + 14.5  # hit: slow() did not run

    def test_one_clock_read_per_hit_and_one_per_miss(self, clock):
        f, _ = cached()
        f(1)
        assert clock.reads == 1
        f(1)
        f(1)
        assert clock.reads == 3
        clock.now += 60
        f(1)
        assert clock.reads == 5

    def test_stale_entry_survives_a_failed_recomputation(self, clock):
        state = {"fail": False}

        def source(x):
            if state["fail"]:
                raise RuntimeError("down")
            return "old"

        f = ttl_cache(10)(source)
        f(1)
        entry = f.clear_cache.__self__[1]
        clock.now += 20
        state["fail"] = True
        with pytest.raises(RuntimeError):
            f(1)
        assert f.clear_cache.__self__[1] is entry

    def test_follows_a_clock_replaced_between_calls(self, monkeypatch):
        f, inner = cached(ttl=10)
        monkeypatch.setattr(time, "time", lambda: 100.0)
        f(1)
        f(1)
        monkeypatch.setattr(time, "time", lambda: 200.0)
        f(1)
        assert len(inner.calls) == 2
        monkeypatch.setattr(dec, "time", type("T", (), {"time": staticmethod(lambda: 300.0)}))
        f(1)
        assert len(inner.calls) == 3 and f.clear_cache.__self__[1][0] == 310.0

    def test_integer_clock(self, monkeypatch):
        now = [50]
        monkeypatch.setattr(time, "time", lambda: now[0])
        f, inner = cached(ttl=5)
        f(1)
        assert f.clear_cache.__self__[1][0] == 55
        now[0] = 55
        f(1)
        assert len(inner.calls) == 2

    def test_clock_error_propagates(self, monkeypatch):
        def broken():
            raise OSError("no clock")

        f, inner = cached()
        monkeypatch.setattr(time, "time", broken)
        with pytest.raises(OSError):
            f(1)
        assert len(inner.calls) == 1 and len(f.clear_cache.__self__) == 0


# ---- descriptors -----------------------------------------------------------------------------


class TestCachedProperty:
    def make(self, **options):
        runs = []

        class Thing:
            @cached_property
            def value(self):
                """The value."""
                runs.append(self)
                return len(runs)

            named = cached_property(lambda self: "n", name="stored", doc="Named.")

            @cached_property
            def nothing(self):
                runs.append(None)

        return Thing, runs

    def test_computes_once_per_instance(self):
        Thing, runs = self.make()
        a, b = Thing(), Thing()
        assert (a.value, a.value, b.value) == (1, 1, 2)
        assert vars(a) == {"value": 1}
        assert a.nothing is None and a.nothing is None and runs.count(None) == 1

    def test_assign_reset_and_delete(self):
        Thing, runs = self.make()
        a = Thing()
        a.value = "set"
        assert a.value == "set" and runs == []
        del a.__dict__["value"]
        assert a.value == 1
        with pytest.raises(AttributeError):
            del a.value

    def test_class_access_name_doc_module(self):
        Thing, _ = self.make()
        prop = Thing.__dict__["value"]
        assert Thing.value is prop and isinstance(prop, property)
        assert type(prop).__mro__[1] is property
        assert (prop.__name__, prop.__doc__, prop.__module__) == ("value", "The value.", __name__)
        assert prop.func(Thing()) == 1
        t = Thing()
        assert t.named == "n" and vars(t) == {"stored": "n"} and Thing.named.__doc__ == "Named."
        assert cached_property(lambda self: 1, name="").__name__ == "<lambda>"

    def test_exception_is_not_stored(self):
        calls = []

        class Flaky:
            @cached_property
            def value(self):
                calls.append(1)
                if len(calls) == 1:
                    raise ValueError("first")
                return "ok"

        f = Flaky()
        with pytest.raises(ValueError):
            f.value
        assert f.value == "ok" and len(calls) == 2

    def test_value_goes_with_the_instance(self):
        class Payload:
            pass

        class Owner:
            @cached_property
            def payload(self):
                return Payload()

        owner = Owner()
        ref = weakref.ref(owner.payload)
        del owner
        gc.collect()
        assert ref() is None


# ---- retry, capture, update_doc --------------------------------------------------------------


class TestRetryAndCapture:
    def test_capture_returns_the_callback_value(self):
        seen = []

        def callback(exc, args, kwargs):
            seen.append((exc, args, kwargs, sys.exc_info()[1]))
            return "fallback"

        @exception_capture(callback)
        def fails(a, b=0):
            """Fails."""
            raise ValueError(a)

        assert fails(1, b=2) == "fallback"
        exc, args, kwargs, handled = seen[0]
        assert isinstance(exc, ValueError) and handled is exc
        assert (args, kwargs) == ((1,), {"b": 2})
        assert fails.__name__ == "fails" and fails.__doc__ == "Fails."
        assert exception_capture(callback)(lambda: 5)() == 5

    def test_capture_lets_base_exceptions_through_and_chains_callback_errors(self):
        def callback(exc, args, kwargs):
            raise RuntimeError("callback")

        @exception_capture(callback)
        def interrupted():
            raise KeyboardInterrupt

        with pytest.raises(KeyboardInterrupt):
            interrupted()

        @exception_capture(callback)
        def fails():
            raise ValueError("inner")

        with pytest.raises(RuntimeError) as info:
            fails()
        assert isinstance(info.value.__context__, ValueError)

    def test_retry_needs_two_attempts(self):
        for n in (0, 1):
            with pytest.raises(AssertionError) as info:
                retry(n, ValueError)
            assert info.value.args == ()
        retry(2, ValueError)

    def test_retry_until_success(self):
        attempts, seen = [], []

        @retry(3, (KeyError, ValueError), lambda e, a, k: seen.append((type(e), a, k)))
        def flaky(x, y=0):
            attempts.append(x)
            if len(attempts) < 3:
                raise ValueError(len(attempts))
            return "done"

        assert flaky(1, y=2) == "done" and len(attempts) == 3
        assert seen == [(ValueError, (1,), {"y": 2})] * 2

    def test_retry_raises_the_last_exception(self):
        attempts = []

        @retry(4, ValueError)
        def always(x):
            attempts.append(x)
            raise ValueError(len(attempts))

        with pytest.raises(ValueError) as info:
            always(7)
        assert len(attempts) == 4 and info.value.args == (4,)

    def test_retry_unlisted_exception_and_callback_error(self):
        attempts = []

        @retry(5, ValueError)
        def other():
            attempts.append(1)
            raise KeyError("x")

        with pytest.raises(KeyError):
            other()
        assert attempts == [1]

        def callback(exc, args, kwargs):
            raise RuntimeError("stop")

        @retry(5, ValueError, callback)
        def fails():
            attempts.append(2)
            raise ValueError

        with pytest.raises(RuntimeError) as info:
            fails()
        assert attempts == [1, 2] and isinstance(info.value.__context__, ValueError)

    def test_retry_with_an_invalid_exception_clause(self):
        @retry(3, "ValueError")
        def fails():
            raise ValueError

        with pytest.raises(TypeError, match="do not inherit from BaseException"):
            fails()

    def test_update_doc(self):
        def source(a: int) -> str:
            """Source doc."""

        def target():
            """Target doc."""

        assert update_doc(source)(target) is target
        assert target.__doc__ == "Source doc." and target.__annotations__ == source.__annotations__

        def plain():
            pass

        def other(b: float):
            """Other."""

        update_doc(plain, annotation=False)(other)
        assert other.__doc__ is None and other.__annotations__ == {"b": float}
        update_doc(plain)(other)
        assert other.__annotations__ == {}

        class NoAnnotations:
            __slots__ = ()
            __doc__ = "Slotted."

        def third(c: int):
            pass

        update_doc(NoAnnotations())(third)
        assert third.__doc__ == "Slotted." and third.__annotations__ == {"c": int}


# ---- references ------------------------------------------------------------------------------


class Value:
    pass


class TestReferences:
    def test_clear_cache_releases_values(self):
        f = ttl_cache(60)(lambda x, y=None: Value())
        refs = [weakref.ref(f(1)), weakref.ref(f(1.5, y=2))]
        gc.collect()
        assert all(r() is not None for r in refs)
        f.clear_cache()
        assert all(r() is None for r in refs)

    def test_hits_leave_argument_counts_alone(self):
        f = ttl_cache(60)(lambda *args, **kwargs: None)
        arg, kw = object(), object()
        f(arg, k=kw)
        before = sys.getrefcount(arg), sys.getrefcount(kw)
        for _ in range(100):
            f(arg, k=kw)
            f(arg)
            f(1)
        f(arg)
        assert (sys.getrefcount(arg), sys.getrefcount(kw)) == (before[0] + 1, before[1])

    def test_wrappers_are_collected_with_their_cycles(self):
        def source(x):
            return x

        wrappers = [ttl_cache(60)(source), exception_capture(print)(source),
                    retry(2, ValueError)(source)]
        refs = [weakref.ref(w) for w in wrappers]
        for w in wrappers:
            w.self_ref = w
        del w, wrappers
        gc.collect()
        assert all(r() is None for r in refs)

    def test_pickles_by_name(self):
        assert pickle.loads(pickle.dumps(module_level)) is module_level


@ttl_cache(60)
def module_level(x):
    return x
