"""Positions against independent references: hand-summed intrinsic values, option_price per leg,
put-call parity, breakevens, and the probability of profit as a numerical integral."""
import datetime as dt
import math

import mpmath
import numpy as np
import pytest

import greeks
from greeks.positions.legs import PositionError

NOW = dt.datetime(2025, 7, 17, 15, 30)  # IST
NEAR, FAR = "31-Jul-2025", "28-Aug-2025"
STRIKES = range(80, 125, 5)
SPOT, RATE = 100.0, 0.07


def side(strike, is_call, expiry):
    # Volatilities vary by strike and expiry so that legs do not share one.
    return {"impliedVolatility": 18.0 + abs(strike - 100) / 5 + (expiry == FAR) * 2,
            "lastPrice": 2.5, "underlying": "ABC"}


def chain():
    return {"records": {"underlyingValue": SPOT, "timestamp": "17-Jul-2025 15:30:00", "data": [
        {"strikePrice": strike, "expiryDate": expiry, "CE": side(strike, True, expiry),
         "PE": side(strike, False, expiry)} for expiry in (NEAR, FAR) for strike in STRIKES]}}


def leg(strike, side_, quantity, entry=None, expiry=NEAR):
    return {"symbol": "ABC", "expiry": expiry, "strike": strike, "side": side_,
            "quantity": quantity, "entry_price": entry}


STRATEGIES = {
    "straddle": [leg(100, "CE", -50, 4.1), leg(100, "PE", -50, 3.6)],
    "strangle": [leg(110, "CE", 25, 1.2), leg(90, "PE", 25, 0.9)],
    "bull call spread": [leg(95, "CE", 10, 7.0), leg(105, "CE", -10, 2.2)],
    "iron condor": [leg(85, "PE", 10, 0.4), leg(90, "PE", -10, 0.9), leg(110, "CE", -10, 1.0),
                    leg(115, "CE", 10, 0.5)],
    "calendar": [leg(100, "CE", -20, 3.0), leg(100, "CE", 20, 5.5, expiry=FAR)],
    "futures hedge": [leg(None, "FUT", 100, 101.0, expiry=FAR), leg(95, "PE", 100, 1.5)],
}


def intrinsic_pnl(legs, spot):
    """Σ quantity × (value at expiry − entry), written out by hand."""
    total = 0.0
    for item in legs:
        if item["side"] == "FUT":
            value = spot
        elif item["side"] == "CE":
            value = max(spot - item["strike"], 0.0)
        else:
            value = max(item["strike"] - spot, 0.0)
        total += item["quantity"] * (value - item["entry_price"])
    return total


@pytest.mark.parametrize("name", list(STRATEGIES))
def test_the_payoff_at_expiry_is_the_sum_of_intrinsic_values(name):
    legs = STRATEGIES[name]
    result = greeks.Position(legs).payoff(chain(), now=NOW, model="spot", spot_range=0.5, points=301)
    expected = [intrinsic_pnl(legs, spot) for spot in result.spots]
    np.testing.assert_allclose(result.at_expiry, expected, rtol=1e-12, atol=1e-9)
    for point in result.breakevens:  # each solves the line
        assert abs(intrinsic_pnl(legs, point)) <= 1e-9 * SPOT * max(abs(leg["quantity"])
                                                                   for leg in legs)
    sampled = np.array(expected)
    assert result.max_profit >= sampled.max() - 1e-9 and result.max_loss <= sampled.min() + 1e-9


@pytest.mark.parametrize("name, breakevens, max_profit, max_loss", [
    ("straddle", [100 - 7.7, 100 + 7.7], 50 * 7.7, -math.inf),
    ("bull call spread", [95 + 4.8], 10 * (10 - 4.8), -10 * 4.8),
    ("iron condor", [90 - 1.0, 110 + 1.0], 10 * 1.0, -10 * (5 - 1.0)),
    ("futures hedge", [101.0 + 1.5], math.inf, 100 * (95 - 101.0 - 1.5)),
])
def test_breakevens_and_extremes_match_the_textbook(name, breakevens, max_profit, max_loss):
    result = greeks.Position(STRATEGIES[name]).payoff(chain(), now=NOW, model="spot")
    np.testing.assert_allclose(result.breakevens, breakevens, rtol=0, atol=1e-9 * SPOT)
    assert result.max_profit == pytest.approx(max_profit, rel=1e-12)
    assert result.max_loss == pytest.approx(max_loss, rel=1e-12)


