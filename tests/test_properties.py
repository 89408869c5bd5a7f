"""Odd objects thrown at every method and through the exchange fakes: only ordinary exceptions
and the module's own lines come out, and the interpreter survives."""
import io
import math
from contextlib import redirect_stdout

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import greeks.greeks as g
from helpers import FrozenClock, StopAtPause

pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")

SETTINGS = settings(max_examples=150, deadline=None, suppress_health_check=list(HealthCheck))

PREFIXES = ("Error calculating d1: ", "Error calculating d2: ", "Error getting spot price: ",
            "Error calculating Greeks: ", "Error fetching option data: ", "Error in monitoring: ")
FIXED = {"", "Fetching new data...", "Waiting for valid market data...", "Data received successfully!",
         "Stopped monitoring", "Press Ctrl+C to stop monitoring", "-" * 50}
LABELS = ("Monitoring Greeks for ", "Time: ", "Spot: ", "Option Price: ", "IV: ", "Delta: ", "Gamma: ",
          "Theta: ", "Vega: ", "Rho: ")


class Boom(Exception):
    pass


def raising(*names):
    def fail(*args, **kwargs):
        raise Boom("from " + names[0])

    return type("Raising_" + "_".join(names), (), {name: fail for name in names} | {"__hash__": object.__hash__})()


class Text(str):
    pass


class Mapping(dict):
    pass


class Sequence(list):
    pass


class Untruthy:
    def __eq__(self, other):
        return self

    def __bool__(self):
        raise Boom("truth")

    __hash__ = object.__hash__


scalars = st.one_of(
    st.none(), st.booleans(), st.integers(), st.integers(min_value=2**64, max_value=2**200),
    st.floats(allow_nan=True, allow_infinity=True), st.text(max_size=8), st.binary(max_size=4),
    st.builds(Text, st.text(max_size=4)), st.just(Untruthy()),
    st.sampled_from([raising("__eq__"), raising("__float__"), raising("__int__", "__index__"),
                     raising("__str__", "__format__"), raising("__bool__"), raising("__getitem__"),
                     raising("__contains__"), raising("__truediv__", "__rtruediv__")]),
    st.sampled_from(["CE", "PE", "31-Jul-2025", 250, 250.0, "250", 14.25]),
)
junk = st.recursive(
    scalars,
    lambda children: st.one_of(
        st.lists(children, max_size=4),
        st.builds(Sequence, st.lists(children, max_size=3)),
        st.dictionaries(st.sampled_from(["records", "data", "underlyingValue", "strikePrice", "expiryDate",
                                         "CE", "PE", "impliedVolatility", "lastPrice", "marketDeptOrderBook",
                                         "tradeInfo", "spot_price", "option_type"]), children, max_size=5),
        st.builds(Mapping, st.dictionaries(st.sampled_from(["records", "data", "strikePrice"]), children,
                                           max_size=3)),
    ),
    max_leaves=12,
)

leg = st.fixed_dictionaries({"impliedVolatility": st.one_of(st.floats(0, 200), junk),
                             "lastPrice": st.one_of(st.floats(0, 1e4), junk)})
row = st.one_of(
    st.fixed_dictionaries({"strikePrice": st.sampled_from([250, 250.0, "250", 260]),
                           "expiryDate": st.sampled_from(["31-Jul-2025", "31-JUL-2025", "2025-07-31"])},
                          optional={"CE": st.one_of(leg, junk), "PE": leg}),
    junk,
)
chains = st.one_of(
    st.fixed_dictionaries({"records": st.fixed_dictionaries(
        {"underlyingValue": st.one_of(st.floats(1, 1e5), junk)},
        optional={"data": st.one_of(st.lists(row, max_size=6), junk)})}),
    junk,
)


def check_output(text):
    for line in text.split("\n")[:-1]:
        assert line in FIXED or line.startswith(PREFIXES) or line.startswith(LABELS), line


def run(call):
    """Calls `call`; ordinary exceptions may come out, but never a SystemError, which the
    interpreter raises when a C function breaks the error protocol."""
    out = io.StringIO()
    with redirect_stdout(out):
        try:
            call()
        except SystemError:
            raise
        except Exception:
            pass
    check_output(out.getvalue())


