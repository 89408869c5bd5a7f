"""greeks.implied_volatility and greeks.option_price, and chains whose legs get solved volatilities."""
import datetime as dt
import warnings

import mpmath
import numpy as np
import pytest

import greeks
import recorded
from greeks import _vector
from helpers import scalar, ticks_while

IST = dt.timezone(dt.timedelta(hours=5, minutes=30))
TINY = np.finfo(float).tiny  # the smallest double with all 53 bits


def grid(n, stream):
    """S 10…60,000, K/S 0.3…3, T one hour…5 years, σ 0.5 %…400 %, r 0…15 %, calls and puts."""
    rng = np.random.default_rng(stream)
    spot = np.exp(rng.uniform(np.log(10), np.log(60_000), n))
    strike = spot * np.exp(rng.uniform(np.log(0.3), np.log(3), n))
    time = np.exp(rng.uniform(np.log(1 / 8760), np.log(5), n))
    vol = np.exp(rng.uniform(np.log(0.005), np.log(4), n))
    rate = rng.uniform(0, 0.15, n)
    return spot, strike, time, rate, vol, rng.random(n) < 0.5


def exact_price(spot, strike, time, rate, vol, is_call):
    with mpmath.workdps(60):
        S, K, T, r, v = (mpmath.mpf(float(a)) for a in (spot, strike, time, rate, vol))
        d1 = (mpmath.log(S / K) + (r + v * v / 2) * T) / (v * mpmath.sqrt(T))
        d2 = d1 - v * mpmath.sqrt(T)
        sign = 1 if is_call else -1
        return sign * (S * mpmath.ncdf(sign * d1) - K * mpmath.exp(-r * T) * mpmath.ncdf(sign * d2))


def test_prices_agree_with_a_60_digit_evaluation():
    # Deep in a wing (|ln(F/K)| / σ√T around 30) the long double rounding of erfc's argument is
    # magnified by the cancellation between the two terms, so the bound loosens with the price;
    # such prices move a thousand times faster than σ, which still comes back to double precision.
    spot, strike, time, rate, vol, is_call = grid(3_000, 11)
    got = greeks.option_price(spot, strike, time, rate, vol, is_call)
    bounds = ((1e-10, 1e-14), (1e-60, 1e-13), (1e-300, 1e-12))
    worst = dict.fromkeys(bounds, 0.0)
    for i in range(len(got)):
        exact = exact_price(spot[i], strike[i], time[i], rate[i], vol[i], is_call[i])
        error = abs(float((got[i] - exact) / exact)) if exact > 0 else 0.0
        for bound in bounds:
            if exact >= bound[0] * spot[i]:
                worst[bound] = max(worst[bound], error)
    assert all(worst[bound] <= bound[1] for bound in bounds), worst


def test_round_trip_on_a_grid_of_100000_options():
    spot, strike, time, rate, vol, is_call = grid(100_000, 12)
    price = greeks.option_price(spot, strike, time, rate, vol, is_call)
    solved = greeks.implied_volatility(price, spot, strike, time, rate, is_call)
    with np.errstate(all="ignore"):
        elasticity = vol * greeks.option_greeks(spot, strike, time, rate, vol, is_call)["vega"] \
            * 100 / price
        discounted = strike * np.exp(-rate * time)
        intrinsic = np.where(is_call, np.maximum(spot - discounted, 0),
                             np.maximum(discounted - spot, 0))
    usable = price >= TINY
    # Where σ pins the price down, σ comes back.
    pinned = usable & (elasticity >= 1e-3)
    assert pinned.sum() > 40_000
    error = np.abs(solved[pinned] - vol[pinned]) / vol[pinned]
    assert not np.isnan(error).any() and error.max() <= 1e-12, error.max()
    # Elsewhere the solved σ reproduces the price, wherever the price carries time value at all:
    # one within the rounding of the intrinsic value lies on the bound.
    loose = usable & ~pinned & (price > 1e-10 * spot) & (price - intrinsic > 1e-13 * price)
    assert loose.sum() > 2_000
    repriced = greeks.option_price(spot, strike, time, rate, solved, is_call)[loose]
    assert np.nanmax(np.abs(repriced - price[loose]) / price[loose]) <= 1e-12
    assert not np.isnan(repriced).any()


CALL, PUT = True, False


@pytest.mark.parametrize("price, spot, strike, time, is_call", [
    (10.0, 100.0, 90.0, 0.5, CALL),            # at the intrinsic value
    (10.0 - 1e-9, 100.0, 90.0, 0.5, CALL),     # just below it
    (10.0, 100.0, 110.0, 0.5, PUT),
    (9.999999, 100.0, 110.0, 0.5, PUT),
    (100.0, 100.0, 90.0, 0.5, CALL),           # at the call's bound, the spot
    (100.0 + 1e-9, 100.0, 90.0, 0.5, CALL),
    (110.0, 100.0, 110.0, 0.5, PUT),           # at the put's bound, the strike (r = 0)
    (0.0, 100.0, 110.0, 0.5, CALL),
    (-1.0, 100.0, 110.0, 0.5, CALL),
    (5.0, 100.0, 100.0, 0.0, CALL),            # T ≤ 0
    (5.0, 100.0, 100.0, -0.1, PUT),
    (5.0, 0.0, 100.0, 0.5, CALL),
    (5.0, 100.0, -100.0, 0.5, CALL),
    (np.nan, 100.0, 100.0, 0.5, CALL),
    (5.0, np.inf, 100.0, 0.5, CALL),
    (np.inf, 100.0, 100.0, 0.5, CALL),
])
def test_no_volatility_gives_nan_quietly(price, spot, strike, time, is_call, capsys):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        got = greeks.implied_volatility([price, 5.0], spot, strike, time, 0.0, is_call)
    assert np.isnan(got[0])
    assert capsys.readouterr() == ("", "")