@pytest.mark.parametrize("name", ["iron condor", "calendar", "futures hedge"])
def test_the_value_today_is_the_sum_of_option_prices(name):
    legs = STRATEGIES[name]
    position = greeks.Position(legs)
    marked = position.mark(chain(), now=NOW, model="spot")
    grid = position.what_if(chain(), now=NOW, model="spot", days=[0, 3], iv_shifts=[-2, 0, 5], points=7)
    for row in grid.itertuples():
        expected = 0.0
        for item, years, vol in zip(legs, marked.years, marked.vol):
            left = years - row.days / 365
            if item["side"] == "FUT":
                expected += item["quantity"] * row.spot * math.exp(RATE * left)
            else:
                expected += item["quantity"] * float(greeks.option_price(
                    row.spot, item["strike"], left, RATE, vol + row.iv_shift / 100,
                    item["side"] == "CE"))
        assert row.value == pytest.approx(expected, rel=1e-11, abs=1e-9), row


def test_a_what_if_builds_its_long_frame_only_when_read():
    position = greeks.Position(STRATEGIES["iron condor"])
    grid = position.what_if(chain(), now=NOW, model="spot", days=[0, 3], iv_shifts=[-2, 5],
                            points=7)
    assert grid.value.shape == (7, 2, 2) and "frame" not in vars(grid)
    assert "frame" not in vars(position.mark(chain(), now=NOW, model="spot"))
    rows = grid.frame.set_index(["spot", "days", "iv_shift"])
    np.testing.assert_array_equal(rows["value"].to_numpy().reshape(7, 2, 2), grid.value)
    np.testing.assert_array_equal(grid["pnl"].to_numpy().reshape(7, 2, 2), grid.pnl)
    assert len(grid) == 28 and list(grid.columns) == ["spot", "days", "iv_shift", "value", "pnl"]


def test_a_long_call_and_short_put_is_a_discounted_future():
    synthetic = greeks.Position([leg(100, "CE", 1, 0.0, FAR), leg(100, "PE", -1, 0.0, FAR)])
    future = greeks.Position([leg(None, "FUT", 1, 100.0, FAR)])
    options = dict(now=NOW, model="spot", days=[0, 7, 20], iv_shifts=[0, 10], spot_range=0.3, points=41)
    made, held = synthetic.what_if(chain(), **options), future.what_if(chain(), **options)
    left = synthetic.mark(chain(), now=NOW, model="spot").years[0] - made["days"] / 365
    # C − P = S·e^(−qT) − K·e^(−rT) = e^(−rT)·(F − K), the future's P&L discounted
    parity = np.exp(-RATE * left) * held["pnl"]
    np.testing.assert_allclose(made["value"], parity, rtol=0, atol=1e-10 * SPOT)


def test_the_probability_of_profit_is_the_lognormal_mass_where_the_line_is_above_zero():
    legs = STRATEGIES["iron condor"]
    result = greeks.Position(legs).payoff(chain(), now=NOW, model="spot", pop_volatility=0.25)
    years = greeks.Position(legs).mark(chain(), now=NOW, model="spot").years.min()
    mpmath.mp.dps = 30
    s, v, t = mpmath.mpf(SPOT), mpmath.mpf("0.25"), mpmath.mpf(years)
    mean = mpmath.log(s) + (RATE - v * v / 2) * t

    def density(x):
        return mpmath.npdf(mpmath.log(x), mean, v * mpmath.sqrt(t)) / x

    edges = [mpmath.mpf(0)] + [mpmath.mpf(point) for point in result.breakevens] + [mpmath.inf]
    inside = sum(mpmath.quad(density, [a, b]) for a, b in zip(edges, edges[1:])
                 if intrinsic_pnl(legs, float((a + b) / 2) if b != mpmath.inf else 1e9) > 0)
    assert result.probability_of_profit == pytest.approx(float(inside), abs=1e-9)


