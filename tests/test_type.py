"""The Kestrava type: construction, the symbol attribute, its flags and subclassing."""
import abc
import gc
import weakref

import pytest

from helpers import traceback_entries

IMMUTABLE, BASETYPE, HAVE_GC = 1 << 8, 1 << 10, 1 << 14


class TextSubclass(str):
    pass


def test_type_identity_and_flags(Kestrava):
    assert Kestrava.__module__ == "greeks.greeks"
    assert Kestrava.__name__ == Kestrava.__qualname__ == "Kestrava"
    assert Kestrava.__doc__ is None
    assert Kestrava.__bases__ == (object,)
    flags = Kestrava.__flags__
    assert flags & IMMUTABLE and flags & BASETYPE and not flags & HAVE_GC
    assert type(Kestrava.__dict__["__pyx_vtable__"]).__name__ == "PyCapsule"


@pytest.mark.parametrize(
    "make",
    [lambda K: K("NIFTY"), lambda K: K(symbol="NIFTY")],
    ids=["positional", "keyword"],
)
def test_construct_with_text(Kestrava, make):
    assert make(Kestrava).symbol == "NIFTY"


def test_construct_with_none_and_new_alone(Kestrava):
    assert Kestrava(None).symbol is None
    assert Kestrava.__new__(Kestrava).symbol is None
    assert Kestrava.__new__(Kestrava, "ignored", extra=1).symbol is None


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((), {}, TypeError, "__init__() takes exactly 1 positional argument (0 given)"),
        (("a", "b"), {}, TypeError, "__init__() takes exactly 1 positional argument (2 given)"),
        ((), {"ticker": "a"}, TypeError, "__init__() takes exactly 1 positional argument (0 given)"),
        (("a",), {"ticker": "b"}, TypeError, "__init__() got an unexpected keyword argument 'ticker'"),
        (("a",), {"symbol": "b"}, TypeError, "__init__() got multiple values for keyword argument 'symbol'"),
        ((5,), {}, TypeError, "Argument 'symbol' has incorrect type (expected str, got int)"),
        ((TextSubclass("x"),), {}, TypeError,
         "Argument 'symbol' has incorrect type (expected str, got TextSubclass)"),
    ],
)
def test_init_errors(Kestrava, args, kwargs, error, message):
    with pytest.raises(error) as excinfo:
        Kestrava(*args, **kwargs)
    assert str(excinfo.value) == message
    assert traceback_entries(excinfo)[-1] == ("greeks.greeks.Kestrava.__init__", "greeks\\greeks", 33)


def test_init_again_replaces_symbol(Kestrava):
    k = Kestrava("A")
    assert k.__init__("B") is None and k.symbol == "B"


def test_symbol_set_and_delete(Kestrava):
    k = Kestrava("A")
    k.symbol = "B"
    assert k.symbol == "B"
    k.symbol = None
    assert k.symbol is None
    k.symbol = "C"
    del k.symbol
    assert k.symbol is None


@pytest.mark.parametrize("value, type_name", [(3, "int"), (TextSubclass("x"), "TextSubclass"), (b"x", "bytes")])
def test_symbol_set_refuses_other_types(Kestrava, value, type_name):
    k = Kestrava("OLD")
    with pytest.raises(TypeError, match=rf"^Expected unicode, got {type_name}$"):
        k.symbol = value
    assert k.symbol == "OLD"


def test_instances_have_no_dict_and_no_weakrefs(Kestrava):
    k = Kestrava("A")
    with pytest.raises(AttributeError):
        k.other = 1
    with pytest.raises(TypeError):
        weakref.ref(k)
    assert not gc.is_tracked(k)


@pytest.mark.parametrize(
    "mutate",
    [
        lambda K: setattr(K, "get_spot_price", lambda self: 1.0),
        lambda K: setattr(K, "anything", 1),
        lambda K: delattr(K, "get_spot_price"),
    ],
)
def test_class_is_immutable(Kestrava, mutate):
    with pytest.raises(TypeError):
        mutate(Kestrava)


def test_subclass_instances_get_a_dict(Kestrava):
    class Sub(Kestrava):
        pass

    s = Sub("A")
    s.extra = 1
    assert s.__dict__ == {"extra": 1} and s.symbol == "A"
    assert repr(s).startswith("<") and s == s and hash(s) == hash(s)


def test_abstract_subclass_cannot_be_instantiated(Kestrava):
    class Meta(abc.ABCMeta, type(Kestrava)):
        pass

    class Abstract(Kestrava, metaclass=Meta):
        @abc.abstractmethod
        def needed(self):
            ...

    with pytest.raises(TypeError, match="abstract"):
        Abstract("A")


def test_subclass_finaliser_runs(Kestrava):
    seen = []

    class Finalised(Kestrava):
        def __del__(self):
            seen.append(self.symbol)

    Finalised("GONE")
    gc.collect()
    assert seen == ["GONE"]


def test_symbol_is_released_on_dealloc(Kestrava):
    class Marker:
        pass

    text = "".join(["SYM", "BOL-", str(id(Marker))])
    before = __import__("sys").getrefcount(text)
    k = Kestrava(text)
    del k
    assert __import__("sys").getrefcount(text) == before
