"""The history store: recording rate, a synthetic month of minute captures made from the NIFTY
recording (22 days × 375 captures × 1,346 legs), bytes per leg, and the series over that month
against the same series computed with pandas from one CSV file per capture."""
import datetime as dt
import json
import pathlib
import shutil
import tempfile
import time

import numpy as np
import pandas as pd

import greeks
from greeks.history.history import as_table
from greeks.history.store import Store, partition
from timing import short

NIFTY = pathlib.Path(__file__).parent.parent / "examples" / "data" / "nifty-full-chain-2025-08-05.json"
INDIA = dt.timezone(dt.timedelta(hours=5, minutes=30))
DAYS, PER_DAY = 22, 375
PANDAS_DAYS = 1  # the CSV baseline is timed on one day's captures and compared per capture


def minutes(day):
    start = dt.datetime.combine(day, dt.time(9, 15), tzinfo=INDIA)
    return [start + dt.timedelta(minutes=n) for n in range(PER_DAY)]


def trading_days():
    day, found = dt.date(2025, 8, 4), []
    while len(found) < DAYS:
        if day.weekday() < 5:
            found.append(day)
        day += dt.timedelta(days=1)
    return found


def pandas_series(paths):
    """What users do today: read each capture's CSV and compute its figures."""
    rows = []
    for path in paths:
        frame = pd.read_csv(path, parse_dates=["expiry"])
        calls, puts = frame[frame.side == "CE"], frame[frame.side == "PE"]
        spot = frame.spot.iloc[0]
        running = frame[frame.time_to_expiry > 0]
        near = running[running.expiry == running.expiry.min()]
        strikes = np.unique(near.strike)
        atm = strikes[np.argmin(np.abs(strikes - spot))]
        oi = near.open_interest.fillna(0).to_numpy()
        k, is_call = near.strike.to_numpy(), (near.side == "CE").to_numpy()
        paid = [(oi * np.where(is_call, np.maximum(c - k, 0), np.maximum(k - c, 0))).sum()
                for c in strikes]
        per_expiry = running.groupby("expiry").apply(lambda g: g[g.strike == g.strike.iloc[
            np.argmin(np.abs(g.strike - spot))]].iv.mean(), include_groups=False)
        rows.append({"spot": spot, "atm_iv": near[near.strike == atm].iv.mean(),
                     "pcr_oi": puts.open_interest.sum() / calls.open_interest.sum(),
                     "pcr_volume": puts.volume.sum() / calls.volume.sum(),
                     "max_pain": strikes[int(np.argmin(paid))], "iv_curve": len(per_expiry),
                     "oi_total": frame.open_interest.sum()})
    return pd.DataFrame(rows)


def run():
    chain = json.loads(NIFTY.read_text())
    root = pathlib.Path(tempfile.mkdtemp(prefix="greeks-history-bench-"))
    try:
        history = greeks.History(root / "recorded")
        started = time.perf_counter()
        for n in range(50):
            history.record(chain, now=dt.datetime(2025, 8, 5, 10, n, tzinfo=INDIA))
        took = (time.perf_counter() - started) / 50
        print(f"{'record: price, store the legs and the raw payload':55s} {took * 1e3:8.2f} ms "
              f"a capture, {1346 / took:,.0f} legs/s")

        frame = greeks.chain_greeks(chain)
        table = as_table(frame, dt.datetime(2025, 8, 5, 13, 59, 23, tzinfo=INDIA))
        store = Store(root / "month")
        started = time.perf_counter()
        import pyarrow as pa
        import pyarrow.parquet as pq

        rng = np.random.default_rng(18)
        moving = [name for name in ("spot", "last_price", "bid", "ask", "iv", "delta", "gamma",
                                    "theta", "vega", "rho") if name in table.column_names]
        for day in trading_days():
            folder = store.root / "legs" / partition("NIFTY", day)
            folder.mkdir(parents=True)
            for moment in minutes(day):
                stamp = pa.array(np.full(len(frame), np.datetime64(
                    moment.astimezone(dt.timezone.utc).replace(tzinfo=None), "us"))).cast(
                    table.schema.field("time").type)
                capture = table.set_column(0, "time", stamp)
                for name in moving:  # every minute's prices and Greeks move a little
                    index = capture.schema.get_field_index(name)
                    capture = capture.set_column(index, name, pa.array(
                        capture.column(index).to_numpy() * (1 + 1e-3 * rng.standard_normal(
                            len(frame)))))
                pq.write_table(capture, folder / f"{moment:%H%M%S}-bench.parquet",
                               compression="zstd")
        ingest = time.perf_counter() - started
        legs = DAYS * PER_DAY * len(frame)
        size = sum(path.stat().st_size for path in (store.root / "legs").rglob("*.parquet"))
        print(f"{'ingest a month of minute captures (legs written)':55s} {ingest:8.1f} s, "
              f"{legs / ingest:,.0f} legs/s, {size / legs:.1f} bytes a leg")
        for day in trading_days():
            store.compact("NIFTY", day)
        size = sum(path.stat().st_size for path in (store.root / "legs").rglob("*.parquet"))
        print(f"{'  compacted, one file a day':55s} {size / legs:8.1f} bytes a leg")

        month = greeks.History(store.root)
        month.series("NIFTY")  # warm
        started = time.perf_counter()
        series = month.series("NIFTY")
        ours = (time.perf_counter() - started) / len(series)

        csv_folder = root / "csv"
        csv_folder.mkdir()
        paths = []
        for moment in [m for day in trading_days()[:PANDAS_DAYS] for m in minutes(day)]:
            path = csv_folder / f"{moment:%Y%m%d-%H%M}.csv"
            frame.assign(time=moment).to_csv(path, index=False)
            paths.append(path)
        started = time.perf_counter()
        pandas_series(paths)
        theirs = (time.perf_counter() - started) / len(paths)
        ratio = theirs / ours
        verdict = "ok" if ratio >= 20 else "BELOW TARGET"
        print(f"{'series per capture: DuckDB store vs pandas over CSVs':55s} ours "
              f"{ours * 1e3:8.3f} ms  theirs {theirs * 1e3:8.3f} ms  {ratio:6.1f}x (target 20x) "
              f"{verdict}")
        if ratio < 20:
            short("series per capture: DuckDB vs pandas", f"{ratio:.1f}x (target 20x)")
        return ratio >= 20
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    run()
