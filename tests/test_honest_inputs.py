"""Inputs that used to give a silently different answer: the time zone of a naive `now`, a past
chain priced today, rates and volatilities in percent, a price at its bound, numbers too large
for a float; and the dividend yield against an independent reference."""
import datetime as dt
import os
import warnings

import mpmath
import numpy as np
import pytest

import greeks
import recorded
from helpers import run_python

mpmath.mp.dps = 40


@pytest.mark.parametrize("zone", ["UTC", "Asia/Kolkata", "America/New_York"])
def test_a_naive_now_is_india_standard_time_whatever_the_machines_zone(zone):
    done = run_python("""
        import datetime as dt, json, sys
        import greeks
        chain = json.load(open(sys.argv[1]))
        frame = greeks.chain_greeks(chain, now=dt.datetime(2025, 7, 17, 9, 30))
        print(repr(frame["time_to_expiry"].iloc[0]))
    """.replace("sys.argv[1]", repr(str(recorded.CHAIN_FILES["SBIN"]))),
        env=dict(os.environ, TZ=zone))
    # 09:30 on 17 July to 15:30 on 31 July, India Standard Time
    assert float(done.stdout) == pytest.approx((14 + 6 / 24) / 365, rel=1e-12), done.stderr


def test_a_recording_is_priced_at_its_capture_time_unless_told_otherwise():
    chain = recorded.chain("NIFTY")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        frame = greeks.chain_greeks(chain)
    captured = dt.datetime(2025, 8, 5, 13, 59, 23)
    assert frame.attrs["now"] == captured.replace(tzinfo=frame.attrs["now"].tzinfo)
    assert frame.equals(greeks.chain_greeks(chain, now=captured))
    assert frame["delta"].notna().sum() > 700
    del chain["records"]["timestamp"]  # priced now: 15 legs of 2026 and later still run
    with pytest.warns(UserWarning, match=r"^\d+ of its 18 expiries \(07-Aug-2025, 14-Aug-2025, "
                                         r"21-Aug-2025, ...\) of this chain passed before"):
        greeks.chain_greeks(chain)
    with pytest.warns(UserWarning, match="^every expiry of this chain passed before"):
        assert greeks.chain_greeks(chain, now=dt.datetime(2031, 1, 1))["delta"].isna().all()


@pytest.mark.parametrize("call, message", [
    (lambda: greeks.option_greeks(100, 100, 0.5, 7, 0.2, True), "rate 7 looks like a percentage"),
    (lambda: greeks.option_price(100, 100, 0.5, 0.07, [0.2, 25.0], True),
     "volatility 25 looks like a percentage; 0.25 is 25 %"),
    (lambda: greeks.implied_volatility(5, 100, 100, 91, 0.07, True),
     "time to expiry 91 looks like days; time to expiry is in years \\(91 days is 0.2493\\)"),
    (lambda: greeks.option_greeks(100, 100, 0.5, 0.07, 0.2, True, dividend_yield=2),
     "dividend yield 2 looks like a percentage"),
    (lambda: greeks.chain_greeks(recorded.chain("SBIN"), rate=6.5),
     "rate 6.5 looks like a percentage"),
])
def test_a_likely_unit_mistake_warns_at_the_callers_line(call, message):
    with pytest.warns(UserWarning, match=message) as caught:
        call()
    assert caught[0].filename == __file__


def test_plausible_inputs_and_infinities_do_not_warn():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        greeks.option_greeks(100, 100, [0.5, 49.0, 1.0], [-0.5, 1.0, 0.0], [0.2, 4.9, np.inf],
                             True)
        greeks.chain_greeks(recorded.chain("NIFTY"))


