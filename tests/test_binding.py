"""Argument binding and the method objects' introspection attributes."""
import pytest

from helpers import METHODS, traceback_entries



@pytest.mark.parametrize("name", sorted(METHODS))
def test_method_attributes(Kestrava, name):
    params, defaults, doc, line, local_names = METHODS[name]
    method = Kestrava.__dict__[name]
    assert method.__name__ == name
    assert method.__qualname__ == "Kestrava." + name
    assert method.__module__ == "greeks.greeks"
    assert method.__doc__ == doc
    assert method.__defaults__ == defaults
    code = method.__code__
    assert code.co_argcount == len(params) + 1
    assert code.co_varnames == ("self",) + params + local_names
    assert code.co_filename == "greeks\\greeks"
    assert code.co_firstlineno == line
    assert code.co_name == name


def test_methods_bind_like_functions(Kestrava):
    k = Kestrava("A")
    bound = k.get_spot_price
    assert bound.__self__ is k and bound.__func__ is Kestrava.__dict__["get_spot_price"]
    assert Kestrava.get_spot_price is Kestrava.__dict__["get_spot_price"]


def test_pickling_methods_name_their_cython_forms(Kestrava):
    assert Kestrava.__reduce__.__name__ == "__reduce_cython__"
    assert Kestrava.__setstate__.__name__ == "__setstate_cython__"
    assert Kestrava.__reduce_cython__.__doc__ is None


CALLS = [
    ("get_spot_price", (1,), {}, "get_spot_price() takes exactly 0 positional arguments (1 given)"),
    ("get_spot_price", (), {"x": 1}, "get_spot_price() got an unexpected keyword argument 'x'"),
    ("calculate_greeks", (), {}, "calculate_greeks() takes exactly 1 positional argument (0 given)"),
    ("calculate_greeks", ({}, {}), {}, "calculate_greeks() takes exactly 1 positional argument (2 given)"),
    ("calculate_greeks", ({},), {"option_data": {}},
     "calculate_greeks() got multiple values for keyword argument 'option_data'"),
    ("find_option_in_data", ([],), {}, "find_option_in_data() takes exactly 3 positional arguments (1 given)"),
    ("find_option_in_data", ([], 1.0), {"expiry": "x"},
     "find_option_in_data() takes exactly 3 positional arguments (2 given)"),
    ("get_option_data", (), {}, "get_option_data() takes at least 2 positional arguments (0 given)"),
    ("get_option_data", (1, "x", "CE", 4), {}, "get_option_data() takes at most 3 positional arguments (4 given)"),
    ("get_option_data", (), {"expiry_date": "x"}, "get_option_data() takes at least 2 positional arguments (0 given)"),
    ("get_option_data", (1, "x"), {"kind": "CE"}, "get_option_data() got an unexpected keyword argument 'kind'"),
    ("monitor_greeks", (800,), {}, "monitor_greeks() takes at least 2 positional arguments (1 given)"),
    ("monitor_greeks", (), {"strike_price": 800}, "monitor_greeks() takes at least 2 positional arguments (1 given)"),
    ("monitor_greeks", (), {}, "monitor_greeks() takes at least 2 positional arguments (0 given)"),
    ("monitor_greeks", (1, "x", "CE", 5, 6), {}, "monitor_greeks() takes at most 4 positional arguments (5 given)"),
    ("monitor_greeks", (1, "x"), {"strike_price": 2},
     "monitor_greeks() got multiple values for keyword argument 'strike_price'"),
    ("__reduce_cython__", (1,), {}, "__reduce_cython__() takes exactly 0 positional arguments (1 given)"),
    ("__reduce__", (1, 2), {}, "__reduce_cython__() takes exactly 0 positional arguments (2 given)"),
    ("__reduce__", (), {"protocol": 2}, "__reduce_cython__() got an unexpected keyword argument 'protocol'"),
    ("__setstate_cython__", (), {}, "__setstate_cython__() takes exactly 1 positional argument (0 given)"),
    ("__setstate__", ((), ()), {}, "__setstate_cython__() takes exactly 1 positional argument (2 given)"),
]


