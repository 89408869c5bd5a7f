"""monitor_greeks: the banner, the report block, and every way a watch ends."""
import datetime as dt
import signal
import subprocess
import sys
import textwrap
import time as real_time

import pytest

from helpers import frozen_datetime, interrupt_in_the_pause, traceback_entries

CHAIN = {
    "records": {
        "underlyingValue": 24623.45,
        "data": [{"strikePrice": 24600, "expiryDate": "07-Aug-2025",
                  "CE": {"impliedVolatility": 11.8, "lastPrice": 104.1},
                  "PE": {"impliedVolatility": 13.72, "lastPrice": 79.8}}],
    }
}
BANNER = ["", "Monitoring Greeks for NIFTY 24600.0 07-Aug-2025 CE", "Press Ctrl+C to stop monitoring", ""]
REPORT = [
    "", "Data received successfully!", "Time: 13:59:23", "Spot: 24623.45", "Option Price: 104.10",
    "IV: 11.80%", "Delta: 0.5747", "Gamma: 0.0026", "Theta: -32.5023", "Vega: 5.0513", "Rho: 0.3856",
    "", "--------------------------------------------------",
]
FETCHING = ["", "Fetching new data..."]
STOPPED = ["", "Stopped monitoring"]


class Clock:
    """Stands in for the module globals `time` and `datetime`: a fixed wall clock and a sleep
    that records its argument and interrupts the watch after a number of pauses."""

    def __init__(self, pauses, ending=KeyboardInterrupt):
        self.pauses, self.ending, self.slept = pauses, ending, []
        self.datetime = frozen_datetime(dt.datetime(2025, 8, 5, 13, 59, 23))

    def sleep(self, seconds):
        self.slept.append(seconds)
        real_time.sleep(0) if seconds >= 0 else real_time.sleep(seconds)
        if len(self.slept) >= self.pauses:
            raise self.ending()


@pytest.fixture
def watch(g, exchange, monkeypatch, capsys):
    """Runs a watch that ends after `pauses` pauses; returns (result, printed lines, clock)."""

    def run(k, *args, pauses=1, ending=KeyboardInterrupt, chain=CHAIN):
        clock = Clock(pauses, ending)
        monkeypatch.setattr(g, "time", clock)
        monkeypatch.setattr(g, "datetime", clock.datetime)
        exchange.chain = chain
        result = k.monitor_greeks(*args)
        return result, capsys.readouterr().out.split("\n")[:-1], clock

    return run


def test_one_full_cycle(Kestrava, watch):
    result, lines, clock = watch(Kestrava("NIFTY"), 24600, "07-Aug-2025")
    assert result is None
    assert lines == BANNER + FETCHING + REPORT + STOPPED
    assert clock.slept == [5]


def test_cycles_repeat_until_interrupted(Kestrava, watch):
    _, lines, clock = watch(Kestrava("NIFTY"), 24600, "07-Aug-2025", "CE", 0, pauses=3)
    assert lines == BANNER + (FETCHING + REPORT) * 3 + STOPPED
    assert clock.slept == [0, 0, 0] and all(type(s) is int for s in clock.slept)


@pytest.mark.parametrize("symbol, expiry, option_type, banner", [
    ("ABC", "31-Jul-2025", "CE", "Monitoring Greeks for ABC 800.0 31-Jul-2025 CE"),
    (None, None, None, "Monitoring Greeks for None 800.0 None None"),
])
def test_banner_texts(Kestrava, watch, symbol, expiry, option_type, banner):
    _, lines, _ = watch(Kestrava(symbol), 800, expiry, option_type, chain=None)
    assert lines[:4] == ["", banner, "Press Ctrl+C to stop monitoring", ""]


def test_strike_written_as_shortest_float(Kestrava, watch):
    _, lines, _ = watch(Kestrava("X"), 812.5, "07-Aug-2025", chain=None)
    assert lines[1] == "Monitoring Greeks for X 812.5 07-Aug-2025 CE"


