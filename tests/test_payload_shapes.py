"""Today's per-contract payloads, served to nsepython's own regrouping: every shape gives the legs,
spot and Greeks of the recorded chain it was made from."""
import datetime as dt

import numpy as np
import pytest

import greeks
import greeks.greeks as module
import payloads
import recorded
from greeks.exchange.reading import MissingSpot, read_chain
from greeks.exchange.recordings import shift_expiries
from greeks.exchange.records_shape import SOLVED_MARK, as_records_shape, use_records_shape

CAPTURED = dt.datetime(2025, 8, 5, 13, 59, 23)  # naive: India Standard Time
NUMBERS = ["strike", "spot", "last_price", "iv", "time_to_expiry", "delta", "gamma", "theta",
           "vega", "rho", "open_interest", "volume", "change_in_oi"]


@pytest.fixture(scope="module")
def reference():
    """The recording in the shape it was captured in, priced at its capture time."""
    return {iv: greeks.chain_greeks(recorded.chain("NIFTY"), now=CAPTURED, iv=iv, model="spot")
            for iv in ("fill", "solve")}


@pytest.mark.parametrize("variant", list(payloads.VARIANTS))
@pytest.mark.parametrize("regrouped", [True, False], ids=["through nsepython", "as sent"])
def test_every_shape_prices_the_recorded_legs(monkeypatch, reference, variant, regrouped):
    payload = payloads.per_contract_payload(variant)
    if regrouped:
        fetch = payloads.serve_through_nsepython(monkeypatch, payload)
        frame = greeks.chain_greeks("NIFTY", now=CAPTURED, model="spot")
        assert len(fetch.urls) == 1 and fetch.urls[0].endswith("symbol=NIFTY")
        # nsepython drops futures typed "XX" and those without a strike before regrouping
        futures = 1
    else:
        frame = greeks.chain_greeks(payload, now=CAPTURED, model="spot")
        futures = len(payloads.FUTURES)
    expected = reference["solve" if variant == "no volatility" else "fill"]
    assert len(frame) == payloads.legs_in_recording() == len(expected)
    assert frame.attrs | {"now": None, "unpriced": None, "pricing": None} == {
        "skipped": 0, "futures": futures, "duplicates": 0, "spot_source": "legs",
        "timestamp": payloads.TIMESTAMP, "now": None, "unpriced": None, "pricing": None}
    assert (frame["symbol"] == "NIFTY").all() and (frame["spot"] == payloads.NIFTY_SPOT).all()
    assert (frame["side"] == expected["side"]).all()
    assert (frame["iv_source"] == expected["iv_source"]).all()
    np.testing.assert_array_equal(frame[NUMBERS], expected[NUMBERS])
    quotes = frame[["bid", "ask", "mid"]]
    if variant == "no bid or ask":
        assert quotes.isna().all().all()
    else:
        np.testing.assert_array_equal(quotes, expected[["bid", "ask", "mid"]])


@pytest.mark.parametrize("chain", [
    {"data": [{"optionType": "CE", "strikePrice": 100, "expiryDate": "31-Jul-2025",
               "lastPrice": 5.0}]},
    {"records": {"underlyingValue": "n/a", "data": [
        {"strikePrice": 100, "expiryDate": "31-Jul-2025", "CE": {"lastPrice": 5.0,
                                                                 "underlyingValue": 0}}]}},
    {"data": [{"strikePrice": 100, "expiryDate": "31-Jul-2025", "PE": {"lastPrice": 5.0}}],
     "underlyingValue": 10**400},
])
def test_a_chain_with_legs_but_no_spot_is_refused(chain):
    with pytest.raises(MissingSpot, match="^the chain carries no price of the underlying$"):
        greeks.chain_greeks(chain, now=CAPTURED, model="spot")
    with pytest.raises(MissingSpot):
        as_records_shape(chain)