def test_the_other_legs_are_solved_beside_a_bad_one():
    got = greeks.implied_volatility([5.0, -1.0, 5.0], 100.0, 100.0, 0.25, 0.07, [True, True, False])
    assert np.isnan(got[1]) and np.isfinite(got[[0, 2]]).all()
    assert greeks.option_price(100.0, 100.0, 0.25, 0.07, got[0], True) == pytest.approx(5.0, rel=1e-14)


def test_just_inside_the_bounds_still_solves():
    low = greeks.implied_volatility(10.0 + 1e-6, 100.0, 90.0, 0.5, 0.0, True)
    high = greeks.implied_volatility(100.0 - 1e-6, 100.0, 90.0, 0.5, 0.0, True)
    assert 0 < low < 0.1 and high > 10
    for vol, price in ((low, 10.0 + 1e-6), (high, 100.0 - 1e-6)):
        assert greeks.option_price(100.0, 90.0, 0.5, 0.0, vol, True) == pytest.approx(price, rel=1e-12)


@pytest.mark.parametrize("threads", [2, 5])
def test_any_number_of_threads_gives_identical_volatilities(threads):
    spot, strike, time, rate, vol, is_call = grid(300_001, 13)
    price = greeks.option_price(spot, strike, time, rate, vol, is_call)
    one = greeks.implied_volatility(price, spot, strike, time, rate, is_call, threads=1)
    many = greeks.implied_volatility(price, spot, strike, time, rate, is_call, threads=threads)
    assert one.tobytes() == many.tobytes()


def test_other_python_threads_run_while_the_solver_works():
    n = 2_000_000
    out = np.empty(n)
    args = (scalar(15.0), scalar(100.0), np.linspace(95.0, 105.0, n), scalar(0.5), scalar(0.07),
            scalar(0.0), np.array([True]), out, 1)
    assert ticks_while(_vector.implied_volatility, args) > 10_000
    assert np.isfinite(out).all()


# ---- chains

def capture_moment(chain):
    return recorded.capture_time(chain).replace(tzinfo=IST)


@pytest.mark.parametrize("symbol", ["SBIN", "BANKNIFTY", "NIFTY"])
@pytest.mark.parametrize("price", ["last", "mid"])
def test_solved_legs_reproduce_the_price_they_were_solved_from(symbol, price):
    chain = recorded.chain(symbol)
    frame = greeks.chain_greeks(chain, now=capture_moment(chain), iv="solve", price=price, model="spot")
    solved = frame[frame["iv_source"] == "solved"]
    assert len(solved) > 50
    assert frame["iv"][frame["iv_source"] == "none"].isna().all()
    paid = solved["last_price"] if price == "last" else (solved["bid"] + solved["ask"]) / 2
    repriced = greeks.option_price(solved["spot"], solved["strike"], solved["time_to_expiry"],
                                   0.07, solved["iv"], (solved["side"] == "CE").to_numpy())
    assert np.allclose(repriced, paid, rtol=1e-12, atol=0)
    assert np.isfinite(solved[["delta", "gamma", "theta", "vega", "rho"]].to_numpy()).all()


def test_fill_takes_the_exchanges_volatility_and_solves_the_rest():
    chain = recorded.chain("NIFTY")
    now = capture_moment(chain)
    exchange = greeks.chain_greeks(chain, now=now, iv="exchange", model="spot")
    filled = greeks.chain_greeks(chain, now=now, model="spot")
    solved = greeks.chain_greeks(chain, now=now, iv="solve", model="spot")
    listed = exchange["iv"] > 0
    assert (filled["iv_source"][listed] == "exchange").all()
    assert (filled["iv"][listed] == exchange["iv"][listed]).all()
    assert (filled["iv"][~listed].fillna(-1) == solved["iv"][~listed].fillna(-1)).all()
    assert (filled["iv_source"] == "solved").sum() > 20
    assert (exchange["iv_source"] != "solved").all()


def test_mid_needs_both_bid_and_ask():
    chain = {"records": {"underlyingValue": 100.0, "data": [
        {"strikePrice": 100, "expiryDate": "31-Jul-2025",
         "CE": {"impliedVolatility": 0, "lastPrice": 3.0, "bidprice": 2.9, "askPrice": 0},
         "PE": {"impliedVolatility": 0, "lastPrice": 3.0, "bidprice": 2.9, "askPrice": 3.1}}]}}
    frame = greeks.chain_greeks(chain, now=dt.datetime(2025, 7, 1, tzinfo=IST), price="mid", model="spot")
    assert list(frame["iv_source"]) == ["none", "solved"]


def test_the_exchanges_own_volatilities_come_back_on_its_rate_and_clock():
    # SBIN's published volatilities follow from a rate of 10 % and a close-to-close clock.
    chain = recorded.chain("SBIN")
    now = capture_moment(chain)
    exchange = greeks.chain_greeks(chain, now=now, rate=0.10, iv="exchange", model="spot")
    solved = greeks.chain_greeks(chain, now=now, rate=0.10, iv="solve", model="spot")
    both = (exchange["iv"] > 0) & solved["iv"].notna()
    points = (solved["iv"][both] - exchange["iv"][both]).abs() * 100
    assert both.sum() > 80
    assert points.max() <= 0.0105 and (points <= 0.005).mean() > 0.95


@pytest.mark.parametrize("arguments", [dict(price="bid"), dict(iv="exact"), dict(model="black")])
def test_unknown_choices_are_refused(arguments):
    with pytest.raises(ValueError, match="must be one of"):
        greeks.chain_greeks(recorded.chain("SBIN"), **{"model": "spot", **arguments})