def test_failed_fetch_prints_its_line_then_waits(Kestrava, watch):
    _, lines, _ = watch(Kestrava("NIFTY"), 24600, "07-Aug-2025", pauses=2, chain=None)
    spot_error = "Error getting spot price: 'NoneType' object is not subscriptable"
    assert lines == BANNER + (FETCHING + [spot_error, "Waiting for valid market data..."]) * 2 + STOPPED


def test_no_record_prints_waiting(Kestrava, watch):
    class NoData(Kestrava):
        def get_option_data(self, strike, expiry, option_type):
            assert (type(strike), expiry, option_type) == (float, "07-Aug-2025", "CE")
            return {}

    _, lines, _ = watch(NoData("NIFTY"), 24600, "07-Aug-2025", pauses=2)
    assert lines == BANNER + (FETCHING + ["Waiting for valid market data..."]) * 2 + STOPPED


def test_silent_cycle_when_greeks_fail(Kestrava, watch):
    chain = {"records": {"underlyingValue": 1.0, "data": [
        {"strikePrice": 0, "expiryDate": "07-Aug-2025", "CE": {"impliedVolatility": 10, "lastPrice": 1}}]}}
    _, lines, _ = watch(Kestrava("NIFTY"), 0, "07-Aug-2025", chain=chain)
    assert lines[4:] == FETCHING + ["Error calculating d1: float division"] + STOPPED


def greeks_override(**values):
    return type("Sub", (__import__("greeks.greeks").greeks.Kestrava,),
                {"calculate_greeks": lambda self, data: dict(values)})


def test_missing_greek_ends_the_watch(watch):
    Sub = greeks_override(delta=0.5, gamma=0.1, theta=-12.34567, vega=0.2)
    result, lines, _ = watch(Sub("NIFTY"), 24600, "07-Aug-2025")
    assert result is None
    assert lines[4:] == FETCHING + REPORT[:6] + [
        "Delta: 0.5000", "Gamma: 0.1000", "Theta: -12.3457", "Vega: 0.2000", "Error in monitoring: 'rho'"]


def test_value_without_number_format_ends_the_watch(watch):
    Sub = greeks_override(delta="high", gamma=0.1, theta=0.0, vega=0.2, rho=0.0)
    _, lines, _ = watch(Sub("NIFTY"), 24600, "07-Aug-2025")
    assert lines[-1] == "Error in monitoring: Unknown format code 'f' for object of type 'str'"


@pytest.mark.parametrize("method", ["calculate_greeks", "get_option_data"])
def test_override_returning_a_list_ends_the_watch(Kestrava, watch, method):
    Sub = type("Sub", (Kestrava,), {method: lambda self, *args: [1]})
    result, lines, _ = watch(Sub("NIFTY"), 24600, "07-Aug-2025")
    assert result is None and lines[-1] == "Error in monitoring: Expected dict, got list"
    if method == "calculate_greeks":
        assert Sub("NIFTY").calculate_greeks({}) == [1]


@pytest.mark.parametrize("interval, slept", [(0, 0), (2.9, 2), (True, 1), (7, 7)])
def test_interval_conversion(Kestrava, watch, interval, slept):
    _, _, clock = watch(Kestrava("NIFTY"), 24600, "07-Aug-2025", "CE", interval)
    assert clock.slept == [slept]


def test_negative_interval_fails_after_the_first_cycle(Kestrava, watch):
    _, lines, _ = watch(Kestrava("NIFTY"), 24600, "07-Aug-2025", "CE", -1, pauses=5)
    assert lines == BANNER + FETCHING + REPORT + ["Error in monitoring: sleep length must be non-negative"]


def test_interrupt_during_the_fetch(Kestrava, watch):
    def interrupted(symbol):
        raise KeyboardInterrupt

    _, lines, clock = watch(Kestrava("NIFTY"), 24600, "07-Aug-2025", chain=interrupted)
    assert lines == BANNER + FETCHING + STOPPED and clock.slept == []


def test_other_base_exceptions_reach_the_caller(Kestrava, watch):
    with pytest.raises(SystemExit):
        watch(Kestrava("NIFTY"), 24600, "07-Aug-2025", ending=SystemExit)


