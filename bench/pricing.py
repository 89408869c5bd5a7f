"""calculate_greeks against its plain-Python reference."""
import functools
import itertools

import numpy as np

import greeks.greeks as g
import plain_pricing
from timing import compare

RECORD = {
    "spot_price": 24623.45,
    "strike_price": 24600.0,
    "time_to_expiry": 2 / 365.0,
    "risk_free_rate": 0.07,
    "implied_volatility": 0.118,
    "option_price": 131.2,
    "option_type": "CE",
}


class StandIn:
    """np or norm whose functions all return one numpy float64. The functions are built-in
    callables (next() of an endless repeat, with the argument as its unused default), so that
    calling them costs the same from C as from Python bytecode."""

    def __init__(self):
        constant = functools.partial(next, itertools.repeat(np.float64(0.5)))
        self.log = self.sqrt = self.exp = self.cdf = self.pdf = constant


def run():
    k = g.Kestrava("NIFTY")
    plain = plain_pricing.PlainKestrava("NIFTY")
    ok = True
    real = (g.np, g.norm, plain_pricing.np, plain_pricing.norm)
    stand_in = StandIn()
    g.np = g.norm = plain_pricing.np = plain_pricing.norm = stand_in
    try:
        ok &= compare("calculate_greeks, library stand-ins (own work)",
                      lambda: k.calculate_greeks(RECORD),
                      lambda: plain.calculate_greeks(RECORD), 2000, 0.5)
    finally:
        g.np, g.norm, plain_pricing.np, plain_pricing.norm = real
    ok &= compare("calculate_greeks, real numpy and scipy",
                  lambda: k.calculate_greeks(RECORD),
                  lambda: plain.calculate_greeks(RECORD), 200, 1.0)
    return ok
