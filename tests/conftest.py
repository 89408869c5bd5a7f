import datetime as dt
import os
import subprocess
import sys
import textwrap

import pytest

import greeks.greeks as greeks_module


@pytest.fixture
def g():
    return greeks_module


@pytest.fixture
def Kestrava():
    return greeks_module.Kestrava


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


@pytest.fixture
def exchange(monkeypatch):
    fake = Exchange()
    monkeypatch.setattr(greeks_module, "nse_optionchain_scrapper", fake.option_chain)
    monkeypatch.setattr(greeks_module, "nse_fno", fake.fno)
    return fake


class StopAtPause:
    """Stand-in for the module global `time` whose sleep ends every watch at once, as Ctrl+C."""

    @staticmethod
    def sleep(seconds):
        raise KeyboardInterrupt


class FrozenClock(dt.datetime):
    """Stand-in for the module global `datetime`: the capture time of the SBIN recording."""

    @classmethod
    def now(cls, tz=None):
        return dt.datetime(2025, 7, 17, 15, 30)


def traceback_entries(excinfo):
    """(function name, file name, line) of each traceback entry, outermost first."""
    entries = []
    tb = excinfo.value.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        entries.append((code.co_name, code.co_filename, tb.tb_lineno))
        tb = tb.tb_next
    return entries


def pytest_sessionstart(session):
    # The sanitizer run must exercise the sanitized build, not an installed one.
    if os.environ.get("GREEKS_EXPECT_SANITIZED"):
        assert "/build/asan/stage/" in greeks_module.__file__, greeks_module.__file__
