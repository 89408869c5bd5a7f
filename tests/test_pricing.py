"""calculate_greeks and the d1/d2 terms behind it."""
import builtins
import math

import numpy as np
import pytest

from helpers import traceback_entries

KEYS = ["delta", "gamma", "theta", "vega", "rho"]
CALL_ROW = [0.673645, 0.018026, -0.020583, 0.360527, 0.558230]
PUT_ROW = [-0.326355, 0.018026, -0.002702, 0.360527, -0.374164]


def record(**changes):
    base = {
        "spot_price": 100.0,
        "strike_price": 100.0,
        "time_to_expiry": 1.0,
        "risk_free_rate": 0.07,
        "implied_volatility": 0.2,
        "option_type": "CE",
    }
    base.update(changes)
    return base


@pytest.mark.parametrize(
    "option_type, row",
    [("CE", CALL_ROW), ("PE", PUT_ROW), ("ce", PUT_ROW), (None, PUT_ROW), (5, PUT_ROW)],
)
def test_worked_example(Kestrava, capsys, option_type, row):
    greeks = Kestrava("X").calculate_greeks(record(option_type=option_type))
    assert type(greeks) is dict and list(greeks) == KEYS
    assert all(type(v) is np.float64 for v in greeks.values())
    assert [round(greeks[k], 6) for k in KEYS] == row
    assert capsys.readouterr().out == ""


def test_numbers_of_any_kind_are_accepted(Kestrava):
    greeks = Kestrava("X").calculate_greeks(
        record(spot_price=100, strike_price=np.int64(100), time_to_expiry=np.float32(1.0))
    )
    assert round(greeks["delta"], 6) == CALL_ROW[0]


class Recorder:
    """Stand-in for np and norm that records every call and returns a fixed numpy float."""

    def __init__(self, calls, module):
        self.calls, self.module = calls, module

    def __getattr__(self, name):
        def function(x):
            self.calls.append((name, type(x), x))
            return getattr(self.module, name)(x)

        return function


def test_library_calls_in_formula_order(g, Kestrava, monkeypatch):
    from scipy.stats import norm

    calls = []
    monkeypatch.setattr(g, "np", Recorder(calls, np))
    monkeypatch.setattr(g, "norm", Recorder(calls, norm))
    Kestrava("X").calculate_greeks(record())
    assert all(kind is float for _, kind, _ in calls)
    assert [name for name, _, _ in calls] == [
        "log", "sqrt",  # d1
        "sqrt",  # d2
        "cdf",  # delta
        "pdf", "sqrt",  # gamma
        "pdf", "sqrt",  # theta decay term
        "exp", "cdf",  # theta
        "sqrt", "pdf",  # vega
        "exp", "cdf",  # rho
    ]
    assert calls[0][2] == 1.0 and calls[8][2] == -0.07


@pytest.mark.parametrize(
    "option_data, error, message",
    [
        (None, TypeError, "'NoneType' object is not subscriptable"),
        ({}, KeyError, "'spot_price'"),
        ({"strike_price": 1.0}, KeyError, "'spot_price'"),
        (record(risk_free_rate="0.07"), TypeError, "must be real number, not str"),
        ({k: v for k, v in record().items() if k != "option_type"}, KeyError, "'option_type'"),
    ],
)
def test_record_errors_propagate_without_output(Kestrava, capsys, option_data, error, message):
    with pytest.raises(error) as excinfo:
        Kestrava("X").calculate_greeks(option_data)
    assert str(excinfo.value) == message
    assert capsys.readouterr().out == ""
    assert traceback_entries(excinfo)[-1][0] == "greeks.greeks.Kestrava.calculate_greeks"


def test_option_type_comparison_errors_propagate(Kestrava, capsys):
    class Bad:
        def __eq__(self, other):
            raise ValueError("no equality")

    class BadTruth:
        def __eq__(self, other):
            return self

        def __bool__(self):
            raise RuntimeError("no truth")

    with pytest.raises(ValueError, match="no equality"):
        Kestrava("X").calculate_greeks(record(option_type=Bad()))
    with pytest.raises(RuntimeError, match="no truth"):
        Kestrava("X").calculate_greeks(record(option_type=BadTruth()))
    assert capsys.readouterr().out == ""