@pytest.fixture
def fakes(monkeypatch):
    served = {}
    monkeypatch.setattr(g, "nse_optionchain_scrapper", lambda symbol: served["chain"])
    monkeypatch.setattr(g, "nse_fno", lambda symbol: served["quote"])
    monkeypatch.setattr(g, "time", StopAtPause)
    monkeypatch.setattr(g, "datetime", FrozenClock)
    return served


@SETTINGS
@given(args=st.lists(junk, max_size=3), kwargs=st.dictionaries(st.sampled_from(
    ["symbol", "option_data", "options_data", "strike_price", "expiry_date", "option_type", "interval", "x"]),
    junk, max_size=2))
def test_any_arguments_to_any_method(args, kwargs):
    k = g.Kestrava("X")
    for name in ("calculate_greeks", "find_option_in_data", "__setstate__", "__reduce__"):
        run(lambda: getattr(k, name)(*args, **kwargs))
    run(lambda: g.Kestrava(*args, **kwargs))
    run(lambda: setattr(k, "symbol", args[0] if args else None))
    run(lambda: g.__pyx_unpickle_Kestrava(g.Kestrava, *args, **kwargs))


@SETTINGS
@given(record=st.one_of(junk, st.fixed_dictionaries(
    {key: st.one_of(st.floats(), st.integers(-5, 5), junk) for key in
     ("spot_price", "strike_price", "time_to_expiry", "risk_free_rate", "implied_volatility")}
    | {"option_type": st.one_of(st.just("CE"), junk)})))
def test_records_into_calculate_greeks(record):
    k = g.Kestrava("X")
    out = io.StringIO()
    with redirect_stdout(out):
        try:
            result = k.calculate_greeks(record)
        except SystemError:
            raise
        except Exception:
            result = None
    check_output(out.getvalue())
    if result is not None:
        assert list(result) == ["delta", "gamma", "theta", "vega", "rho"]
        assert all(isinstance(v, float) or math.isnan(v) for v in result.values())


@SETTINGS
@given(rows=st.one_of(st.lists(row, max_size=8), junk), strike=st.one_of(st.floats(), junk),
       expiry=st.one_of(st.just("31-Jul-2025"), junk))
def test_rows_into_find_option(rows, strike, expiry):
    run(lambda: g.Kestrava("X").find_option_in_data(rows, strike, expiry))


@SETTINGS
@given(chain=chains, quote=junk, strike=st.one_of(st.sampled_from([250, 250.0]), junk),
       option_type=st.one_of(st.sampled_from(["CE", "PE", None]), junk))
def test_exchange_junk_through_every_data_method(fakes, chain, quote, strike, option_type):
    fakes["chain"], fakes["quote"] = chain, quote
    k = g.Kestrava("X")
    run(k.get_spot_price)
    run(lambda: k.get_option_data(strike, "31-Jul-2025", option_type))
    run(lambda: k.monitor_greeks(strike, "31-Jul-2025", option_type, 0))


@SETTINGS
@given(data=st.data())
def test_list_changing_during_the_scan(data):
    rows = data.draw(st.lists(row, min_size=1, max_size=6))
    actions = data.draw(st.lists(st.sampled_from(["clear", "pop", "append", "replace", "raise"]), min_size=1))

    class Shifty:
        def __eq__(self, other):
            action = actions.pop() if actions else "none"
            if action == "clear":
                rows.clear()
            elif action == "pop" and rows:
                rows.pop()
            elif action == "append":
                rows.append({"strikePrice": Shifty(), "expiryDate": "31-Jul-2025"})
            elif action == "replace" and rows:
                rows[0] = None
            elif action == "raise":
                raise Boom("comparison")
            return False

        __hash__ = object.__hash__

    rows.insert(0, {"strikePrice": Shifty(), "expiryDate": "31-Jul-2025"})
    run(lambda: g.Kestrava("X").find_option_in_data(rows, 250.0, "31-Jul-2025"))