def test_the_spot_is_looked_for_at_the_top_then_in_records_then_in_the_legs():
    legs = {"strikePrice": 100, "expiryDate": "31-Jul-2025",
            "CE": {"underlyingValue": 101.0}, "PE": {"underlyingValue": 99.0}}
    other = {"strikePrice": 110, "expiryDate": "31-Jul-2025", "CE": {"underlyingValue": 101.0}}
    chain = {"records": {"data": [legs, other], "underlyingValue": " 102.5 "},
             "underlyingValue": 103}
    assert (read_chain(chain).spot, read_chain(chain).spot_source) == (103.0, "top level")
    del chain["underlyingValue"]
    assert (read_chain(chain).spot, read_chain(chain).spot_source) == (102.5, "records")
    del chain["records"]["underlyingValue"]
    assert (read_chain(chain).spot, read_chain(chain).spot_source) == (101.0, "legs")  # most


def test_a_second_record_of_a_leg_is_dropped_and_counted():
    first = {"optionType": "PE", "strikePrice": 100, "expiryDate": "31-Jul-2025",
             "lastPrice": 1.0, "underlyingValue": 100.0}
    again = dict(first, strikePrice="100.00", expiryDate="31-07-2025", optionType="Put",
                 lastPrice=2.0)
    legs = read_chain({"data": [first, again, dict(first, optionType="?"), 7]})
    assert (len(legs.strike), legs.duplicates, legs.skipped) == (1, 1, 2)
    assert legs.column("last_price").tolist() == [1.0]


# ---- Kestrava on today's nsepython

def test_kestrava_reads_todays_payload_once_opted_in(monkeypatch, capsys):
    # Moved to lie ahead of today, as the module prices on the machine's own clock.
    today = dt.date.today()
    payload, _ = shift_expiries(payloads.per_contract_payload("Call/Put"), today)
    changed = next(record for record in payload["data"]
                   if record["strikePrice"] == 24600 and record["optionType"] == "Call")
    del changed["impliedVolatility"]
    payloads.serve_through_nsepython(monkeypatch, payload)
    monkeypatch.setattr(module, "nse_optionchain_scrapper", module.nse_optionchain_scrapper)
    nifty = module.Kestrava("NIFTY")
    assert nifty.get_spot_price() == -1.0  # the module alone finds no spot in it
    use_records_shape()
    use_records_shape()  # once is enough; again changes nothing
    assert nifty.get_spot_price() == payloads.NIFTY_SPOT
    # Every leg reads as it does from the recording itself, but those without a published
    # volatility, which is solved from the last price.
    original = shift_expiries(recorded.chain("NIFTY"), today)[0]["records"]["data"]
    for row in [row for row in original if row["strikePrice"] in (24550, 24600)]:
        for side in ("CE", "PE"):
            if side not in row:
                continue
            record = nifty.get_option_data(row["strikePrice"], row["expiryDate"], side)
            assert record["spot_price"] == payloads.NIFTY_SPOT
            assert record["option_price"] == row[side]["lastPrice"]
            published = row[side]["impliedVolatility"] / 100
            if published > 0 and row[side]["identifier"] != changed["identifier"]:
                assert record["implied_volatility"] == published
            elif row[side]["lastPrice"] > 0:  # none published (0, or taken out): solved
                assert 0 < record["implied_volatility"] < 1
    captured = capsys.readouterr().out
    assert captured.count("Error getting spot price") == 1 and "Error fetching" not in captured


def test_the_records_shape_marks_solved_volatilities():
    chain = as_records_shape(payloads.per_contract_payload("no volatility"),
                             now=dt.datetime(2025, 8, 5, 10, tzinfo=dt.timezone.utc))
    sides = [row[side] for row in chain["records"]["data"] for side in ("CE", "PE") if side in row]
    assert len(sides) == payloads.legs_in_recording()
    solved = [side for side in sides if side.get(SOLVED_MARK)]
    assert len(solved) > 600 and all(side["impliedVolatility"] > 0 for side in solved)
    assert chain["records"]["expiryDates"][0] == "07-Aug-2025"


def test_importing_the_module_leaves_nsepythons_own_fetch():
    from helpers import run_python

    done = run_python("""
        import nsepython, greeks, greeks.greeks as module
        print(module.nse_optionchain_scrapper is nsepython.nse_optionchain_scrapper)
        greeks.use_records_shape()
        print(type(module.nse_optionchain_scrapper).__name__)
    """)
    assert done.stdout == "True\nInRecordsShape\n", done.stderr