@pytest.mark.parametrize("name, args, kwargs, message", CALLS)
def test_binding_errors(Kestrava, capsys, name, args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        getattr(Kestrava("A"), name)(*args, **kwargs)
    assert str(excinfo.value) == message
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("name", sorted(METHODS))
def test_argument_errors_carry_the_first_line(Kestrava, name):
    with pytest.raises(TypeError) as excinfo:
        getattr(Kestrava("A"), name)(1, 2, 3, 4, 5, 6)
    assert traceback_entries(excinfo)[-1] == ("greeks.greeks.Kestrava." + name, "greeks\\greeks",
                                              METHODS[name][3])


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda k: k.find_option_in_data((), 1.0, "x"),
         "Argument 'options_data' has incorrect type (expected list, got tuple)"),
        (lambda k: k.find_option_in_data([], 1.0, 5),
         "Argument 'expiry_date' has incorrect type (expected str, got int)"),
        (lambda k: k.get_option_data(1.0, "x", 5),
         "Argument 'option_type' has incorrect type (expected str, got int)"),
        (lambda k: k.calculate_greeks([]),
         "Argument 'option_data' has incorrect type (expected dict, got list)"),
        (lambda k: k.find_option_in_data([], "250", "x"), "must be real number, not str"),
        # the number is converted before the types are tested
        (lambda k: k.get_option_data("250", 5, 5), "must be real number, not str"),
        (lambda k: k.monitor_greeks(1.0, "x", "CE", "5"), "an integer is required"),
        (lambda k: k.monitor_greeks(1.0, 5, "CE", "5"), "an integer is required"),
    ],
)
def test_typed_parameter_errors(Kestrava, capsys, call, message):
    with pytest.raises(TypeError) as excinfo:
        call(Kestrava("A"))
    assert str(excinfo.value) == message
    assert capsys.readouterr().out == ""


def test_int_conversion_must_give_an_int(Kestrava):
    class Odd:
        def __int__(self):
            return 1.5

    with pytest.raises(TypeError, match=r"^__int__ returned non-int \(type float\)$"):
        Kestrava("A").monitor_greeks(1.0, "x", "CE", Odd())


@pytest.mark.parametrize("interval", [2**31, -(2**31) - 1, 10**30])
def test_interval_out_of_range(Kestrava, interval):
    with pytest.raises(OverflowError):
        Kestrava("A").monitor_greeks(1.0, "x", "CE", interval)


def test_unbound_call_without_arguments(Kestrava):
    with pytest.raises(TypeError, match=r"^get_spot_price\(\) needs an argument$"):
        Kestrava.get_spot_price()


@pytest.mark.parametrize("self_value", [5, None, "NIFTY", object()])
def test_unbound_call_with_foreign_self_is_refused(Kestrava, self_value):
    with pytest.raises(TypeError, match="requires a 'greeks.greeks.Kestrava' object"):
        Kestrava.calculate_greeks(self_value, {})


def test_keyword_given_as_text_subclass(Kestrava):
    class Name(str):
        pass

    assert Kestrava("A").find_option_in_data(**{Name("options_data"): [], "strike_price": 1, "expiry_date": "x"}) is None


def test_function_attributes_are_writable_like_a_function(Kestrava):
    method = Kestrava("A").get_spot_price.__func__
    saved = method.__doc__, method.__qualname__
    try:
        method.__doc__ = "changed"
        method.__qualname__ = "Kestrava.renamed"
        assert method.__doc__ == "changed" and "Kestrava.renamed" in repr(method)
        with pytest.raises(TypeError, match="^__name__ must be set to a string object$"):
            method.__name__ = 5
        with pytest.raises(AttributeError):
            method.__defaults__ = (1,)
    finally:
        method.__doc__, method.__qualname__ = saved
