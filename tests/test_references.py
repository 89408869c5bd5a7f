"""Reference counts and traced allocations stay flat over thousands of calls, on success and on
every kind of error path."""
import copy
import functools
import gc
import itertools
import pickle
import sys
import tracemalloc
from contextlib import redirect_stdout

import numpy as np
import pytest

import greeks.greeks as g
from helpers import FrozenClock, StopAtPause

CALLS = 2000


class Sink:
    """stdout that keeps nothing."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


def settle():
    gc.collect()
    gc.collect()


def measure(call, watched):
    """Reference counts of `watched` and traced memory after CALLS calls (after a warm-up)."""
    with redirect_stdout(Sink()):
        for _ in range(50):
            call()
        settle()
        counts = [sys.getrefcount(obj) for obj in watched]
        # Only blocks allocated while this file's frames are innermost count: that is what the
        # module's C code allocates for its callers, while numpy's and scipy's own caches are
        # attributed to their Python frames.
        only_here = [tracemalloc.Filter(True, __file__)]
        # The interpreter's free lists and caches take up to a bounded amount of traced memory
        # once tracing starts; a leak instead grows with every call. So the first batch of
        # traced calls only absorbs the former, and the second batch is measured.
        tracemalloc.start(1)
        try:
            for _ in range(CALLS):
                call()
            settle()
            start = tracemalloc.take_snapshot().filter_traces(only_here)
            for _ in range(CALLS):
                call()
            settle()
            end = tracemalloc.take_snapshot().filter_traces(only_here)
        finally:
            tracemalloc.stop()
        grown = sum(stat.size_diff for stat in end.compare_to(start, "filename"))
        after = [sys.getrefcount(obj) for obj in watched]
        return [a - b for a, b in zip(after, counts)], grown


def swallow(function, *args, **kwargs):
    def call():
        try:
            result = function(*args, **kwargs)
        except BaseException as error:
            error.__traceback__ = None
            return None
        return result

    return call


SYMBOL = "".join(["REF", "SYMBOL"])
LEG = {"impliedVolatility": 14.25, "lastPrice": 12.5}
ROW = {"strikePrice": 250, "expiryDate": "31-Jul-2025", "CE": LEG}
ROWS = [ROW]
CHAIN = {"records": {"underlyingValue": 250.5, "data": ROWS}}
QUOTE = {"marketDeptOrderBook": {"tradeInfo": {"lastPrice": 101.25}}}
RECORD = {"spot_price": 100.0, "strike_price": 100.0, "time_to_expiry": 1.0, "risk_free_rate": 0.07,
          "implied_volatility": 0.2, "option_type": "CE", "option_price": 1.0}
K = g.Kestrava(SYMBOL)


class Override(g.Kestrava):
    def get_spot_price(self):
        return 250.5

    def calculate_greeks(self, option_data):
        return RECORD


CASES = {
    "init": (swallow(g.Kestrava, SYMBOL), [SYMBOL]),
    "init-wrong-type": (swallow(g.Kestrava, 5), []),
    "init-keywords": (swallow(g.Kestrava, symbol=SYMBOL, other=1), [SYMBOL]),
    "symbol-set": (swallow(setattr, g.Kestrava(None), "symbol", SYMBOL), [SYMBOL]),
    "symbol-set-wrong": (swallow(setattr, K, "symbol", 3.5), []),
    "greeks": (swallow(K.calculate_greeks, RECORD), [RECORD]),
    "greeks-put-key-error": (swallow(K.calculate_greeks, {"spot_price": 1.0}), []),
    "greeks-none": (swallow(K.calculate_greeks, None), []),
    "greeks-zero-strike": (swallow(K.calculate_greeks, dict(RECORD, strike_price=0.0)), []),
    "greeks-wrong-type": (swallow(K.calculate_greeks, [RECORD]), [RECORD]),
    "spot": (swallow(K.get_spot_price), [CHAIN]),
    "find": (swallow(K.find_option_in_data, ROWS, 250, "31-Jul-2025"), [ROW, ROWS]),
    "find-missing": (swallow(K.find_option_in_data, ROWS, 1.0, "31-Jul-2025"), [ROW, ROWS]),
    "find-key-error": (swallow(K.find_option_in_data, [{"x": 1}], 1.0, "x"), []),
    "find-none": (swallow(K.find_option_in_data, None, 1.0, "x"), []),
    "option-data": (swallow(K.get_option_data, 250, "31-Jul-2025"), [CHAIN, ROWS, ROW, LEG]),
    "option-data-missing-side": (swallow(K.get_option_data, 250, "31-Jul-2025", "PE"), [CHAIN, ROW]),
    "option-data-bad-expiry": (swallow(K.get_option_data, 250, "2025-07-31"), [CHAIN]),
    "option-data-binding": (swallow(K.get_option_data, 250, "x", "CE", kind="y"), []),
    "override-dispatch": (swallow(Override(SYMBOL).monitor_greeks, 250, "31-Jul-2025"), [RECORD]),
    "monitor": (swallow(K.monitor_greeks, 250, "31-Jul-2025", "CE", 0), [CHAIN, ROWS, ROW]),
    "monitor-bad-interval": (swallow(K.monitor_greeks, 250, "31-Jul-2025", "CE", "x"), []),
    "reduce": (swallow(K.__reduce__), [K]),
    "pickle": (swallow(lambda: pickle.loads(pickle.dumps(K))), [K]),
    "deepcopy-subclass": (swallow(copy.deepcopy, Override(SYMBOL)), [SYMBOL]),
    "setstate": (swallow(g.Kestrava(None).__setstate__, (SYMBOL, {})), [SYMBOL]),
    "setstate-wrong": (swallow(K.__setstate__, (5,)), []),
    "unpickle-checksum": (swallow(g.__pyx_unpickle_Kestrava, g.Kestrava, 1, None), []),
    "unpickle-state-type": (swallow(g.__pyx_unpickle_Kestrava, g.Kestrava, 0xB76A7CA, [SYMBOL]), [SYMBOL]),
}


class Library:
    """np and norm whose functions all return one numpy float64: built-in callables (next() of an
    endless repeat, the argument its unused default), so that a call traces no Python frames and
    the checks time the module's own work, which handles these results as it handles numpy's."""

    def __init__(self):
        constant = functools.partial(next, itertools.repeat(np.float64(0.5)))
        self.log = self.sqrt = self.exp = self.cdf = self.pdf = constant


@pytest.fixture
def offline(monkeypatch):
    library = Library()
    monkeypatch.setattr(g, "np", library)
    monkeypatch.setattr(g, "norm", library)
    monkeypatch.setattr(g, "nse_optionchain_scrapper", lambda symbol: CHAIN)
    monkeypatch.setattr(g, "nse_fno", lambda symbol: QUOTE)
    monkeypatch.setattr(g, "time", StopAtPause)
    monkeypatch.setattr(g, "datetime", FrozenClock)


@pytest.mark.parametrize("name", sorted(CASES))
def test_flat_references_and_memory(offline, name):
    call, watched = CASES[name]
    deltas, grown = measure(call, watched + [call])
    assert deltas == [0] * len(deltas)
    assert grown < 16 * 1024  # one leaked object per call would be tens of kilobytes


def test_results_are_owned_by_the_caller(offline):
    greeks = K.calculate_greeks(RECORD)
    assert sys.getrefcount(greeks) == 2
    record = K.get_option_data(250, "31-Jul-2025")
    assert sys.getrefcount(record) == 2
    found = K.find_option_in_data(ROWS, 250, "31-Jul-2025")
    assert found is ROW
