"""get_option_data: the option record of one strike, expiry and side."""
import datetime as dt
import math

import pytest

import recorded
from helpers import frozen_datetime

RECORD_KEYS = ["spot_price", "strike_price", "time_to_expiry", "risk_free_rate",
               "implied_volatility", "option_price", "option_type"]


@pytest.fixture
def clock(g, monkeypatch):
    def freeze(*args):
        monkeypatch.setattr(g, "datetime", frozen_datetime(dt.datetime(*args)))

    freeze(2025, 7, 17, 15, 30)
    return freeze


def chain(*rows, spot=250.5):
    return {"records": {"underlyingValue": spot, "data": list(rows)}}


def row(strike=250, expiry="31-Jul-2025", **sides):
    return {"strikePrice": strike, "expiryDate": expiry, **sides}


LEG = {"impliedVolatility": 14.25, "lastPrice": 12.5}


def test_record_from_one_row(Kestrava, exchange, clock, capsys):
    exchange.chain = chain(row(CE=LEG))
    record = Kestrava("ABC").get_option_data(250, "31-Jul-2025")
    assert list(record) == RECORD_KEYS
    assert list(record.values()) == [250.5, 250.0, 13 / 365.0, 0.07, 0.1425, 12.5, "CE"]
    assert type(record["strike_price"]) is float
    assert exchange.calls == [("chain", "ABC"), ("chain", "ABC")]
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "now, days",
    [
        ((2025, 7, 30, 0, 0, 1), 0),  # the expiry's midnight less than one day ahead
        ((2025, 7, 31, 0, 0, 0), 0),  # this very instant
        ((2025, 7, 29, 12, 0), 1),
        ((2025, 7, 31, 9, 15), -1),  # during the expiry day
        ((2025, 9, 1), -32),
    ],
)
def test_whole_days_floored(Kestrava, exchange, clock, now, days):
    clock(*now)
    exchange.chain = chain(row(CE=LEG))
    assert Kestrava("ABC").get_option_data(250.0, "31-Jul-2025")["time_to_expiry"] == days / 365.0


def test_put_side_and_option_type_kept(Kestrava, exchange, clock):
    exchange.chain = chain(row(PE={"impliedVolatility": 20, "lastPrice": "7.5"}, CE=LEG))
    record = Kestrava("ABC").get_option_data(250.0, "31-Jul-2025", option_type="PE")
    assert record["implied_volatility"] == 0.2 and record["option_price"] == "7.5"
    assert record["option_type"] == "PE"


def test_none_option_type_reads_the_side_named_none(Kestrava, exchange, clock):
    exchange.chain = chain(row(**{"None": LEG}))
    assert Kestrava("ABC").get_option_data(250.0, "31-Jul-2025", None)["option_type"] is None


@pytest.mark.parametrize(
    "served, line",
    [
        (chain(row(PE=LEG)), "Error fetching option data: 'CE'"),
        (chain(row(CE={"lastPrice": 1})), "Error fetching option data: 'impliedVolatility'"),
        (chain(row(CE={"impliedVolatility": 1})), "Error fetching option data: 'lastPrice'"),
        (chain(row(CE={"impliedVolatility": "14", "lastPrice": 1})),
         "Error fetching option data: unsupported operand type(s) for /: 'str' and 'float'"),
        (chain(row(expiry="2025-07-31", CE=LEG)),
         "Error fetching option data: time data '2025-07-31' does not match format '%d-%b-%Y'"),
        ([1, 2], "Error fetching option data: Expected dict, got list"),
        ({"filtered": {}}, "Error fetching option data: 'records'"),
        ({"records": {"underlyingValue": 1}}, "Error fetching option data: 'data'"),
        ({"records": {"underlyingValue": 1, "data": ()}},
         "Error fetching option data: Argument 'options_data' has incorrect type (expected list, got tuple)"),
        (chain(row(strike="250", CE=LEG), ["not", "a", "dict"]),
         "Error fetching option data: list indices must be integers or slices, not str"),
    ],
)
def test_failures_print_one_line(Kestrava, exchange, clock, capsys, served, line):
    spot = {"records": {"underlyingValue": 1.0}}
    exchange.chain = lambda symbol: spot if len(exchange.calls) == 1 else served
    expiry = "2025-07-31" if "2025-07-31" in str(served) else "31-Jul-2025"
    assert Kestrava("ABC").get_option_data(250.0, expiry) is None
    assert capsys.readouterr().out == line + "\n"


@pytest.mark.parametrize("served", [None, {}, chain(row(strike=300, CE=LEG)), chain(row(expiry="28-Aug-2025"))])
def test_no_data_returns_none_silently(Kestrava, exchange, clock, capsys, served):
    spot = {"records": {"underlyingValue": 1.0}}
    exchange.chain = lambda symbol: spot if len(exchange.calls) == 1 else served
    assert Kestrava("ABC").get_option_data(250.0, "31-Jul-2025") is None
    assert capsys.readouterr().out == ""


