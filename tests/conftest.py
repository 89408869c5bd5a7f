import os

import pytest

import greeks.greeks as greeks_module
from helpers import Exchange


@pytest.fixture
def g():
    return greeks_module


@pytest.fixture
def Kestrava():
    return greeks_module.Kestrava


@pytest.fixture
def exchange(monkeypatch):
    fake = Exchange()
    monkeypatch.setattr(greeks_module, "nse_optionchain_scrapper", fake.option_chain)
    monkeypatch.setattr(greeks_module, "nse_fno", fake.fno)
    return fake


def pytest_sessionstart(session):
    # The sanitizer run must exercise the sanitized build, not an installed one.
    if os.environ.get("GREEKS_EXPECT_SANITIZED"):
        assert "/build/asan/stage/" in greeks_module.__file__, greeks_module.__file__


@pytest.fixture(autouse=True)
def no_lot_size_file(monkeypatch):
    """The exchange's lot-size file is never fetched in tests: a test that wants it serves it."""
    import nsepython

    def unreachable(*_, **__):
        raise ConnectionError("the exchange is not reachable from the tests")

    monkeypatch.setattr(nsepython, "nse_get_fno_lot_sizes", unreachable)