def test_a_price_at_its_bound_has_no_volatility():
    rng = np.random.default_rng(14)
    n = 20_000
    spot, strike = rng.uniform(10, 1000, n), rng.uniform(10, 1000, n)
    years, rate = rng.uniform(0.01, 3, n), rng.uniform(-0.02, 0.15, n)
    at_spot = greeks.implied_volatility(spot, spot, strike, years, rate, True)
    at_strike = greeks.implied_volatility(strike, spot, strike, years, 0.0, False)
    carried = spot * np.exp(-0.03 * years)
    at_carried_spot = greeks.implied_volatility(carried, spot, strike, years, rate, True,
                                                dividend_yield=0.03)
    assert np.isnan(at_spot).all() and np.isnan(at_strike).all()
    assert np.isnan(at_carried_spot).all()


@pytest.mark.parametrize("call, error, message", [
    (lambda: greeks.implied_volatility(10**400, 100, 100, 1, 0, True), ValueError,
     "price holds a number too large for a float"),
    (lambda: greeks.option_greeks(100, 100, 1, 0, 0.2, True, threads=2**63), ValueError,
     "threads must be a count from 1 to 2147483647"),
    (lambda: greeks.option_greeks(100, 100, 1, 0, 0.2, True, threads=0), ValueError,
     "threads must be a count from 1"),
])
def test_numbers_out_of_range_are_refused_clearly(call, error, message):
    with pytest.raises(error, match=message):
        call()


def bsm_reference(spot, strike, years, rate, dividend, vol, is_call):
    """Price and Greeks with a dividend yield in 40 digits: the price from its formula, the
    Greeks as mpmath's numerical derivatives of it (theta per day, vega and rho per point)."""
    def price(s, t, r, v):
        d1 = (mpmath.log(s / strike) + (r - dividend + v * v / 2) * t) / (v * mpmath.sqrt(t))
        d2 = d1 - v * mpmath.sqrt(t)
        sign = 1 if is_call else -1
        return sign * (s * mpmath.exp(-dividend * t) * mpmath.ncdf(sign * d1)
                       - strike * mpmath.exp(-r * t) * mpmath.ncdf(sign * d2))

    point = [mpmath.mpf(x) for x in (spot, years, rate, vol)]
    return {
        "price": price(*point),
        "delta": mpmath.diff(lambda s: price(s, *point[1:]), point[0]),
        "gamma": mpmath.diff(lambda s: price(s, *point[1:]), point[0], 2),
        "theta": -mpmath.diff(lambda t: price(point[0], t, *point[2:]), point[1]) / 365,
        "vega": mpmath.diff(lambda v: price(*point[:3], v), point[3]) / 100,
        "rho": mpmath.diff(lambda r: price(point[0], point[1], r, point[3]), point[2]) / 100,
    }


def test_the_dividend_yield_matches_an_independent_reference():
    rng = np.random.default_rng(3)
    n = 60
    legs = dict(spot=rng.uniform(50, 150, n), strike=rng.uniform(60, 140, n),
                time_to_expiry=rng.uniform(0.05, 2, n), rate=rng.uniform(0, 0.1, n),
                volatility=rng.uniform(0.1, 0.6, n))
    dividend, is_call = rng.uniform(0, 0.06, n), rng.random(n) < 0.5
    ours = greeks.option_greeks(**legs, is_call=is_call, dividend_yield=dividend)
    ours["price"] = greeks.option_price(**legs, is_call=is_call, dividend_yield=dividend)
    solved = greeks.implied_volatility(ours["price"], legs["spot"], legs["strike"],
                                       legs["time_to_expiry"], legs["rate"], is_call,
                                       dividend_yield=dividend)
    # where the price depends on σ at all, as the round trip without a dividend is tested
    sensitive = legs["volatility"] * ours["vega"] * 100 / ours["price"] >= 1e-3
    assert sensitive.sum() > 50
    np.testing.assert_allclose(solved[sensitive], legs["volatility"][sensitive], rtol=1e-12)
    for i in range(n):
        reference = bsm_reference(legs["spot"][i], legs["strike"][i], legs["time_to_expiry"][i],
                                  legs["rate"][i], dividend[i], legs["volatility"][i], is_call[i])
        for name, value in reference.items():
            assert float(ours[name][i]) == pytest.approx(float(value), rel=1e-10, abs=1e-12), \
                (i, name)