def test_unavailable_spot_prints_only_its_own_line(Kestrava, exchange, clock, capsys):
    exchange.chain, exchange.quote = {}, {}
    assert Kestrava("ABC").get_option_data(250.0, "31-Jul-2025") is None
    assert capsys.readouterr().out == "Error getting spot price: 'marketDeptOrderBook'\n"
    assert [name for name, _ in exchange.calls] == ["chain", "fno"]


def test_empty_row_from_a_finder_override_gives_none(Kestrava, exchange, clock):
    class Sub(Kestrava):
        def find_option_in_data(self, rows, strike, expiry):
            assert type(strike) is float
            return {}

    exchange.chain = chain(row(CE=LEG))
    assert Sub("ABC").get_option_data(250, "31-Jul-2025") is None


def test_finder_override_result_type_is_checked(Kestrava, exchange, clock, capsys):
    class Sub(Kestrava):
        def find_option_in_data(self, rows, strike, expiry):
            return rows

    exchange.chain = chain(row(CE=LEG))
    assert Sub("ABC").get_option_data(250, "31-Jul-2025") is None
    assert capsys.readouterr().out == "Error fetching option data: Expected dict, got list\n"


@pytest.mark.parametrize(
    "override, result, line",
    [
        (lambda self: 100, 100.0, ""),
        (lambda self: -1.0, None, ""),
        (lambda self: "100", None, "Error fetching option data: must be real number, not str\n"),
    ],
)
def test_spot_price_override_is_used(Kestrava, exchange, clock, capsys, override, result, line):
    Sub = type("Sub", (Kestrava,), {"get_spot_price": override})
    exchange.chain = chain(row(CE=LEG))
    record = Sub("ABC").get_option_data(250.0, "31-Jul-2025")
    assert (record and record["spot_price"]) == result
    assert capsys.readouterr().out == line
    assert Sub("ABC").get_spot_price() == override(None)


def test_subclass_without_overrides_behaves_like_the_class(Kestrava, exchange, clock):
    class Plain(Kestrava):
        pass

    exchange.chain = chain(row(CE=LEG))
    assert Plain("ABC").get_option_data(250.0, "31-Jul-2025") == Kestrava("ABC").get_option_data(250.0, "31-Jul-2025")


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_base_exceptions_pass_through(Kestrava, exchange, clock, capsys, error):
    def serve(symbol):
        if len(exchange.calls) == 1:
            return {"records": {"underlyingValue": 1.0}}
        raise error()

    exchange.chain = serve
    with pytest.raises(error):
        Kestrava("ABC").get_option_data(250.0, "31-Jul-2025")
    assert capsys.readouterr().out == ""


def test_missing_datetime_global_is_reported(g, Kestrava, exchange, capsys, monkeypatch):
    monkeypatch.delattr(g, "datetime")
    exchange.chain = chain(row(CE=LEG))
    assert Kestrava("ABC").get_option_data(250.0, "31-Jul-2025") is None
    assert capsys.readouterr().out == "Error fetching option data: name 'datetime' is not defined\n"


# ---- the recorded SBIN chain --------------------------------------------------------------------

@pytest.fixture
def sbin(exchange, clock):
    exchange.chain = recorded.chain("SBIN")
    return exchange.chain


def test_every_quoted_leg_of_the_recorded_chain(Kestrava, sbin, capsys):
    k = Kestrava("SBIN")
    rows = sbin["records"]["data"]
    for data_row in rows:
        for side in ("CE", "PE"):
            record = k.get_option_data(data_row["strikePrice"], data_row["expiryDate"], side)
            first = next(r for r in rows if r["strikePrice"] == data_row["strikePrice"]
                         and r["expiryDate"] == data_row["expiryDate"])
            if side not in first:
                assert record is None
                assert capsys.readouterr().out == f"Error fetching option data: '{side}'\n"
                continue
            leg = first[side]
            assert record["spot_price"] == 828.75
            assert record["implied_volatility"] == leg["impliedVolatility"] / 100.0
            assert record["option_price"] == leg["lastPrice"]
            assert record["time_to_expiry"] > 0
    assert capsys.readouterr().out == ""


def test_recorded_legs_price_into_finite_greeks(Kestrava, sbin, capsys):
    k = Kestrava("SBIN")
    priced = 0
    for data_row in sbin["records"]["data"]:
        for side in ("CE", "PE"):
            if side in data_row and data_row[side]["impliedVolatility"] > 0:
                record = k.get_option_data(data_row["strikePrice"], data_row["expiryDate"], side)
                greeks = k.calculate_greeks(record)
                assert all(math.isfinite(v) for v in greeks.values())
                assert (greeks["delta"] > 0) == (side == "CE")
                priced += 1
    assert priced == 90 and capsys.readouterr().out == ""


def test_newer_chain_shape_has_no_records(Kestrava, exchange, clock, capsys):
    exchange.chain = recorded.load(recorded.NEWER_SHAPE_FILE)
    exchange.quote = {"marketDeptOrderBook": {"tradeInfo": {"lastPrice": 24206.9}}}
    assert Kestrava("NIFTY").get_option_data(21400, "14-07-2026") is None
    assert capsys.readouterr().out == "Error fetching option data: 'records'\n"
