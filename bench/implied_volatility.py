"""implied_volatility against vollib's, per option, on one grid; both round trips' worst errors."""
import numpy as np

import greeks
from timing import speedup


def grid(n, stream=3):
    """The round-trip grid of the tests, kept to legs whose price pins σ down (σ·vega/price ≥
    1e-3) and is a normal double, so that both solvers are asked the same answerable questions."""
    rng = np.random.default_rng(stream)
    spot = np.exp(rng.uniform(np.log(10), np.log(60_000), 4 * n))
    strike = spot * np.exp(rng.uniform(np.log(0.3), np.log(3), 4 * n))
    time = np.exp(rng.uniform(np.log(1 / 8760), np.log(5), 4 * n))
    vol = np.exp(rng.uniform(np.log(0.005), np.log(4), 4 * n))
    rate = rng.uniform(0, 0.15, 4 * n)
    is_call = rng.random(4 * n) < 0.5
    price = greeks.option_price(spot, strike, time, rate, vol, is_call)
    with np.errstate(all="ignore"):
        vega = greeks.option_greeks(spot, strike, time, rate, vol, is_call)["vega"] * 100
        keep = (price >= np.finfo(float).tiny) & (vol * vega / price >= 1e-3)
    legs = [column[keep][:n] for column in (price, spot, strike, time, rate, is_call)]
    return legs, vol[keep][:n]


def vollib_volatilities(price, spot, strike, time, rate, is_call):
    from vollib.black_scholes.implied_volatility import implied_volatility

    flags = np.where(is_call, "c", "p")
    out = []
    for leg in zip(price.tolist(), spot.tolist(), strike.tolist(), time.tolist(), rate.tolist(),
                   flags):
        try:
            out.append(implied_volatility(*leg))
        except Exception:  # vollib raises for prices it finds outside its bounds
            out.append(np.nan)
    return np.array(out)


def worst_error(solved, vol):
    error = np.abs(solved - vol) / vol
    return np.nanmax(error), int(np.isnan(error).sum())


def run():
    (legs, vol) = grid(5_000)
    ours = greeks.implied_volatility(*legs, threads=1)
    theirs = vollib_volatilities(*legs)
    for name, solved in (("greeks", ours), ("vollib", theirs)):
        worst, failed = worst_error(solved, vol)
        print(f"  round trip on {len(vol)} legs, {name:7s}: worst relative error {worst:.2e}, "
              f"{failed} unsolved")
    ok = worst_error(ours, vol)[0] <= worst_error(theirs, vol)[0]
    ok &= speedup("implied volatility per option: ours (1 thread) vs vollib",
                  lambda: greeks.implied_volatility(*legs, threads=1),
                  lambda: vollib_volatilities(*(leg[:1000] for leg in legs)),
                  len(vol), 1000, 60)
    return ok
