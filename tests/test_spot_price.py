"""get_spot_price: the chain's underlying value, or else the derivatives quote."""

import pytest

import recorded
from helpers import traceback_entries

QUOTE = {"marketDeptOrderBook": {"tradeInfo": {"lastPrice": 101.25}}}


@pytest.mark.parametrize(
    "chain, expected, fno_called",
    [
        ({"records": {"underlyingValue": 250.5}}, 250.5, False),
        ({"records": {"underlyingValue": "250.5"}}, 250.5, False),
        ({"records": {"underlyingValue": " 250.55 "}}, 250.55, False),
        ({"records": {"underlyingValue": 250}}, 250.0, False),
        ({}, 101.25, True),
        (None, 101.25, True),
        ({"records": {}}, 101.25, True),
        ({"filtered": {}}, 101.25, True),
    ],
)
def test_price_sources(Kestrava, exchange, capsys, chain, expected, fno_called):
    exchange.chain, exchange.quote = chain, QUOTE
    price = Kestrava("SBIN").get_spot_price()
    assert type(price) is float and price == expected
    assert ("fno", "SBIN") in exchange.calls if fno_called else exchange.calls == [("chain", "SBIN")]
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "chain, quote, line",
    [
        (ValueError("exchange down"), QUOTE, "Error getting spot price: exchange down"),
        ({}, {}, "Error getting spot price: 'marketDeptOrderBook'"),
        ({}, {"marketDeptOrderBook": None}, "Error getting spot price: 'NoneType' object is not subscriptable"),
        ({}, {"marketDeptOrderBook": {"tradeInfo": {"lastPrice": "n/a"}}},
         "Error getting spot price: could not convert string to float: 'n/a'"),
        ({"records": {"underlyingValue": "24,623.45"}}, QUOTE,
         "Error getting spot price: could not convert string to float: '24,623.45'"),
        ({"records": None}, QUOTE, "Error getting spot price: argument of type 'NoneType' is not iterable"),
        ({}, ConnectionError("no route"), "Error getting spot price: no route"),
    ],
)
def test_failures_print_one_line(Kestrava, exchange, capsys, chain, quote, line):
    exchange.chain, exchange.quote = chain, quote
    assert Kestrava("SBIN").get_spot_price() == -1.0
    assert capsys.readouterr().out == line + "\n"


def test_chain_failure_does_not_try_the_quote(Kestrava, exchange, capsys):
    exchange.chain = RuntimeError("boom")
    Kestrava("SBIN").get_spot_price()
    assert exchange.calls == [("chain", "SBIN")]


def test_missing_global_is_a_name_error(g, Kestrava, exchange, capsys, monkeypatch):
    exchange.chain = {}
    monkeypatch.delattr(g, "nse_fno")
    assert Kestrava("SBIN").get_spot_price() == -1.0
    assert capsys.readouterr().out == "Error getting spot price: name 'nse_fno' is not defined\n"


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_base_exceptions_pass_through(Kestrava, exchange, capsys, error):
    exchange.chain = error
    with pytest.raises(error) as excinfo:
        Kestrava("SBIN").get_spot_price()
    assert capsys.readouterr().out == ""
    assert traceback_entries(excinfo)[1][0] == "greeks.greeks.Kestrava.get_spot_price"


def test_symbol_is_read_at_each_call_and_passed_unchanged(Kestrava, exchange):
    exchange.chain = {"records": {"underlyingValue": 1.0}}
    k = Kestrava(" sbin ")
    k.get_spot_price()
    k.symbol = None
    k.get_spot_price()
    assert exchange.calls == [("chain", " sbin "), ("chain", None)]


def test_exchange_function_may_rebind_the_symbol(Kestrava, exchange):
    k = Kestrava("".join(["TEMP", "SYMBOL"]))

    def rebinding(symbol):
        k.symbol = "OTHER"
        return {"records": {"underlyingValue": len(symbol)}}

    exchange.chain = rebinding
    assert k.get_spot_price() == 10.0


def test_recorded_quote_shape_lacks_the_top_level_book(Kestrava, exchange, capsys):
    exchange.chain = recorded.load(recorded.NEWER_SHAPE_FILE)
    exchange.quote = recorded.load("sail-derivatives-quote-2021-04-01.json")
    assert Kestrava("SAIL").get_spot_price() == -1.0
    assert capsys.readouterr().out == "Error getting spot price: 'marketDeptOrderBook'\n"


def test_recorded_chain_gives_the_underlying_value(Kestrava, exchange):
    exchange.chain = recorded.chain("SBIN")
    assert Kestrava("SBIN").get_spot_price() == 828.75
