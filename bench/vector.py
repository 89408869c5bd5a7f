"""The Greeks four legs at a time against one leg at a time, against the same five Greeks in
plain vectorised numpy/scipy and against QuantLib, on 1M random legs and one thread; and
chain_greeks on the NIFTY recording against pandas' own frame of the same per-contract records."""
import datetime as dt
import json
import pathlib

import numpy as np
from scipy.special import ndtr

import greeks
from greeks import _vector
from chain import quantlib_greeks
from shapes import contracts
from timing import speedup

NIFTY = pathlib.Path(__file__).parent.parent / "examples" / "data" / "nifty-full-chain-2025-08-05.json"
NOW = dt.datetime(2025, 8, 5, 13, 59, 23)


def random_legs(n, stream=5):
    rng = np.random.default_rng(stream)
    spot = rng.uniform(50, 60_000, n)
    return (spot, spot * rng.uniform(0.7, 1.3, n), rng.uniform(1 / 365, 2, n),
            rng.uniform(0.0, 0.1, n), np.zeros(n), rng.uniform(0.05, 1.0, n), rng.random(n) < 0.5)


def numpy_greeks(spot, strike, time, rate, dividend, vol, is_call):
    """The five Greeks as a user writes them with numpy and scipy.special.ndtr, no loops."""
    root = np.sqrt(time)
    spread = vol * root
    d1 = (np.log(spot / strike) + (rate - dividend + 0.5 * vol * vol) * time) / spread
    d2 = d1 - spread
    sign = np.where(is_call, 1.0, -1.0)
    discount, carry = np.exp(-rate * time), np.exp(-dividend * time)
    density = np.exp(-0.5 * d1 * d1) / np.sqrt(2 * np.pi)
    n1, n2 = ndtr(sign * d1), ndtr(sign * d2)
    return (sign * carry * n1, carry * density / (spot * spread),
            (-spot * carry * vol * density / (2 * root) - sign * rate * strike * discount * n2
             + sign * dividend * spot * carry * n1) / 365,
            spot * carry * root * density / 100, sign * strike * time * discount * n2 / 100)


def kernel(entry, legs):
    out = [np.empty(legs[0].size) for _ in range(5)]
    return lambda: entry(*legs, *out, 1)


def run():
    legs = random_legs(1_000_000)
    ours = kernel(_vector.greeks, legs)
    assert np.allclose(np.column_stack(numpy_greeks(*legs)),
                       np.column_stack([np.asarray(x) for x in greeks.option_greeks(
                           legs[0], legs[1], legs[2], legs[3], legs[5], legs[6],
                           dividend_yield=legs[4], threads=1).values()]), rtol=1e-9, atol=1e-12)
    ok = speedup(f"Greeks per leg, 1M legs, 1 thread: {_vector.GREEKS_LANES} at a time vs one",
                 ours, kernel(_vector.greeks_scalar, legs), 1, 1, 4)
    ok &= speedup("  the same vs vectorised numpy/scipy (ndtr)", ours,
                  lambda: numpy_greeks(*legs), 1, 1, 12)
    few = [column[:2_000] for column in legs]
    ok &= speedup("  the same vs QuantLib BlackCalculator", ours,
                  lambda: quantlib_greeks(few[0], few[1], few[2], few[3], few[5], few[6]),
                  1_000_000, 2_000, 500)

    recorded = json.loads(NIFTY.read_text())
    records = contracts(recorded)["data"]
    import pandas as pd

    ok &= speedup(f"chain_greeks, NIFTY ({len(records)} legs, spot, iv=fill) vs DataFrame(records)",
                  lambda: greeks.chain_greeks(recorded, now=NOW, model="spot"),
                  lambda: pd.DataFrame(records), 1, 1, 8)
    ok &= speedup(f"chain_greeks, NIFTY ({len(records)} legs, forward) vs DataFrame(records)",
                  lambda: greeks.chain_greeks(recorded, now=NOW), lambda: pd.DataFrame(records),
                  1, 1, 6)
    return ok


if __name__ == "__main__":
    import sys

    sys.exit(0 if run() else 1)
