"""A year of weekly short straddles over a store whose backfill downloaded the daily files,
against the same backtest written in pandas over the daily CSVs; and a sweep of 100 variants
against one backtest."""
import pathlib
import shutil
import sys
import tempfile
import time

import numpy as np
import pandas as pd

import greeks
from timing import short

sys.path.insert(0, str(pathlib.Path(__file__).parent.parent / "tests"))
import backtests  # noqa: E402  (the synthetic year of the tests)

STRADDLE = {"symbol": "NIFTY", "expiry": "weekly", "entry": {"days": 3}, "costs": False,
            "legs": [{"side": "CE", "lots": -1, "strike": "ATM"},
                     {"side": "PE", "lots": -1, "strike": "ATM"}]}


def pandas_straddles(folder):
    """The backtest as a user writes it: every file read, the legs of each expiry looked up."""
    legs = pd.concat([pd.read_csv(path) for path in sorted(folder.iterdir())])
    legs = legs[(legs["TckrSymb"] == "NIFTY") & (legs["FinInstrmTp"] == "IDO")]
    legs["price"] = np.where(legs["TtlTradgVol"] > 0, legs["ClsPric"], legs["SttlmPric"])
    days = sorted(legs["TradDt"].unique())
    total = 0.0
    for expiry in sorted(legs["XpryDt"].unique()):
        if expiry not in days or days.index(expiry) < 2:
            continue
        entry = days[days.index(expiry) - 2]
        today = legs[(legs["TradDt"] == entry) & (legs["XpryDt"] == expiry)]
        strikes = np.sort(today["StrkPric"].unique())
        atm = strikes[np.argmin(np.abs(strikes - today["UndrlygPric"].iloc[0]))]
        chosen = today[today["StrkPric"] == atm]
        if (chosen["TtlTradgVol"] == 0).any():
            continue
        final = legs.loc[legs["TradDt"] == expiry, "UndrlygPric"].iloc[0]
        total += 75 * (chosen["price"].sum() - abs(final - atm))
    return total


def run():
    root = pathlib.Path(tempfile.mkdtemp())
    try:
        files = root / "store" / "cache" / "bhavcopy"
        files.mkdir(parents=True)
        backtests.write_udiff(files, others=30_000)
        store = root / "store"
        greeks.backtest(STRADDLE, store)  # the first run keeps what the files hold
        ours = min(timed(lambda: greeks.backtest(STRADDLE, store)) for _ in range(5))
        theirs = timed(lambda: pandas_straddles(files))
        ratio = theirs / ours
        ok = ratio >= 20
        print(f"{'a year of weekly straddles: store vs pandas over CSVs':55s} ours "
              f"{ours * 1e3:8.1f} ms  theirs {theirs * 1e3:8.1f} ms  {ratio:6.1f}x (target 20x) "
              f"{'ok' if ok else 'BELOW TARGET'}")
        if not ok:
            short("a year of weekly straddles vs pandas", f"{ratio:.1f}x (target 20x)")
        from greeks.backtests import cache_of, daily_files
        from greeks.backtests.market import Market
        from greeks.backtests.sweep import sweep

        market = Market("NIFTY", daily_files(store), cache=cache_of(store))
        started = time.perf_counter()
        sweep(STRADDLE, ["stop_loss=" + ",".join(f"{0.1 * n:.1f}" for n in range(1, 21)),
                         "entry.days=1..5"], market)
        swept = time.perf_counter() - started
        share = swept / ours
        fits = share <= 10
        print(f"{'  100 variants swept vs one backtest':55s} {swept * 1e3:8.1f} ms  "
              f"ratio {share:5.1f} (limit 10) {'ok' if fits else 'OVER LIMIT'}")
        if not fits:
            short("a sweep of 100 variants", f"{share:.1f} (limit 10)")
        return ok and fits
    finally:
        shutil.rmtree(root, ignore_errors=True)


def timed(call):
    started = time.perf_counter()
    call()
    return time.perf_counter() - started


if __name__ == "__main__":
    sys.exit(0 if run() else 1)
