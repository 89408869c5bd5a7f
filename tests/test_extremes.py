"""Inputs far outside any market, against 80-digit references: each Greek and price is right or
NaN, never a wrong finite number (an overflowing σ²T, a spot whose ratio to the strike underflows,
hours of time value in a picosecond, rates times times beyond the exponent range)."""
import math

import mpmath
import numpy as np
import pytest

import greeks

NAMES = ("delta", "gamma", "theta", "vega", "rho")
# (spot, strike, years, rate, volatility)
CASES = [
    (100.0, 100.0, 1.0, 0.05, 2e154),      # (r + σ²/2)·T overflows
    (5e-324, 100.0, 1e8, 0.05, 0.3),       # S/K underflows
    (1e300, 1e-300, 1.0, 0.05, 0.2),       # S/K overflows
    (100.0, 100.0, 1e-100, 0.0, 0.2),      # time value far below the prices' digits
    (100.0, 100.0, 1e-30, 0.05, 0.2),
    (100.0, 100.0 * (1 + 2**-52), 1e-30, 0.0, 0.2),
    (100.0, 90.0, 11_400.0, 1.0, 0.2),     # K·e^(−rT) below long double's range
    (100.0, 110.0, 12_000.0, 1.0, 0.2),
]


def exact(spot, strike, time, rate, vol, is_call):
    """Price and the five Greeks at 80 digits from the doubles as given."""
    with mpmath.workdps(80):
        S, K, T, r, v = (mpmath.mpf(x) for x in (spot, strike, time, rate, vol))
        root = mpmath.sqrt(T)
        d1 = (mpmath.log(S / K) + (r + v * v / 2) * T) / (v * root)
        d2 = d1 - v * root
        sign = 1 if is_call else -1
        n1, n2 = (mpmath.ncdf(sign * d) for d in (d1, d2))
        discounted = K * mpmath.exp(-r * T)
        pdf = mpmath.npdf(d1)
        return {"price": sign * (S * n1 - discounted * n2), "delta": sign * n1,
                "gamma": pdf / (S * v * root),
                "theta": (-S * v * pdf / (2 * root) - sign * r * discounted * n2) / 365,
                "vega": S * root * pdf / 100, "rho": sign * K * T * mpmath.exp(-r * T) * n2 / 100}


def right_or_nan(got, want):
    if math.isnan(got):
        return True
    if abs(want) < 1e-300:  # below the doubles' normal range: 0 or the subnormal nearest
        return abs(got) < 1e-300
    return abs(got - float(want)) <= 1e-12 * abs(float(want))


@pytest.mark.parametrize("is_call", [True, False])
@pytest.mark.parametrize("case", CASES)
def test_right_or_nan_never_wrong(case, is_call):
    spot, strike, time, rate, vol = case
    want = exact(*case, is_call)
    columns = [np.full(4, value) for value in case]  # a whole block for the vector path
    got = greeks.option_greeks(*columns, np.full(4, is_call), warn=False)
    got["price"] = greeks.option_price(*columns, np.full(4, is_call), warn=False)
    for name in ("price", *NAMES):
        value = float(got[name][0])
        assert right_or_nan(value, want[name]), (name, value, float(want[name]))
        assert np.array_equal(got[name], np.full(4, value), equal_nan=True)
