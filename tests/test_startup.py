"""Import-time behaviour, each case in a fresh interpreter."""
import importlib

import pytest

from helpers import run_python

INTERPRETER_CHANGE = (
    "Interpreter change detected - this module can only be loaded into one interpreter per process."
)


def test_module_globals_after_import(g):
    import datetime
    import json
    import time

    import numpy
    import pandas
    import scipy.stats

    assert g.datetime is datetime.datetime
    assert g.__test__ == {} and type(g.__test__) is dict
    assert g.np is numpy and g.pd is pandas and g.time is time and g.json is json
    assert g.norm is scipy.stats.norm
    assert callable(g.nse_optionchain_scrapper) and callable(g.nse_fno)
    assert g.__doc__ is None
    assert g.__pyx_unpickle_Kestrava.__qualname__ == "__pyx_unpickle_Kestrava"


def test_reload_returns_same_module_and_runs_nothing(g, monkeypatch):
    monkeypatch.setattr(g, "json", "untouched")
    assert importlib.reload(g) is g
    assert g.json == "untouched"


def test_second_interpreter_is_refused_and_first_keeps_working():
    result = run_python(
        """
        import _xxsubinterpreters as interpreters
        import greeks.greeks as g
        interp = interpreters.create(isolated=False)
        try:
            interpreters.run_string(interp, "import greeks.greeks")
        except Exception as error:
            print("REFUSED", error)
        interpreters.destroy(interp)
        print(g.Kestrava("NIFTY").symbol)
        """
    )
    assert result.returncode == 0, result.stderr
    assert "ImportError" in result.stdout and INTERPRETER_CHANGE in result.stdout
    assert result.stdout.rstrip().endswith("NIFTY")


