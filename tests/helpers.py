"""Helpers the tests share: fresh interpreters, the exchange fakes, clocks and pauses that stand
in for the module's globals, a traceback reader, and direct calls of the kernel entries."""
import datetime as dt
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np


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


def interrupt_in_the_pause(script, cwd, timeout=60):
    """Runs `script` in a child interpreter and sends it SIGINT once a watch has printed its first
    report block and gone into its pause. The child first restores Python's SIGINT handler, which
    a suite launched from a background job would have inherited as ignored. Returns (the lines
    read before the signal, the rest of standard output, standard error, the exit code)."""
    prelude = "import signal\nsignal.signal(signal.SIGINT, signal.default_int_handler)\n"
    child = subprocess.Popen([sys.executable, "-c", prelude + textwrap.dedent(script)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=cwd)
    try:
        lines = []
        while not lines or not lines[-1].startswith("----"):
            line = child.stdout.readline()
            assert line, child.stderr.read()
            lines.append(line)
        time.sleep(0.3)  # into the pause
        child.send_signal(signal.SIGINT)
        # A signal that lands just before the pause begins ends the watch after it instead.
        out, err = child.communicate(timeout=timeout)
    finally:
        child.kill()
    return lines, out, err, child.returncode


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


def ticks_while(target, args):
    """How often this thread got to run while `target(*args)` ran on another."""
    worker = threading.Thread(target=target, args=args)
    ticks = 0
    worker.start()
    while worker.is_alive():
        ticks += 1
    worker.join()
    return ticks


def scalar(value):
    return np.array([value])


def refcounts_after_calls(entry, args, calls=500):
    """Reference counts of `args` before and after many calls, errors swallowed."""
    before = [sys.getrefcount(arg) for arg in args]
    for _ in range(calls):
        try:
            entry(*args)
        except (ValueError, TypeError):
            pass
    return before, [sys.getrefcount(arg) for arg in args]