def test_dict_subclass_is_refused(Kestrava):
    class Record(dict):
        pass

    with pytest.raises(TypeError, match=r"^Argument 'option_data' has incorrect type \(expected dict, got Record\)$"):
        Kestrava("X").calculate_greeks(Record(record()))


def test_zero_strike_prints_one_line(Kestrava, capsys):
    assert Kestrava("X").calculate_greeks(record(strike_price=0.0)) is None
    assert capsys.readouterr().out == "Error calculating d1: float division\n"


def test_unbound_np_prints_two_lines(g, Kestrava, capsys, monkeypatch):
    monkeypatch.delattr(g, "np")
    assert Kestrava("X").calculate_greeks(record()) is None
    assert capsys.readouterr().out == (
        "Error calculating d1: name 'np' is not defined\n"
        "Error calculating d2: name 'np' is not defined\n"
    )


def test_np_found_among_builtins(g, Kestrava, monkeypatch):
    monkeypatch.delattr(g, "np")
    monkeypatch.setattr(builtins, "np", np, raising=False)
    assert round(Kestrava("X").calculate_greeks(record())["delta"], 6) == CALL_ROW[0]


class Failing:
    def __init__(self, error):
        self.error = error

    def __getattr__(self, name):
        def function(x):
            raise self.error

        return function


def test_failing_norm_is_reported(g, Kestrava, capsys, monkeypatch):
    monkeypatch.setattr(g, "norm", Failing(ValueError("no distribution")))
    assert Kestrava("X").calculate_greeks(record()) is None
    assert capsys.readouterr().out == "Error calculating Greeks: no distribution\n"


@pytest.mark.parametrize("target", ["norm", "np"])
def test_keyboard_interrupt_passes_through(g, Kestrava, capsys, monkeypatch, target):
    monkeypatch.setattr(g, target, Failing(KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt) as excinfo:
        Kestrava("X").calculate_greeks(record())
    assert capsys.readouterr().out == ""
    names = [entry[0] for entry in traceback_entries(excinfo)]
    inner = ["greeks.greeks.Kestrava.calculate_d1"] if target == "np" else []
    assert names[1:-1] == ["greeks.greeks.Kestrava.calculate_greeks"] + inner


def test_numpy_set_to_raise_goes_to_the_handler(Kestrava, capsys):
    with np.errstate(all="raise"):
        assert Kestrava("X").calculate_greeks(record(implied_volatility=0.0)) is None
    out = capsys.readouterr().out
    assert out.startswith("Error calculating d1: ") and out.count("\n") == 1


def test_print_is_the_builtin_fetched_at_import(g, Kestrava, capsys, monkeypatch):
    seen = []
    monkeypatch.setattr(builtins, "print", lambda *a: seen.append(a))
    monkeypatch.setattr(g, "print", lambda *a: seen.append(a), raising=False)
    Kestrava("X").calculate_greeks(record(strike_price=0.0))
    monkeypatch.undo()
    assert seen == [] and capsys.readouterr().out == "Error calculating d1: float division\n"


def values(greeks):
    return [float(greeks[k]) for k in KEYS]


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize(
    "changes, expected",
    [
        # T = 0: d1 = d2 = ±inf, gamma and theta NaN, vega and rho zero
        ({"time_to_expiry": 0.0, "spot_price": 110.0}, [1.0, math.nan, math.nan, 0.0, 0.0]),
        ({"time_to_expiry": 0.0, "spot_price": 90.0}, [0.0, math.nan, math.nan, 0.0, 0.0]),
        ({"time_to_expiry": 0.0, "spot_price": 90.0, "option_type": "PE"}, [-1.0, math.nan, math.nan, 0.0, -0.0]),
        ({"time_to_expiry": 0.0}, [math.nan] * 5),
        ({"time_to_expiry": -1 / 365}, [math.nan] * 5),
    ],
)
def test_degenerate_times(Kestrava, capsys, changes, expected):
    got = values(Kestrava("X").calculate_greeks(record(**changes)))
    for value, want in zip(got, expected):
        assert (math.isnan(value) and math.isnan(want)) or value == want
    assert capsys.readouterr().out == ""


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_zero_volatility_gives_infinite_terms(Kestrava, capsys):
    greeks = Kestrava("X").calculate_greeks(record(implied_volatility=0.0))
    assert greeks["delta"] == 1.0  # d1 = +inf since ln(S/K) + rT > 0
    assert capsys.readouterr().out == ""
