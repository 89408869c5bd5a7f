"""A year of weekly short straddles over a store whose backfill downloaded the daily files,
against the same backtest written in pandas over the daily CSVs; a sweep of 100 variants
against one backtest; and backfilling every symbol of a real daily file against pandas reading
that file."""
import pathlib
import shutil
import sys
import tempfile
import time

import numpy as np
import pandas as pd

import greeks
from timing import compare, short

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


DAILY_FILE = (pathlib.Path(__file__).parent / "data" /
              "BhavCopy_NSE_FO_0_0_0_20250203_F_0000.csv.zip")


def backfill_every_symbol():
    """The exchange's file of 3 February 2025 (34,304 rows, 232 symbols, 33,642 options, every
    volatility solved) into a new store each time, against pandas reading the file."""
    from greeks.chains.pricing import Pricing
    from greeks.history.backfill import store_daily_file
    from greeks.history.store import Store

    root = pathlib.Path(tempfile.mkdtemp())
    pricing = Pricing(iv="solve", price="last")
    stores = iter(range(10**6))
    try:
        return compare("backfill every symbol of a daily file vs pandas reading it",
                       lambda: store_daily_file(Store(root / str(next(stores))), DAILY_FILE,
                                                None, pricing, lambda line: None),
                       lambda: pd.read_csv(DAILY_FILE), number=1, limit=3)
    finally:
        shutil.rmtree(root, ignore_errors=True)


def run():
    ok = backfill_every_symbol()
    return backtests_and_sweep() and ok


def backtests_and_sweep():
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
