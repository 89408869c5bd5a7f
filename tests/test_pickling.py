"""Pickling and copying of Kestrava instances and of Python subclasses."""
import copy
import pickle

import pytest

from helpers import run_python, traceback_entries

import greeks.greeks as g

CHECKSUM = 0xB76A7CA
PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


class Tracked(g.Kestrava):
    inits = 0

    def __init__(self, symbol):
        Tracked.inits += 1
        super().__init__(symbol)


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("symbol", ["NIFTY", None])
def test_round_trip_for_every_protocol(Kestrava, protocol, symbol):
    restored = pickle.loads(pickle.dumps(Kestrava(symbol), protocol))
    assert type(restored) is Kestrava and restored.symbol == symbol


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("symbol", ["SBIN", None])
def test_subclass_round_trip_keeps_its_dict_without_init(protocol, symbol):
    original = Tracked(symbol)
    original.strike, original.note = 800, ["a"]
    Tracked.inits = 0
    restored = pickle.loads(pickle.dumps(original, protocol))
    assert type(restored) is Tracked and restored.symbol == symbol
    assert restored.__dict__ == {"strike": 800, "note": ["a"]}
    assert Tracked.inits == 0


@pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy])
def test_copies(Kestrava, copier):
    original = Tracked("BANKNIFTY")
    original.levels = [1, 2]
    Tracked.inits = 0
    for obj in (Kestrava("NIFTY"), Kestrava(None), original):
        duplicate = copier(obj)
        assert duplicate is not obj and type(duplicate) is type(obj) and duplicate.symbol == obj.symbol
    assert copier(original).levels == [1, 2] and Tracked.inits == 0
    assert (copy.deepcopy(original).levels is original.levels) is False


def test_reduce_values(Kestrava):
    unpickle = g.__pyx_unpickle_Kestrava
    assert Kestrava("NIFTY").__reduce__() == (unpickle, (Kestrava, CHECKSUM, None), ("NIFTY",))
    assert Kestrava(None).__reduce_cython__() == (unpickle, (Kestrava, CHECKSUM, (None,)))
    sub = Tracked(None)
    sub.x = 1
    reduced = sub.__reduce__()
    assert reduced == (unpickle, (Tracked, CHECKSUM, None), (None, {"x": 1}))
    assert reduced[2][1] is sub.__dict__


def test_reduce_needs_the_module_global(Kestrava, monkeypatch):
    monkeypatch.delattr(g, "__pyx_unpickle_Kestrava")
    with pytest.raises(NameError, match=r"^name '__pyx_unpickle_Kestrava' is not defined$"):
        Kestrava("X").__reduce__()


@pytest.mark.parametrize("checksum", [0xB76A7CA, 0x810A25D, 0x97BFF26, 0x810A25D * 1.0])
def test_accepted_checksums(Kestrava, checksum):
    restored = g.__pyx_unpickle_Kestrava(Kestrava, checksum, ("NIFTY",))
    assert type(restored) is Kestrava and restored.symbol == "NIFTY"


def test_unpickle_without_state_and_by_keyword(Kestrava):
    assert g.__pyx_unpickle_Kestrava(Kestrava, CHECKSUM, None).symbol is None
    restored = g.__pyx_unpickle_Kestrava(__pyx_state=("A",), __pyx_checksum=CHECKSUM, __pyx_type=Tracked)
    assert type(restored) is Tracked and restored.symbol == "A"


