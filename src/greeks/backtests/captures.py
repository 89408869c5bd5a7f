"""The recorder's captures as a backtest's market: each trading day (a date with captures) is
its first capture at or after the strategy's time of day (such as 09:20), a leg's price there
its mid where the quote is two-sided, else its last price; a planned exit takes the first capture
at or after the exit's own time of day, where one is given; on the expiry day the underlying's
final price is the day's last capture's spot."""
from __future__ import annotations

import datetime as dt
import math
from typing import Any

import numpy as np

from greeks.backtests.market import Market, price_table
from greeks.market import INDIA


def snapshots(legs: Any, at: dt.time) -> Any:
    """Each day's first capture at or after `at`, with each leg's price and whether it has one."""
    import pandas as pd

    chosen = []
    for _, captured in legs.groupby("day"):
        later = captured.loc[captured["clock"] >= at, "clock"]
        if len(later):
            chosen.append(captured[captured["clock"] == later.min()])
    if not chosen:
        return legs.iloc[:0].assign(price=[], volume=[], date=[])
    rows = pd.concat(chosen, ignore_index=True)
    two_sided = (rows["bid"] > 0) & (rows["ask"] > 0)
    rows["price"] = np.where(two_sided, (rows["bid"] + rows["ask"]) / 2, rows["last_price"])
    rows["price"] = rows["price"].where(rows["price"] > 0)
    rows["volume"] = rows["price"].notna().astype(float)  # "traded": a price to fill at
    rows["date"] = rows["day"].astype("datetime64[s]")
    rows["expiry"] = rows["expiry"].values.astype("datetime64[D]")
    rows["side"] = rows["side"].to_numpy(dtype=object)
    return rows


class CaptureMarket(Market):
    """`symbol`'s captures in a store (greeks.History), one a day, at or after `at` (IST)."""

    def __init__(self, history: Any, symbol: str, at: dt.time, start: Any = None,
                 end: Any = None, leave_at: dt.time | None = None):
        legs = history.legs(symbol, start, end)
        if legs.empty:
            raise LookupError(f"the store holds no capture of {symbol}")
        moments = legs["time"].dt.tz_convert(INDIA)
        legs = legs.assign(day=moments.dt.date, clock=moments.dt.time)
        self.finals = {np.datetime64(day, "D"): float(
            captured.loc[captured["clock"] == captured["clock"].max(), "spot"].iloc[0])
            for day, captured in legs.groupby("day")}
        rows = snapshots(legs, at)
        if rows.empty:
            raise LookupError(f"no capture of {symbol} at or after {at:%H:%M} on any day")
        self.index_rows(symbol, rows, sorted(np.datetime64(day, "D")
                                             for day in rows["day"].unique()))
        self.leaving = self.prices if leave_at is None else price_table(snapshots(legs, leave_at))

    def leaving_price(self, day: Any, expiry: Any, side: str, strike: float) -> float:
        return float(self.leaving.get((day, expiry, side, strike), math.nan))

    def underlying_price(self, day: Any, expiry: Any) -> float:
        """The spot of the day's capture; on the expiry day its last capture's."""
        day = np.datetime64(day, "D")
        if day == np.datetime64(expiry, "D"):
            return self.finals.get(day, math.nan)
        rows = self.on(day)
        return float(rows["spot"].iloc[0]) if len(rows) else math.nan
