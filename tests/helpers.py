"""Helpers the tests share: a fresh interpreter, the exchange fakes, clocks and pauses that stand
in for the module's globals, and a traceback reader."""
import datetime as dt
import os
import subprocess
import sys
import textwrap


def run_python(code, timeout=120, **kwargs):
    """Runs `code` in a fresh interpreter away from the source tree; returns the completed process."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        cwd=os.path.dirname(os.__file__),
        **kwargs,
    )


class Exchange:
    """Fakes of the two exchange functions, installed as the module's globals."""

    def __init__(self):
        self.chain = None
        self.quote = None
        self.calls = []

    def _answer(self, name, value, symbol):
        self.calls.append((name, symbol))
        if isinstance(value, BaseException) or (isinstance(value, type) and issubclass(value, BaseException)):
            raise value
        return value(symbol) if callable(value) else value

    def option_chain(self, symbol):
        return self._answer("chain", self.chain, symbol)

    def fno(self, symbol):
        return self._answer("fno", self.quote, symbol)


class StopAtPause:
    """Stand-in for the module global `time` whose sleep ends every watch at once, as Ctrl+C."""

    @staticmethod
    def sleep(seconds):
        raise KeyboardInterrupt


def frozen_datetime(moment):
    """A stand-in for the module global `datetime` whose now() is always `moment`."""

    class Frozen(dt.datetime):
        @classmethod
        def now(cls, tz=None):
            return moment

    return Frozen


# The capture time of the SBIN recording.
FrozenClock = frozen_datetime(dt.datetime(2025, 7, 17, 15, 30))


# The Python-visible methods of Kestrava as their function objects describe them.
METHODS = {
    # name: (parameters after self, defaults, docstring, first line, locals)
    "get_spot_price": ((), None, "Get spot price using both nse_fno and option chain data", 35, ()),
    "calculate_greeks": (("option_data",), None, "Calculate all Greeks for an option", 50, ()),
    "find_option_in_data": (
        ("options_data", "strike_price", "expiry_date"), None,
        "Helper function to find option in data", 101, ("item",),
    ),
    "get_option_data": (
        ("strike_price", "expiry_date", "option_type"), ("CE",), "Fetch option data from NSE", 109, (),
    ),
    "monitor_greeks": (
        ("strike_price", "expiry_date", "option_type", "interval"), ("CE", 5),
        "Monitor Greeks in real-time with specified interval", 147, ("option_data", "greeks", "e"),
    ),
}


def traceback_entries(excinfo):
    """(function name, file name, line) of each traceback entry, outermost first."""
    entries = []
    tb = excinfo.value.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        entries.append((code.co_name, code.co_filename, tb.tb_lineno))
        tb = tb.tb_next
    return entries