@pytest.mark.parametrize(
    "checksum, text",
    [(1, "0x1"), (-1, "0x-1"), (0x7FFFFFFF, "0x7fffffff")],
)
def test_foreign_checksum_raises_pickle_error(Kestrava, checksum, text):
    with pytest.raises(pickle.PickleError) as excinfo:
        g.__pyx_unpickle_Kestrava(Kestrava, checksum, None)
    assert type(excinfo.value) is pickle.PickleError
    assert str(excinfo.value) == (
        f"Incompatible checksums ({text} vs (0xb76a7ca, 0x810a25d, 0x97bff26) = (symbol))"
    )
    assert traceback_entries(excinfo)[1][:2] == ("greeks.greeks.__pyx_unpickle_Kestrava", "<stringsource>")


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((g.Kestrava, CHECKSUM), TypeError, "__pyx_unpickle_Kestrava() takes exactly 3 positional arguments (2 given)"),
        ((g.Kestrava, "x", None), TypeError, "an integer is required"),
        ((g.Kestrava, 2**31, None), OverflowError, "value too large to convert to int"),
        ((g.Kestrava, CHECKSUM, ["NIFTY"]), TypeError, "Expected tuple, got list"),
        ((g.Kestrava, CHECKSUM, type("T", (tuple,), {})(("A",))), TypeError, "Expected tuple, got T"),
        ((g.Kestrava, CHECKSUM, ()), IndexError, "tuple index out of range"),
        ((g.Kestrava, CHECKSUM, (5,)), TypeError, "Expected unicode, got int"),
    ],
)
def test_unpickle_errors(args, error, message):
    with pytest.raises(error) as excinfo:
        g.__pyx_unpickle_Kestrava(*args)
    assert str(excinfo.value) == message


@pytest.mark.parametrize("foreign", [int, object, 5])
def test_unpickle_refuses_other_classes(foreign):
    with pytest.raises(TypeError):
        g.__pyx_unpickle_Kestrava(foreign, CHECKSUM, None)


@pytest.mark.parametrize("name", ["__setstate__", "__setstate_cython__"])
@pytest.mark.parametrize(
    "state, error, message",
    [
        (None, TypeError, "'NoneType' object is not subscriptable"),
        ((), IndexError, "tuple index out of range"),
        ((5,), TypeError, "Expected unicode, got int"),
        (["A"], TypeError, "Expected tuple, got list"),
    ],
)
def test_setstate_errors(Kestrava, name, state, error, message):
    k = Kestrava("OLD")
    with pytest.raises(error) as excinfo:
        getattr(k, name)(state)
    assert str(excinfo.value) == message
    assert k.symbol == "OLD"


def test_setstate_on_the_class_ignores_extra_elements(Kestrava):
    k = Kestrava("OLD")
    assert k.__setstate__(("NEW", {"x": 1}, "ignored")) is None
    assert k.symbol == "NEW"


def test_failed_dict_update_keeps_the_new_symbol():
    sub = Tracked("OLD")
    with pytest.raises(TypeError):
        sub.__setstate__(("NEW", 5))
    assert sub.symbol == "NEW" and sub.__dict__ == {}


def test_pickling_is_installed_on_the_class(Kestrava):
    assert Kestrava.__reduce__ is not object.__reduce__
    assert "__reduce__" in Kestrava.__dict__ and "__reduce_cython__" in Kestrava.__dict__
    assert Kestrava.__reduce_cython__.__name__ == Kestrava.__reduce__.__name__ == "__reduce_cython__"
    assert g.__pyx_unpickle_Kestrava.__module__ == "greeks.greeks"
    assert g.__pyx_unpickle_Kestrava.__code__.co_varnames == ("__pyx_type", "__pyx_checksum", "__pyx_state")


def test_pickle_loads_in_a_fresh_interpreter(Kestrava):
    payload = pickle.dumps(Kestrava("NIFTY"))
    result = run_python(
        f"""
        import pickle
        restored = pickle.loads({payload!r})
        print(type(restored).__module__, type(restored).__name__, restored.symbol)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "greeks.greeks Kestrava NIFTY"


def test_method_objects_pickle_by_reference(Kestrava):
    assert pickle.loads(pickle.dumps(Kestrava.get_option_data)) is Kestrava.get_option_data
    assert pickle.loads(pickle.dumps(g.__pyx_unpickle_Kestrava)) is g.__pyx_unpickle_Kestrava