def test_a_leg_without_volatility_makes_the_net_figures_nan_with_the_reason():
    recorded = chain()
    recorded["records"]["data"][4]["CE"].update(impliedVolatility=0, lastPrice=0)  # strike 100
    frame = greeks.Position(STRATEGIES["straddle"]).value(recorded, now=NOW, model="spot")
    assert frame.loc[1, "iv_source"] == "none" and "no volatility" in frame.loc[1, "note"]
    assert math.isnan(frame.loc["net", "delta"]) and "delta: leg 1 has none" in \
        frame.loc["net", "note"]
    assert math.isfinite(frame.loc[2, "delta"])


def test_net_greeks_are_the_legs_in_rupees():
    frame = greeks.Position(STRATEGIES["iron condor"]).value(chain(), now=NOW, model="spot")
    legs, net = frame.drop("net"), frame.loc["net"]
    single = greeks.option_greeks(SPOT, legs["strike"], legs["time_to_expiry"], RATE, legs["iv"],
                                  legs["side"] == "CE")
    np.testing.assert_allclose(legs["theta"], legs["quantity"] * single["theta"], rtol=1e-14)
    np.testing.assert_allclose(legs["delta_rupees"], legs["delta"] * SPOT / 100, rtol=1e-14)
    assert net["vega"] == pytest.approx(legs["vega"].sum(), rel=1e-14)


@pytest.mark.parametrize("fields, field, reason", [
    ({"side": "straddle"}, "side", "'straddle' is not a side"),
    ({"quantity": 0}, "quantity", "is zero"),
    ({"quantity": "ten"}, "quantity", "'ten' is not a number"),
    ({"strike": ""}, "strike", "missing"),
    ({"expiry": "next week"}, "expiry", "is not a date"),
    ({"quantity": "", "lots": 2}, "lot_size", "no lot size known for ABC"),
])
def test_a_bad_leg_names_where_and_the_field(fields, field, reason):
    with pytest.raises(PositionError, match=f"^leg 1, {field}: .*{reason}"):
        greeks.Position([{**leg(100, "CE", 75, 1.0), **fields}])


@pytest.mark.parametrize("strike, expiry, field, listed", [
    (101, NEAR, "strike", "the nearest listed are 95, 100, 105, 110"),
    (100, "07-Aug-2025", "expiry", "it lists 31-Jul-2025, 28-Aug-2025"),
])
def test_a_leg_the_chain_does_not_list_names_what_it_lists(strike, expiry, field, listed):
    with pytest.raises(PositionError, match=f"leg 1, {field}: .*{listed}"):
        greeks.Position([leg(strike, "CE", 1, expiry=expiry)]).value(chain(), now=NOW, model="spot")


def test_files_read_and_write_the_same_legs(tmp_path):
    path = tmp_path / "condor.csv"
    path.write_text("symbol,expiry,strike,side,lots,lot_size,entry_price\n"
                    "abc,31-jul-2025,85,put,1,10,0.4\n\n"
                    "ABC,2025-07-31, 90 ,PE,-1,10,\n")
    position = greeks.Position.from_file(path)
    assert [(item.strike, item.side, item.quantity, item.entry_price) for item in position.legs] \
        == [(85.0, "PE", 10.0, 0.4), (90.0, "PE", -10.0, None)]
    for suffix in (".toml", ".csv"):
        again = tmp_path / f"again{suffix}"
        position.to_file(again)
        assert [item.fields() for item in greeks.Position.from_file(again).legs] == \
            [item.fields() for item in position.legs]
    bad = tmp_path / "bad.toml"
    bad.write_text('[[leg]]\nsymbol = "ABC"\nexpiry = "31-Jul-2025"\nstrike = 100\nside = "CE"\n'
                   'quantity = 1\n\n[[leg]]\nsymbol = "ABC"\nexpiry = "31-Jul-2025"\n'
                   'strike = 100\nside = "XE"\nquantity = 1\n')
    with pytest.raises(PositionError, match=f"^{bad} line 8, side: 'XE' is not a side"):
        greeks.Position.from_file(bad)