def test_exec_step_on_another_module_object():
    result = run_python(
        """
        import importlib.util, greeks
        spec = importlib.util.find_spec("greeks.greeks")
        first = importlib.util.module_from_spec(spec)
        second = importlib.util.module_from_spec(spec)
        assert first is not second
        spec.loader.exec_module(first)
        try:
            spec.loader.exec_module(second)
        except RuntimeError as error:
            print(error)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == (
        "Module 'greeks' has already been imported. Re-initialisation is not supported."
    )


FAKE_CAPSULE = """
import ctypes
import numpy.core._multiarray_umath as umath

def fake_table(abi, feature, byte_order):
    version_fn = ctypes.CFUNCTYPE(ctypes.c_uint)
    order_fn = ctypes.CFUNCTYPE(ctypes.c_int)
    keep = [version_fn(lambda: abi), version_fn(lambda: feature), order_fn(lambda: byte_order)]
    table = (ctypes.c_void_p * 212)()
    table[0] = ctypes.cast(keep[0], ctypes.c_void_p).value
    table[211] = ctypes.cast(keep[1], ctypes.c_void_p).value
    table[210] = ctypes.cast(keep[2], ctypes.c_void_p).value
    new = ctypes.pythonapi.PyCapsule_New
    new.restype = ctypes.py_object
    new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    return new(ctypes.cast(table, ctypes.c_void_p), None, None), (keep, table)
"""


@pytest.mark.parametrize(
    "replacement",
    [
        "fake_table(0x2000000, 0x11, 1)",  # numpy 2 ABI
        "fake_table(0x1000009, 12, 1)",  # feature version too old
        "fake_table(0x1000009, 0x11, 0)",  # byte order undetermined
        "fake_table(0x1000009, 0x11, 2)",  # big-endian
        "(5, None)",  # not a capsule
    ],
    ids=["abi2", "feature12", "order0", "order2", "not-capsule"],
)
def test_numpy_gate_refuses_incompatible_interface(replacement):
    result = run_python(
        FAKE_CAPSULE
        + f"""
real = umath._ARRAY_API
umath._ARRAY_API, keep = {replacement}
try:
    import greeks.greeks
except ImportError as error:
    print("IMPORT-ERROR", error)
umath._ARRAY_API = real
import greeks.greeks  # a failed import can be retried
print(greeks.greeks.Kestrava("X").symbol)
"""
    )
    assert result.returncode == 0, result.stderr
    assert "IMPORT-ERROR numpy.core.multiarray failed to import (" in result.stdout
    assert result.stdout.endswith("\nX\n")


def test_numpy_gate_accepts_a_compatible_fake():
    result = run_python(
        FAKE_CAPSULE
        + """
import scipy.stats, pandas, nsepython  # their own extensions need the real table
umath._ARRAY_API, keep = fake_table(0x1000009, 13, 1)
import greeks.greeks
print("OK")
"""
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "OK"


@pytest.mark.parametrize(
    "patch, expected",
    [
        ("numpy.dtype = 5", "TypeError: numpy.dtype is not a type object"),
        (
            "numpy.flatiter = type('flatiter', (), {})",
            "ValueError: numpy.flatiter size changed, may indicate binary incompatibility. "
            "Expected 2632 from C header, got 16 from PyObject",
        ),
    ],
)
def test_imported_type_checks_fail(patch, expected):
    result = run_python(
        f"""
import numpy
{patch}
try:
    import greeks.greeks
except Exception as error:
    print(type(error).__name__ + ": " + str(error))
"""
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == expected


def test_larger_abstract_scalar_type_only_warns():
    result = run_python(
        """
import warnings, numpy
numpy.generic = type('generic', (), {'__slots__': ('a', 'b')})
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    import greeks.greeks
print([str(w.message) for w in caught if w.category is RuntimeWarning])
"""
    )
    assert result.returncode == 0, result.stderr
    assert (
        "numpy.generic size changed, may indicate binary incompatibility. "
        "Expected 16 from C header, got 32 from PyObject" in result.stdout
    )


def test_missing_nsepython_fails_and_a_later_import_runs_again():
    result = run_python(
        """
import sys, traceback
sys.modules["nsepython"] = None
try:
    import greeks.greeks
except ModuleNotFoundError as error:
    entries = [(f.name, f.filename, f.lineno) for f in traceback.extract_tb(error.__traceback__)]
    print("FAILED", ("init greeks.greeks", "greeks\\\\greeks", 7) in entries)
print("greeks.greeks" in sys.modules)
del sys.modules["nsepython"]
import greeks.greeks
print(greeks.greeks.Kestrava("X").symbol, callable(greeks.greeks.nse_fno))
"""
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[:3] == ["FAILED True", "False", "X True"]


def test_missing_pandas_fails_the_import():
    result = run_python(
        """
import sys
sys.modules["pandas"] = None
try:
    import greeks.greeks
except ModuleNotFoundError as error:
    print("FAILED", error)
"""
    )
    assert result.stdout.startswith("FAILED import of pandas halted"), result.stderr


FAKE_NSEPYTHON = """
import sys, types
fake = types.ModuleType("nsepython")
fake.nse_fno = lambda symbol: None
fake.nse_optionchain_scrapper = lambda symbol: None
fake.public = "public"
fake._private = "private"
{extra}
sys.modules["nsepython"] = fake
"""


@pytest.mark.parametrize(
    "extra, expected",
    [
        ("", "public=True private=False"),
        ("fake.__all__ = ['_private', 'nse_fno', 'nse_optionchain_scrapper']", "public=False private=True"),
    ],
    ids=["no-all", "with-all"],
)
def test_star_import_rules(extra, expected):
    result = run_python(
        FAKE_NSEPYTHON.format(extra=extra)
        + """
import greeks.greeks as g
print(f"public={hasattr(g, 'public')} private={hasattr(g, '_private')}")
"""
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == expected


def test_star_import_cannot_overwrite_the_class():
    result = run_python(
        FAKE_NSEPYTHON.format(extra="fake.__all__ = ['public', 'Kestrava', 'nse_fno']\nfake.Kestrava = 1")
        + """
try:
    import greeks.greeks
except TypeError as error:
    print(error)
"""
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "Cannot overwrite C type Kestrava"


def test_star_import_of_np_replaces_numpy_binding():
    result = run_python(
        FAKE_NSEPYTHON.format(extra="fake.np = 'from nsepython'; fake.pd = 'not pandas'")
        + """
import greeks.greeks as g
print(g.np, g.pd.__name__)
"""
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "from nsepython pandas"


def test_class_left_by_a_failed_import_stays_safe():
    result = run_python(
        """
import sys
sys.modules["nsepython"] = None
try:
    import greeks.greeks
except ModuleNotFoundError:
    pass
Kestrava = next(c for c in object.__subclasses__() if c.__qualname__ == "Kestrava")
k = Kestrava("NIFTY")
try:
    Kestrava.__reduce__(k)
except NameError as error:
    print(error)
"""
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "name '__pyx_unpickle_Kestrava' is not defined"
