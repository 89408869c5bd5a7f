"""chain_greeks on the NIFTY recording in today's per-contract forms against the "records" form
it was captured in: the reader stays within 1.3x whatever shape arrives."""
import copy
import datetime as dt
import json
import pathlib

import greeks
from timing import best_time, short

NIFTY = pathlib.Path(__file__).parent.parent / "examples" / "data" / "nifty-full-chain-2025-08-05.json"
NOW = dt.datetime(2025, 8, 5, 13, 59, 23)
LIMIT = 1.3


def contracts(chain):
    """The recording as the exchange sends it now: per-contract records naming their own type,
    the spot only inside them."""
    flat = []
    for row in chain["records"]["data"]:
        for side in ("CE", "PE"):
            if side in row:
                flat.append({**row[side], "optionType": side, "instrumentType": "OPTIDX"})
    return {"data": flat, "timestamp": chain["records"]["timestamp"]}


def regrouped(payload):
    """What nsepython 2.101's own nse_optionchain_scrapper makes of it (its network call
    replaced)."""
    import nsepython.rahu as rahu

    real = rahu.nsefetch
    rahu.nsefetch = lambda url: copy.deepcopy(payload)
    try:
        return rahu.nse_optionchain_scrapper("NIFTY")
    finally:
        rahu.nsefetch = real


def run():
    recorded = json.loads(NIFTY.read_text())
    flat = contracts(recorded)
    forms = {"nsepython's rows (today)": regrouped(flat), "per-contract records": flat}
    price = lambda chain: lambda: greeks.chain_greeks(chain, now=NOW)  # noqa: E731
    ok = True
    for name, chain in forms.items():
        price(chain)(), price(recorded)()  # warm up
        theirs = min(best_time(price(recorded), 1, rounds=3) for _ in range(5))
        ours = min(best_time(price(chain), 1, rounds=3) for _ in range(5))
        ratio = ours / theirs
        verdict = "ok" if ratio <= LIMIT else "OVER LIMIT"
        print(f"{'chain_greeks, ' + name + ' vs records':55s} ours {ours * 1e3:8.3f} ms  "
              f"records {theirs * 1e3:8.3f} ms  ratio {ratio:5.2f} (limit {LIMIT}) {verdict}")
        ok &= ratio <= LIMIT
        if ratio > LIMIT:
            short(f"chain_greeks, {name} vs records", f"{ratio:.2f} (limit {LIMIT})")
    return ok