@pytest.mark.parametrize("ending", [SystemExit, GeneratorExit])
def test_an_exception_outside_exception_leaves_one_entry_at_the_failing_statement(
        Kestrava, watch, ending):
    with pytest.raises(ending) as excinfo:
        watch(Kestrava("NIFTY"), 24600, "07-Aug-2025", ending=ending)
    entries = [entry for entry in traceback_entries(excinfo)
               if entry[0] == "greeks.greeks.Kestrava.monitor_greeks"]
    assert entries == [("greeks.greeks.Kestrava.monitor_greeks", "greeks\\greeks", 176)]


@pytest.mark.parametrize(
    "args, error, message",
    [
        (("800", "x"), TypeError, "must be real number, not str"),
        ((800, "x", "CE", "5"), TypeError, "an integer is required"),
        ((800, "x", "CE", 2**31), OverflowError, None),
        ((800, 5), TypeError, "Argument 'expiry_date' has incorrect type (expected str, got int)"),
        ((800, "x", type("Side", (str,), {})("CE")), TypeError,
         "Argument 'option_type' has incorrect type (expected str, got Side)"),
    ],
)
def test_entry_errors_print_nothing(Kestrava, capsys, args, error, message):
    with pytest.raises(error) as excinfo:
        Kestrava("NIFTY").monitor_greeks(*args)
    assert message is None or str(excinfo.value) == message
    assert capsys.readouterr().out == ""


def test_real_ctrl_c_during_the_pause(tmp_path):
    script = """
        import greeks.greeks as g
        chain = %r
        g.nse_optionchain_scrapper = lambda symbol: chain
        k = g.Kestrava("NIFTY")
        print("READY", flush=True)
        result = k.monitor_greeks(24600, "07-Aug-2025", "CE", 30)
        print("RETURNED", result, flush=True)
        """ % (CHAIN,)
    lines, out, err, returncode = interrupt_in_the_pause(script, tmp_path)
    assert returncode == 0, err
    assert out.endswith("\nStopped monitoring\nRETURNED None\n")
    assert lines[0] == "READY\n"


def test_ctrl_c_stops_a_watch_that_never_enters_the_interpreter_loop(tmp_path):
    # Every stand-in is a built-in callable and the pause is zero: no Python code of the caller's
    # runs in the loop, and Ctrl+C must still end the watch.
    script = textwrap.dedent(
        """
        import datetime, functools, itertools, os, signal, sys, types
        signal.signal(signal.SIGINT, signal.default_int_handler)  # even if launched ignoring it
        import numpy as np
        import greeks.greeks as g
        chain = %r
        constant = functools.partial(next, itertools.repeat(np.float64(0.5)))
        g.norm = types.SimpleNamespace(cdf=constant, pdf=constant)
        g.nse_optionchain_scrapper = {"NIFTY": chain}.get
        expiry = datetime.datetime(2025, 8, 7)
        g.datetime = types.SimpleNamespace(
            strptime={"07-Aug-2025": expiry}.get,
            now=functools.partial(next, itertools.repeat(datetime.datetime(2025, 8, 5, 14))))
        g.time = types.SimpleNamespace(sleep=__import__("time").sleep)
        sys.stdout = open(os.devnull, "w")
        print("READY", file=sys.stderr, flush=True)
        result = g.Kestrava("NIFTY").monitor_greeks(24600, "07-Aug-2025", "CE", 0)
        print("RETURNED", result, file=sys.stderr, flush=True)
        """ % (CHAIN,)
    )
    child = subprocess.Popen([sys.executable, "-c", script], stderr=subprocess.PIPE, text=True, cwd=tmp_path)
    try:
        assert child.stderr.readline() == "READY\n"
        real_time.sleep(1.0)
        child.send_signal(signal.SIGINT)
        _, err = child.communicate(timeout=30)
    finally:
        child.kill()
    assert child.returncode == 0, err
    assert err == "RETURNED None\n"
