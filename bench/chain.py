"""The chain kernel and chain_greeks against calculate_greeks, QuantLib and vollib."""
import datetime as dt
import json
import pathlib
import warnings

import numpy as np

import greeks
import greeks.greeks as g
from timing import speedup

NIFTY = pathlib.Path(__file__).parent.parent / "examples" / "data" / "nifty-full-chain-2025-08-05.json"
RECORD = {"spot_price": 24623.45, "strike_price": 24600.0, "time_to_expiry": 2 / 365.0,
          "risk_free_rate": 0.07, "implied_volatility": 0.118, "option_price": 104.1,
          "option_type": "CE"}


def legs(n, stream=1):
    rng = np.random.default_rng(stream)
    spot = 24623.45
    return (np.full(n, spot), spot * rng.uniform(0.8, 1.2, n), rng.uniform(1 / 365, 1, n),
            np.full(n, 0.07), rng.uniform(0.08, 0.4, n), rng.random(n) < 0.5)


def quantlib_greeks(spot, strike, time, rate, vol, is_call):
    import QuantLib as ql

    def one(S, K, T, r, v, call):
        discount = np.exp(-r * T)
        payoff = ql.PlainVanillaPayoff(ql.Option.Call if call else ql.Option.Put, K)
        calc = ql.BlackCalculator(payoff, S / discount, v * np.sqrt(T), discount)
        return (calc.delta(S), calc.gamma(S), calc.theta(S, T) / 365, calc.vega(T) / 100,
                calc.rho(T) / 100)
    return [one(*leg) for leg in zip(spot.tolist(), strike.tolist(), time.tolist(),
                                    rate.tolist(), vol.tolist(), is_call.tolist())]


def vollib_greeks(spot, strike, time, rate, vol, is_call):
    from vollib.black_scholes.greeks import analytical as a

    return [(a.delta(f, S, K, T, r, v), a.gamma(f, S, K, T, r, v), a.theta(f, S, K, T, r, v),
             a.vega(f, S, K, T, r, v), a.rho(f, S, K, T, r, v))
            for S, K, T, r, v, f in zip(spot, strike, time, rate, vol,
                                        np.where(is_call, "c", "p"))]


def loop_over_legs(kestrava, frame):
    legs = [(leg.strike, leg.expiry.strftime("%d-%b-%Y"), leg.side) for leg in frame.itertuples()]

    def run():
        with np.errstate(all="ignore"):
            for strike, expiry, side in legs:
                record = kestrava.get_option_data(strike, expiry, side)
                kestrava.calculate_greeks(record)
    return run


def run():
    ok = True
    million = legs(1_000_000)
    ok &= speedup("Greeks per leg: kernel (1 thread) vs calculate_greeks",
                  lambda: greeks.option_greeks(*million, threads=1),
                  lambda: g.Kestrava("NIFTY").calculate_greeks(RECORD), 1_000_000, 1, 2000)

    few = legs(2_000)
    ok &= speedup("Greeks per leg: kernel (1 thread) vs QuantLib BlackCalculator",
                  lambda: greeks.option_greeks(*million, threads=1),
                  lambda: quantlib_greeks(*few), 1_000_000, 2_000, 50)
    speedup("Greeks per leg: kernel (1 thread) vs vollib analytical",
            lambda: greeks.option_greeks(*million, threads=1),
            lambda: vollib_greeks(*few), 1_000_000, 2_000, 1)

    ten_million = legs(10_000_000)
    ok &= speedup("10M legs: all cores vs one core",
                  lambda: greeks.option_greeks(*ten_million),
                  lambda: greeks.option_greeks(*ten_million, threads=1), 1, 1, 1.7, rounds=2)

    chain = json.loads(NIFTY.read_text())
    now = dt.datetime.strptime(chain["records"]["timestamp"], "%d-%b-%Y %H:%M:%S")
    frame = greeks.chain_greeks(chain, now=now, clock="days", iv="exchange", model="spot")
    real = g.nse_optionchain_scrapper, g.nse_fno
    g.nse_optionchain_scrapper = lambda symbol: chain
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            loop = loop_over_legs(g.Kestrava("NIFTY"), frame)
            # The loop prices with the exchange's volatilities, as iv="exchange" does; "fill"
            # also solves the legs the exchange leaves at 0, work the loop never does.
            ok &= speedup(f"NIFTY chain ({len(frame)} legs): chain_greeks vs a per-leg loop",
                          lambda: greeks.chain_greeks(chain, now=now, clock="days", iv="exchange",
                                                      model="spot"),
                          loop, 1, 1, 100, rounds=3)
            speedup("  the same with iv=\"fill\" (solving the exchange's zeros)",
                    lambda: greeks.chain_greeks(chain, now=now, clock="days", model="spot"), loop,
                    1, 1, 1,
                    rounds=3)
    finally:
        g.nse_optionchain_scrapper, g.nse_fno = real
    return ok
